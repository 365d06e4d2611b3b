#!/usr/bin/env bash
# Installs what is missing, builds the assistant and runs it in the foreground with the demo
# program folder (build/program). Stop it with Ctrl+C or http://127.0.0.1:13526/appctrl?cmd=1.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/program/KestrixAssistant
