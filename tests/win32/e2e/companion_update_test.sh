#!/usr/bin/env bash
# An application update as a user meets it, under Wine, in a prefix of its own: the program is
# installed silently with an update key into "C:\Program Files\Kestrix 客户端助手 更新", its
# companion service registered and started by Wine's service manager, which starts the assistant
# (the start-with-Windows flag is 1); the assistant finds a newer signed installer on a local update server and asks; the user says
# Yes. The companion ends the assistant, runs the installer silently (which stops and restarts the
# companion), and the restarted companion starts the assistant again: it answers at the new
# version, with the user's print settings and start-with-Windows flag as they were. Then a restart
# request gives a new process whose predecessor wrote its run log, and a page's request is refused.
#
#   bash companion_update_test.sh <cmake build dir> <program dir> [<test-modules dir>]
#
# Needs DISPLAY (the question box), wine, wineboot, wineserver, makensis, openssl, python3, curl,
# kxsetup.exe and kxwin.exe in <cmake build dir>/tools. Every wait is bounded; the prefix's
# processes end with wineserver -k, the update server with its process id.
set -u

cmake_dir=${1:?usage: companion_update_test.sh <cmake dir> <program dir>}
program_dir=${2:?usage: companion_update_test.sh <cmake dir> <program dir>}
. "$(dirname "$0")/support/harness.sh"
. "$(dirname "$0")/support/wine_install.sh"
root=$(cd "$(dirname "$0")/../../.." && pwd)
work=
server_pid=

cleanup() {
  stop_pid "$server_pid"
  end_prefix_test "${1:-0}" "$work"/prefix/drive_c/Program\ Files/*/log/*
}
trap 'cleanup $?' EXIT

require_environment wine wineboot wineserver makensis openssl python3 curl
require_kxwin
kxsetup=$cmake_dir/tools/kxsetup.exe
[ -f "$kxsetup" ] || fatal "$kxsetup is missing (target kxsetup)"

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-win-companion.XXXXXX") || fatal "no temporary folder"
work=$(cd "$work" && pwd -P)
export WINEPREFIX=$work/prefix WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

# ---- two signed installers ----------------------------------------------------------------------
openssl genpkey -algorithm ed25519 -out "$work/update.key" 2>/dev/null &&
  openssl pkey -in "$work/update.key" -pubout -out "$work/update.pub" || fatal "openssl cannot make a key"
mkdir -p "$work/prog2" && cp -r "$program_dir"/. "$work/prog2"/ || fatal "cannot copy $program_dir"
rm -rf "$work/prog2/log" "$work/prog2/upgrade" "$work/prog2/download"
printf 'kx companion test 1.0.1' >>"$work/prog2/comp/print/print.dll" # the update's files differ
for v in 1.0.0 1.0.1; do
  src=$program_dir
  [ "$v" = 1.0.0 ] || src=$work/prog2
  bash "$root/scripts/build-installer.sh" --arch "$(installer_arch)" --program-dir "$src" --out "$work/$v" \
    --version "$v" --update-key "$work/update.pub" --compressor zlib >>"$work/build.log" 2>&1 ||
    fatal "build-installer.sh $v failed"
done
new_setup=$work/1.0.1/KestrixAssistant-Setup-1.0.1.exe
openssl pkeyutl -sign -inkey "$work/update.key" -rawin -in "$new_setup" -out "$work/setup.sig" ||
  fatal "cannot sign the installer"
signature="ed25519=$(base64 -w0 "$work/setup.sig")"

# ---- install 1.0.0 ------------------------------------------------------------------------------
make_prefix
inst_win='C:\Program Files\Kestrix 客户端助手 更新'
inst="$WINEPREFIX/drive_c/Program Files/Kestrix 客户端助手 更新"
service=$inst/KxService.exe
run_setup "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "/S /D=$inst_win"
[ "$rc" -eq 0 ] || fatal "the installer of 1.0.0 exited with $rc"
service_key='HKLM\System\CurrentControlSet\Services\KestrixAssistantServer'
expect_value "$service_key" ImagePath "\"$inst_win\\KxService.exe\""
expect_value "$service_key" Start 0x2
sys_ini() { timeout 60 wine "$service" /readSysIni "$1" "$2" </dev/null 2>/dev/null | tr -d '\r\n'; }

# Ports of this test's own, the update server's address, and the user's settings; the companion
# reads the ports when it starts.
pick_port; update_port=$port
pick_port
[ "$port" != "$update_port" ] || pick_port
companion_port=$((port + 2))

# ---- the update server: the new installer once, signed; nothing after it -------------------------
python3 - "$update_port" "$new_setup" "$signature" "$work/requests.log" >"$work/server.log" 2>&1 <<'PY' &
import http.server, os, sys, threading, time
port, setup, signature, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
body = open(setup, "rb").read()
served = []
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(log, "a") as f:
            f.write(self.path + "\n")
        if self.path == "/upgrade/app" and not served:
            served.append(1)
            self.send_response(200)
            self.send_header("app_name", os.path.basename(setup))
            self.send_header("Content-Signature", signature)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        else:
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
threading.Timer(600, server.shutdown).start()
print("listening", flush=True)
server.serve_forever()
PY
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.log" 2>/dev/null && break; sleep 0.2; done
grep -q listening "$work/server.log" || fatal "the update server did not start"

timeout 60 wine "$service" /stop </dev/null >/dev/null 2>&1 || fail "KxService.exe /stop failed"
for kv in "HTTP server.port $port" "HTTP server.update.url http://127.0.0.1:$update_port/upgrade/app"; do
  # shellcheck disable=SC2086
  timeout 60 wine "$service" /writeSysIni $kv </dev/null >/dev/null 2>&1 || fail "/writeSysIni $kv failed"
done
mkdir -p "$inst/data/json" && printf '{"bill":"user settings"}' >"$inst/data/json/print.json" ||
  fatal "cannot write data/json/print.json"
timeout 60 wine reg add 'HKCR\KestrixAssistant' /v AutoRun /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
timeout 60 wine "$service" /start </dev/null >/dev/null 2>&1 || fail "KxService.exe /start failed"
companion_answers() {
  [ "$(curl -s -o /dev/null -w '%{http_code}' -m 5 -X POST -d '' "http://127.0.0.1:$companion_port/x")" = 404 ]
}
for _ in $(seq 100); do companion_answers && break; sleep 0.3; done
companion_answers || fatal "the companion service does not answer on port $companion_port"

# ---- the assistant starts with the companion, finds the update, asks, and the user says Yes -------
# With the start-with-Windows flag at 1 the companion starts the assistant in the signed-in user's
# session when it starts (as at a logon).
heart() { curl -s -m 5 "http://127.0.0.1:$port/heart" >/dev/null; }
assistant_pid() { kx pid TfrmMain 2>/dev/null; }
for _ in $(seq 100); do heart && break; sleep 0.3; done
heart || fatal "the companion did not start the assistant (flag 1)"
first_pid=$(assistant_pid)
[ -n "$first_pid" ] || fail "no main window of the installed assistant"
question="需要关闭客户端才能更新，是否立即更新？"
expect_box "$question" 60 || fatal "the update was not offered"
# ---- while the question is open: hostile calls, each refused with its status and a log line ----
# (the assistant is done with download\ until the answer), and nothing is ended or run.
mkdir -p "$inst/download" "$work/outside"
cp "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "$inst/download/unsigned.exe"
cp "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "$inst/download/badly.exe"
openssl pkeyutl -sign -inkey "$work/update.key" -rawin -in "$new_setup" -out "$work/other.sig" &&
  printf 'ed25519=%s' "$(base64 -w0 "$work/other.sig")" >"$inst/download/badly.exe.sig"
cp "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "$work/outside/setup.exe"
cp "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "$inst/setup.exe"
# curl sends the path as the assistant does: blanks as %20, bytes outside ASCII percent-encoded.
encode() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe="\\:/"))' "$1"; }
companion_status() { # target [curl options...]
  local target=$1
  shift
  curl -s -o /dev/null -w '%{http_code}' -m 10 -X POST -d '' "$@" "http://127.0.0.1:$companion_port$target"
}
refusals() { cat "$inst"/log/service-*.txt 2>/dev/null | iconv -f GBK -t UTF-8 | grep -c '已拒绝'; }
fp="/upgradeMainApp?fp="
while IFS='|' read -r what expected target header; do
  before=$(refusals)
  if [ -n "$header" ]; then got=$(companion_status "$target" -H "$header"); else got=$(companion_status "$target"); fi
  [ "$got" = "$expected" ] || fail "$what: status $got, expected $expected"
  [ "$(refusals)" -gt "$before" ] || fail "$what: no log line"
done <<TABLE
Origin|403|$fp$(encode "$inst_win\download\unsigned.exe")|Origin: https://shop.example
Referer|403|/controlMainApp?ct=2|Referer: https://shop.example/page
Sec-Fetch-Site|403|/controlMainApp?ct=2|Sec-Fetch-Site: cross-site
foreign Host|403|/controlMainApp?ct=2|Host: rebind.example
outside download|403|$fp$(encode "$inst_win\setup.exe")|
dot-dot|403|$fp$(encode "$inst_win\download\..\setup.exe")|
another drive|403|$fp$(encode "$(winpath "$work/outside/setup.exe")")|
UNC|403|$fp$(encode '\\127.0.0.1\share\download\setup.exe')|
unsigned with the key present|403|$fp$(encode "$inst_win\download\unsigned.exe")|
badly signed|403|$fp$(encode "$inst_win\download\badly.exe")|
TABLE
cat "$inst"/log/service-*.txt | iconv -f GBK -t UTF-8 | grep -q '运行安装程序' && fail "a refused request ran an installer"
rm -f "$inst/download/unsigned.exe" "$inst/download/badly.exe" "$inst/download/badly.exe.sig" "$inst/setup.exe"

answer_box "$question" 6
[ -f "$inst/download/KestrixAssistant-Setup-1.0.1.exe.sig" ] || fail "the checked signature was not kept beside the installer"

# The companion ends the assistant, the installer replaces the program and restarts the
# companion, which starts the assistant again.
updated=
for _ in $(seq 300); do
  if [ "$(sys_ini APP application.current.version)" = 1.0.1 ] && heart; then updated=1; break; fi
  sleep 1
done
[ -n "$updated" ] || fatal "the assistant did not come back at 1.0.1 (version '$(sys_ini APP application.current.version)')"
second_pid=$(assistant_pid)
[ -n "$second_pid" ] && [ "$second_pid" != "$first_pid" ] || fail "no new assistant process ($first_pid, then '$second_pid')"
cmp -s "$work/prog2/comp/print/print.dll" "$inst/comp/print/print.dll" || fail "comp/print/print.dll is not the update's"
[ "$(cat "$inst/data/json/print.json")" = '{"bill":"user settings"}' ] || fail "the user's print.json changed"
expect_value 'HKCR\KestrixAssistant' AutoRun 0x1
[ "$(sys_ini HTTP server.port)" = "$port" ] || fail "the user's server.port changed"
service_log=$(cat "$inst"/log/service-*.txt 2>/dev/null | iconv -f GBK -t UTF-8)
for line in "开机时自动启动客户端" "收到更新请求，安装程序已通过检查" "运行安装程序" "安装程序已重新启动本服务，完成更新" "客户端版本：1.0.1" "已启动客户端"; do
  grep -qF "$line" <<<"$service_log" || fail "the service log lacks '$line'"
done
[ ! -e "$inst/.companion/resume.txt" ] || fail "the resume note is left behind"

# ---- a restart on request; a page's request changes nothing -------------------------------------
run_log_size() { cat "$inst"/log/[0-9]*.txt 2>/dev/null | wc -c; }
before=$(run_log_size)
status=$(curl -s -o /dev/null -w '%{http_code}' -m 10 -X POST -H 'Origin: https://shop.example' -d '' \
  "http://127.0.0.1:$companion_port/controlMainApp?ct=2")
[ "$status" = 403 ] || fail "a request with Origin got $status"
status=$(curl -s -o /dev/null -w '%{http_code}' -m 10 -X POST -d '' "http://127.0.0.1:$companion_port/controlMainApp?ct=2")
[ "$status" = 200 ] || fail "the restart request got $status"
third_pid=
for _ in $(seq 120); do
  third_pid=$(assistant_pid)
  [ -n "$third_pid" ] && [ "$third_pid" != "$second_pid" ] && heart && break
  sleep 0.5
done
[ -n "$third_pid" ] && [ "$third_pid" != "$second_pid" ] || fail "the restart gave no new process"
[ "$(run_log_size)" -gt "$before" ] || fail "the ended assistant wrote no run log"

curl -s -m 10 -X POST -d 'cmd=1' "http://127.0.0.1:$port/appctrl" >/dev/null
finish companion_update_test
