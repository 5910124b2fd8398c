#!/usr/bin/env bash
# Builds lantrel-status and runs it on the bundled sample data in a sandbox
# home, printing what a user would see.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
tool=$PWD/build/release/lantrel-status

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/lantrel-demo-XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
cp -R samples/home/. "$sandbox/"
export HOME=$sandbox

show() { printf '\n$ lantrel-status'; printf ' %q' "$@"; printf '\n'; "$tool" "$@" || true; }

echo "Sandbox home: $sandbox (sample tasks from samples/home)"
show set nightly-build working "Nightly build"
show set deploy_42 waiting "Deploy to staging"
show set docs done "Regenerate docs"
show remove docs
show list
show set "bad id" done "Refused"
