#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing.
# Without root or apt it names what is missing and fails.
set -euo pipefail

build_pkgs=(g++ cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev libcurl4-openssl-dev pkg-config)
web_pkgs=(nodejs npm)
test_pkgs=("${web_pkgs[@]}" clang libclang-rt-14-dev chromium openssl)

want=("${build_pkgs[@]}")
[ "${1:-}" = "web" ] && want=("${web_pkgs[@]}")
[ "${1:-}" = "test" ] && want+=("${test_pkgs[@]}")
[ "${1:-}" = "bench" ] && want+=("${test_pkgs[@]}" wrk nginx-light socat websocketd)

missing=()
for p in "${want[@]}"; do
    # Node.js may come from another source than Debian (with npm bundled): the commands count.
    if [ "$p" = nodejs ] && command -v node >/dev/null; then continue; fi
    if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
