#!/usr/bin/env bash
# End-to-end test of what a Windows user sees of KestrixAssistant.exe, under Wine on an X display:
# the tray icon and its balloons, the taskbar's return, the pop-up menu chosen with the keys, the
# three settings dialogs (one of each at a time), the restart request to the companion service,
# the manual update check, the loading overlay a module asks for, the end of the session, and a
# start with the port taken.
# The program folder's path holds Chinese characters and a blank; Wine runs with a Chinese locale.
#
#   bash desktop_test.sh <cmake build dir> <program dir> <test-modules dir>
#
# Needs WINEPREFIX and DISPLAY (scripts/run-windows-tests.sh sets them), KX_WIN_TOOL (kxwin.exe,
# which reads and drives the program's windows), wine, curl, xdotool, iconv, python3 and import
# (ImageMagick) for screenshots. Wine shows tray icons in its own "Wine System Tray" window when no
# tray host runs on the display, as here. KX_KEEP_TEST_FOLDERS=1 keeps the folder with the
# screenshots.
set -u

program_dir=${2:?usage: desktop_test.sh <cmake dir> <program dir> <test-modules dir>}
modules_dir=${3:?usage: desktop_test.sh <cmake dir> <program dir> <test-modules dir>}
. "$(dirname "$0")/support/harness.sh"
app_pid=
companion_pid=
blocker_pid=
work=

cleanup() {
  stop_pid "$app_pid"
  stop_pid "$companion_pid"
  stop_pid "$blocker_pid"
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "$failures" -ne 0 ] || [ "${1:-0}" -ne 0 ]; then
      for f in "$work"/*.out; do
        [ -s "$f" ] && { echo "---- $(basename "$f") ----"; cat "$f"; } >&2
      done
    fi
    [ -n "${KX_KEEP_TEST_FOLDERS:-}" ] || rm -rf "$work"
  fi
}
trap 'cleanup $?' EXIT

require_environment wine curl xdotool iconv python3 import
require_kxwin
module=$modules_dir/e2e_module.dll
[ -f "$module" ] || fatal "$module is missing"

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-win-desktop.XXXXXX") || fatal "no temporary folder"
work=$(cd "$work" && pwd -P)
make_program_folder "$program_dir"
mkdir -p "$folder/comp/测试 模块" && cp "$module" "$folder/comp/测试 模块/e2e_module.dll" || fatal "cannot copy the module"
pick_port
companion_port=$((port + 2))
# As installed: the print settings' folder exists, and so does the start-with-Windows flag (0).
mkdir -p "$folder/conf" "$folder/data/json"
wine reg add 'HKCR\KestrixAssistant' /v AutoRun /t REG_DWORD /d 0 /f >/dev/null 2>&1 ||
  fatal "cannot write the start-with-Windows flag"
printf '[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=%s\r\n[APP]\r\napplication.current.version=v2.4.1\r\n[DLL]\r\nprint=3.1.0\r\n' \
  "$port" >"$folder/conf/sys.ini"
{
  printf '\xff\xfe'
  printf '[MODULE-DLLPATH]\r\nprint=comp\\测试 模块\\e2e_module.dll\r\n[MODULE-LANG]\r\nprint=c\r\n' |
    iconv -f UTF-8 -t UTF-16LE
} >"$folder/conf/dll.ini"

export LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
# The raw RGB bytes of a screen rectangle (x y width height) into file $5.
capture() { import -window root -crop "${3}x${4}+${1}+${2}" "rgb:$5" 2>/dev/null; }
screenshot() { import -window root "$work/$1.png" 2>/dev/null || true; }
# How many pixels of a raw RGB file are neither black (the empty root) nor white.
ink() {
  python3 -c 'import sys
d = open(sys.argv[1], "rb").read()
print(sum(1 for i in range(0, len(d) - 2, 3) if d[i:i+3] not in (b"\0\0\0", b"\xff\xff\xff")))' "$1"
}
heart() { curl -s --max-time 5 "http://127.0.0.1:$1/heart" || true; }

# Tray messages and menu items, as the shell and the menu send them to the main window.
TRAY_CALLBACK=0x8002
WM_RBUTTONUP=0x205
WM_COMMAND=0x0111
VK_RETURN=0x0D
VK_ESCAPE=0x1B
VK_UP=0x26
VK_DOWN=0x28
ID_ABOUT=1005
ID_SYSTEM=1002
ID_PRINT=1001

open_menu() {
  kx post TfrmMain "$TRAY_CALLBACK" 0 "$WM_RBUTTONUP" >/dev/null || fail "the main window is gone"
  kx wait '#32768' 10 >/dev/null || fail "right click on the tray icon opened no menu"
}
# Chooses the n-th item of the tray menu (1 = top) with the keys, as a user does.
choose_item() {
  open_menu
  for _ in $(seq "$1"); do kx key '#32768' "$VK_DOWN"; done
  kx key '#32768' "$VK_RETURN"
  expect_gone '#32768' 10 "the menu stays open after Return"
}

start_program() { # $1: output file; pid in $app_pid
  (cd "$folder" && exec wine ./KestrixAssistant.exe) >"$1" 2>&1 &
  app_pid=$!
}

# A stand-in companion service on port + 2 that records every request line and answers 200.
python3 - "$companion_port" "$work/companion.requests" >"$work/companion.out" 2>&1 <<'PY' &
import http.server, sys
port, record = int(sys.argv[1]), sys.argv[2]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        with open(record, "a") as f:
            f.write("%s %s %r\n" % (self.command, self.path, body))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
server = http.server.HTTPServer(("127.0.0.1", port), Handler)
server.timeout = 1
import time
end = time.time() + 600
while time.time() < end:
    server.handle_request()
PY
companion_pid=$!

# ---- Start: the tray icon and its balloon --------------------------------------------------------
start_program "$work/first.out"
up=0
for _ in $(seq 120); do
  kill -0 "$app_pid" 2>/dev/null || fatal "KestrixAssistant.exe ended during start-up"
  [ "$(heart "$port")" = "(0)" ] && { up=1; break; }
  sleep 0.5
done
[ "$up" -eq 1 ] || fatal "no answer on /heart within 60 s"
tray=$(xdotool search --sync --onlyvisible --name '^Wine System Tray$' 2>/dev/null | head -n1)
if [ -z "$tray" ]; then
  fail "no notification area shows the tray icon"
else
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  capture "$X" "$Y" "$WIDTH" "$HEIGHT" "$work/tray.rgb"
  [ "$(ink "$work/tray.rgb")" -gt 20 ] || fail "the notification area shows no icon"
fi
expect_window tooltips_class32 15 "no balloon appeared after the icon was put up"
screenshot tray

# ---- The taskbar comes back: the icon is put up again with its balloon ------------------------
expect_gone tooltips_class32 30 "the start-up balloon does not go"
kx taskbar
expect_window tooltips_class32 15 "no balloon after the taskbar's return"
expect_gone tooltips_class32 30 "the balloon does not go"

# ---- The pop-up menu ------------------------------------------------------------------------------
open_menu
read -r mx1 my1 mx2 my2 <<<"$(kx rect '#32768')"
capture "$mx1" "$my1" $((mx2 - mx1)) $((my2 - my1)) "$work/menu.rgb"
[ "$(ink "$work/menu.rgb")" -gt 200 ] || fail "the menu shows no text"
screenshot menu
kx key '#32768' "$VK_ESCAPE"
expect_gone '#32768' 10 "Escape does not close the menu"

# ---- The dialogs: each opens from its item, a second choice opens no second one -----------------
choose_item 5 # 关于
expect_window TfrmAbout 10 "关于 opened no TfrmAbout"
[ "$(kx title TfrmAbout)" = "关于" ] || fail "the About dialog's title is '$(kx title TfrmAbout)'"
about=$(kx controls TfrmAbout)
for text in "Kestrix客户端助手-v2.4.1" "组件版本：" "确定"; do
  grep -qF "$text" <<<"$about" || fail "the About dialog lacks '$text': $about"
done
screenshot about
kx post TfrmMain "$WM_COMMAND" "$ID_ABOUT" >/dev/null
sleep 1
[ "$(kx count TfrmAbout)" = "1" ] || fail "a second 关于 opened a second dialog"
kx key TfrmAbout "$VK_RETURN"
expect_gone TfrmAbout 10 "Return does not close the About dialog"

choose_item 2 # 系统设置
expect_window TfrmSysSet 10 "系统设置 opened no TfrmSysSet"
[ "$(kx title TfrmSysSet)" = "系统设置" ] || fail "the system settings title is '$(kx title TfrmSysSet)'"
sysset=$(kx controls TfrmSysSet)
for text in "服务地址" "127.0.0.1" "服务端口" "$port" "开机时自动启动客户端" "自动更新时间间隔" "确定" "取消"; do
  grep -qF "$text" <<<"$sysset" || fail "the system settings lack '$text': $sysset"
done
[ "$(kx exstyle TfrmSysSet)" != "" ] && (( $(kx exstyle TfrmSysSet) & 0x8 )) || fail "the system settings are not topmost"
kx post TfrmMain "$WM_COMMAND" "$ID_SYSTEM" >/dev/null
sleep 1
[ "$(kx count TfrmSysSet)" = "1" ] || fail "a second 系统设置 opened a second dialog"
screenshot sysset
kx post TfrmSysSet 0x0010 >/dev/null # the close box: ends without saving
expect_gone TfrmSysSet 10 "the close box does not close the system settings"

choose_item 1 # 打印设置
# Wine offers printers only from a print system; without one the dialog says so and ends.
if kx wait TfrmPrintSet 5 >/dev/null; then
  [ "$(kx title TfrmPrintSet)" = "打印设置" ] || fail "the print settings title is '$(kx title TfrmPrintSet)'"
  kx post TfrmMain "$WM_COMMAND" "$ID_PRINT" >/dev/null
  sleep 1
  [ "$(kx count TfrmPrintSet)" = "1" ] || fail "a second 打印设置 opened a second dialog"
  screenshot printset
  kx post TfrmPrintSet 0x0010 >/dev/null
  expect_gone TfrmPrintSet 10 "the close box does not close the print settings"
else
  answer_box "未找到打印机，请先安装打印机" 1
fi

# ---- 重新启动: asked, then the companion service is asked on port + 2 ----------------------------
choose_item 3
answer_box "确定要重启Kestrix客户端助手吗？" 6
for _ in $(seq 50); do [ -s "$work/companion.requests" ] && break; sleep 0.2; done
grep -qx "POST /controlMainApp?ct=2 b''" "$work/companion.requests" 2>/dev/null ||
  fail "the restart did not reach the companion service: $(cat "$work/companion.requests" 2>&1)"

# ---- 检查更新: a manual check tells its outcome (no update address here) -----------------------
choose_item 4
answer_box "更新服务器地址为空！" 1

# ---- The loading overlay a module asks for ------------------------------------------------------
call_module() { curl -s --max-time 30 "http://127.0.0.1:$port/print?id=$1&func=$2" || true; }
[[ "$(call_module 1 loadingShow)" == *'"sent":true'* ]] || fail "the module did not reach the main window"
expect_window TfrmPrintPrompt 10 "WM_LOADING_SHOW from a module showed no overlay"
style=$(kx exstyle TfrmPrintPrompt)
(( style & 0x80 )) || fail "the overlay is not a tool window (no taskbar button): $style"
(( style & 0x8 )) || fail "the overlay is not topmost: $style"
read -r _ _ wr wb <<<"$(kx workarea)"
read -r ox1 oy1 ox2 oy2 <<<"$(kx rect TfrmPrintPrompt)"
[ "$ox2" -eq "$wr" ] && [ "$oy2" -eq "$wb" ] ||
  fail "the overlay $ox1 $oy1 $ox2 $oy2 is not at the work area's bottom-right corner ($wr, $wb)"
capture "$ox1" "$oy1" $((ox2 - ox1)) $((oy2 - oy1)) "$work/overlay1.rgb"
changed=0
for _ in $(seq 20); do
  sleep 0.1
  capture "$ox1" "$oy1" $((ox2 - ox1)) $((oy2 - oy1)) "$work/overlay2.rgb"
  cmp -s "$work/overlay1.rgb" "$work/overlay2.rgb" || { changed=1; break; }
done
[ "$changed" -eq 1 ] || fail "the overlay's picture does not move"
[ "$(ink "$work/overlay1.rgb")" -gt 50 ] || fail "the overlay shows nothing"
screenshot overlay
[[ "$(call_module 2 loadingHide)" == *'"sent":true'* ]] || fail "the module did not reach the main window"
expect_gone TfrmPrintPrompt 10 "WM_LOADING_HIDE did not hide the overlay"

# ---- The session ends: the exit routine runs and saves the run log -----------------------------
kx endsession TfrmMain >/dev/null
if wait_exit 30 "$app_pid"; then
  app_pid=
else
  fail "KestrixAssistant.exe did not end within 30 s of the end of the session"
fi
log_file="$folder/log/$(date +%y-%m-%d).txt"
if [ -f "$log_file" ]; then
  grep -q "程序网络服务开启成功，当前端口号： $port" <(iconv -f GB18030 -t UTF-8 "$log_file") ||
    fail "the run log lacks the start-up line: $(iconv -f GB18030 -t UTF-8 "$log_file")"
else
  fail "the end of the session left no run log"
fi
rm -f "$log_file"

# ---- The port is taken: the failure line, the icon, and the exit from the menu -----------------
python3 - "$port" >"$work/blocker.out" 2>&1 <<'PY' &
import http.server, sys, time
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "7")
        self.end_headers()
        self.wfile.write(b"blocker")
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
server.timeout = 1
end = time.time() + 300
while time.time() < end:
    server.handle_request()
PY
blocker_pid=$!
for _ in $(seq 50); do [ "$(heart "$port")" = "blocker" ] && break; sleep 0.1; done
start_program "$work/second.out"
expect_window tooltips_class32 60 "with the port taken, no balloon showed the tray icon"
[ "$(heart "$port")" = "blocker" ] || fail "a request on the taken port reached another program than its holder"
choose_item 6 # 退出程序
answer_box "确定要退出Kestrix客户端助手吗？" 6
if wait_exit 30 "$app_pid"; then
  [ "$exit_status" -eq 0 ] || fail "KestrixAssistant.exe ended with $exit_status after 退出程序"
  app_pid=
else
  fail "KestrixAssistant.exe did not end within 30 s of 退出程序"
fi
if [ -f "$log_file" ]; then
  grep -q "程序网络服务开启异常，请检查当前IP和端口号" <(iconv -f GB18030 -t UTF-8 "$log_file") ||
    fail "the run log lacks the failure line: $(iconv -f GB18030 -t UTF-8 "$log_file")"
else
  fail "退出程序 left no run log"
fi

finish desktop_test
