#!/usr/bin/env bash
# How often the idle assistant wakes up: the context switches (voluntary and involuntary) of all
# its threads, read from /proc, over a window after start-up has settled; per thread and in all.
# Two cases: without a display (Qt's offscreen platform) and on a private Xvfb display with a tray
# host (trayer), where the tray icon is up.
# Usage: bench/idle_wakeups.sh [build-folder] [seconds]   (defaults: build 30; build first)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
seconds="${2:-30}"
binary="$build/program/KestrixAssistant"
[ -x "$binary" ] || { echo "build first: $binary is missing" >&2; exit 1; }
for tool in Xvfb trayer python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup-debian.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kx-idle-XXXXXX)
kx_pid=""; xvfb_pid=""; trayer_pid=""
cleanup() {
  for pid in "$kx_pid" "$trayer_pid" "$xvfb_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }

. bench/proc_switches.sh

# Starts the assistant with the environment given, waits for its first /heart, lets it settle,
# then counts for $seconds.
measure() {
  local label=$1
  shift
  rm -rf "$work/program"
  cp -r "$build/program" "$work/program"
  local port
  port=$(free_port)
  printf '[HTTP]\r\nserver.port=%s\r\n[APP]\r\napplication.upgrade.timer.interval=8\r\n' "$port" >"$work/program/conf/sys.ini"
  (cd "$work/program" && exec env "$@" ./KestrixAssistant >"$work/out.txt" 2>&1) &
  kx_pid=$!
  for _ in $(seq 100); do
    curl -sf "http://127.0.0.1:$port/heart" >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 5 # the first update check (one second after start) and the tray set-up are over
  switches "$kx_pid" | sort >"$work/before"
  sleep "$seconds"
  switches "$kx_pid" | sort >"$work/after"
  echo "== $label: $seconds s after start-up settled"
  report_switches "$work/before" "$work/after" "$seconds"
  kill "$kx_pid" 2>/dev/null && wait "$kx_pid" 2>/dev/null || true
  kx_pid=""
}

measure "no display (offscreen)" QT_QPA_PLATFORM=offscreen

display=""
for n in $(seq 120 220); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
sleep 1
DISPLAY=":$display" trayer --edge top --align right --widthtype request --height 32 >/dev/null 2>&1 &
trayer_pid=$!
sleep 1
measure "X display with a tray host" DISPLAY=":$display" QT_QPA_PLATFORM=xcb
