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

# Ends the script: 0 when no check failed.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
}
