#!/bin/bash
# Installs the build into a temporary prefix and builds a small client
# against it twice: with find_package(talon) and with pkg-config.
# Usage: run.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libtalon.so | head -n 1)")
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 "$here/consumer.cc" -o "$work/consumer-pc" $(pkg-config --cflags --libs talon warden)
"$work/consumer-pc"
echo "install_consumer: find_package and pkg-config clients run"
