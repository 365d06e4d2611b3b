#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test with ctest.
# Extra arguments go to ctest (for example -R unit. or -L e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build
exec ctest --output-on-failure -j"$(nproc)" "$@"
