#!/usr/bin/env bash
# End-to-end test of KestrixAssistant.exe under Wine, installed as users install it: the program
# folder is copied to a folder whose path holds Chinese characters and a blank, a C-form module
# library lies in a Chinese-named folder, and Wine runs with a Chinese system locale (ANSI code
# page 936). Checks the executable's form (GUI subsystem, administrator manifest), /heart byte for
# byte, a module call and the main window as modules find it, a faulting module call, the signing
# library, the refusal of a second instance, and the exit through /appctrl with its run log.
#
#   bash program_test.sh <cmake build dir> <program dir> <test-modules dir>
#
# Needs WINEPREFIX (an initialised prefix) and DISPLAY (an X server such as Xvfb) from the
# environment, as scripts/run-windows-tests.sh sets them; wine, curl, xdotool, iconv and the
# zh_CN.UTF-8 locale (scripts/setup-debian.sh). Every wait is bounded; the processes it started
# are stopped by their ids on the way out.
set -u

program_dir=${2:?usage: program_test.sh <cmake dir> <program dir> <test-modules dir>}
modules_dir=${3:?usage: program_test.sh <cmake dir> <program dir> <test-modules dir>}
objdump=${KX_OBJDUMP:-i686-w64-mingw32-objdump}
# The build under test: 32 (what users install) or 64 (where the machine runs no 32-bit programs).
pe_bits=${KX_PE_BITS:-32}

. "$(dirname "$0")/support/harness.sh"
first_pid=
second_pid=
work=

cleanup() {
  stop_pid "$second_pid"
  stop_pid "$first_pid"
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "$failures" -ne 0 ] || [ "${1:-0}" -ne 0 ]; then
      for f in "$work"/first.out "$work"/second.out; do
        [ -s "$f" ] && { echo "---- $(basename "$f") ----"; cat "$f"; } >&2
      done
    fi
    [ -n "${KX_KEEP_TEST_FOLDERS:-}" ] || rm -rf "$work"
  fi
}
trap 'cleanup $?' EXIT

# ---- What the test needs -------------------------------------------------------------------------
require_environment wine curl xdotool iconv "$objdump"
exe=$program_dir/KestrixAssistant.exe
[ -f "$exe" ] || fatal "$exe is missing"
[ -f "$program_dir/comp/common/ca/CA.dll" ] ||
  fatal "the signing library comp/common/ca/CA.dll is missing from $program_dir: the program does not start without it"
module=$modules_dir/e2e_module.dll
[ -f "$module" ] || fatal "$module is missing"

# ---- The executable and the module library as built ---------------------------------------------
headers=$("$objdump" -p "$exe")
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "KestrixAssistant.exe is not a GUI-subsystem program"
case "$pe_bits" in 32) magic=010b ;; 64) magic=020b ;; *) fatal "KX_PE_BITS is $pe_bits" ;; esac
grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" || fail "KestrixAssistant.exe is not a $pe_bits-bit program"
grep -aq 'level="requireAdministrator"' "$exe" || fail "the manifest of KestrixAssistant.exe does not request requireAdministrator"
exports=$("$objdump" -p "$module" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in echo crash mainWindow; do
  grep -Eq "\] $name\$" <<<"$exports" || fail "e2e_module.dll does not export the plain name $name: $exports"
done

# ---- The program folder --------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/kx-win-e2e.XXXXXX") || fatal "no temporary folder"
work=$(cd "$work" && pwd -P)
make_program_folder "$program_dir"
mkdir -p "$folder/comp/测试 模块" && cp "$module" "$folder/comp/测试 模块/e2e_module.dll" || fatal "cannot copy the module"
pick_port

mkdir -p "$folder/conf" "$folder/data/text"
printf '[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=%s\r\n' "$port" >"$folder/conf/sys.ini"
# The module path holds Chinese text, so dll.ini is written in UTF-16LE with its byte order mark,
# which the profile functions read whatever the code page.
{
  printf '\xff\xfe'
  printf '[MODULE-DLLPATH]\r\nprint=comp\\测试 模块\\e2e_module.dll\r\n[MODULE-LANG]\r\nprint=c\r\n' |
    iconv -f UTF-8 -t UTF-16LE
} >"$folder/conf/dll.ini"
printf 'a\r\nb\r\n' >"$folder/data/text/json2.txt"

# ---- Start ---------------------------------------------------------------------------------------
export LC_ALL=zh_CN.UTF-8
# A program that crashes ends instead of waiting in Wine's debugger.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
start_program() { # $1: file for its output; the pid in $started
  (cd "$folder" && exec wine ./KestrixAssistant.exe) >"$1" 2>&1 &
  started=$!
}
start_program "$work/first.out"
first_pid=$started

base=http://127.0.0.1:$port
up=0
for _ in $(seq 120); do
  kill -0 "$first_pid" 2>/dev/null || fatal "KestrixAssistant.exe ended during start-up"
  # A refusal (another copy runs in this Wine prefix, or no administrator rights) or an error
  # report is a box with the program's caption.
  if xdotool search --onlyvisible --name '^Kestrix客户端$' >/dev/null 2>&1; then
    fatal "KestrixAssistant.exe shows a message box instead of starting (another copy in this Wine prefix?)"
  fi
  if curl -s --max-time 2 -o /dev/null "$base/heart"; then up=1; break; fi
  sleep 0.5
done
[ "$up" -eq 1 ] || fatal "no answer on /heart within 60 s"

# ---- /heart and the HTTP contract byte for byte (the Date value aside) -------------------------
# $1 case name, $2 expected reply with "Date: *", then curl's arguments.
expect_reply() {
  local name=$1 expected=$2
  shift 2
  local raw
  raw=$(curl -s -i --max-time 10 "$@"; printf x) || true
  raw=${raw%x}
  local date_line
  date_line=$(grep -a '^Date: ' <<<"$raw" | tr -d '\r')
  if ! grep -Eq '^Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT$' <<<"$date_line"; then
    fail "$name: Date header '$date_line'"
  fi
  local normalised
  normalised=$(sed -E 's/^Date: .*\r$/Date: *\r/' <<<"$raw"; printf x)
  normalised=${normalised%x}
  # sed adds a line end after a body without one.
  [ "${raw: -1}" = $'\n' ] || normalised=${normalised%$'\n'}
  if [ "$normalised" != "$expected" ]; then
    fail "$name: reply differs"
    printf 'expected:\n%s\nactual:\n%s\n' "$expected" "$normalised" | cat -A >&2
  fi
}
reply() { # status line, connection, content type, body
  printf 'HTTP/1.1 %s\r\nConnection: %s\r\nContent-Type: %s\r\nContent-Length: %s\r\nDate: *\r\n\r\n%s' \
    "$1" "$2" "$3" "$(printf %s "$4" | wc -c)" "$4"
}
utf8='text/html; charset=UTF-8'
expect_reply "GET /heart?jsonp=callback123" "$(reply '200 OK' keep-alive "$utf8" 'callback123(0)')" "$base/heart?jsonp=callback123"
expect_reply "GET /heart" "$(reply '200 OK' keep-alive "$utf8" '(0)')" "$base/heart"
expect_reply "GET /heart?JSONP=cb" "$(reply '200 OK' keep-alive "$utf8" 'cb(0)')" "$base/heart?JSONP=cb"
expect_reply "POST /heart jsonp=cb" "$(reply '200 OK' keep-alive "$utf8" 'cb(0)')" -d jsonp=cb "$base/heart"
expect_reply "GET /heart/" "$(reply '404 Not Found' close 'text/html; charset=ISO-8859-1' '<html> 404 Not Found</html>')" "$base/heart/"
expect_reply "PUT /heart" "$(reply '405 Method not allowed' keep-alive 'text/html; charset=utf-8' \
  '<HTML><BODY><B>405 Method not allowed</B></BODY></HTML>')" -X PUT "$base/heart"

# ---- Module calls --------------------------------------------------------------------------------
json_escape() { local s=${1//\\/\\\\}; printf '%s' "${s//\"/\\\"}"; }
payload() { printf '%s' "$1" | base64 -w0 | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g'; }
script_reply() { printf '<script>abvar data={"id":"%s","ret":%s};window.parent.postMessage(JSON.stringify(data), "*")</script>' "$1" "$2"; }
get_body() { curl -s --max-time 30 "$@" || echo "(curl failed: $?)"; }

data='{"名":"中文 a\"b"}'
config="{\"appId\":\"7\",\"appFileDir\":\"$(json_escape "$windows_folder")\"}"
expected=$(script_reply 1 "{\"data\":\"$(json_escape "$data")\",\"config\":\"$(json_escape "$config")\"}")
echo_target="$base/print?id=1&func=echo&payload=$(payload "{\"data\":[$data],\"config\":{\"appId\":\"7\"}}")"
body=$(get_body "$echo_target")
[ "$body" = "$expected" ] || fail "module call: expected $expected, got $body"

body=$(get_body "$base/print?id=2&func=mainWindow")
expected=$(script_reply 2 '{"found":true,"visible":false,"show":0,"hide":0,"posted":true}')
[ "$body" = "$expected" ] || fail "the main window as a module finds it: expected $expected, got $body"

body=$(get_body "$base/print?id=3&func=crash")
head='<script>abvar data={"id":"3","ret":{"ret_code":"2001","ret_msg":"捕获到异常：'
tail='"}};window.parent.postMessage(JSON.stringify(data), "*")</script>'
[[ "$body" == "$head"*"$tail" ]] || fail "faulting module call: expected the 2001 body, got $body"
[ "$(curl -s --max-time 10 "$base/heart")" = "(0)" ] && kill -0 "$first_pid" 2>/dev/null ||
  fatal "the service did not live on after the faulting module call"
body=$(get_body "${echo_target/id=1/id=4}")
[[ "$body" == '<script>abvar data={"id":"4","ret":{"data":'* ]] || fail "module call after the fault: $body"

# ---- The signing library -------------------------------------------------------------------------
signed=$(curl -s --max-time 30 -D "$work/sign.headers" "$base/sign?text=$(payload 'sign me 签名')") || signed="(curl failed)"
grep -aqi '^Content-Type: text/json; charset=UTF-8' "$work/sign.headers" 2>/dev/null || fail "/sign: content type"
if [ -z "$signed" ] || [ "$signed" = '{"ret_code": "1", "ret_msg": "签名服务错误"}' ] || [ "$signed" = "(curl failed)" ]; then
  fail "/sign did not reach the signing library: '$signed'"
fi

# ---- The main window is never shown ---------------------------------------------------------------
if xdotool search --onlyvisible --name '^Kestrix客户端助手$' >/dev/null 2>&1; then
  fail "a window titled Kestrix客户端助手 is visible"
fi

# ---- A second instance is refused ----------------------------------------------------------------
start_program "$work/second.out"
second_pid=$started
box=
for _ in $(seq 60); do
  box=$(xdotool search --onlyvisible --name '^Kestrix客户端$' 2>/dev/null | head -n1)
  [ -n "$box" ] && break
  kill -0 "$second_pid" 2>/dev/null || break
  sleep 0.5
done
if [ -z "$box" ]; then
  fail "the second instance showed no box titled Kestrix客户端 within 30 s"
else
  [ "$(get_body "$base/heart")" = "(0)" ] || fail "the first instance does not answer while the second one asks"
  xdotool windowactivate --sync "$box" >/dev/null 2>&1 || xdotool windowfocus --sync "$box" >/dev/null 2>&1
  xdotool key --clearmodifiers Return >/dev/null 2>&1
fi
if wait_exit 30 "$second_pid"; then
  [ "$exit_status" -eq 1 ] || fail "the second instance ended with $exit_status instead of 1"
  second_pid=
else
  fail "the second instance did not end within 30 s of its box"
fi
[ "$(get_body "$base/heart")" = "(0)" ] || fail "the first instance does not answer after the second one ended"
kill -0 "$first_pid" 2>/dev/null || fatal "the first instance ended"

# ---- Exit through /appctrl and the run log ---------------------------------------------------------
expect_reply "GET /appctrl?cmd=1" "$(reply '200 OK' keep-alive 'text/html; charset=utf-8' \
  '<HTML><BODY><B>200 OK</B></BODY></HTML>')" "$base/appctrl?cmd=1"
if wait_exit 30 "$first_pid"; then
  [ "$exit_status" -eq 0 ] || fail "KestrixAssistant.exe ended with $exit_status after /appctrl?cmd=1"
  first_pid=
else
  fatal "KestrixAssistant.exe did not end within 30 s of /appctrl?cmd=1"
fi
curl -s --max-time 2 -o /dev/null "$base/heart" && fail "the service still answers after the exit"

log_file="$folder/log/$(date +%y-%m-%d).txt"
[ -f "$log_file" ] || fatal "no run log $log_file (log folder: $(ls "$folder/log" 2>&1))"
log=$(iconv -f GB18030 -t UTF-8 "$log_file") || fail "the run log is not in code page 936"
line='^【[0-2][0-9]:[0-5][0-9]:[0-5][0-9]】 '
for text in "程序网络服务开启成功，当前端口号： $port"; do
  [ "$(grep -c "${line}${text}"$'\r'"\$" <<<"$log")" -eq 1 ] || fail "the run log lacks the line '$text' once: $log"
done
grep -q "${line}程序网络服务开启成功" <(head -n 3 <<<"$log") || fail "the start-up line is not among the first lines: $log"
[ "$(grep -vc "${line}" <<<"$log")" -eq 0 ] || fail "the run log holds lines without a time: $log"

finish program_test
