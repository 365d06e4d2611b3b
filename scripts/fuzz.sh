#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in a build folder of their own and runs them.
#   scripts/fuzz.sh SECONDS [FOLDER]     every target for SECONDS each, two at a time
#   scripts/fuzz.sh --build FOLDER       only build
#   scripts/fuzz.sh --one NAME SECONDS FOLDER   one target (ctest's smoke run)
# FOLDER defaults to build/fuzz. Inputs found worth keeping go to FOLDER/corpus/NAME, crashing
# inputs to FOLDER/findings/NAME; the exit status is not 0 when any target crashed or a property
# failed. Inputs are capped at 4096 bytes (-max_len), as the service's own limits on nesting are
# what deep documents meet, not stack depth; the JSON readers and the request head parser, which
# take documents and heads of any size, get inputs up to 64 KiB. KX_FUZZ_MAX_LEN sets one cap for
# every target instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

build() {
  local folder="$1"
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$folder/CMakeCache.txt" ]; then
    cmake -S "$root/tests/fuzz" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang "${launcher[@]}" >/dev/null
  fi
  cmake --build "$folder" -j"$(nproc)"
}

# Runs one target; prints "NAME: N executions, ..." and returns its exit status.
run_one() {
  local name="$1" seconds="$2" folder="$3"
  local corpus="$folder/corpus/$name" findings="$folder/findings/$name" log="$folder/logs/$name.log"
  mkdir -p "$corpus" "$findings" "$folder/logs"
  local max_len=4096
  case "$name" in json_texts | http_head) max_len=65536 ;; esac
  max_len=${KX_FUZZ_MAX_LEN:-$max_len}
  local status=0
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
    "$folder/${name}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus" "$root/tests/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "$name: ${runs:-?} executions in ${seconds} s (inputs up to $max_len bytes), no finding"
  else
    echo "$name: FAILED after ${runs:-?} executions (status $status); log $log, inputs in $findings"
    grep -E "^==[0-9]+==ERROR|runtime error|property failed|SUMMARY" "$log" | head -5 || true
  fi
  return "$status"
}

targets() {
  for f in "$root"/tests/fuzz/*_fuzz.cpp; do basename "$f" _fuzz.cpp; done
}

case "${1:-}" in
  --build)
    build "${2:?build folder}"
    ;;
  --one)
    run_one "${2:?target}" "${3:?seconds}" "${4:?build folder}"
    ;;
  ''|-*)
    echo "usage: $0 SECONDS [FOLDER] | --build FOLDER | --one NAME SECONDS FOLDER" >&2
    exit 2
    ;;
  *)
    seconds="$1"
    folder="$(realpath -m "${2:-$root/build/fuzz}")"
    build "$folder"
    failed=0
    names=($(targets))
    # Two at a time: the machines this runs on have few cores.
    for ((i = 0; i < ${#names[@]}; i += 2)); do
      pids=()
      for name in "${names[@]:i:2}"; do
        run_one "$name" "$seconds" "$folder" &
        pids+=($!)
      done
      for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    done
    exit "$failed"
    ;;
esac
