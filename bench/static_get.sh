#!/usr/bin/env bash
# Small-file GET, one request per connection: quelmar against nginx serving the same file
# on the same machine in the same run; plus quelmar's time from start to its printed link
# and its resident memory when idle. Figures only; nothing here passes or fails.
#
#   bench/static_get.sh [build dir (default: build)]
# Environment: DURATION (wrk seconds, default 10), CONNS (default 50), THREADS (default 2),
#              SIZE (bytes of the file, default 1024), ROUNDS (start-up samples, default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quelmar=$build/quelmar
duration=${DURATION:-10}
conns=${CONNS:-50}
threads=${THREADS:-2}
size=${SIZE:-1024}
rounds=${ROUNDS:-20}

for tool in wrk nginx; do
    command -v "$tool" >/dev/null || { echo "needs $tool (make bench installs it)" >&2; exit 1; }
done
[ -x "$quelmar" ] || { echo "no $quelmar: run make first" >&2; exit 1; }

tmp=$(mktemp -d /tmp/quelmar-bench-XXXXXX)
qpid=
npid=
cleanup() {
    [ -n "$qpid" ] && kill "$qpid" 2>/dev/null || true
    [ -n "$npid" ] && kill "$npid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/web" "$tmp/root" "$tmp/nginx/logs"
head -c "$size" /dev/urandom | base64 -w 76 | head -c "$size" > "$tmp/web/small.html"
# nginx's workers run as an unprivileged user when it is started as root.
chmod -R a+rX "$tmp"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# Starts quelmar with --port 0 and reads its link through a FIFO; sets qpid and qport.
start_quelmar() {
    rm -f "$tmp/link"
    mkfifo "$tmp/link"
    "$quelmar" --port 0 --web "$tmp/web" --root "$tmp/root" >"$tmp/link" 2>/dev/null &
    qpid=$!
    exec {qout}<"$tmp/link"
    read -r link <&"$qout"
    qport=${link#http://127.0.0.1:}
    qport=${qport%%/*}
}

stop_quelmar() {
    kill "$qpid"
    wait "$qpid" 2>/dev/null || true
    qpid=
    exec {qout}<&-
}

wrk_rps() {
    wrk -t"$threads" -c"$conns" -d"${duration}s" -H 'Connection: close' "$1" |
        awk '/^Requests\/sec:/ {print $2} /Socket errors/ {print "  (" $0 ")" > "/dev/stderr"}'
}

echo "== start-up: time from exec to the printed link, $rounds runs"
python3 - "$quelmar" "$tmp" "$rounds" <<'PY'
import statistics, subprocess, sys, time
quelmar, tmp, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
ms = []
for _ in range(rounds):
    t0 = time.perf_counter()
    p = subprocess.Popen([quelmar, "--port", "0", "--web", tmp + "/web", "--root", tmp + "/root"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    p.stdout.readline()
    ms.append((time.perf_counter() - t0) * 1000)
    p.kill()
    p.wait()
ms.sort()
print("  median %.2f ms, min %.2f ms, max %.2f ms" % (statistics.median(ms), ms[0], ms[-1]))
PY

start_quelmar
sleep 0.5
echo "== quelmar resident memory when idle after start: $(rss_kib "$qpid") KiB"

nport=$(free_port)
cat > "$tmp/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/logs/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $tmp/nginx/body;
    proxy_temp_path $tmp/nginx/proxy;
    fastcgi_temp_path $tmp/nginx/fastcgi;
    uwsgi_temp_path $tmp/nginx/uwsgi;
    scgi_temp_path $tmp/nginx/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:$nport;
        root $tmp/web;
    }
}
CONF
nginx -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -g 'daemon off;' &
npid=$!
for _ in $(seq 50); do
    curl --noproxy '*' -sf -o /dev/null "http://127.0.0.1:$nport/small.html" && break
    sleep 0.1
done

url_q="http://127.0.0.1:$qport/small.html"
url_n="http://127.0.0.1:$nport/small.html"
cmp -s <(curl --noproxy '*' -s "$url_q") "$tmp/web/small.html" || { echo "quelmar answers the wrong bytes" >&2; exit 1; }
cmp -s <(curl --noproxy '*' -s "$url_n") "$tmp/web/small.html" || { echo "nginx answers the wrong bytes" >&2; exit 1; }

echo "== GET of a $size-byte file, Connection: close, wrk -t$threads -c$conns -d${duration}s on $(nproc) cores"
wrk_rps "$url_n" >/dev/null  # warm both up the same way
q=$(wrk_rps "$url_q")
n=$(wrk_rps "$url_n")
q2=$(wrk_rps "$url_q")
n2=$(wrk_rps "$url_n")
echo "  quelmar: $q, $q2 requests/s"
echo "  nginx:   $n, $n2 requests/s (worker_processes auto)"
sleep 1
echo "== quelmar resident memory when idle after the load: $(rss_kib "$qpid") KiB"
