#!/usr/bin/env bash
# "read" of a 256 MiB file over POST /fs (curl) and over the Fs session message (a plain
# client of ours, bench_fs_read_ws), against nginx serving the same file to curl, in one
# run on loopback; then the daemon's peak resident memory (VmHWM) before and after the reads.
# usage: bench/fs_read.sh [build-dir]   (needs nginx and curl; builds nothing itself)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rounds=${ROUNDS:-5}
tmp=$(mktemp -d)
chmod 755 "$tmp"  # nginx workers run as another user
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"' EXIT

head -c $((256 * 1024 * 1024)) /dev/urandom > "$tmp/big.bin"
chmod 644 "$tmp/big.bin"
mkdir -p "$tmp/web" "$tmp/nginx"

"$build/quelmar" --port 0 --root "$tmp" --web "$tmp/web" > "$tmp/out" 2> "$tmp/err" &
qpid=$!
for _ in $(seq 100); do grep -q '^http' "$tmp/out" 2>/dev/null && break; sleep 0.05; done
link=$(head -1 "$tmp/out")
port=$(echo "$link" | sed -E 's|http://127.0.0.1:([0-9]+)/.*|\1|')
token=$(echo "$link" | sed -E 's|.*t=([0-9a-f]+)$|\1|')

json="{\"op\":\"read\",\"path\":\"$tmp/big.bin\"}"
python3 -c "import struct,sys; j=sys.argv[1].encode(); sys.stdout.buffer.write(struct.pack('<I',len(j))+j)" "$json" > "$tmp/env"

ngport=$((20000 + RANDOM % 20000))
cat > "$tmp/nginx/nginx.conf" <<CONF
daemon off; worker_processes 1; pid $tmp/nginx/pid; error_log $tmp/nginx/err;
events { worker_connections 64; }
http { access_log off; sendfile on;
  server { listen 127.0.0.1:$ngport; root $tmp; } }
CONF
nginx -c "$tmp/nginx/nginx.conf" -p "$tmp/nginx" &
sleep 0.5

hwm() { awk '/^VmHWM/ { print $2 / 1024 " MiB" }' "/proc/$qpid/status"; }
hwm_before=$(hwm)
mibs() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", b / 1048576 / t }'; }
echo "round  POST /fs MiB/s  Fs message MiB/s  nginx MiB/s"
ws_lines=$("$build/bench/bench_fs_read_ws" "$port" "$token" "$tmp/big.bin" "$rounds")
for i in $(seq "$rounds"); do
    read -r pt pb < <(curl -s -o /dev/null -w '%{time_total} %{size_download}\n' \
        -H "X-Editor-Token: $token" --data-binary @"$tmp/env" "http://127.0.0.1:$port/fs")
    read -r nt nb < <(curl -s -o /dev/null -w '%{time_total} %{size_download}\n' \
        "http://127.0.0.1:$ngport/big.bin")
    read -r wms wb < <(echo "$ws_lines" | sed -n "${i}p")
    echo "$i      $(mibs "$pb" "$pt")            $(mibs "$wb" "$(awk -v m="$wms" 'BEGIN{print m/1000}')")              $(mibs "$nb" "$nt")"
done
echo "daemon peak memory (VmHWM): $hwm_before before the reads, $(hwm) after"
