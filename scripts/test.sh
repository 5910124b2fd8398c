#!/usr/bin/env bash
# Builds and runs the whole test suite twice, a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and runs every fuzz
# target for a bounded time (FUZZ_SECONDS, default 20) in between.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DLANTREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== normal build =="
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== fuzzing (${FUZZ_SECONDS:-20} s per target) =="
FUZZ_JOBS=$jobs scripts/fuzz.sh
echo "== sanitizer build (address, undefined) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DLANTREL_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
