#!/usr/bin/env bash
# Installs the build tree BUILD into a fresh prefix, then builds and runs the
# consumer against it twice: through find_package and through pkg-config.
#   run.sh BUILD CXX
set -euo pipefail
build=$1
cxx=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$here" -B "$work/cmake" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
"$cxx" -std=c++17 "$here/consumer.cc" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs QZClientCreation qzsim)
"$work/consumer-pc"
