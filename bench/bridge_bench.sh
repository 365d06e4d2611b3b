#!/usr/bin/env bash
# Module bridge figures in one run:
#  1. /print with a C-form module answering {} against /heart, 8 keep-alive connections
#     (target: /print at least 0.5 of /heart's requests per second);
#  2. /camera with a C-form module writing a result of 16 Mi letters: end-to-end MB/s of one call at
#     a time (target: at least 300 MB/s), and the client's own CPU time per call (utime + stime of
#     the process), which shared or loaded machines disturb far less than the wall clock;
#  3. peak resident memory growth of the client while 16 such /camera calls run at once, against
#     what the modules themselves write (16 calls x 16 Mi UTF-16 letters = 512 MiB; target: growth
#     within 1.1 times that). The reply is written from the module's buffer in pieces.
# KX_BENCH_RESULT_MIB sets the size of the /camera result (default 16).
# Usage: bench/bridge_bench.sh [build-folder]   (default: build; build KestrixAssistant,
# demo_program_folder, demo_modules and kx_test_modules first)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
./scripts/setup-debian.sh --bench
binary="$build/program/KestrixAssistant"
module="$build/test-modules/libc_module.so"
for f in "$binary" "$module"; do
  [ -e "$f" ] || { echo "build first: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kx-bridge-bench-XXXXXX)
kx_pid=""
cleanup() {
  [ -n "$kx_pid" ] && kill "$kx_pid" 2>/dev/null && wait "$kx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${KX_BENCH_DEBUG:-}" ] && set -x

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$kx_pid/status"; }
# utime + stime of the client in clock ticks (fields 14 and 15 of /proc/PID/stat).
cpu_ticks() { awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$kx_pid/stat"; }

cp -r "$build/program" "$work/program"
mkdir -p "$work/program/comp/bench"
cp "$module" "$work/program/comp/bench/"
printf '[MODULE-DLLPATH]\r\nprint=comp\\bench\\libc_module.so\r\ncamera=comp\\bench\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\ncamera=c\r\n' \
  > "$work/program/conf/dll.ini"
port=$(free_port)
printf '[HTTP]\r\nserver.port=%s\r\n' "$port" > "$work/program/conf/sys.ini"
env -u DISPLAY -u WAYLAND_DISPLAY "$work/program/KestrixAssistant" >"$work/kx.log" 2>&1 &
kx_pid=$!
base="http://127.0.0.1:$port"
until curl -sf "$base/heart" >/dev/null 2>&1; do
  kill -0 "$kx_pid" 2>/dev/null || { cat "$work/kx.log"; exit 1; }
  sleep 0.01
done

# 1. Throughput.
rps() { wrk -t 2 -c 8 -d 5s "$1" | awk '/Requests\/sec/ {print $2}'; }
curl -sf "$base/print?id=1&func=hello" >/dev/null # load the module once
heart=$(rps "$base/heart?jsonp=cb")
print=$(rps "$base/print?id=1&func=hello")
printf '/heart  %10s req/s (8 connections)\n/print  %10s req/s (8 connections)  ratio %.2f (target >= 0.5)\n' \
  "$heart" "$print" "$(echo "$print / $heart" | bc -l)"

# 2 and 3. 16 MiB results at /camera. The payload's data {"mib":16} asks for the size.
mib="${KX_BENCH_RESULT_MIB:-16}"
payload=$(printf '{"data":[{"mib":%d}]}' "$mib" | base64 -w0 | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g')
camera="$base/camera?id=1&func=big&payload=$payload"
curl -sf "$camera" -o /dev/null # warm up
sleep 1
before=$(rss_kb)
peak=$before
curls=()
for i in $(seq 16); do curl -sf "$camera" -o /dev/null & curls+=($!); done
running() { for p in "${curls[@]}"; do kill -0 "$p" 2>/dev/null && return 0; done; return 1; }
while running; do
  now=$(rss_kb); [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.005
done
for p in "${curls[@]}"; do wait "$p"; done
sleep 1
after=$(rss_kb)
written=$((16 * mib * 2))
printf "16 parallel /camera calls of $mib Mi letters: resident %d MiB before, peak %d MiB (growth %d MiB; the modules write %d MiB; ratio %.2f, target <= 1.1), %d MiB a second after\\n" \
  $((before / 1024)) $((peak / 1024)) $(((peak - before) / 1024)) "$written" \
  "$(echo "($peak - $before) / 1024 / $written" | bc -l)" $((after / 1024))

total_bytes=0; total_time=0; best=0
ticks_before=$(cpu_ticks)
for i in $(seq 8); do
  read -r bytes secs < <(curl -sf "$camera" -o /dev/null -w '%{size_download} %{time_total}\n')
  total_bytes=$((total_bytes + bytes)); total_time=$(echo "$total_time + $secs" | bc -l)
  rate=$(echo "$bytes / $secs / 1000000" | bc -l)
  [ "$(echo "$rate > $best" | bc -l)" = 1 ] && best=$rate
done
ticks=$(( $(cpu_ticks) - ticks_before )); [ "$ticks" -gt 0 ] || ticks=1
hz=$(getconf CLK_TCK)
printf "/camera $mib Mi letters, one call at a time: %.1f MB/s end to end (best call %.1f; target >= 300); client CPU %.1f ms a call (%.0f MB per CPU second)\\n" \
  "$(echo "$total_bytes / $total_time / 1000000" | bc -l)" "$best" \
  "$(echo "$ticks * 1000 / $hz / 8" | bc -l)" "$(echo "$total_bytes / ($ticks / $hz) / 1000000" | bc -l)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
