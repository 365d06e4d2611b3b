# Shared pieces of the Windows end-to-end scripts that install the program into a Wine prefix of
# their own (sourced after harness.sh): running an installer with its raw command line through
# kxsetup.exe ($kxsetup), Wine paths, and reading the registry back. They use $work (the test's
# folder) and $WINEPREFIX.

# The Wine path of a Unix path (drive Z: is the Unix root).
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# Runs installer $1 with the raw arguments $2 (/D= last and unquoted); exit status in $rc.
run_setup() {
  timeout 300 wine "$kxsetup" run "\"$(winpath "$1")\" $2" </dev/null >>"$work/wine.log" 2>&1
  rc=$?
  cat "$WINEPREFIX"/drive_c/users/*/Temp/KestrixAssistant-Setup.log 2>/dev/null | iconv -f UTF-16 -t UTF-8 \
    >>"$work/setup.log" 2>/dev/null
}
# The data of registry value $2 of key $1 (empty and status 1 when missing).
reg_value() {
  local out
  # reg.exe prints in the ANSI code page (936).
  out=$(timeout 60 wine reg query "$1" /v "$2" 2>/dev/null </dev/null | iconv -f GBK -t UTF-8 | tr -d '\r')
  [ -n "$out" ] || return 1
  printf '%s\n' "$out" | awk -v name="$2" '
    { line = $0; sub(/^[ \t]+/, "", line) }
    index(line, name) == 1 && match(line, /[ \t]+REG_[A-Z_]+[ \t]+/) {
      if (substr(line, 1, RSTART - 1) != name) next
      print substr(line, RSTART + RLENGTH); found = 1; exit
    }
    END { exit !found }'
}
expect_value() { # key name expected
  local got
  got=$(reg_value "$1" "$2") || { fail "$1 has no value $2 (expected '$3')"; return; }
  [ "$got" = "$3" ] || fail "$1 $2 is '$got', expected '$3'"
}
expect_no_value() { ! reg_value "$1" "$2" >/dev/null || fail "$1 still has the value $2"; }
expect_no_key() { ! timeout 60 wine reg query "$1" </dev/null >/dev/null 2>&1 || fail "the key $1 is still there"; }

# The installer's architecture for the program folder under test (ctest passes KX_PE_BITS).
installer_arch() { if [ "${KX_PE_BITS:-32}" = 64 ]; then echo x86_64; else echo i686; fi; }

# A fresh prefix in $WINEPREFIX; fatal when Wine does not come up. Its wineserver then stays up
# for the whole test (end_prefix_test ends it): a wineserver that starts again runs the prefix's
# service manager again, which starts every automatic service anew, between any two steps.
make_prefix() {
  timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || fatal "wineboot failed"
  timeout 120 wineserver -w
  wineserver -p || fatal "wineserver -p failed"
}

# Ends a test that made a prefix of its own in $work: ends the prefix's processes and, when a check
# failed or the script stopped with status $1, prints the logs in $work and the further files
# named (the program's logs, in the system code page GBK); then removes $work unless
# KX_KEEP_TEST_FOLDERS is set.
end_prefix_test() {
  local status=$1 f
  shift
  [ -n "$work" ] && [ -d "$work" ] || return 0
  WINEPREFIX=$work/prefix timeout 60 wineserver -k >/dev/null 2>&1
  if [ "$failures" -ne 0 ] || [ "$status" -ne 0 ]; then
    for f in "$work"/*.log; do
      [ -s "$f" ] && { echo "---- $(basename "$f") ----"; cat "$f"; } >&2
    done
    for f in "$@"; do
      [ -s "$f" ] && { echo "---- $f ----"; iconv -f GBK -t UTF-8 "$f" 2>/dev/null || cat "$f"; } >&2
    done
  fi
  [ -n "${KX_KEEP_TEST_FOLDERS:-}" ] || rm -rf "$work"
}
