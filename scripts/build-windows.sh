#!/usr/bin/env bash
# Builds the 32-bit Windows program folder build-win/program/ with mingw-w64 on Debian 12.
#
#   bash scripts/build-windows.sh              packages, dependencies, program folder and tests
#   bash scripts/build-windows.sh --deps-only  packages and dependencies only
#
# Installer options (step 4; see scripts/build-installer.sh):
#   --update-key FILE.pub     the operator's Ed25519 public key the installer installs (without it
#                             the installations accept unsigned updates, and the build says so)
#   --key-rotation-sig FILE   the new key's signature by the key installed now (key rotation)
#   --trusted-sites LIST      trusted.sites the installer writes
#   --no-installer            the program folder and tests only
#
# KX_WIN_ARCH=x86_64 builds the same sources for 64-bit Windows into build-win64/ instead (its own
# dependencies, program folder and tests); the Windows tests run there on machines that cannot
# run 32-bit x86 programs (scripts/run-windows-tests.sh).
#
# Steps:
#   1. Installs what is missing from Debian: the i386 architecture (for wine32), deb-src entries,
#      mingw-w64 (posix thread model), Debian's mingw zlib, wine, wine32 (wine64 for x86_64),
#      xvfb, dpkg-dev.
#   2. Cross-builds the dependencies from Debian's source packages (`apt-get source`) into the
#      prefix $KX_WIN_DEPS (default build-win/deps, build-win64/deps for x86_64) as static
#      libraries: libcurl on Schannel
#      (http and https only), libzip on the mingw zlib, GoogleTest, and libcrypto from OpenSSL
#      (the update signature check verifies Ed25519 through it). A dependency whose stamp
#      (name and Debian version) is in the prefix is not built again.
#   3. Configures build-win/cmake with cmake/mingw-i686.cmake (or cmake/mingw-x86_64.cmake) and
#      builds everything in it; the program folder is build-win/program/.
# Boost (Beast/Asio) and nlohmann/json are header-only and come from the host's /usr/include.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

DEPS_ONLY=0
INSTALLER=1
INSTALLER_ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --deps-only) DEPS_ONLY=1; shift ;;
    --no-installer) INSTALLER=0; shift ;;
    --update-key|--key-rotation-sig|--trusted-sites)
      [ $# -ge 2 ] || { echo "build-windows: $1 needs a value" >&2; exit 2; }
      INSTALLER_ARGS+=("$1" "$2"); shift 2 ;;
    *) echo "build-windows: unknown argument $1" >&2; exit 2 ;;
  esac
done

ARCH=${KX_WIN_ARCH:-i686}
case "$ARCH" in
  i686) OUT=$ROOT/build-win; OPENSSL_TARGET=mingw; WINE_PACKAGE=wine32:i386 ;;
  x86_64) OUT=$ROOT/build-win64; OPENSSL_TARGET=mingw64; WINE_PACKAGE=wine64 ;;
  *) echo "build-windows: KX_WIN_ARCH must be i686 or x86_64, not $ARCH" >&2; exit 2 ;;
esac
JOBS=${KX_WIN_JOBS:-$(nproc)}
PREFIX=${KX_WIN_DEPS:-$OUT/deps}
mkdir -p "$PREFIX"
PREFIX=$(cd "$PREFIX" && pwd)
SRC_DIR=${KX_WIN_DEPS_SRC:-$PREFIX/src}
HOST=$ARCH-w64-mingw32
TOOLCHAIN=$ROOT/cmake/mingw-$ARCH.cmake
CC_WIN=$HOST-gcc-posix
CXX_WIN=$HOST-g++-posix

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# ---- 1. Debian packages ---------------------------------------------------------------------
install_packages() {
  local changed=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "build-windows: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    changed=1
  fi
  # apt-get source needs deb-src entries for Debian's own archive.
  if ! grep -rqs -E '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "build-windows: adding deb-src entries"
    local f=/etc/apt/sources.list.d/debian.sources
    if [ -f "$f" ]; then
      $SUDO sed -i -E 's/^Types: deb$/Types: deb deb-src/' "$f"
    else
      grep -s -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        $SUDO tee /etc/apt/sources.list.d/kx-deb-src.list >/dev/null
    fi
    changed=1
  fi
  local packages=(mingw-w64 "gcc-mingw-w64-${ARCH//_/-}-posix" "g++-mingw-w64-${ARCH//_/-}-posix"
                  libz-mingw-w64-dev wine "$WINE_PACKAGE" xvfb dpkg-dev cmake ninja-build perl make
                  libboost-dev nlohmann-json3-dev nsis openssl)
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ] || [ $changed -eq 1 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "build-windows: installing ${missing[*]}"
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# ---- 2. dependencies ------------------------------------------------------------------------
# Versions of a Debian source package the configured archive offers, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -uVr
}

# Fetches and unpacks a Debian source package (patches applied) into $SRC_DIR and prints its
# folder; fails when the archive does not hold that version (a stale index names versions the
# mirror no longer has).
fetch_source() {
  local pkg=$1 version=$2
  local work="$SRC_DIR/$pkg-$version"
  if [ ! -f "$work/.unpacked" ]; then
    rm -rf "$work"
    mkdir -p "$work"
    if ! (cd "$work" && apt-get source -qq "$pkg=$version" >"$work/.apt-get.log" 2>&1); then
      echo "build-windows: apt-get source $pkg=$version failed:" >&2
      grep -E '^E:' "$work/.apt-get.log" >&2 || true
      rm -rf "$work"
      return 1
    fi
    touch "$work/.unpacked"
  fi
  find "$work" -mindepth 1 -maxdepth 1 -type d | head -1
}

# Runs a command with its output in the log file; on failure shows the end of the log.
logged() {
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "build-windows: failed: $* (whole output in $log)" >&2
    return 1
  fi
}

cmake_cross() {
  local src=$1 build=$2
  shift 2
  local log="$src/.kx-build.log"
  : >"$log"
  logged "$log" cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF -Wno-dev "$@"
  logged "$log" cmake --build "$build" -j"$JOBS"
  logged "$log" cmake --install "$build"
}

build_curl() {
  local dir=$1
  cmake_cross "$dir" "$dir/build-win" \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON -DBUILD_CURL_EXE=OFF \
    -DBUILD_TESTING=OFF -DCURL_DISABLE_LDAP=ON -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DENABLE_UNIX_SOCKETS=OFF \
    -DCURL_CA_PATH=none -DCURL_CA_BUNDLE=none
}

build_libzip() {
  local dir=$1
  cmake_cross "$dir" "$dir/build-win" \
    -DZLIB_INCLUDE_DIR=/usr/$HOST/include -DZLIB_LIBRARY=/usr/$HOST/lib/libz.a \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_GNUTLS=OFF \
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
    -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DOC=OFF
}

build_googletest() {
  local dir=$1
  cmake_cross "$dir" "$dir/build-win" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}

# Only libcrypto, without assembler, shared libraries, engines or the algorithms nothing here uses.
build_openssl() {
  local dir=$1
  (
    cd "$dir"
    local log="$dir/.kx-build.log"
    : >"$log"
    [ ! -f Makefile ] || make -s clean >/dev/null 2>&1 || true
    export CC=$CC_WIN AR=$HOST-ar RANLIB=$HOST-ranlib RC=$HOST-windres
    logged "$log" perl Configure "$OPENSSL_TARGET" --prefix="$PREFIX" --libdir=lib no-asm no-shared no-module no-dso \
    no-engine no-tests no-ui-console no-legacy no-autoload-config \
    no-ssl no-tls no-dtls no-sock no-srp no-srtp no-comp no-cms no-ct no-ocsp no-ts no-cmp \
    no-idea no-camellia no-seed no-bf no-cast no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 no-rmd160 \
    no-whirlpool no-aria no-sm2 no-sm3 no-sm4 no-siv no-ocb no-scrypt no-ec2m no-gost \
    no-dsa no-des no-blake2 no-chacha no-poly1305 no-siphash no-multiblock
    logged "$log" make -s -j"$JOBS" build_generated
    logged "$log" make -s -j"$JOBS" libcrypto.a
    mkdir -p "$PREFIX/include/openssl" "$PREFIX/lib"
    cp include/openssl/*.h "$PREFIX/include/openssl/"
    cp libcrypto.a "$PREFIX/lib/"
  )
}

build_dependency() {
  local pkg=$1 versions version dir="" start
  versions=$(source_versions "$pkg")
  [ -n "$versions" ] || { echo "build-windows: no Debian source package $pkg (deb-src missing?)" >&2; exit 1; }
  for version in $versions; do
    if [ -f "$PREFIX/stamps/$pkg-$version" ]; then
      echo "build-windows: $pkg $version already in $PREFIX"
      return
    fi
  done
  start=$(date +%s)
  for version in $versions; do
    dir=$(fetch_source "$pkg" "$version") && break
    dir=""
  done
  [ -n "$dir" ] || { echo "build-windows: no version of $pkg could be fetched" >&2; exit 1; }
  echo "build-windows: building $pkg $version"
  "build_$pkg" "$dir"
  mkdir -p "$PREFIX/stamps"
  rm -f "$PREFIX/stamps/$pkg-"*
  touch "$PREFIX/stamps/$pkg-$version"
  echo "build-windows: $pkg $version built in $(( $(date +%s) - start )) s"
}

install_packages
for dep in googletest libzip curl openssl; do
  build_dependency "$dep"
done
[ "$DEPS_ONLY" -eq 0 ] || exit 0

# ---- 3. the program folder and the tests ----------------------------------------------------
BUILD_DIR=$OUT/cmake
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DKX_WIN_DEPS="$PREFIX" \
  -DKX_PROGRAM_DIR="$OUT/program" >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS"

# The program folder ships without debug information: it goes to $OUT/debug (one file per program
# or library, which the shipped file names through a debug link) for debuggers and crash reports.
mkdir -p "$OUT/debug"
while IFS= read -r -d '' file; do
  "$HOST-objdump" -h "$file" | grep -q '\.debug_info' || continue # stripped already
  relative=${file#"$OUT/program/"}
  debug_file="$OUT/debug/${relative//\//_}.debug"
  "$HOST-objcopy" --only-keep-debug "$file" "$debug_file"
  "$HOST-strip" --strip-all "$file"
  (cd "$OUT/debug" && "$HOST-objcopy" --add-gnu-debuglink="$(basename "$debug_file")" "$file")
done < <(find "$OUT/program" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
echo "build-windows: program folder $OUT/program (debug information in $OUT/debug)"

# ---- 4. the installer -----------------------------------------------------------------------
# KestrixAssistant-Setup-<version>.exe in $OUT, the version from the project VERSION above.
if [ "$INSTALLER" -eq 1 ]; then
  bash "$ROOT/scripts/build-installer.sh" --arch "$ARCH" --program-dir "$OUT/program" --out "$OUT" \
    ${INSTALLER_ARGS[@]+"${INSTALLER_ARGS[@]}"}
fi
