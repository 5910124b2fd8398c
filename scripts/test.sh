#!/usr/bin/env bash
# The whole test suite, twice: a normal build (GCC), then one build with
# AddressSanitizer and UndefinedBehaviorSanitizer (Clang) that also holds the
# libFuzzer targets, each of which then runs for FUZZ_SECONDS (default 5).
# The stress tests run at their default size here; scripts/soak.sh runs them,
# and the fuzz targets, at length.
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

SECONDS=0
echo "== normal build =="
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (address, undefined), with the fuzz targets =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DLANTREL_SANITIZE=ON -DLANTREL_BUILD_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
echo "== fuzzing (${FUZZ_SECONDS:-5} s per target) =="
FUZZ_BUILD=build/sanitize FUZZ_SECONDS=${FUZZ_SECONDS:-5} FUZZ_JOBS=$jobs scripts/fuzz.sh
echo "== all passed in $((SECONDS / 60)) min $((SECONDS % 60)) s =="
