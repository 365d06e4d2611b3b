#!/usr/bin/env bash
# End-to-end test of the Windows installer under Wine, in a Wine prefix of its own made afresh
# (the installer registers a service and writes machine-wide keys). Two installers are built from
# the program folder with scripts/build-installer.sh: 1.0.0, and 1.0.1 whose program files differ
# and whose payload carries a data/json/print.json of its own. Then:
#
#   1. a trusted-sites list that is not made of origins stops the installer before it writes;
#   2. silent install of 1.0.0 into "C:\Program Files\Kestrix 客户端助手 测试" with /SITES=: files,
#      update key, conf/sys.ini, uninstall entry, shortcut, service, start-with-Windows flag, and
#      browser policies beside values an administrator set (one of them the same site);
#   3. after the user changed settings and data, 1.0.1 over it keeps conf/, data/, the sites and
#      the flag, and replaces the program;
#   4. with a program file held open without sharing, 1.0.0 over it fails with a non-zero exit and
#      every file of the folder is as it was (the files moved before the held one are put back);
#   5. silent uninstall removes the program files, the keys, its policies (not the
#      administrator's) and the service, and keeps conf/, data/ and log/ and the flag.
#
#   bash installer_test.sh <cmake build dir> <program dir> [<test-modules dir>]
#
# Needs DISPLAY (scripts/run-windows-tests.sh sets it), wine, wineboot, wineserver, makensis,
# openssl, python3, and kxsetup.exe in <cmake build dir>/tools. Each Wine call is bounded by
# timeout; the prefix's processes are ended with wineserver -k at the end.
set -u

cmake_dir=${1:?usage: installer_test.sh <cmake dir> <program dir>}
program_dir=${2:?usage: installer_test.sh <cmake dir> <program dir>}
. "$(dirname "$0")/support/harness.sh"
. "$(dirname "$0")/support/wine_install.sh"
root=$(cd "$(dirname "$0")/../../.." && pwd)
work=
hold_pid=

cleanup() {
  exec 8>&- 2>/dev/null
  stop_pid "$hold_pid"
  end_prefix_test "${1:-0}"
}
trap 'cleanup $?' EXIT

require_environment wine wineboot wineserver makensis openssl python3 cmp
kxsetup=$cmake_dir/tools/kxsetup.exe
[ -f "$kxsetup" ] || fatal "$kxsetup is missing (target kxsetup)"
[ -f "$program_dir/KxService.exe" ] || fatal "$program_dir/KxService.exe is missing (target KxService)"

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-win-installer.XXXXXX") || fatal "no temporary folder"
work=$(cd "$work" && pwd -P)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# The Chinese system locale users have (ANSI code page 936); it also lets reg.exe print the
# Chinese texts it reads back.
export LC_ALL=zh_CN.UTF-8
# No desktop entries on the host for the Start-menu shortcut, no Mono or Gecko prompts.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

# ---- the installers -----------------------------------------------------------------------------
openssl genpkey -algorithm ed25519 -out "$work/update.key" 2>/dev/null &&
  openssl pkey -in "$work/update.key" -pubout -out "$work/update.pub" || fatal "openssl cannot make a key"
mkdir -p "$work/prog2" && cp -r "$program_dir"/. "$work/prog2"/ || fatal "cannot copy $program_dir"
rm -rf "$work/prog2/log" "$work/prog2/upgrade" "$work/prog2/download"
# Bytes appended to a PE file leave it a working program, and make 1.0.1's files differ.
printf 'kx installer test 1.0.1' >>"$work/prog2/KestrixAssistant.exe"
printf 'kx installer test 1.0.1' >>"$work/prog2/comp/print/print.dll"
mkdir -p "$work/prog2/data/json" && printf '{"from":"installer 1.0.1"}' >"$work/prog2/data/json/print.json"
for v in 1.0.0 1.0.1; do
  src=$program_dir
  [ "$v" = 1.0.0 ] || src=$work/prog2
  bash "$root/scripts/build-installer.sh" --arch "$(installer_arch)" --program-dir "$src" --out "$work/$v" --version "$v" \
    --update-key "$work/update.pub" --compressor zlib >>"$work/build.log" 2>&1 || fatal "build-installer.sh $v failed"
  [ -f "$work/$v/KestrixAssistant-Setup-$v.exe" ] || fatal "no KestrixAssistant-Setup-$v.exe"
done

# ---- the prefix ---------------------------------------------------------------------------------
make_prefix
inst_win='C:\Program Files\Kestrix 客户端助手 测试'
inst="$WINEPREFIX/drive_c/Program Files/Kestrix 客户端助手 测试"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestrix客户端助手.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrixAssistant'
service_key='HKLM\System\CurrentControlSet\Services\KestrixAssistantServer'
chrome='HKLM\SOFTWARE\Policies\Google\Chrome'
edge='HKLM\SOFTWARE\Policies\Microsoft\Edge'
firefox='HKLM\SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains'

sys_ini() { timeout 60 wine "$inst/KxService.exe" /readSysIni "$1" "$2" </dev/null 2>/dev/null | tr -d '\r\n'; }
# Every file below the install folder with its digest (the folder's state); the run logs of the
# assistant and its service (log/) grow on their own.
snapshot() { (cd "$inst" && find . -type f -not -path './log/*' -print0 | LC_ALL=C sort -z | xargs -0 md5sum); }
# Each payload file of program folder $1 is installed byte for byte, except those listed after it.
expect_program() {
  local src=$1 rel
  shift
  while IFS= read -r -d '' rel; do
    case " $* " in *" $rel "*) continue ;; esac
    cmp -s "$src/$rel" "$inst/$rel" || fail "$rel is not the one of $src"
  done < <(cd "$src" && find . -type f -not -path './log/*' -not -path './upgrade/*' -not -path './download/*' -printf '%P\0')
}

sites='https://App.example.com;https://*.corp.example:8443'
# An administrator's policies: a site of its own, and one of the installer's sites already listed.
timeout 60 wine reg add "$chrome\\LoopbackNetworkAllowedForUrls" /v 1 /t REG_SZ /d https://admin.example /f </dev/null >/dev/null 2>&1
timeout 60 wine reg add "$edge\\LocalNetworkAccessAllowedForUrls" /v 1 /t REG_SZ /d https://app.example.com /f </dev/null >/dev/null 2>&1
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 1 https://admin.example

# ---- 1. a list that is not origins --------------------------------------------------------------
for bad in 'https://ok.example;app.example.com' 'https://' 'https://a.example:80x' 'https://a.example/path'; do
  run_setup "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "/S /SITES=$bad /D=$inst_win"
  [ "$rc" -ne 0 ] || fail "the installer took /SITES=$bad"
  [ ! -e "$inst" ] || { fail "/SITES=$bad: the install folder was created"; rm -rf "$inst"; }
done
expect_no_key "$uninstall_key"

# ---- 2. fresh install ---------------------------------------------------------------------------
run_setup "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "/S /SITES=$sites /D=$inst_win"
[ "$rc" -eq 0 ] || fatal "the installer of 1.0.0 exited with $rc"
expect_program "$program_dir" conf/sys.ini
[ -f "$inst/uninst.exe" ] || fail "no uninst.exe"
for left in .setup-staging .setup-backup conf/update.pub.new; do
  [ ! -e "$inst/$left" ] || fail "$left is left in the install folder"
done
cmp -s "$work/update.pub" "$inst/conf/update.pub" || fail "conf/update.pub is not the carried key"
[ "$(sys_ini APP application.current.version)" = 1.0.0 ] || fail "application.current.version is '$(sys_ini APP application.current.version)'"
[ "$(sys_ini HTTP trusted.sites)" = "$sites" ] || fail "trusted.sites is '$(sys_ini HTTP trusted.sites)'"

expect_value "$uninstall_key" DisplayName "Kestrix客户端助手"
expect_value "$uninstall_key" DisplayVersion 1.0.0
expect_value "$uninstall_key" Publisher Kestrix
expect_value "$uninstall_key" DisplayIcon "$inst_win\\KestrixAssistant.exe"
expect_value "$uninstall_key" InstallLocation "$inst_win"
expect_value "$uninstall_key" UninstallString "\"$inst_win\\uninst.exe\""
expect_value "$uninstall_key" QuietUninstallString "\"$inst_win\\uninst.exe\" /S"
expect_value "$uninstall_key" NoModify 0x1
expect_value "$uninstall_key" NoRepair 0x1
size_kb=$(( $(find "$inst" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }') / 1024 ))
estimated=$(reg_value "$uninstall_key" EstimatedSize) || estimated=0x0
estimated=$((estimated))
[ "$estimated" -ge $((size_kb * 98 / 100)) ] && [ "$estimated" -le $((size_kb * 102 / 100 + 1)) ] ||
  fail "EstimatedSize is $estimated KB, the folder holds $size_kb KB"

[ -s "$shortcut" ] || fail "no shortcut $shortcut"
python3 - "$shortcut" <<'PY' || fail "the shortcut does not lead to KestrixAssistant.exe"
import sys
data = open(sys.argv[1], "rb").read()
name = "KestrixAssistant.exe"
sys.exit(0 if name.encode() in data or name.encode("utf-16-le") in data else 1)
PY

expect_value "$service_key" ImagePath "\"$inst_win\\KxService.exe\""
expect_value "$service_key" Start 0x2
expect_value "$service_key" Type 0x10
expect_value "$service_key" DisplayName "Kestrix Assistant Server"
expect_value "$service_key" ObjectName LocalSystem
expect_value 'HKCR\KestrixAssistant' AutoRun 0x0

# Policies: numbered after the administrator's values; the site the administrator listed already
# is not listed twice.
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 1 https://admin.example
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 2 https://app.example.com
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 3 'https://[*.]corp.example:8443'
expect_value "$chrome\\LocalNetworkAccessAllowedForUrls" 1 https://app.example.com
expect_value "$chrome\\LocalNetworkAccessAllowedForUrls" 2 'https://[*.]corp.example:8443'
expect_value "$edge\\LocalNetworkAccessAllowedForUrls" 1 https://app.example.com
expect_value "$edge\\LocalNetworkAccessAllowedForUrls" 2 'https://[*.]corp.example:8443'
expect_no_value "$edge\\LocalNetworkAccessAllowedForUrls" 3
expect_value "$edge\\LoopbackNetworkAllowedForUrls" 1 https://app.example.com
expect_value "$edge\\LoopbackNetworkAllowedForUrls" 2 'https://[*.]corp.example:8443'
expect_value "$firefox" 1 app.example.com
expect_value "$firefox" 2 '*.corp.example'

# ---- 3. the user's settings survive an update ---------------------------------------------------
mkdir -p "$inst/data/json" "$inst/log"
printf '{"from":"user"}' >"$inst/data/json/print.json"
printf '; the user was here\r\n' >>"$inst/conf/dll.ini"
cp "$inst/conf/dll.ini" "$work/dll.ini.user"
printf 'run log\r\n' >"$inst/log/run.log"
timeout 60 wine "$inst/KxService.exe" /writeSysIni DLL print v9.9 </dev/null >/dev/null 2>&1 ||
  fail "KxService.exe /writeSysIni failed"
timeout 60 wine reg add 'HKCR\KestrixAssistant' /v AutoRun /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
run_setup "$work/1.0.1/KestrixAssistant-Setup-1.0.1.exe" "/S /D=$inst_win"
[ "$rc" -eq 0 ] || fatal "the installer of 1.0.1 over 1.0.0 exited with $rc"
expect_program "$work/prog2" data/json/print.json conf/dll.ini conf/sys.ini
[ "$(cat "$inst/data/json/print.json")" = '{"from":"user"}' ] || fail "data/json/print.json was replaced"
cmp -s "$work/dll.ini.user" "$inst/conf/dll.ini" || fail "conf/dll.ini was replaced"
[ "$(sys_ini DLL print)" = v9.9 ] || fail "[DLL] print is '$(sys_ini DLL print)' after the update"
[ "$(sys_ini APP application.current.version)" = 1.0.1 ] || fail "application.current.version is not 1.0.1"
[ "$(sys_ini HTTP trusted.sites)" = "$sites" ] || fail "trusted.sites was not kept: '$(sys_ini HTTP trusted.sites)'"
expect_value "$chrome\\LocalNetworkAccessAllowedForUrls" 1 https://app.example.com
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 3 'https://[*.]corp.example:8443'
expect_value "$firefox" 2 '*.corp.example'
expect_value 'HKCR\KestrixAssistant' AutoRun 0x1
expect_value "$uninstall_key" DisplayVersion 1.0.1

# ---- 4. a held file: the installer fails and the folder is as it was ----------------------------
before=$(snapshot)
mkfifo "$work/hold.in" || fatal "mkfifo failed"
timeout 300 wine "$kxsetup" hold "$inst_win\\comp\\print\\print.dll" <"$work/hold.in" >"$work/hold.out" 2>/dev/null &
hold_pid=$!
exec 8>"$work/hold.in"
for _ in $(seq 300); do grep -q held "$work/hold.out" 2>/dev/null && break; sleep 0.1; done
grep -q held "$work/hold.out" || fatal "kxsetup could not hold print.dll"
run_setup "$work/1.0.0/KestrixAssistant-Setup-1.0.0.exe" "/S /D=$inst_win"
[ "$rc" -ne 0 ] || fail "the installer succeeded although print.dll was held"
exec 8>&-
wait_exit 30 "$hold_pid" || fail "kxsetup hold did not end"
hold_pid=
[ "$(snapshot)" = "$before" ] || fail "the failed install changed the folder: $(diff <(printf '%s\n' "$before") <(snapshot) | head -20)"
for left in .setup-staging .setup-backup; do [ ! -e "$inst/$left" ] || fail "$left is left after the failure"; done
grep -q 'comp\\print\\print.dll' "$work/setup.log" || fail "the installer's log does not name the held file"
expect_value "$uninstall_key" DisplayVersion 1.0.1

# ---- 5. silent uninstall ------------------------------------------------------------------------
# Run from its folder (_?=) the uninstaller works in place and returns when done, instead of
# copying itself to the temporary folder and returning at once; it cannot delete its own file then.
timeout 300 wine "$kxsetup" run "\"$inst_win\\uninst.exe\" /S _?=$inst_win" </dev/null >>"$work/wine.log" 2>&1
rc=$?
cat "$WINEPREFIX"/drive_c/users/*/Temp/KestrixAssistant-Uninstall.log 2>/dev/null | iconv -f UTF-16 -t UTF-8 >>"$work/uninstall.log" 2>/dev/null
[ "$rc" -eq 0 ] || fail "the uninstaller exited with $rc"
left=$(cd "$inst" && ls -A | LC_ALL=C sort | tr '\n' ' ')
[ "$left" = "conf data log uninst.exe " ] || fail "after the uninstall the folder holds: $left"
[ "$(cat "$inst/data/json/print.json" 2>/dev/null)" = '{"from":"user"}' ] || fail "data/json/print.json was not kept"
[ -f "$inst/log/run.log" ] || fail "log/run.log was not kept"
[ -f "$inst/conf/sys.ini" ] || fail "conf/sys.ini was not kept"
[ ! -e "$shortcut" ] || fail "the shortcut is still there"
expect_no_key "$uninstall_key"
expect_no_key "$service_key"
expect_no_key 'HKLM\SOFTWARE\Kestrix\KestrixAssistant'
expect_value "$chrome\\LoopbackNetworkAllowedForUrls" 1 https://admin.example
expect_no_value "$chrome\\LoopbackNetworkAllowedForUrls" 2
expect_no_value "$chrome\\LoopbackNetworkAllowedForUrls" 3
expect_no_key "$chrome\\LocalNetworkAccessAllowedForUrls"
expect_value "$edge\\LocalNetworkAccessAllowedForUrls" 1 https://app.example.com
expect_no_value "$edge\\LocalNetworkAccessAllowedForUrls" 2
expect_no_key "$edge\\LoopbackNetworkAllowedForUrls"
expect_no_key 'HKLM\SOFTWARE\Policies\Mozilla'
expect_value 'HKCR\KestrixAssistant' AutoRun 0x1

finish installer_test
