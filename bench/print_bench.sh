#!/usr/bin/env bash
# A module call against a heartbeat on the same instance: wrk with one thread and 8 keep-alive
# connections on /heart and on /print, where a C-form module echoes a small document (the request
# document is Base64-decoded, parsed, handed to the module and its result rewritten into the
# reply). Rounds alternate the two, so both see the same machine; the table gives medians of the
# requests per second and of the 99th-percentile latency, and the ratio /print : /heart (target:
# at least 0.5, /print's p99 at most 2 ms).
# Usage: bench/print_bench.sh [build-folder] [rounds] [seconds]   (defaults: build 5 5; build
# KestrixAssistant, demo_program_folder and kx_test_modules first)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
rounds="${2:-5}"
seconds="${3:-5}"
./scripts/setup-debian.sh --bench
binary="$build/program/KestrixAssistant"
module="$build/test-modules/libc_module.so"
for f in "$binary" "$module"; do
  [ -e "$f" ] || { echo "build first: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kx-print-bench-XXXXXX)
kx_pid=""
cleanup() {
  [ -n "$kx_pid" ] && kill "$kx_pid" 2>/dev/null && wait "$kx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }

cp -r "$build/program" "$work/program"
mkdir -p "$work/program/comp/bench"
cp "$module" "$work/program/comp/bench/"
printf '[MODULE-DLLPATH]\r\nprint=comp\\bench\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\n' > "$work/program/conf/dll.ini"
port=$(free_port)
printf '[HTTP]\r\nserver.port=%s\r\n' "$port" > "$work/program/conf/sys.ini"
env -u DISPLAY -u WAYLAND_DISPLAY "$work/program/KestrixAssistant" >"$work/kx.log" 2>&1 &
kx_pid=$!
base="http://127.0.0.1:$port"
until curl -sf "$base/heart" >/dev/null 2>&1; do
  kill -0 "$kx_pid" 2>/dev/null || { cat "$work/kx.log"; exit 1; }
  sleep 0.01
done

payload=$(printf '{"data":[{"billCode":"00000000","title":"发票","lines":[1,2,3]}],"config":{"appId":"7"}}' |
  base64 -w0 | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g')
heart="$base/heart?jsonp=cb"
print="$base/print?id=1&func=echo&payload=$payload"
reply=$(curl -sf "$print") # loads the module once
case "$reply" in *'"id":"1"'*'billCode'*) ;; *) echo "unexpected /print reply: $reply" >&2; exit 1 ;; esac

# "<requests per second> <p99 in ms>" of one wrk run.
measure() {
  wrk -t 1 -c 8 -d "${seconds}s" --latency "$1" | awk '
    /Requests\/sec/ {rps = $2}
    $1 == "99%" {v = $2; ms = v + 0; if (v ~ /us$/) ms /= 1000; else if (v ~ /[^m]s$/) ms *= 1000; p99 = ms}
    END {printf "%s %.3f\n", rps, p99}'
}
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

: >"$work/heart"; : >"$work/print"
for ((r = 1; r <= rounds; r++)); do
  measure "$heart" >>"$work/heart"
  measure "$print" >>"$work/print"
done
heart_rps=$(cut -d' ' -f1 "$work/heart" | median); heart_p99=$(cut -d' ' -f2 "$work/heart" | median)
print_rps=$(cut -d' ' -f1 "$work/print" | median); print_p99=$(cut -d' ' -f2 "$work/print" | median)
echo "wrk -t1 -c8, median of $rounds alternating rounds of ${seconds} s"
printf '%-8s %12s %10s\n' "" "req/s" "p99 ms"
printf '%-8s %12.0f %10.3f\n' /heart "$heart_rps" "$heart_p99" /print "$print_rps" "$print_p99"
printf '/print : /heart = %.2f (target >= 0.5); /print p99 %.3f ms (target <= 2)\n' \
  "$(echo "$print_rps / $heart_rps" | bc -l)" "$print_p99"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
