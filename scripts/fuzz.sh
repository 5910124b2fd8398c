#!/usr/bin/env bash
# Runs every libFuzzer target (Clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for FUZZ_SECONDS (default 20) from the seed
# corpus in fuzz/corpus. Prints, per target, the executions run without a
# finding; fails on the first crash, leak, sanitizer report or broken
# property, leaving the input in BUILD/artifacts.
#
# The targets are built in build/fuzz, or in FUZZ_BUILD when it names a build
# already configured with -DLANTREL_BUILD_FUZZ=ON (scripts/test.sh shares its
# sanitizer build that way).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-20}"
build="${FUZZ_BUILD:-build/fuzz}"
jobs="${FUZZ_JOBS:-2}"

if [[ -z "${FUZZ_BUILD:-}" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DLANTREL_BUILD_FUZZ=ON -DLANTREL_BUILD_TESTS=OFF -DLANTREL_WERROR=ON >/dev/null
fi
cmake --build "$build" -j "$jobs" --target fuzz_targets

targets=$(sed -n '/^set(LANTREL_FUZZ_TARGETS/,/^)/p' fuzz/CMakeLists.txt | sed '1d;$d')
mkdir -p "$build/artifacts"
total=0
for target in $targets; do
  # New inputs go to a working corpus; the checked-in seeds stay as they are.
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/$target.log"
  # Each run gets its own temporary directory, which it must leave empty.
  scratch="$build/tmp/$target"
  rm -rf "$scratch" && mkdir -p "$scratch"
  if ! TMPDIR="$scratch" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target FAILED (log $log, input in $build/artifacts)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  if [[ -z "$runs" ]]; then
    tail -n 20 "$log"
    echo "fuzz: $target ended without a summary" >&2
    exit 1
  fi
  if [[ -n "$(ls -A "$scratch")" ]]; then
    echo "fuzz: $target left files in its temporary directory: $(ls -A "$scratch")" >&2
    exit 1
  fi
  printf 'fuzz: %-24s %10s executions in %ss without a finding\n' "$target" "$runs" "$seconds"
  total=$((total + runs))
done
echo "fuzz: all targets passed, $total executions"
