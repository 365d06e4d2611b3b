#!/usr/bin/env bash
# The Linux package as built by scripts/build-deb.sh, checked from the .deb files themselves:
# contents, owners and modes, dependencies, the systemd unit, the desktop and autostart entries,
# the defaults carrying the operator's sites and key, the maintainer scripts, and lintian. A build
# without a key says so. With KX_PACKAGE_INSTALL_TEST=1 (as root, on a machine where no
# kestrix-assistant is installed) it also installs version N, upgrades to N+1, removes and purges
# on this machine, checking that settings, data and the start-with-system flag survive the
# upgrade and the removal and go with the purge, and so do the browser policies.
#
# KX_DEB_OUT: the build folder (default build-deb-test/ in the source tree; its CMake build is
# kept, so only the first run compiles).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
out=${KX_DEB_OUT:-$ROOT/build-deb-test}
work=$(mktemp -d "${TMPDIR:-/tmp}/kx-deb-test.XXXXXX") || exit 1
installed_by_test=0
cleanup() {
  if [ "$installed_by_test" = 1 ] && dpkg-query -W -f='${Status}' kestrix-assistant 2>/dev/null | grep -qv 'not-installed'; then
    dpkg --purge kestrix-assistant >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
stop() { echo "FAIL: $*" >&2; exit 1; }

for tool in dpkg-buildpackage dh lintian openssl; do
  command -v "$tool" >/dev/null || stop "$tool is missing (bash scripts/setup-debian.sh)"
done

version=$(sed -nE 's/^project\(KestrixAssistant VERSION ([0-9]+(\.[0-9]+)*).*/\1/p' "$ROOT/CMakeLists.txt" | head -1)
next=${version%.*}.$(( ${version##*.} + 1 ))
sites="https://app.kx-test.example;https://*.corp.kx-test.example:8443"
openssl genpkey -algorithm ed25519 -out "$work/update.key" 2>/dev/null
openssl pkey -in "$work/update.key" -pubout -out "$work/update.pub" 2>/dev/null

# build NAME ARGS...: builds, keeps the package as $work/NAME.deb and the script's output as
# $work/NAME.out.
build() {
  local name=$1
  shift
  bash "$ROOT/scripts/build-deb.sh" --out "$out" "$@" >"$work/$name.out" 2>&1 ||
    stop "build-deb.sh $*: $(tail -n 30 "$work/$name.out")"
  local deb
  deb=$(tail -n 1 "$work/$name.out")
  [ -f "$deb" ] || stop "build-deb.sh did not print a package path: $(tail -n 5 "$work/$name.out")"
  cp "$deb" "$work/$name.deb"
}

# The build refuses what an installation could not use, before anything is built.
for bad in "--trusted-sites app.example.com" "--update-key $ROOT/README.md" "--version 1.x"; do
  # shellcheck disable=SC2086
  if bash "$ROOT/scripts/build-deb.sh" --out "$work/refused" $bad >"$work/refused.out" 2>&1; then
    fail "build-deb.sh accepted $bad"
  fi
done

build keyless
grep -q "WARNING: no --update-key" "$work/keyless.out" || fail "a build without a key does not say so: $(cat "$work/keyless.out")"
build n --version "$version" --update-key "$work/update.pub" --trusted-sites "$sites"
build n1 --version "$next" --update-key "$work/update.pub" --trusted-sites "$sites"
if grep -q "WARNING: no --update-key" "$work/n.out"; then fail "a build with a key warns about a missing key"; fi

deb=$work/n.deb
echo "package: $(du -h "$deb" | cut -f1) kestrix-assistant_${version}_$(dpkg --print-architecture).deb"

# ---- control fields ------------------------------------------------------------------------
[ "$(dpkg-deb -f "$deb" Package)" = kestrix-assistant ] || fail "Package is $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version $(dpkg-deb -f "$deb" Version), not $version"
[ "$(dpkg-deb -f "$work/n1.deb" Version)" = "$next" ] || fail "the N+1 package has version $(dpkg-deb -f "$work/n1.deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6core6 libqt6gui6 libqt6widgets6 libqt6printsupport6 libcurl4 libssl3 libzip4 libc6 qt6-qpa-plugins adduser python3; do
  [[ ", $depends," == *", $dep "* || ", $depends," == *", $dep,"* ]] || fail "Depends lacks $dep: $depends"
done

# ---- files, owners, modes -------------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/list" || stop "dpkg-deb -c failed"
# mode owner path, for every entry ("./" stripped, folders without their final "/").
awk '{ p = $6; sub(/^\.\//, "/", p); if (p != "/") sub(/\/$/, "", p); print $1, $2, p }' "$work/list" >"$work/entries"
mode_of() { awk -v p="$1" '$3 == p { print $1 }' "$work/entries"; }
while read -r mode owner path; do
  [ "${mode:0:1}" = l ] && continue
  [ "${mode:8:1}" != w ] || fail "$path is world-writable ($mode)"
  [ "$owner" = root/root ] || fail "$path belongs to $owner"
  case "$mode" in d*) [ "$mode" = drwxr-xr-x ] || fail "folder $path is $mode" ;; esac
done <"$work/entries"
while read -r path want; do
  got=$(mode_of "$path")
  [ "$got" = "$want" ] || fail "$path: ${got:-missing}, want $want"
done <<'TABLE'
/opt/kestrix-assistant/KestrixAssistant -rwxr-xr-x
/opt/kestrix-assistant/KxService -rwxr-xr-x
/opt/kestrix-assistant/comp/common/ca/libCA.so -rw-r--r--
/opt/kestrix-assistant/data/img/gif/loading.gif -rw-r--r--
/opt/kestrix-assistant/data/text/json2.txt -rw-r--r--
/lib/systemd/system/kestrix-assistant-server.service -rw-r--r--
/usr/share/applications/kestrix-assistant.desktop -rw-r--r--
/usr/share/kestrix-assistant/autostart.desktop -rw-r--r--
/usr/share/kestrix-assistant/browser-policy.sh -rwxr-xr-x
/usr/share/kestrix-assistant/update.pub -rw-r--r--
/usr/share/kestrix-assistant/trusted-sites -rw-r--r--
/usr/share/kestrix-assistant/defaults/conf/sys.ini -rw-r--r--
/usr/share/kestrix-assistant/defaults/conf/dll.ini -rw-r--r--
/usr/share/kestrix-assistant/defaults/data/json/print.json -rw-r--r--
/usr/share/doc/kestrix-assistant/copyright -rw-r--r--
/usr/share/doc/kestrix-assistant/changelog.gz -rw-r--r--
TABLE
# The user's files are never dpkg's (an upgrade would overwrite them); no demo module is shipped;
# nothing goes to /etc (the autostart entry and the browser policies are written by the scripts).
grep -E ' /opt/kestrix-assistant/(conf|data/json|log|download|upgrade)(/|$)' "$work/entries" &&
  fail "the package ships files of the folders the program writes"
grep -E 'libprint|libpd|/comp/(print|pd)(/|$)|demo' "$work/entries" && fail "a demo module is in the package"
grep -E ' /etc/' "$work/entries" && fail "the package ships files in /etc"
grep -q ' /usr/share/doc/kestrix-assistant/README.Debian' "$work/entries" || fail "README.Debian is missing"

dpkg-deb -x "$deb" "$work/x" || stop "dpkg-deb -x failed"
for size in 16 22 24 32 48 64 128 256; do
  png=$work/x/usr/share/icons/hicolor/${size}x${size}/apps/kestrix-assistant.png
  dims=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8]==b"\x89PNG\r\n\x1a\n" else "not a PNG")' "$png" 2>/dev/null)
  [ "$dims" = "${size}x${size}" ] || fail "icon ${size}x${size}: ${dims:-missing}"
done
cmp -s "$work/x/usr/share/kestrix-assistant/update.pub" "$work/update.pub" || fail "the package carries another update key"
[ "$(cat "$work/x/usr/share/kestrix-assistant/trusted-sites")" = "$sites" ] || fail "trusted-sites: $(cat "$work/x/usr/share/kestrix-assistant/trusted-sites")"
ini=$work/x/usr/share/kestrix-assistant/defaults/conf/sys.ini
grep -qxF "trusted.sites=$sites" "$ini" || fail "default sys.ini lacks the sites: $(cat "$ini")"
grep -qx "application.current.version=v$version" "$ini" || fail "default sys.ini lacks the version: $(cat "$ini")"
grep -v '^;' "$work/x/usr/share/kestrix-assistant/defaults/conf/dll.ini" | grep -qiE '^(print|pd)=' &&
  fail "the default dll.ini names a demo module"

# The keyless package carries neither key nor sites.
dpkg-deb -c "$work/keyless.deb" | grep -E 'update\.pub|trusted-sites' && fail "the keyless package carries a key or sites"

# ---- the systemd unit ------------------------------------------------------------------------
unit=$work/x/lib/systemd/system/kestrix-assistant-server.service
for line in "Type=simple" "ExecStart=/opt/kestrix-assistant/KxService" "Restart=on-failure" \
            "WantedBy=multi-user.target" "Alias=KestrixAssistantServer.service"; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
grep -qE '^(User|Group|DynamicUser)=' "$unit" && fail "the unit does not run as root: $(grep -E '^(User|Group|DynamicUser)=' "$unit")"
if command -v systemd-analyze >/dev/null; then
  # The program is not installed here: its absence is the one complaint allowed.
  systemd-analyze verify "$unit" >"$work/verify" 2>&1
  grep -v -e 'KxService' -e '^$' "$work/verify" | grep -q . && fail "systemd-analyze verify: $(cat "$work/verify")"
fi

# ---- desktop entries -------------------------------------------------------------------------
desktop=$work/x/usr/share/applications/kestrix-assistant.desktop
autostart=$work/x/usr/share/kestrix-assistant/autostart.desktop
for f in "$desktop" "$autostart"; do
  grep -qx 'Exec=/opt/kestrix-assistant/KestrixAssistant' "$f" || fail "$(basename "$f"): Exec is not the program"
  grep -qx 'Icon=kestrix-assistant' "$f" || fail "$(basename "$f"): Icon is not the themed icon"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$f" >"$work/dfv" 2>&1 || fail "desktop-file-validate $(basename "$f"): $(cat "$work/dfv")"
  fi
done

# ---- maintainer scripts ----------------------------------------------------------------------
dpkg-deb -e "$deb" "$work/control" || stop "dpkg-deb -e failed"
for s in postinst prerm; do sh -n "$work/control/$s" || fail "$s is not valid sh"; done
bash -n "$work/control/postrm" || fail "postrm is not valid bash"
# Service handling comes from dh_installsystemd: enabled, started and restarted after an upgrade
# through deb-systemd-invoke, which does nothing where systemd does not run.
grep -q "deb-systemd-helper.*enable.*kestrix-assistant-server.service" "$work/control/postinst" || fail "postinst does not enable the unit"
grep -q "_dh_action=restart" "$work/control/postinst" || fail "postinst does not restart the unit after an upgrade"
grep -q "deb-systemd-invoke" "$work/control/postinst" || fail "postinst does not start the unit through deb-systemd-invoke"

# ---- lintian ---------------------------------------------------------------------------------
# Every warning and error fails the test; the package's one override (dir-or-file-in-opt, with its
# reason) is in debian/kestrix-assistant.lintian-overrides.
lintian "$deb" >"$work/lintian" 2>&1
grep -v 'running with root privileges' "$work/lintian" >"$work/lintian.tags"
echo "lintian: $(grep -c . "$work/lintian.tags") tag(s)"; cat "$work/lintian.tags"
grep -qE '^[EW]: ' "$work/lintian.tags" && fail "lintian reports errors or warnings"

# ---- installation on this machine ------------------------------------------------------------
if [ "${KX_PACKAGE_INSTALL_TEST:-0}" != 1 ]; then
  echo "deb_package_test: installation checks skipped (KX_PACKAGE_INSTALL_TEST=1 runs them as root)"
  [ "$failures" -eq 0 ] && echo "deb_package_test: all checks passed"
  exit "$failures"
fi
[ "$(id -u)" -eq 0 ] || stop "KX_PACKAGE_INSTALL_TEST=1 needs root"
if dpkg-query -W -f='${Status}' kestrix-assistant 2>/dev/null | grep -qv 'not-installed'; then
  stop "kestrix-assistant is installed on this machine; the installation test would replace it"
fi
[ ! -e /opt/kestrix-assistant ] || stop "/opt/kestrix-assistant exists already"
chromium_policy=/etc/chromium/policies/managed/kestrix-assistant.json
[ ! -e "$chromium_policy" ] || stop "$chromium_policy exists already"

program=/opt/kestrix-assistant
flag=/var/lib/kestrix-assistant/KestrixAssistant.reg
entry=/etc/xdg/autostart/kestrix-assistant.desktop
apt_install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"; }
ini_value() { "$program/KxService" --readSysIni "$1" "$2"; }
stat_is() { local got; got=$(stat -c '%a %U:%G' "$1" 2>/dev/null); [ "$got" = "$2" ] || fail "$1: ${got:-missing}, want $2"; }

# 1. The keyless package installs and says that no key protects the updates; purge leaves nothing.
installed_by_test=1
apt_install "$work/keyless.deb" >"$work/install0" 2>&1 || stop "installing the keyless package: $(tail -n 20 "$work/install0")"
grep -q "carries no update public key" "$work/install0" || fail "installing without a key does not say so"
grep -q "trusted.sites .* is empty" "$work/install0" || fail "installing without sites does not say so"
[ ! -e "$program/conf/update.pub" ] || fail "a keyless installation has conf/update.pub"
dpkg --purge kestrix-assistant >"$work/purge0" 2>&1 || fail "purge of the keyless package: $(cat "$work/purge0")"

# 2. Version N with key and sites.
apt_install "$work/n.deb" >"$work/install1" 2>&1 || stop "installing N: $(tail -n 20 "$work/install1")"
grep -q "carries no update public key" "$work/install1" && fail "an installation with a key warns about a missing key"
cmp -s "$program/conf/update.pub" "$work/update.pub" || fail "conf/update.pub is not the package's key"
[ "$(ini_value HTTP trusted.sites)" = "$sites" ] || fail "trusted.sites: $(ini_value HTTP trusted.sites)"
[ "$(ini_value APP application.current.version)" = "v$version" ] || fail "version: $(ini_value APP application.current.version)"
grep -q '"https://app.kx-test.example"' "$chromium_policy" 2>/dev/null || fail "no Chromium policy for the sites"
getent group kestrix-assistant >/dev/null || fail "no group kestrix-assistant"
for d in conf data/json log download upgrade comp comp/common/ca; do stat_is "$program/$d" "2775 root:kestrix-assistant"; done
stat_is /var/lib/kestrix-assistant "2775 root:kestrix-assistant"
stat_is "$program" "755 root:root"
stat_is "$program/KxService" "755 root:root"
stat_is "$program/conf/sys.ini" "664 root:kestrix-assistant"
grep -qi '"AutoRun"=dword:00000000' "$flag" || fail "a new installation's flag is not 0: $(cat "$flag" 2>&1)"
[ ! -e "$entry" ] || fail "the autostart entry exists while the flag is 0"
# The unit is enabled under both names although systemd does not run here.
[ -L /etc/systemd/system/multi-user.target.wants/kestrix-assistant-server.service ] || fail "the unit is not enabled"
[ -L /etc/systemd/system/KestrixAssistantServer.service ] || fail "the alias KestrixAssistantServer.service is missing"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/kestrix-assistant-server.service >"$work/verify2" 2>&1 ||
    fail "systemd-analyze verify of the installed unit: $(cat "$work/verify2")"
fi

# A member of the group (here: nobody with the group added) writes the program's folders; without
# the group, or outside them, it cannot.
gid=$(getent group kestrix-assistant | cut -d: -f3)
as_member() { setpriv --reuid=65534 --regid=65534 --groups="$gid" -- sh -c "$1" 2>/dev/null; }
as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c "$1" 2>/dev/null; }
as_member "echo x > $program/log/probe && mv $program/log/probe $program/conf/probe" || fail "a group member cannot write log/ and conf/"
[ "$(stat -c %G "$program/conf/probe" 2>/dev/null)" = kestrix-assistant ] || fail "a member's file does not take the folder's group"
rm -f "$program/conf/probe"
as_other "echo x > $program/conf/probe" && fail "someone outside the group writes conf/"
as_member "echo x > $program/probe" && fail "a group member writes the program folder itself"
as_member "echo x >> $program/KxService" && fail "a group member changes KxService"

# The user's changes: print settings, a setting, a module entry, start with the system.
printf '{"00000000":{"printer":"Office"}}' >"$program/data/json/print.json"
"$program/KxService" --writeSysIni APP application.upgrade.timer.interval 3 >/dev/null || fail "writeSysIni"
printf '[MODULE-DLLPATH]\nprint=comp\\print\\libprint.so\n' >"$program/conf/dll.ini"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\KestrixAssistant]\r\n"AutoRun"=dword:00000001\r\n' >"$flag"
cp "$program/conf/dll.ini" "$work/dll.before"
cp "$flag" "$work/flag.before"

# 3. Upgrade to N+1: the user's files stay, the version follows, the autostart entry appears.
apt_install "$work/n1.deb" >"$work/install2" 2>&1 || stop "upgrading to N+1: $(tail -n 20 "$work/install2")"
[ "$(cat "$program/data/json/print.json")" = '{"00000000":{"printer":"Office"}}' ] || fail "the upgrade changed data/json/print.json"
[ "$(ini_value APP application.upgrade.timer.interval)" = 3 ] || fail "the upgrade lost a sys.ini value"
[ "$(ini_value APP application.current.version)" = "v$next" ] || fail "version after the upgrade: $(ini_value APP application.current.version)"
cmp -s "$program/conf/dll.ini" "$work/dll.before" || fail "the upgrade changed conf/dll.ini"
cmp -s "$flag" "$work/flag.before" || fail "the upgrade changed the AutoRun flag"
cmp -s "$entry" /usr/share/kestrix-assistant/autostart.desktop || fail "no autostart entry while the flag is 1"
cmp -s "$program/conf/update.pub" "$work/update.pub" || fail "the upgrade changed the update key"

# 4. Remove: the program goes, settings, data, flag and policies stay, the autostart entry goes.
apt-get remove -y -q kestrix-assistant >"$work/remove" 2>&1 || fail "remove: $(tail -n 20 "$work/remove")"
[ ! -e "$program/KestrixAssistant" ] || fail "remove left the program"
[ ! -e "$entry" ] || fail "remove left the autostart entry"
[ "$(cat "$program/data/json/print.json" 2>/dev/null)" = '{"00000000":{"printer":"Office"}}' ] || fail "remove took data/json/print.json"
grep -q 'application.upgrade.timer.interval *= *3' "$program/conf/sys.ini" 2>/dev/null || fail "remove took conf/sys.ini"
cmp -s "$flag" "$work/flag.before" || fail "remove changed the flag"

# 5. Purge: everything goes, the browser policies too.
dpkg --purge kestrix-assistant >"$work/purge" 2>&1 || fail "purge: $(cat "$work/purge")"
installed_by_test=0
for p in "$program" /var/lib/kestrix-assistant "$entry" "$chromium_policy" \
         /etc/systemd/system/KestrixAssistantServer.service \
         /etc/systemd/system/multi-user.target.wants/kestrix-assistant-server.service; do
  [ ! -e "$p" ] && [ ! -L "$p" ] || fail "purge left $p"
done

[ "$failures" -eq 0 ] && echo "deb_package_test: all checks passed"
exit "$failures"
