#!/usr/bin/env bash
# Builds the Windows installer KestrixAssistant-Setup-<version>.exe from a program folder with
# makensis (Debian's nsis package) and Assistant/installer/KestrixAssistant.nsi.
#
#   bash scripts/build-installer.sh [options]
#
#   --arch i686|x86_64       32-bit (x86-unicode) or 64-bit (amd64-unicode) installer; default
#                            $KX_WIN_ARCH, else i686
#   --program-dir DIR        the program folder (default build-win/program, build-win64/program)
#   --out DIR                where the installer goes (default build-win/, build-win64/)
#   --version VERSION        default: the project VERSION of the top-level CMakeLists.txt
#   --update-key FILE.pub    the operator's Ed25519 public key (PEM, `openssl pkey -pubout`); the
#                            installer hands it to KxService.exe /acceptKey
#   --key-rotation-sig FILE  "ed25519=<base64>" of FILE.pub's bytes signed with the key installed
#                            now, so that installations holding that key take the new one
#   --trusted-sites LIST     trusted.sites written by the installer ("/SITES=" overrides it)
#   --compressor NAME        lzma (default) or zlib (faster to build, for tests)
#
# The per-file list (KestrixAssistant-files.nsh in <out>/installer/) is written here from the
# program folder: what the installer unpacks, moves into place and the uninstaller removes. The
# folders a run of the program leaves behind (log, upgrade, download) are not part of it.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "build-installer: $*" >&2; exit 2; }

arch=${KX_WIN_ARCH:-i686}
program_dir=""
out=""
version=""
update_key=""
rotation_sig=""
sites=""
sites_given=0
compressor=lzma
while [ $# -gt 0 ]; do
  case "$1" in
    --arch|--program-dir|--out|--version|--update-key|--key-rotation-sig|--trusted-sites|--compressor)
      [ $# -ge 2 ] || die "$1 needs a value" ;;
  esac
  case "$1" in
    --arch) arch=$2 ;;
    --program-dir) program_dir=$2 ;;
    --out) out=$2 ;;
    --version) version=$2 ;;
    --update-key) update_key=$2 ;;
    --key-rotation-sig) rotation_sig=$2 ;;
    --trusted-sites) sites=$2; sites_given=1 ;;
    --compressor) compressor=$2 ;;
    *) die "unknown argument $1" ;;
  esac
  shift 2
done

case "$arch" in
  i686) default_out=$ROOT/build-win ;;
  x86_64) default_out=$ROOT/build-win64 ;;
  *) die "--arch must be i686 or x86_64, not $arch" ;;
esac
out=${out:-$default_out}
program_dir=${program_dir:-$default_out/program}
[ -d "$program_dir" ] || die "no program folder $program_dir"
program_dir=$(cd "$program_dir" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
for f in KestrixAssistant.exe KxService.exe; do
  [ -f "$program_dir/$f" ] || die "$program_dir/$f is missing (build the targets KestrixAssistant and KxService first)"
done
command -v makensis >/dev/null || die "makensis is missing (apt-get install nsis)"
case "$compressor" in lzma|zlib) ;; *) die "--compressor must be lzma or zlib" ;; esac

if [ -z "$version" ]; then
  version=$(sed -nE 's/^project\(KestrixAssistant VERSION ([0-9]+(\.[0-9]+)*).*/\1/p' "$ROOT/CMakeLists.txt" | head -1)
  [ -n "$version" ] || die "no project VERSION in $ROOT/CMakeLists.txt"
fi
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "version '$version' is not MAJOR.MINOR.PATCH"

defines=(-DVERSION="$version" -DOUTFILE="$out/KestrixAssistant-Setup-$version.exe")
[ "$arch" = i686 ] || defines+=(-DWIN64)
if [ -n "$update_key" ]; then
  [ -f "$update_key" ] || die "no key file $update_key"
  command -v openssl >/dev/null || die "openssl is needed to check $update_key"
  openssl pkey -pubin -in "$update_key" -noout -text 2>/dev/null | head -1 | grep -q '^ED25519 Public-Key' ||
    die "$update_key is not an Ed25519 public key in PEM form (openssl pkey -pubout writes one)"
  update_key=$(cd "$(dirname "$update_key")" && pwd)/$(basename "$update_key")
  defines+=(-DUPDATE_KEY)
  if [ -n "$rotation_sig" ]; then
    [ -f "$rotation_sig" ] || die "no signature file $rotation_sig"
    grep -qE '^ed25519=[A-Za-z0-9+/]{86}==[[:space:]]*$' "$rotation_sig" ||
      die "$rotation_sig does not hold one line ed25519=<base64 of a 64-byte signature>"
    rotation_sig=$(cd "$(dirname "$rotation_sig")" && pwd)/$(basename "$rotation_sig")
    defines+=(-DKEY_SIG)
  fi
else
  [ -z "$rotation_sig" ] || die "--key-rotation-sig needs --update-key"
  echo "build-installer: WARNING: no --update-key: installations of this installer accept unsigned updates" >&2
fi
if [ "$sites_given" -eq 1 ]; then
  [[ "$sites" != *'"'* && "$sites" != *'$'* ]] || die "--trusted-sites holds a quote or a dollar sign"
  defines+=(-DTRUSTED_SITES="$sites")
fi

# ---- the per-file list ----------------------------------------------------------------------
gen=$out/installer
mkdir -p "$gen"
nsh=$gen/KestrixAssistant-files.nsh
nsis_text() { local s=${1//\$/\$\$}; printf '%s' "${s//\//\\}"; } # NSIS string: "$" doubled, "\" separators
mapfile -d '' files < <(cd "$program_dir" && find . -type f \
  -not -path './log/*' -not -path './upgrade/*' -not -path './download/*' -not -path './.setup-*' \
  -not -name uninst.exe -printf '%P\0' | LC_ALL=C sort -z)
mapfile -d '' dirs < <(cd "$program_dir" && find . -mindepth 1 -type d \
  -not -path './log' -not -path './log/*' -not -path './upgrade' -not -path './upgrade/*' \
  -not -path './download' -not -path './download/*' -not -path './.setup-*' -printf '%P\0' | LC_ALL=C sort -z)
for p in "${files[@]}" "${dirs[@]}"; do
  [[ "$p" != *'"'* ]] || die "a file name in the program folder holds a quote: $p"
done
{
  echo "; Generated by scripts/build-installer.sh from $program_dir: do not edit."
  echo "!macro KX_EXTRACT_SERVICE_EXE"
  printf '  File "%s"\n' "${program_dir//\$/\$\$}/KxService.exe"
  echo "!macroend"
  echo "; Unpacks every file below the folder dest."
  echo "!macro KX_EXTRACT_PAYLOAD dest"
  current=none
  for p in "${files[@]}" ${update_key:+conf/update.pub.new} ${rotation_sig:+conf/update.pub.new.sig}; do
    dir=$(dirname "$p")
    [ "$dir" != . ] || dir=""
    if [ "$dir" != "$current" ]; then
      if [ -n "$dir" ]; then printf '  SetOutPath "${dest}\\%s"\n' "$(nsis_text "$dir")"; else echo '  SetOutPath "${dest}"'; fi
      current=$dir
    fi
    case "$p" in
      conf/update.pub.new) printf '  File "/oname=update.pub.new" "%s"\n' "${update_key//\$/\$\$}" ;;
      conf/update.pub.new.sig) printf '  File "/oname=update.pub.new.sig" "%s"\n' "${rotation_sig//\$/\$\$}" ;;
      *) printf '  File "%s"\n' "${program_dir//\$/\$\$}/${p//\$/\$\$}" ;;
    esac
  done
  echo "!macroend"
  echo "; Each folder, parents first: !insertmacro CB relative-path"
  echo "!macro KX_FOR_EACH_DIR CB"
  for d in "${dirs[@]}"; do printf '  !insertmacro ${CB} "%s"\n' "$(nsis_text "$d")"; done
  echo "!macroend"
  echo "!macro KX_FOR_EACH_DIR_DEEPEST_FIRST CB"
  for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do printf '  !insertmacro ${CB} "%s"\n' "$(nsis_text "${dirs[i]}")"; done
  echo "!macroend"
  echo "; Each file: !insertmacro CB relative-path keep (1: conf or data, an existing copy stays)"
  echo "!macro KX_FOR_EACH_FILE CB"
  for p in "${files[@]}" ${update_key:+conf/update.pub.new} ${rotation_sig:+conf/update.pub.new.sig}; do
    keep=0
    case "$p" in
      conf/update.pub.new*) keep=0 ;;
      conf/*|data/*) keep=1 ;;
    esac
    printf '  !insertmacro ${CB} "%s" %s\n' "$(nsis_text "$p")" "$keep"
  done
  echo "!macroend"
} >"$nsh"
# conf/ must exist in the folder list for the carried key even when the program folder has none.
if [ -n "$update_key" ] && [ ! -d "$program_dir/conf" ]; then
  sed -i 's|^!macro KX_FOR_EACH_DIR CB$|&\n  !insertmacro ${CB} "conf"|; s|^!macro KX_FOR_EACH_DIR_DEEPEST_FIRST CB$|&\n  !insertmacro ${CB} "conf"|' "$nsh"
fi

log=$gen/makensis.log
if ! makensis -V2 -INPUTCHARSET UTF8 "${defines[@]}" -DFILES_NSH="$nsh" -DCOMPRESSOR="$compressor" \
    "$ROOT/Assistant/installer/KestrixAssistant.nsi" >"$log" 2>&1; then
  cat "$log" >&2
  die "makensis failed (output in $log)"
fi
grep -E '^warning' "$log" | grep -v '^warning 6012' >&2 || true
echo "build-installer: $out/KestrixAssistant-Setup-$version.exe ($arch, ${#files[@]} files from $program_dir)"
