#!/usr/bin/env bash
# Builds and runs the tests under a sanitizer: "address" (AddressSanitizer and
# UndefinedBehaviorSanitizer, the default) or "thread" (ThreadSanitizer). Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-address}"
shift || true
./scripts/setup-debian.sh
cmake -S . -B "build-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE="$kind" >/dev/null
cmake --build "build-$kind" -j"$(nproc)"
cd "build-$kind"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Tests start helper programs (cupsd, lpadmin, Xvfb) by fork and exec from threaded processes.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/../tests/tsan.supp"
exec ctest --output-on-failure -j"$(nproc)" "$@"
