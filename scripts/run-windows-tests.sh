#!/usr/bin/env bash
# Builds the 32-bit Windows program and its tests (scripts/build-windows.sh) and runs the tests
# with ctest under Wine. Extra arguments go to ctest (for example -R unit. or -L win32).
#
# The run gets a Wine prefix of its own (build-win/wineprefix, created afresh) and one Xvfb on a
# free display for the tests that create windows; both are stopped when the run ends, also when
# it fails. The exit status is ctest's.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/build-windows.sh

export WINEPREFIX=$ROOT/build-win/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

XVFB_PID=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# A display number nobody uses: no X socket and no lock file for it.
display=""
for n in $(seq 90 190); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    display=$n
    break
  fi
done
[ -n "$display" ] || { echo "run-windows-tests: no free X display" >&2; exit 1; }
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  kill -0 "$XVFB_PID" 2>/dev/null || { echo "run-windows-tests: Xvfb :$display did not start" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$display"

rm -rf "$WINEPREFIX"
start=$(date +%s)
wineboot -i >/dev/null 2>&1
wineserver -w
echo "run-windows-tests: Wine prefix $WINEPREFIX ready in $(( $(date +%s) - start )) s"

# Keep one wineserver alive for the whole run, so each test does not start its own.
wineserver -p

cd build-win/cmake
status=0
ctest --output-on-failure -j2 "$@" || status=$?
exit "$status"
