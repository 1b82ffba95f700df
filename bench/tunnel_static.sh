#!/usr/bin/env bash
# Small-file GET, one request per connection, through the tunnel listener (served from the
# in-memory web build table) against the loopback listener (read from disk at every
# request), on one quelmar in one run. cloudflared is replaced by a fake that announces a
# tunnel and then waits, so wrk talks to the tunnel listener as cloudflared would, with the
# published Host. Figures only; nothing here passes or fails.
#
#   bench/tunnel_static.sh [build dir (default: build)]
# Environment: DURATION (wrk seconds, default 10), CONNS (default 50), THREADS (default 2),
#              SIZE (bytes of the file, default 1024), ROUNDS (alternating runs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quelmar=$build/quelmar
duration=${DURATION:-10}
conns=${CONNS:-50}
threads=${THREADS:-2}
size=${SIZE:-1024}
rounds=${ROUNDS:-2}

command -v wrk >/dev/null || { echo "needs wrk (make bench installs it)" >&2; exit 1; }
[ -x "$quelmar" ] || { echo "no $quelmar: run make first" >&2; exit 1; }

tmp=$(mktemp -d /tmp/quelmar-tunnel-bench-XXXXXX)
qpid=
cleanup() {
    # SIGTERM: the daemon kills its cloudflared first, then ends.
    [ -n "$qpid" ] && kill -TERM "$qpid" 2>/dev/null || true
    wait 2>/dev/null || true
    [ -f "$tmp/fake/pid" ] && kill -KILL "$(cat "$tmp/fake/pid")" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/web" "$tmp/root" "$tmp/fake"
printf '<!doctype html><html><head><title>bench</title></head><body></body></html>\n' \
    > "$tmp/web/index.html"
head -c "$size" /dev/urandom | base64 -w 76 | head -c "$size" > "$tmp/web/small.html"

cat > "$tmp/fake/cloudflared" <<FAKE
#!/bin/sh
if [ "\$1" = --version ]; then echo 'cloudflared version 2024.2.1 (fake)'; exit 0; fi
printf '%s\n' "\$@" > "$tmp/fake/argv"
echo \$\$ > "$tmp/fake/pid"
echo '2024-02-20T12:00:01Z INF |  https://bench-run.trycloudflare.com  |'
echo '2024-02-20T12:00:02Z INF Registered tunnel connection connIndex=0'
exec sleep 3600
FAKE
chmod +x "$tmp/fake/cloudflared"

"$quelmar" --port 0 --web "$tmp/web" --root "$tmp/root" --tunnel \
    --cloudflared "$tmp/fake/cloudflared" >"$tmp/out" 2>"$tmp/err" &
qpid=$!
for _ in $(seq 100); do
    grep -q '^https://' "$tmp/out" 2>/dev/null && [ -f "$tmp/fake/argv" ] && break
    sleep 0.05
done
grep -q '^https://' "$tmp/out" || { echo "no tunnel link; stderr:" >&2; cat "$tmp/err" >&2; exit 1; }
qport=$(sed -n 's|^http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$tmp/out")
tlink=$(grep '^https://' "$tmp/out")
thost=${tlink#https://}
thost=${thost%%/*}
tport=$(sed -n 's|^http://127\.0\.0\.1:\([0-9]*\)$|\1|p' "$tmp/fake/argv")

url_l="http://127.0.0.1:$qport/small.html"
url_t="http://127.0.0.1:$tport/small.html"
cmp -s <(curl --noproxy '*' -s "$url_l") "$tmp/web/small.html" ||
    { echo "the loopback listener answers the wrong bytes" >&2; exit 1; }
cmp -s <(curl --noproxy '*' -s -H "Host: $thost" "$url_t") "$tmp/web/small.html" ||
    { echo "the tunnel listener answers the wrong bytes" >&2; exit 1; }

wrk_rps() {
    wrk -t"$threads" -c"$conns" -d"${duration}s" -H 'Connection: close' "$@" |
        awk '/^Requests\/sec:/ {print $2} /Socket errors|Non-2xx/ {print "  (" $0 ")" > "/dev/stderr"}'
}

echo "== GET of a $size-byte file, Connection: close, wrk -t$threads -c$conns -d${duration}s on $(nproc) cores"
wrk_rps "$url_l" >/dev/null  # warm-up
for r in $(seq "$rounds"); do
    l=$(wrk_rps "$url_l")
    t=$(wrk_rps -H "Host: $thost" "$url_t")
    echo "  round $r: loopback (disk) $l requests/s, tunnel (memory) $t requests/s"
done
