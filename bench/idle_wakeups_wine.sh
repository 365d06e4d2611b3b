#!/usr/bin/env bash
# How often the idle Windows program wakes up under Wine: the context switches of the threads of
# its process (a Linux process under Wine, so /proc counts them), over a window after start-up
# has settled, with the tray icon up in Wine's notification area on a private Xvfb display. The
# count includes the threads Wine itself runs inside every process; Wine's own server and
# background programs are other processes and are not counted.
# Usage: bench/idle_wakeups_wine.sh [windows-build-folder] [seconds]
#   (defaults: build-win64 30; build it first with KX_WIN_ARCH=x86_64 scripts/build-windows.sh,
#   or give build-win on a machine that runs 32-bit programs)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build-win64}"
seconds="${2:-30}"
exe="$out/program/KestrixAssistant.exe"
[ -f "$exe" ] || { echo "build first: $exe is missing" >&2; exit 1; }
for tool in Xvfb wine python3 curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
. bench/proc_switches.sh

work=$(mktemp -d /tmp/kx-idle-wine-XXXXXX)
xvfb_pid=""; kx_pid=""
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The 64-bit build runs under the 64-bit loader (Debian's `wine` launcher would take the 32-bit one).
if [ "$out" != build-win ] && [ -x /usr/lib/wine/wine64 ]; then
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  mkdir -p "$work/bin"
  printf '#!/bin/sh\nexec %s "$@"\n' "$WINELOADER" >"$work/bin/wine"
  printf '#!/bin/sh\nexec %s wineboot "$@"\n' "$WINELOADER" >"$work/bin/wineboot"
  chmod +x "$work/bin/wine" "$work/bin/wineboot"
  export PATH="$work/bin:$PATH"
fi
cleanup() {
  [ -n "$kx_pid" ] && kill "$kx_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=""
for n in $(seq 120 220); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
sleep 1
wineboot -i >/dev/null 2>&1
wineserver -w

cp -r "$out/program" "$work/program"
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
printf '[HTTP]\r\nserver.port=%s\r\n[APP]\r\napplication.upgrade.timer.interval=8\r\n' "$port" >"$work/program/conf/sys.ini"
(cd "$work/program" && exec wine ./KestrixAssistant.exe >"$work/out.txt" 2>&1) &
for _ in $(seq 300); do
  curl -sf "http://127.0.0.1:$port/heart" >/dev/null 2>&1 && break
  sleep 0.1
done
kx_pid=$(pgrep -f 'KestrixAssistant.exe' | head -n1 || true)
[ -n "$kx_pid" ] || { echo "the program did not start" >&2; cat "$work/out.txt" >&2; exit 1; }
sleep 10 # the first update check, the tray set-up and its balloon are over
switches "$kx_pid" | sort >"$work/before"
sleep "$seconds"
switches "$kx_pid" | sort >"$work/after"
echo "== Windows program under Wine, tray icon up: $seconds s after start-up settled"
report_switches "$work/before" "$work/after" "$seconds"
