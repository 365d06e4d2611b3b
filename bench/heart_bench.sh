#!/usr/bin/env bash
# Throughput of /heart over keep-alive connections against nginx serving the same 3-byte reply from
# one worker, the time from process start to the first answered /heart, and idle resident memory.
# Each case (wrk threads x connections) runs once per round, the assistant and nginx back to back;
# the table gives medians over the rounds and the spread of the ratio, because the figures move
# with whatever else runs on the machine.
# Usage: bench/heart_bench.sh [build-folder] [rounds] [seconds]   (defaults: build 3 5; build first)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
rounds="${2:-3}"
seconds="${3:-5}"
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

rps() { wrk -t "$1" -c "$2" -d "${seconds}s" "$3" | awk '/Requests\/sec/ {print $2}'; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
cases="1x1 1x8 1x64 2x8 2x64"
for ((r = 1; r <= rounds; r++)); do
  for case in $cases; do
    t=${case%x*}; c=${case#*x}
    a=$(rps "$t" "$c" "http://127.0.0.1:$kx_port/heart")
    n=$(rps "$t" "$c" "http://127.0.0.1:$ng_port/heart")
    echo "$a $n $(echo "$a / $n" | bc -l)" >> "$work/$case"
  done
done
echo "/heart over keep-alive, median of $rounds rounds of ${seconds} s (ratio = assistant / nginx)"
printf '%-8s %-12s %14s %14s %8s %16s\n' threads connections assistant_rps nginx_rps ratio ratio_min-max
for case in $cases; do
  t=${case%x*}; c=${case#*x}
  a=$(cut -d' ' -f1 "$work/$case" | median)
  n=$(cut -d' ' -f2 "$work/$case" | median)
  ratio=$(cut -d' ' -f3 "$work/$case" | median)
  lo=$(cut -d' ' -f3 "$work/$case" | sort -g | head -1)
  hi=$(cut -d' ' -f3 "$work/$case" | sort -g | tail -1)
  printf '%-8s %-12s %14.0f %14.0f %8.2f %7.2f-%-8.2f\n' "$t" "$c" "$a" "$n" "$ratio" "$lo" "$hi"
done
echo "start to first /heart answer: ${first_answer} ms"
echo "idle resident memory: ${rss_kb} KiB"
