#!/usr/bin/env bash
# Installs the project into a temporary prefix and builds three consumers of
# it: with CMake and the core alone, where neither libcurl nor pkg-config's
# vips can be found; with CMake and the support report; and with pkg-config.
set -euo pipefail
build_dir=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
consumer() {  # NAME CMAKE-OPTIONS...
  local name=$1; shift
  cmake -S "$source_dir/tests/package" -B "$work/$name" -DCMAKE_PREFIX_PATH="$prefix" "$@" >/dev/null
  cmake --build "$work/$name" >/dev/null
  "$work/$name/consumer" "$work/tasks-$name" | grep -qx "1 From the app"
}
mkdir "$work/no-pkgconfig"
PKG_CONFIG_LIBDIR=$work/no-pkgconfig consumer core -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON
consumer feedback -DWITH_FEEDBACK=ON
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
c++ -std=c++20 "$source_dir/tests/package/consumer.cpp" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs lantrel-core)
"$work/pc-consumer" "$work/tasks-pc" | grep -qx "1 From the app"
pkg-config --exists lantrel-feedback
test -x "$prefix/bin/lantrel-status"
test -f "$prefix/share/man/man1/lantrel-status.1"
