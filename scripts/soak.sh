#!/usr/bin/env bash
# The long checks that the test command runs short: the stress tests at full
# size (thousands of processes: heartbeat loops against listings, concurrent
# hook runs, a full disk, hostile file systems) and every fuzz target for
# FUZZ_SECONDS (default 300). Uses the builds scripts/test.sh made, building
# them first when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -x build/test/tests/lantrel_cli_tests && -d build/sanitize ]] || scripts/test.sh
jobs=$(nproc 2>/dev/null || echo 2)
echo "== stress tests at full size =="
(cd build/test && LANTREL_STRESS_SCALE=${LANTREL_STRESS_SCALE:-20} ctest --output-on-failure -L slow -j "$jobs")
echo "== fuzzing (${FUZZ_SECONDS:-300} s per target) =="
FUZZ_BUILD=build/sanitize FUZZ_SECONDS=${FUZZ_SECONDS:-300} FUZZ_JOBS=$jobs scripts/fuzz.sh
