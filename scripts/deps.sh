#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing.
# Without root or apt it names what is missing and fails. On a Mac it installs nothing: it
# names what Homebrew should install.
set -euo pipefail

# macOS: the Xcode command line tools bring the compiler (and libcurl for sorvine), Homebrew
# cmake, ninja and nlohmann-json, and node for the web client. The tests are Linux's alone.
# Written for the bash 3.2 that macOS ships.
mac_deps() {
    if [ "${1:-}" = test ] || [ "${1:-}" = bench ]; then
        echo "the tests and benchmarks run on Linux (they read /proc); on a Mac, \`make\` builds" \
            "the programs and \`make run\` starts quelmar" >&2
        exit 1
    fi
    local need="" brew_prefix
    if ! xcode-select -p >/dev/null 2>&1; then
        echo "the Xcode command line tools are missing: run xcode-select --install" >&2
        exit 1
    fi
    brew_prefix=$(brew --prefix 2>/dev/null || echo /opt/homebrew)
    if [ "${1:-}" = web ]; then
        command -v node >/dev/null || need="node"
    else
        command -v cmake >/dev/null || need="$need cmake"
        command -v ninja >/dev/null || need="$need ninja"
        [ -e "$brew_prefix/include/nlohmann/json.hpp" ] || need="$need nlohmann-json"
    fi
    if [ -n "$need" ]; then
        echo "missing:$need" >&2
        echo "install them with Homebrew (https://brew.sh): brew install$need" >&2
        exit 1
    fi
}

build_pkgs=(g++ cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev libcurl4-openssl-dev pkg-config)
web_pkgs=(nodejs npm)
test_pkgs=("${web_pkgs[@]}" clang libclang-rt-14-dev chromium openssl)

want=("${build_pkgs[@]}")
[ "${1:-}" = "web" ] && want=("${web_pkgs[@]}")
[ "${1:-}" = "test" ] && want+=("${test_pkgs[@]}")
[ "${1:-}" = "bench" ] && want+=("${test_pkgs[@]}" wrk nginx-light socat websocketd)

# The page's bundler and the browser tests need Node.js 18 or newer (Debian 12's own). An older
# one (Debian 11 and before) would fail later inside npm or Playwright with their own words.
node_min=18
check_node() {
    case " ${want[*]} " in *" nodejs "*) ;; *) return 0 ;; esac
    local major
    major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
    if [ "$major" -lt "$node_min" ]; then
        echo "Node.js $node_min or newer is needed for the web client and its tests;" \
            "this machine has $(node --version 2>/dev/null || echo none)." >&2
        echo "Debian 12 ships Node.js 18 (apt-get install nodejs npm); on older systems install" \
            "a newer Node.js from nodejs.org or NodeSource, then run make again." >&2
        exit 1
    fi
}

if [ "$(uname -s)" = Darwin ]; then
    mac_deps "${1:-}"
    check_node
    exit 0
fi

missing=()
for p in "${want[@]}"; do
    # Node.js may come from another source than Debian (with npm bundled): the commands count.
    if [ "$p" = nodejs ] && command -v node >/dev/null; then continue; fi
    if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    check_node
    exit 0
fi

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
check_node
