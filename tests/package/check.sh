#!/usr/bin/env bash
# Installs the project into a temporary prefix, builds the consumer against
# the exported package and runs it.
set -euo pipefail
build_dir=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/package" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="${CONSUMER_FLAGS:-}" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" "$work/tasks" | grep -qx "1 From the app"
test -x "$work/prefix/bin/lantrel-status"
test -f "$work/prefix/share/man/man1/lantrel-status.1"
