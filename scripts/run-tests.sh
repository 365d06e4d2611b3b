#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux build's tests with
# ctest, then the 32-bit Windows build's tests under Wine (scripts/run-windows-tests.sh). The
# output ends with the last ctest summary; the run fails when either part fails.
# Extra arguments go to the Linux ctest (for example -R unit. or -L e2e) and leave the Windows part
# out, as does KX_LINUX_ONLY=1.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
linux=0
(cd build && ctest --output-on-failure -j"$(nproc)" "$@") || linux=$?
if [ $# -eq 0 ] && [ -z "${KX_LINUX_ONLY:-}" ]; then
  bash scripts/run-windows-tests.sh
fi
exit "$linux"
