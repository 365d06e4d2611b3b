#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and runs the tests with ctest
# under Wine. Extra arguments go to ctest (for example -R unit. or -L win32).
#
# Users get the 32-bit program, and its tests run under 32-bit Wine. A kernel built without 32-bit
# x86 support starts no 32-bit program at all (wine32 fails with "Exec format error"): there the
# 32-bit program is still built, and the tests run on the 64-bit build of the same sources
# (build-win64/) under 64-bit Wine. KX_WIN_ARCH=i686 or x86_64 chooses the tested build instead.
#
# The run gets a Wine prefix of its own (wineprefix in the build folder, created afresh) and one
# Xvfb on a free display for the tests that create windows; both are stopped when the run ends,
# also when it fails. The exit status is ctest's.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

KX_WIN_ARCH=i686 bash scripts/build-windows.sh
arch=${KX_WIN_ARCH:-}
if [ -z "$arch" ]; then
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    arch=i686
  else
    arch=x86_64
    echo "run-windows-tests: this machine cannot run 32-bit x86 programs; the 32-bit program is" \
      "built, and the tests run on the 64-bit build under 64-bit Wine"
  fi
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$arch" in
  i686)
    OUT=$ROOT/build-win
    export WINEARCH=win32
    ;;
  x86_64)
    KX_WIN_ARCH=x86_64 bash scripts/build-windows.sh
    OUT=$ROOT/build-win64
    export WINEARCH=win64
    # Debian's `wine` launcher takes the 32-bit loader whenever wine32 is installed: the tests and
    # this script call `wine` and `wineboot`, so both lead to the 64-bit loader here.
    export WINELOADER=/usr/lib/wine/wine64
    mkdir -p "$OUT/bin"
    printf '#!/bin/sh\nexec %s "$@"\n' "$WINELOADER" >"$OUT/bin/wine"
    printf '#!/bin/sh\nexec %s wineboot "$@"\n' "$WINELOADER" >"$OUT/bin/wineboot"
    chmod +x "$OUT/bin/wine" "$OUT/bin/wineboot"
    export PATH=$OUT/bin:$PATH
    ;;
  *) echo "run-windows-tests: KX_WIN_ARCH must be i686 or x86_64, not $arch" >&2; exit 2 ;;
esac
export WINEPREFIX=$OUT/wineprefix

XVFB_PID=""
KEEPER_PID=""
cleanup() {
  exec 7>&- 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$KEEPER_PID" ]; then
    wait "$KEEPER_PID" 2>/dev/null || true
  fi
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
# A program that crashes ends at once: Wine's debugger, started on an unhandled exception, can
# wait for ever on a process whose other threads still run, and the test would only end at its
# timeout. The "debugger" here is a command that exits, after which the process is ended.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ \
  /d 'cmd /c exit' /f >/dev/null 2>&1
wineserver -w
# Chinese in dialogs, menus and balloons is drawn with the font set-up installs, not as boxes.
bash "$ROOT/scripts/wine-cjk-fonts.sh"
echo "run-windows-tests: Wine prefix $WINEPREFIX ready in $(( $(date +%s) - start )) s"

# Wine's own background processes (services, device drivers) are started by the first Windows
# program of a session and inherit its output; started by a test, they would hold ctest's pipe
# open after the test ends and ctest would wait for them until the timeout. So one idle program
# (cmd reading from a pipe that stays open) holds the session open for the whole run, with its
# output going nowhere; the background processes start with it.
keeper_fifo=$(mktemp -u "${TMPDIR:-/tmp}/kx-wine-keeper.XXXXXX")
mkfifo "$keeper_fifo"
wine cmd <"$keeper_fifo" >/dev/null 2>&1 &
KEEPER_PID=$!
exec 7>"$keeper_fifo"
rm -f "$keeper_fifo"
# One program run to its end before any test: the background processes are up once it returns
# (whether the keeper or this one started them, their output goes nowhere), so the first test
# started does not start them on ctest's pipe.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

cd "$OUT/cmake"
status=0
ctest --output-on-failure -j2 "$@" || status=$?
exit "$status"
