# Shared pieces of the Windows end-to-end scripts (sourced, not run): failure counting, stopping
# and waiting for processes by id, a free port, and a program folder whose path holds Chinese
# characters and a blank, as users install it. Every wait is bounded.

failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Stops here: nothing after it can be checked.
fatal() { echo "FAIL: $*" >&2; exit 1; }

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
}

# Waits (at most $1 seconds) for process $2 to end; its exit status in $exit_status.
wait_exit() {
  local limit=$1 pid=$2
  for _ in $(seq $((limit * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      exit_status=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# A port nobody listens on, in $port.
pick_port() {
  port=
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; return 0; fi
  done
  fatal "no free port found"
}

# Copies the program folder $1 into "$work/程序文件/Kestrix 客户端助手" (the folder in $folder, as
# the program names it in $windows_folder: Wine's drive Z: is the Unix root) without the folders a
# run leaves behind.
make_program_folder() {
  folder="$work/程序文件/Kestrix 客户端助手"
  mkdir -p "$folder" && cp -r "$1"/. "$folder"/ || fatal "cannot copy $1"
  rm -rf "$folder/log" "$folder/upgrade" "$folder/download"
  windows_folder="Z:${folder//\//\\}"
}

# Checks what every script needs from its environment: $WINEPREFIX, $DISPLAY, the tools named.
require_environment() {
  [ -n "${WINEPREFIX:-}" ] || fatal "WINEPREFIX is not set (scripts/run-windows-tests.sh sets it)"
  [ -n "${DISPLAY:-}" ] || fatal "DISPLAY is not set: the program's windows need an X server (Xvfb)"
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fatal "$tool is missing"
  done
  locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' ||
    fatal "the locale zh_CN.UTF-8 is missing (scripts/setup-debian.sh generates it)"
}

# kxwin.exe (KX_WIN_TOOL) reads and drives the program's windows: kx runs it and gives its output
# without carriage returns, and its exit status.
kxwin=${KX_WIN_TOOL:-}
kx() {
  local out status
  out=$(wine "$kxwin" "$@" 2>/dev/null)
  status=$?
  out=${out//$'\r'/}
  [ -z "$out" ] || printf '%s\n' "$out"
  return "$status"
}
require_kxwin() {
  [ -n "$kxwin" ] && [ -f "$kxwin" ] || fatal "KX_WIN_TOOL does not name kxwin.exe"
}

# A visible window of the class within $2 seconds (10), else the failure $3.
expect_window() { kx wait "$1" "${2:-10}" >/dev/null || fail "${3:-no visible window of the class $1}"; }
expect_gone() { kx gone "$1" "${2:-10}" >/dev/null || fail "${3:-a window of the class $1 is still visible}"; }

# The program's message box (caption Kestrix客户端) shows text $1 within $2 seconds (10); 1 when no
# box came (reported).
expect_box() {
  local text=$1
  if ! kx wait '#32770' "${2:-10}" >/dev/null; then
    fail "no message box saying '$text'"
    return 1
  fi
  [ "$(kx title '#32770')" = "Kestrix客户端" ] || fail "the box's caption is '$(kx title '#32770')'"
  kx controls '#32770' | grep -qF "$text" || fail "the box does not say '$text': $(kx controls '#32770')"
}
# Answers the box of expect_box with the button of id $2 (IDOK 1, IDYES 6, IDNO 7).
answer_box() {
  expect_box "$1" || return
  kx click '#32770' "$2" >/dev/null
  expect_gone '#32770' 10 "the box '$1' stays after its answer"
}

# Ends the script: 0 when no check failed.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
}
