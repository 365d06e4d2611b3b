#!/usr/bin/env bash
# Builds the Linux package kestrix-assistant_<version>_<arch>.deb with debhelper
# (dpkg-buildpackage -b -us -uc) in a copy of the source tree, so that the developer's build/ and
# the working tree stay as they are. Prints the package's path as its last line.
#
#   bash scripts/build-deb.sh [options]
#
#   --update-key FILE.pub    the operator's Ed25519 public key (PEM, `openssl pkey -pubout`); the
#                            package installs it as conf/update.pub through KxService --acceptKey
#   --key-rotation-sig FILE  "ed25519=<base64>" of FILE.pub's bytes signed with the key installed
#                            now, so that installations holding that key take the new one
#   --trusted-sites LIST     [HTTP] trusted.sites written at every installation; the browsers'
#                            policies are written for them
#   --version VERSION        default: the project VERSION of the top-level CMakeLists.txt (which
#                            debian/changelog must name); another one gets a changelog entry of
#                            its own in the copy (used for upgrade tests)
#   --out DIR                where the copy, the build and the packages go (default build-deb/)
#
# The copy (<out>/src) and its CMake build (<out>/src/obj-kx) are kept: a later run copies only
# what changed and compiles only that, so a second package of the same sources takes seconds.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "build-deb: $*" >&2; exit 2; }

out=$ROOT/build-deb
version=""
update_key=""
rotation_sig=""
sites=""
while [ $# -gt 0 ]; do
  case "$1" in
    --update-key|--key-rotation-sig|--trusted-sites|--version|--out)
      [ $# -ge 2 ] || die "$1 needs a value" ;;
  esac
  case "$1" in
    --update-key) update_key=$2 ;;
    --key-rotation-sig) rotation_sig=$2 ;;
    --trusted-sites) sites=$2 ;;
    --version) version=$2 ;;
    --out) out=$2 ;;
    *) die "unknown argument $1 (see the head of this script)" ;;
  esac
  shift 2
done

for tool in dpkg-buildpackage dh cmake ninja openssl; do
  command -v "$tool" >/dev/null || die "$tool is missing (bash scripts/setup-debian.sh installs what the package build needs)"
done

project_version=$(sed -nE 's/^project\(KestrixAssistant VERSION ([0-9]+(\.[0-9]+)*).*/\1/p' "$ROOT/CMakeLists.txt" | head -1)
[ -n "$project_version" ] || die "no project VERSION in $ROOT/CMakeLists.txt"
changelog_version=$(dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version)
[ "$changelog_version" = "$project_version" ] ||
  die "debian/changelog names $changelog_version but CMakeLists.txt's project VERSION is $project_version: add a changelog entry"
version=${version:-$project_version}
[[ "$version" =~ ^[0-9]+(\.[0-9]+)*$ ]] || die "version '$version' is not numbers separated by dots"

if [ -n "$update_key" ]; then
  [ -f "$update_key" ] || die "no update key file $update_key"
  update_key=$(cd "$(dirname "$update_key")" && pwd)/$(basename "$update_key")
  openssl pkey -pubin -in "$update_key" -noout -text 2>/dev/null | grep -q '^ED25519 Public-Key' ||
    die "$update_key is not an Ed25519 public key in PEM form (openssl pkey -pubout writes one)"
fi
if [ -n "$rotation_sig" ]; then
  [ -n "$update_key" ] || die "--key-rotation-sig needs --update-key"
  [ -f "$rotation_sig" ] || die "no rotation signature file $rotation_sig"
  rotation_sig=$(cd "$(dirname "$rotation_sig")" && pwd)/$(basename "$rotation_sig")
  grep -qE '^ed25519=[A-Za-z0-9+/]+={0,2}[[:space:]]*$' "$rotation_sig" ||
    die "$rotation_sig does not hold ed25519=<base64>"
fi
if [ -n "$sites" ]; then
  # The list is checked by the same rules the installation's policy writer applies, against a
  # throwaway policy root: a mistyped list stops the build, not the installation.
  [[ "$sites" != *$'\n'* && "$sites" != *"'"* && "$sites" != *'|'* && "$sites" != *'$'* ]] ||
    die "--trusted-sites holds a character no origin has"
  check=$(mktemp -d)
  if ! bash "$ROOT/scripts/browser-policy.sh" write --origins "$sites" --browser chromium \
         --policy-root "$check" >/dev/null 2>"$check.err"; then
    msg=$(cat "$check.err"); rm -rf "$check" "$check.err"
    die "--trusted-sites: ${msg#browser-policy.sh: }"
  fi
  rm -rf "$check" "$check.err"
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in "$ROOT/build/"*) die "--out must not be inside the developer's build/" ;; esac
src=$out/src

# The copy: the files git knows and the untracked ones it does not ignore (the working tree as
# the developer sees it), with their times, so that an unchanged file is not compiled again.
mkdir -p "$src"
(
  cd "$ROOT"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
      if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done
) > "$out/files.list"
tar -C "$ROOT" --null -T "$out/files.list" -cf - | tar -C "$src" -xf -
# Files gone from the working tree go from the copy as well; the build folder and what the
# package build itself writes below debian/ stay.
tr '\0' '\n' < "$out/files.list" | sort > "$out/files.now"
(cd "$src" && find . -path ./obj-kx -prune -o -path ./debian/kestrix-assistant -prune -o \
   -path ./debian/.debhelper -prune -o -path ./debian/tmp -prune -o -type f -print | sed 's|^\./||') |
  sort > "$out/files.copy"
comm -13 "$out/files.now" "$out/files.copy" |
  grep -vE '^debian/(files|debhelper-build-stamp|.*\.substvars|.*\.debhelper(\.log)?|kestrix-assistant\.postrm)$' |
  while read -r f; do rm -f "$src/$f"; done || true
rm -f "$out/files.list" "$out/files.now" "$out/files.copy"

if [ "$version" != "$changelog_version" ]; then
  entry=$(printf 'kestrix-assistant (%s) unstable; urgency=medium\n\n  * Package of version %s.\n\n -- %s  %s\n\n' \
    "$version" "$version" "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Maintainer)" "$(date -R)")
  printf '%s\n' "$entry" | cat - "$ROOT/debian/changelog" > "$src/debian/changelog"
fi

echo "build-deb: building kestrix-assistant $version in $src"
[ -n "$sites" ] && echo "build-deb: trusted.sites = $sites"
if [ -n "$update_key" ]; then
  echo "build-deb: update key $update_key${rotation_sig:+ with rotation signature $rotation_sig}"
else
  echo "build-deb: WARNING: no --update-key: the package carries no update public key, and an installation without conf/update.pub installs downloaded updates without a signature check"
fi
[ -n "$sites" ] || echo "build-deb: WARNING: no --trusted-sites: unless conf/sys.ini already lists sites, every web page can call the assistant"

arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=$out/kestrix-assistant_${version}_${arch}.deb
rm -f "$deb"
(
  cd "$src"
  export KX_UPDATE_KEY=$update_key KX_KEY_ROTATION_SIG=$rotation_sig KX_TRUSTED_SITES=$sites
  # --no-pre-clean keeps the CMake build between runs; -j follows the machine's cores.
  dpkg-buildpackage -b -us -uc --no-pre-clean -j"$(nproc)"
) > "$out/build.log" 2>&1 || { tail -n 40 "$out/build.log" >&2; die "dpkg-buildpackage failed; the whole log is $out/build.log"; }
grep -E '^(WARNING|dpkg-deb: building)' "$out/build.log" | sed 's/^/build-deb: /' || true
[ -f "$deb" ] || die "dpkg-buildpackage did not write $deb (see $out/build.log)"
echo "build-deb: $(du -h "$deb" | cut -f1) $(basename "$deb")"
echo "$deb"
