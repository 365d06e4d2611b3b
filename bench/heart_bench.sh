#!/usr/bin/env bash
# Throughput of /heart over keep-alive connections against nginx serving the same 3-byte reply from
# one worker, the time from process start to the first answered /heart, and idle resident memory.
# Usage: bench/heart_bench.sh [build-folder]   (default: build; build it first)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
./scripts/setup-debian.sh --bench
binary="$build/program/KestrixAssistant"
[ -x "$binary" ] || { echo "build first: $binary is missing" >&2; exit 1; }

work=$(mktemp -d /tmp/kx-bench-XXXXXX)
kx_pid=""; nginx_pid=""
cleanup() {
  [ -n "$kx_pid" ] && kill "$kx_pid" 2>/dev/null && wait "$kx_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
now_ms() { date +%s%3N; }

# The assistant in a program folder of its own.
cp -r "$build/program" "$work/program"
kx_port=$(free_port)
printf '[HTTP]\r\nserver.port=%s\r\n' "$kx_port" > "$work/program/conf/sys.ini"
start=$(now_ms)
env -u DISPLAY -u WAYLAND_DISPLAY "$work/program/KestrixAssistant" >"$work/kx.log" 2>&1 &
kx_pid=$!
until curl -sf "http://127.0.0.1:$kx_port/heart" >/dev/null 2>&1; do
  kill -0 "$kx_pid" 2>/dev/null || { cat "$work/kx.log"; exit 1; }
  sleep 0.005
done
first_answer=$(( $(now_ms) - start ))
sleep 1
rss_kb=$(awk '/VmRSS/ {print $2}' "/proc/$kx_pid/status")

# nginx, one worker, the same three bytes.
ng_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<NGINX
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$ng_port;
    location = /heart { default_type "text/html; charset=UTF-8"; return 200 "(0)"; }
  }
}
NGINX
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
until curl -sf "http://127.0.0.1:$ng_port/heart" >/dev/null 2>&1; do sleep 0.01; done

rps() { wrk -t "$1" -c "$2" -d "${3:-5s}" "$4" | awk '/Requests\/sec/ {print $2}'; }
printf '%-12s %14s %14s %8s\n' connections assistant_rps nginx_rps ratio
for c in 1 8 64; do
  t=$(( c < 2 ? 1 : 2 ))
  a=$(rps "$t" "$c" 5s "http://127.0.0.1:$kx_port/heart")
  n=$(rps "$t" "$c" 5s "http://127.0.0.1:$ng_port/heart")
  printf '%-12s %14s %14s %8.2f\n' "$c" "$a" "$n" "$(echo "$a / $n" | bc -l)"
done
echo "start to first /heart answer: ${first_answer} ms"
echo "idle resident memory: ${rss_kb} KiB"
