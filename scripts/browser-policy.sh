#!/usr/bin/env bash
# Lets the trusted business sites reach the assistant on loopback without the browser's
# "local network access" prompt: writes (or removes) a managed policy file that sets
# LocalNetworkAccessAllowedForUrls for Chromium, Google Chrome and Microsoft Edge on Linux.
#
# Usage:
#   scripts/browser-policy.sh write  (--program-folder DIR | --origins "ORIGIN;ORIGIN...")
#                                     [--browser NAME]... [--policy-root DIR]
#   scripts/browser-policy.sh remove [--browser NAME]... [--policy-root DIR]
#
#   --program-folder DIR  read [HTTP] trusted.sites from DIR/conf/sys.ini
#   --origins LIST        the origins themselves, in the form trusted.sites uses:
#                         scheme://host[:port] separated by ";", "*." before a host for its subdomains
#   --browser NAME        chromium, chrome or edge; repeatable; default: all three
#   --policy-root DIR     prefix for the policy folders (default /), e.g. for tests
#
# Policy folders: /etc/chromium/policies/managed, /etc/opt/chrome/policies/managed and
# /etc/opt/edge/policies/managed; the file is kestrix-assistant.json in each. Browsers read managed
# policies at start: restart them afterwards. An entry "*.example.com" becomes the browser pattern
# "[*.]example.com", which also covers example.com itself; the assistant still refuses the bare
# domain. An empty trusted.sites (every site may call) is not turned into a policy: allowing every
# site to reach the local network is not what an administrator wants by accident.
set -euo pipefail

policy_file=kestrix-assistant.json
declare -A folders=(
  [chromium]=etc/chromium/policies/managed
  [chrome]=etc/opt/chrome/policies/managed
  [edge]=etc/opt/edge/policies/managed
)

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
      [ -n "${folders[$2]:-}" ] || die "unknown browser '$2' (chromium, chrome or edge)"
      browsers+=("$2"); shift 2 ;;
    *) die "unknown argument '$1'" ;;
  esac
done
[ ${#browsers[@]} -gt 0 ] || browsers=(chromium chrome edge)
root="${root%/}"

if [ "$action" = remove ]; then
  for b in "${browsers[@]}"; do
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
done
[ ${#patterns[@]} -gt 0 ] || die "no origins in $source_text: an empty list lets every site call the assistant and is not written as a policy"

json="{\n  \"LocalNetworkAccessAllowedForUrls\": ["
sep=""
for p in "${patterns[@]}"; do
  json+="$sep\n    \"$p\""
  sep=","
done
json+="\n  ]\n}\n"

for b in "${browsers[@]}"; do
  dir="$root/${folders[$b]}"
  mkdir -p "$dir"
  chmod 755 "$dir"
  tmp=$(mktemp "$dir/.$policy_file.XXXXXX")
  printf '%b' "$json" > "$tmp"
  chmod 644 "$tmp"
  mv -f "$tmp" "$dir/$policy_file"
  echo "wrote $dir/$policy_file for $b: LocalNetworkAccessAllowedForUrls = ${patterns[*]}"
done
echo "restart the browsers to apply the policy (see chrome://policy)"
