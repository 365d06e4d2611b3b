#!/bin/sh
# scripts/browser-policy.sh below a private policy root: the Chromium file carries both policy
# names with the same patterns; Firefox's policies.json gets LocalNetworkAccess.SkipDomains while
# every other policy in it is kept, and remove takes out only that list (the file goes when
# nothing else is left); an entry that is not an origin or a damaged policies.json changes nothing.
set -u
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/browser-policy.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/kx-browser-policy.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# json_is FILE PYTHON-EXPRESSION: the expression over the file's data `d` is true.
json_is() {
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if eval(sys.argv[2]) else 1)' "$1" "$2" ||
    fail "$1: $2 does not hold: $(cat "$1")"
}

root=$work/root
chromium=$root/etc/chromium/policies/managed/kestrix-assistant.json
firefox=$root/etc/firefox/policies/policies.json
mkdir -p "$(dirname "$firefox")"
printf '{"policies": {"DisableTelemetry": true, "LocalNetworkAccess": {"Enabled": true}}}\n' >"$firefox"

bash "$script" write --origins "https://App.example.com:8443;https://*.corp.example" \
  --browser chromium --browser firefox --policy-root "$root" >"$work/out" 2>&1 || fail "write: $(cat "$work/out")"
want='["https://app.example.com:8443", "https://[*.]corp.example"]'
json_is "$chromium" "d['LoopbackNetworkAllowedForUrls'] == $want and d['LocalNetworkAccessAllowedForUrls'] == $want and len(d) == 2"
json_is "$firefox" "d['policies']['LocalNetworkAccess'] == {'Enabled': True, 'SkipDomains': ['app.example.com', '*.corp.example']}"
json_is "$firefox" "d['policies']['DisableTelemetry'] is True"

# Refusals leave every file as it was.
cp "$chromium" "$work/chromium.before"
cp "$firefox" "$work/firefox.before"
for origins in "app.example.com" "https://app.example.com/path" "ftp:/x"; do
  if bash "$script" write --origins "$origins" --browser chromium --browser firefox --policy-root "$root" >"$work/out" 2>&1; then
    fail "write accepted '$origins'"
  fi
done
cmp -s "$chromium" "$work/chromium.before" || fail "a refused write changed the Chromium file"
cmp -s "$firefox" "$work/firefox.before" || fail "a refused write changed policies.json"

damaged=$work/damaged/etc/firefox/policies/policies.json
mkdir -p "$(dirname "$damaged")"
printf '{"policies": {' >"$damaged"
if bash "$script" write --origins "https://a.example" --browser firefox --policy-root "$work/damaged" >"$work/out" 2>&1; then
  fail "write went through a damaged policies.json"
fi
[ "$(cat "$damaged")" = '{"policies": {' ] || fail "a damaged policies.json was changed"

bash "$script" remove --browser chromium --browser firefox --policy-root "$root" >"$work/out" 2>&1 || fail "remove: $(cat "$work/out")"
[ ! -e "$chromium" ] || fail "remove left $chromium"
json_is "$firefox" "d == {'policies': {'DisableTelemetry': True, 'LocalNetworkAccess': {'Enabled': True}}}"

# A policies.json that held nothing but the list goes with it.
fresh=$work/fresh
bash "$script" write --origins "https://a.example" --browser firefox --policy-root "$fresh" >/dev/null 2>&1 || fail "write to a fresh root"
[ -f "$fresh/etc/firefox/policies/policies.json" ] || fail "no policies.json written"
bash "$script" remove --browser firefox --policy-root "$fresh" >/dev/null 2>&1 || fail "remove from a fresh root"
[ ! -e "$fresh/etc/firefox/policies/policies.json" ] || fail "an empty policies.json was left behind"

[ "$failures" -eq 0 ] && echo "browser_policy_test: all checks passed"
exit "$failures"
