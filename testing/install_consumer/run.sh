#!/bin/bash
# Installs the build into a temporary prefix, runs the installed tools from
# there, and builds a small client against it twice: with find_package(talon)
# and with pkg-config. Nothing sets LD_LIBRARY_PATH: installed binaries find
# their libraries through their own run path.
# Usage: run.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
unset LD_LIBRARY_PATH
libdir=$(dirname "$(find "$prefix" -name libtalon.so | head -n 1)")

# The installed tools, on the unthrottled simulated sensor; the compiled
# graph goes to a private cache.
export PRISM_SIM_FPS=0 TEST_UNDECLARED_OUTPUTS_DIR=$work/outputs
"$prefix/bin/talon-cam" --frames 5 --quiet
if [ -x "$prefix/bin/talon-prism-check" ]; then
  PRISM_SIM_FPS=30 "$prefix/bin/talon-prism-check" >/dev/null
fi

cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 "$here/consumer.cc" -o "$work/consumer-pc" -Wl,-rpath,"$libdir" \
  $(pkg-config --cflags --libs talon warden talon_isp)
"$work/consumer-pc"

# Every installed header compiles alone with pkg-config's flags too (the
# CMake build above compiled each with find_package's), and includes only
# headers of the package or of a dependency the package declares.
includedir=$(pkg-config --variable=includedir talon)
packages="talon warden talon_isp"
pkg-config --exists prism && packages="$packages prism"
# shellcheck disable=SC2086
cflags=$(pkg-config --cflags $packages)
declared=$(pkg-config --print-requires $packages; grep -ho 'find_dependency([A-Za-z_]*' \
  "$libdir"/cmake/talon/talonConfig.cmake)
status=0
while read -r header; do
  # shellcheck disable=SC2086
  if ! echo "#include \"$header\"" | g++ -std=c++17 -fsyntax-only $cflags -x c++ - 2>"$work/h.err"; then
    echo "install_consumer: $header does not compile alone: $(head -n 1 "$work/h.err")"
    status=1
  fi
  while read -r included; do
    [ -f "$includedir/$included" ] && continue
    dependency=${included%%/*}
    if ! grep -q "$dependency" <<<"$declared"; then
      echo "install_consumer: $header includes $included, from no declared dependency"
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$includedir/$header")
done < <(cd "$includedir" && find . -name '*.h' | sed 's|^\./||' | sort)
[ $status -eq 0 ] || exit 1
echo "install_consumer: installed tools, find_package and pkg-config clients run; every installed header compiles alone"
