#!/usr/bin/env bash
# End-to-end test of a module package update by KestrixAssistant.exe under Wine, installed as users
# install it: the program folder's path holds Chinese characters and a blank, the module lies in a
# Chinese-named folder and Wine runs with a Chinese system locale (ANSI code page 936). A stand-in
# update server on 127.0.0.1 offers no installer and one module package. The check that runs about
# a second after start-up downloads and unpacks it, replaces the module's files (the old ones kept
# as "_old" files, one of them a library the program has loaded) and asks for the restart; the
# answer Yes reaches a stand-in companion service. The next start completes the update: the "_old"
# files and the upgrade folder go, conf/sys.ini records the new version, the new library answers
# module calls and the next check sends the new version.
#
#   bash module_update_test.sh <cmake build dir> <program dir> <test-modules dir>
#
# Needs WINEPREFIX and DISPLAY (scripts/run-windows-tests.sh sets them), KX_WIN_TOOL (kxwin.exe,
# which reads and answers the program's message box), wine, curl, iconv, cmp and python3 (the
# stand-in servers; each stops by itself after 5 minutes). Every wait is bounded; the processes it
# started are stopped by their ids on the way out.
set -u

program_dir=${2:?usage: module_update_test.sh <cmake dir> <program dir> <test-modules dir>}
modules_dir=${3:?usage: module_update_test.sh <cmake dir> <program dir> <test-modules dir>}
. "$(dirname "$0")/support/harness.sh"
app_pid=
servers_pid=
work=

cleanup() {
  stop_pid "$app_pid"
  stop_pid "$servers_pid"
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "$failures" -ne 0 ] || [ "${1:-0}" -ne 0 ]; then
      for f in "$work"/*.out "$work"/requests.log; do
        [ -s "$f" ] && { echo "---- $(basename "$f") ----"; cat "$f"; } >&2
      done
    fi
    [ -n "${KX_KEEP_TEST_FOLDERS:-}" ] || rm -rf "$work"
  fi
}
trap 'cleanup $?' EXIT

require_environment wine curl iconv cmp python3
require_kxwin
exe=$program_dir/KestrixAssistant.exe
[ -f "$exe" ] || fatal "$exe is missing"
module=$modules_dir/e2e_module.dll
[ -f "$module" ] || fatal "$module is missing"

# ---- The program folder: module print at v1.0 in a Chinese-named folder -------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/kx-win-update.XXXXXX") || fatal "no temporary folder"
work=$(cd "$work" && pwd -P)
make_program_folder "$program_dir"
module_folder="$folder/comp/打印 组件"
mkdir -p "$module_folder" "$work/new" || fatal "cannot create the module folder"
# The installed library is the test module with bytes of its own appended (Windows loads it all the
# same), so the old and the new file differ while both are working libraries.
{ cat "$module"; printf 'installed v1.0'; } >"$module_folder/e2e_module.dll" || fatal "cannot copy the module"
printf '旧说明 v1.0\r\n' >"$module_folder/说明.txt"
cp "$module_folder/e2e_module.dll" "$work/old.dll" && cp "$module_folder/说明.txt" "$work/old.txt" || fatal "cannot copy"
cp "$module" "$work/new/e2e_module.dll" && printf '新说明 v1.1\r\n' >"$work/new/说明.txt" || fatal "cannot copy"

pick_port
companion_port=$((port + 2))
update_port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 40000))
  [ "$candidate" -ge "$port" ] && [ "$candidate" -le "$companion_port" ] && continue
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then update_port=$candidate; break; fi
done
[ -n "$update_port" ] || fatal "no free port for the update server"
mkdir -p "$folder/conf"
printf '[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=%s\r\nserver.update.url=http://127.0.0.1:%s/upgrade/app\r\n[APP]\r\napplication.current.version=v1.0\r\n[DLL]\r\nprint=v1.0\r\n' \
  "$port" "$update_port" >"$folder/conf/sys.ini"
# The module path holds Chinese text, so dll.ini is written in UTF-16LE with its byte order mark,
# which the profile functions read whatever the code page.
{
  printf '\xff\xfe'
  printf '[MODULE-DLLPATH]\r\nprint=comp\\打印 组件\\e2e_module.dll\r\n[MODULE-LANG]\r\nprint=c\r\n' |
    iconv -f UTF-8 -t UTF-16LE
} >"$folder/conf/dll.ini"

# ---- Stand-in update server and companion service ------------------------------------------------
# The update server answers every application request without an installer, and the first module
# request with UpgradeInfo {"print":"1.1"} and a package holding print.zip (the new e2e_module.dll
# and 说明.txt, the latter under a UTF-8 name); later module requests get no UpgradeInfo. The
# companion service answers 200. Both write "<port> <method> <path> <body>" lines to requests.log.
python3 - "$update_port" "$companion_port" "$work/new" "$work/requests.log" >"$work/servers.out" 2>&1 <<'PY' &
import http.server, io, os, sys, threading, time, zipfile
update_port, companion_port, new_dir, record = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]

def zip_bytes(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data)
    return out.getvalue()

module_zip = zip_bytes([(n, open(os.path.join(new_dir, n), "rb").read()) for n in ("e2e_module.dll", "说明.txt")])
package = zip_bytes([("print.zip", module_zip)])
lock = threading.Lock()
offered = [False]

class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        port = self.server.server_address[1]
        with lock:
            with open(record, "a") as f:
                f.write("%d %s %s %s\n" % (port, self.command, self.path, body.decode("latin-1")))
            offer = port == update_port and self.path == "/upgrade/dll" and not offered[0]
            offered[0] = offered[0] or offer
        self.send_response(200)
        if offer:
            self.send_header("UpgradeInfo", '{"print":"1.1"}')
        reply = package if offer else b""
        self.send_header("Content-Length", str(len(reply)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(reply)

servers = [http.server.ThreadingHTTPServer(("127.0.0.1", p), Handler) for p in (update_port, companion_port)]
for s in servers:
    threading.Thread(target=s.serve_forever, daemon=True).start()
print("listening", flush=True)
time.sleep(300)
PY
servers_pid=$!
for _ in $(seq 50); do grep -q listening "$work/servers.out" 2>/dev/null && break; sleep 0.2; done
grep -q listening "$work/servers.out" || fatal "the stand-in servers did not start: $(cat "$work/servers.out")"

# ---- Helpers -------------------------------------------------------------------------------------
export LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
start_program() { # $1: output file; pid in $app_pid; waits for /heart
  (cd "$folder" && exec wine ./KestrixAssistant.exe) >"$1" 2>&1 &
  app_pid=$!
  for _ in $(seq 120); do
    kill -0 "$app_pid" 2>/dev/null || fatal "KestrixAssistant.exe ended during start-up"
    [ "$(curl -s --max-time 2 "http://127.0.0.1:$port/heart")" = "(0)" ] && return 0
    sleep 0.5
  done
  fatal "no answer on /heart within 60 s"
}
stop_program() { # exit through /appctrl
  curl -s --max-time 10 -o /dev/null "http://127.0.0.1:$port/appctrl?cmd=1"
  if wait_exit 30 "$app_pid"; then
    [ "$exit_status" -eq 0 ] || fail "KestrixAssistant.exe ended with $exit_status after /appctrl?cmd=1"
    app_pid=
  else
    fatal "KestrixAssistant.exe did not end within 30 s of /appctrl?cmd=1"
  fi
}
requests() { cat "$work/requests.log" 2>/dev/null; }
# Waits (at most $1 seconds) until requests.log holds $2 lines.
wait_requests() {
  for _ in $(seq $(($1 * 5))); do [ "$(requests | wc -l)" -ge "$2" ] && return 0; sleep 0.2; done
  return 1
}
payload() { printf '%s' "$1" | base64 -w0 | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g'; }
echo_call() { # a module call of print's echo; the reply body
  curl -s --max-time 30 "http://127.0.0.1:$port/print?id=$1&func=echo&payload=$(payload '{"data":[{"a":1}],"config":{}}')" ||
    echo "(curl failed)"
}
echoed() { [[ "$2" == '<script>'*'var data={"id":"'"$1"'","ret":{"data":"{\"a\":1}"'* ]]; }

# ---- First run: the library is in use, the check finds the package --------------------------------
start_program "$work/first.out"
body=$(echo_call 1)
echoed 1 "$body" || fail "the installed module does not answer: $body"

question="检测到客户端组件更新，Kestrix客户端助手需要重启才能更新，是否立即更新？"
if expect_box "$question" 60; then
  # What the box waits on is in place already.
  cmp -s "$module_folder/e2e_module.dll" "$work/new/e2e_module.dll" || fail "e2e_module.dll was not replaced"
  cmp -s "$module_folder/e2e_module_old.dll" "$work/old.dll" || fail "e2e_module_old.dll is not the old library"
  cmp -s "$module_folder/说明.txt" "$work/new/说明.txt" || fail "说明.txt was not replaced"
  cmp -s "$module_folder/说明_old.txt" "$work/old.txt" || fail "说明_old.txt is not the old file"
  [ "$(cat "$folder/upgrade/upgrade.dat" 2>&1)" = '{"print":"1.1"}' ] ||
    fail "upgrade/upgrade.dat: $(cat "$folder/upgrade/upgrade.dat" 2>&1)"
  [ -e "$folder/dll_upgrade.zip" ] && fail "dll_upgrade.zip was left behind"
  kx click '#32770' 6 >/dev/null # 是
  kx gone '#32770' 10 >/dev/null || fail "the box stays after its answer"
else
  fatal "no restart question within 60 s of the start; requests: $(requests)"
fi
wait_requests 20 3 || fail "the restart request did not reach the companion service"
expected_first="$update_port POST /upgrade/app version=1.0
$update_port POST /upgrade/dll {\"print\":\"v1.0\"}
$companion_port POST /controlMainApp?ct=2 "
[ "$(requests)" = "$expected_first" ] || fail "requests of the first run: $(requests)"
stop_program

# ---- Second run: the start-up completes the update -------------------------------------------------
start_program "$work/second.out"
ls "$module_folder" | grep -q '_old' && fail "old files are left: $(ls "$module_folder")"
cmp -s "$module_folder/e2e_module.dll" "$work/new/e2e_module.dll" || fail "e2e_module.dll is not the new library"
cmp -s "$module_folder/说明.txt" "$work/new/说明.txt" || fail "说明.txt is not the new file"
[ -e "$folder/upgrade" ] && fail "the upgrade folder is left: $(ls -R "$folder/upgrade")"
ini=$(tr -d '\r' <"$folder/conf/sys.ini")
grep -qx 'print=v1.1' <<<"$ini" || fail "conf/sys.ini does not record print=v1.1: $ini"
grep -qx 'application.current.version=v1.0' <<<"$ini" || fail "conf/sys.ini lost the application version: $ini"
body=$(echo_call 2)
echoed 2 "$body" || fail "the new module does not answer: $body"
# The check of this run sends the new version and finds nothing to do: no box.
wait_requests 30 5 || fail "the second run's update check did not reach the server: $(requests)"
[ "$(requests | tail -n 2)" = "$update_port POST /upgrade/app version=1.0
$update_port POST /upgrade/dll {\"print\":\"v1.1\"}" ] || fail "requests of the second run: $(requests | tail -n +4)"
sleep 1
[ "$(kx count '#32770')" = "0" ] || fail "a box is shown after a check that found nothing: $(kx controls '#32770')"
[ -e "$folder/upgrade" ] && fail "an upgrade folder was made without an update"
stop_program

finish module_update_test
