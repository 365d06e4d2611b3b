#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Kestrix Assistant need.
# Only packages that are missing are installed, so a second run returns at once.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev nlohmann-json3-dev libzip-dev libcurl4-openssl-dev libssl-dev openssl zip
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libxcb1-dev
  libgtest-dev googletest
  fp-compiler
  fonts-wqy-microhei
  clang libclang-rt-14-dev
  xvfb trayer xdotool imagemagick x11-utils
  cups cups-bsd cups-client
  chromium
  ca-certificates curl locales
  debhelper dpkg-dev fakeroot lintian desktop-file-utils
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(wrk nginx-light curl bc)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Windows program's end-to-end test runs it under Wine with a Chinese system locale (code page
# 936, as on the users' machines), which Wine takes from the Unix locale zh_CN.UTF-8.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  echo "setup: generating the locale zh_CN.UTF-8"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO sed -i -E 's/^# *(zh_CN\.UTF-8 UTF-8)/\1/' /etc/locale.gen
  $SUDO locale-gen >/dev/null
fi
