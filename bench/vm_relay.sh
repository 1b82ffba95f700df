#!/usr/bin/env bash
# Throughput of the VM relay: BYTES (default 1 GiB) of WebSocket frames from a fast local
# source to a fast client, directly, through socat (TCP-LISTEN to TCP), and through the
# daemon's relay, in one run. Each path is measured RUNS times (default 5), in turns; all
# figures are printed, and the best of each path last.
#   bench/vm_relay.sh [BUILD_DIR]
set -euo pipefail

build=${1:-build}
bytes=${BYTES:-1073741824}
runs=${RUNS:-5}
prog="$build/bench/bench_vm_relay"
[ -x "$prog" ] || { echo "build first: ninja -C $build bench_vm_relay" >&2; exit 1; }
command -v socat >/dev/null || { echo "socat is missing (scripts/deps.sh bench)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_file() {
    for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.05; done
    echo "no port in $1" >&2; exit 1
}

"$prog" source "$work/source.port" "$bytes" & pids+=($!)
"$prog" front "$work/front.port" & pids+=($!)
wait_file "$work/source.port"; wait_file "$work/front.port"
src=$(cat "$work/source.port"); front=$(cat "$work/front.port")

# socat cannot report a port it picked itself: probe for a free one from a random start.
socat_port=$((40000 + RANDOM % 20000))
while (exec 3<>/dev/tcp/127.0.0.1/$socat_port) 2>/dev/null; do socat_port=$((socat_port + 1)); done
socat TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:$src & pids+=($!)
# The same with the relay's buffer size instead of socat's default 8 KiB.
socat32_port=$((socat_port + 1))
while (exec 3<>/dev/tcp/127.0.0.1/$socat32_port) 2>/dev/null; do socat32_port=$((socat32_port + 1)); done
socat -b 32768 TCP-LISTEN:$socat32_port,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:$src & pids+=($!)
sleep 0.3

target="ws%3A%2F%2F127.0.0.1%3A$src%2Fsource"
declare -A best
measure() {  # name port path run
    local line rate
    line=$("$prog" sink "127.0.0.1:$2" "$2" "$3" "$bytes")
    echo "$1 run $4: $line"
    rate=${line#* s }; rate=${rate% MiB/s}
    if [ -z "${best[$1]:-}" ] || [ "$rate" -gt "${best[$1]}" ]; then best[$1]=$rate; fi
}

echo "payload: $bytes bytes in 1 MiB binary frames; $(nproc) cores"
# The paths take turns, so a slower moment of a shared machine does not favour one of them.
for r in $(seq "$runs"); do
    measure direct "$src" /source "$r"
    measure socat "$socat_port" /source "$r"
    measure socat-b32k "$socat32_port" /source "$r"
    measure relay "$front" "/vm?to=$target" "$r"
done
echo "best: direct ${best[direct]} MiB/s, socat ${best[socat]} MiB/s, socat -b 32768 ${best[socat-b32k]} MiB/s, relay ${best[relay]} MiB/s"
