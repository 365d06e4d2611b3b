#!/usr/bin/env bash
# Lets the trusted business sites reach the assistant on loopback without the browser's
# "local network access" prompt: writes (or removes) managed policies for Chromium, Google Chrome,
# Microsoft Edge and Firefox on Linux.
#
# Chromium-based browsers get a file of their own that sets both LoopbackNetworkAllowedForUrls
# (read from version 146 on, and taking precedence there) and LocalNetworkAccessAllowedForUrls
# (read by versions 139 to 145). Firefox (version 150 on) reads one policies.json for all its
# policies: the LocalNetworkAccess policy's SkipDomains list is set in it, and every other policy
# the file holds is kept (python3 edits it); remove takes out only that list.
#
# Usage:
#   scripts/browser-policy.sh write  (--program-folder DIR | --origins "ORIGIN;ORIGIN...")
#                                     [--browser NAME]... [--policy-root DIR]
#   scripts/browser-policy.sh remove [--browser NAME]... [--policy-root DIR]
#
#   --program-folder DIR  read [HTTP] trusted.sites from DIR/conf/sys.ini
#   --origins LIST        the origins themselves, in the form trusted.sites uses:
#                         scheme://host[:port] separated by ";", "*." before a host for its subdomains
#   --browser NAME        chromium, chrome, edge or firefox; repeatable; default: the three
#                         Chromium-based ones, and firefox where Firefox is installed
#   --policy-root DIR     prefix for the policy folders (default /), e.g. for tests
#
# Policy folders: /etc/chromium/policies/managed, /etc/opt/chrome/policies/managed and
# /etc/opt/edge/policies/managed; the file is kestrix-assistant.json in each; Firefox's is
# /etc/firefox/policies/policies.json, where Firefox takes only host names (scheme and port are
# dropped). Browsers read managed policies at start: restart them afterwards. An entry "*.example.com" becomes the browser pattern
# "[*.]example.com", which also covers example.com itself; the assistant still refuses the bare
# domain. An empty trusted.sites (every site may call) is not turned into a policy: allowing every
# site to reach the local network is not what an administrator wants by accident.
set -euo pipefail

policy_file=kestrix-assistant.json
declare -A folders=(
  [chromium]=etc/chromium/policies/managed
  [chrome]=etc/opt/chrome/policies/managed
  [edge]=etc/opt/edge/policies/managed
  [firefox]=etc/firefox/policies
)
firefox_file=policies.json

die() { echo "browser-policy.sh: $*" >&2; exit 2; }

action="${1:-}"
[ "$action" = write ] || [ "$action" = remove ] || die "first argument must be write or remove (see the head of this script)"
shift

program_folder=""
origins=""
origins_given=0
root="/"
browsers=()
while [ $# -gt 0 ]; do
  case "$1" in
    --program-folder) [ $# -ge 2 ] || die "$1 needs a value"; program_folder="$2"; shift 2 ;;
    --origins) [ $# -ge 2 ] || die "$1 needs a value"; origins="$2"; origins_given=1; shift 2 ;;
    --policy-root) [ $# -ge 2 ] || die "$1 needs a value"; root="$2"; shift 2 ;;
    --browser)
      [ $# -ge 2 ] || die "$1 needs a value"
      [ -n "${folders[$2]:-}" ] || die "unknown browser '$2' (chromium, chrome, edge or firefox)"
      browsers+=("$2"); shift 2 ;;
    *) die "unknown argument '$1'" ;;
  esac
done
if [ ${#browsers[@]} -eq 0 ]; then
  browsers=(chromium chrome edge)
  if command -v firefox >/dev/null 2>&1 || command -v firefox-esr >/dev/null 2>&1 || [ -d /etc/firefox ]; then
    browsers+=(firefox)
  fi
fi
root="${root%/}"

# Sets (a list of host names) or removes (no names) LocalNetworkAccess.SkipDomains in Firefox's
# policies.json, keeping everything else the file holds; a file left without policies goes.
edit_firefox_policies() {
  local file=$1
  shift
  command -v python3 >/dev/null 2>&1 ||
    die "python3 is needed to edit $file without losing the policies it holds; set LocalNetworkAccess.SkipDomains by hand"
  python3 - "$file" "$@" <<'PY'
import json, os, sys, tempfile
path, names = sys.argv[1], sys.argv[2:]
data = {}
if os.path.exists(path):
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except ValueError as e:
        sys.exit(f"browser-policy.sh: {path} is not valid JSON ({e}); nothing was changed")
if not isinstance(data, dict) or not isinstance(data.get("policies", {}), dict):
    sys.exit(f"browser-policy.sh: {path} does not hold a policies object; nothing was changed")
policies = data.setdefault("policies", {})
lna = policies.get("LocalNetworkAccess")
if not isinstance(lna, dict):
    lna = {}
if names:
    lna["SkipDomains"] = names
    policies["LocalNetworkAccess"] = lna
else:
    lna.pop("SkipDomains", None)
    if lna:
        policies["LocalNetworkAccess"] = lna
    else:
        policies.pop("LocalNetworkAccess", None)
if not names and not policies and set(data) == {"policies"}:
    if os.path.exists(path):
        os.remove(path)
    sys.exit(0)
folder = os.path.dirname(path)
fd, tmp = tempfile.mkstemp(dir=folder, prefix=".policies.json.")
with os.fdopen(fd, "w", encoding="utf-8") as f:
    json.dump(data, f, indent=2, ensure_ascii=False)
    f.write("\n")
os.chmod(tmp, 0o644)
os.replace(tmp, path)
PY
}

if [ "$action" = remove ]; then
  for b in "${browsers[@]}"; do
    if [ "$b" = firefox ]; then
      f="$root/${folders[$b]}/$firefox_file"
      if [ -e "$f" ]; then
        edit_firefox_policies "$f"
        echo "removed LocalNetworkAccess.SkipDomains from $f"
      else
        echo "nothing to remove for firefox ($f does not exist)"
      fi
      continue
    fi
    f="$root/${folders[$b]}/$policy_file"
    if [ -e "$f" ]; then
      rm -f "$f"
      echo "removed $f"
    else
      echo "nothing to remove for $b ($f does not exist)"
    fi
  done
  exit 0
fi

# [HTTP] trusted.sites from an INI file, by the program's rules: names without case, blanks
# around names and values ignored, one pair of quotes removed, ";" comment lines, the first key
# wins, a UTF-8 or UTF-16LE byte order mark honoured.
read_trusted_sites() {
  local ini="$1"
  local text
  if [ "$(head -c 2 "$ini" | od -An -tx1 | tr -d ' ')" = fffe ]; then
    text=$(tail -c +3 "$ini" | iconv -f UTF-16LE -t UTF-8)
  else
    text=$(sed '1s/^\xEF\xBB\xBF//' "$ini")
  fi
  printf '%s\n' "$text" | tr -d '\r' | awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    /^[ \t]*;/ { next }
    /^[ \t]*\[/ { s = $0; sub(/^[ \t]*\[/, "", s); sub(/\].*$/, "", s); section = tolower(trim(s)); next }
    section == "http" && index($0, "=") > 0 {
      key = tolower(trim(substr($0, 1, index($0, "=") - 1)))
      if (key != "trusted.sites") next
      v = trim(substr($0, index($0, "=") + 1))
      if (length(v) >= 2 && (substr(v, 1, 1) == "\"" || substr(v, 1, 1) == "'\''") && substr(v, length(v), 1) == substr(v, 1, 1))
        v = substr(v, 2, length(v) - 2)
      print v; exit
    }'
}

if [ $origins_given -eq 0 ]; then
  [ -n "$program_folder" ] || die "write needs --program-folder DIR or --origins LIST"
  ini="$program_folder/conf/sys.ini"
  [ -f "$ini" ] || die "$ini does not exist; give --program-folder or --origins"
  origins=$(read_trusted_sites "$ini")
  source_text="trusted.sites of $ini"
else
  source_text="--origins"
fi

# Each entry becomes a browser URL pattern; entries that are not origins stop the script, so a
# policy never silently lacks a site the administrator meant.
patterns=()
hosts=() # for Firefox, which matches host names only
IFS=';' read -r -a entries <<< "$origins"
for raw in "${entries[@]}"; do
  entry=$(printf '%s' "$raw" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')
  [ -n "$entry" ] || continue
  entry="${entry%/}"
  if [[ ! "$entry" =~ ^([A-Za-z][A-Za-z0-9+.-]*)://(\*\.)?([A-Za-z0-9_.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?$ ]]; then
    die "'$entry' in $source_text is not scheme://host[:port]"
  fi
  scheme=$(printf '%s' "${BASH_REMATCH[1]}" | tr 'A-Z' 'a-z')
  host=$(printf '%s' "${BASH_REMATCH[3]}" | tr 'A-Z' 'a-z')
  port="${BASH_REMATCH[4]}"
  [ -z "${BASH_REMATCH[2]}" ] || host="[*.]$host"
  patterns+=("$scheme://$host$port")
  if [ -z "${BASH_REMATCH[2]}" ]; then
    hosts+=("$(printf '%s' "${BASH_REMATCH[3]}" | tr 'A-Z' 'a-z')")
  else
    hosts+=("*.$(printf '%s' "${BASH_REMATCH[3]}" | tr 'A-Z' 'a-z')")
  fi
done
[ ${#patterns[@]} -gt 0 ] || die "no origins in $source_text: an empty list lets every site call the assistant and is not written as a policy"

list=""
sep=""
for p in "${patterns[@]}"; do
  list+="$sep\n    \"$p\""
  sep=","
done
json="{\n  \"LoopbackNetworkAllowedForUrls\": [$list\n  ],\n  \"LocalNetworkAccessAllowedForUrls\": [$list\n  ]\n}\n"

for b in "${browsers[@]}"; do
  dir="$root/${folders[$b]}"
  if [ "$b" = firefox ]; then
    mkdir -p "$dir"
    # Host names without repeats, in the order given.
    mapfile -t unique < <(printf '%s\n' "${hosts[@]}" | awk '!seen[$0]++')
    edit_firefox_policies "$dir/$firefox_file" "${unique[@]}"
    echo "wrote $dir/$firefox_file for firefox: LocalNetworkAccess.SkipDomains = ${unique[*]}"
    continue
  fi
  mkdir -p "$dir"
  chmod 755 "$dir"
  tmp=$(mktemp "$dir/.$policy_file.XXXXXX")
  printf '%b' "$json" > "$tmp"
  chmod 644 "$tmp"
  mv -f "$tmp" "$dir/$policy_file"
  echo "wrote $dir/$policy_file for $b: LoopbackNetworkAllowedForUrls and LocalNetworkAccessAllowedForUrls = ${patterns[*]}"
done
echo "restart the browsers to apply the policy (see chrome://policy, about:policies)"
