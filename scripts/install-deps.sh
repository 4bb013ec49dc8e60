#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
#   scripts/install-deps.sh            native build
#   scripts/install-deps.sh --aarch64  also the cross toolchain, the arm64
#                                      builds of the dependencies and qemu
#   scripts/install-deps.sh --fuzz     also clang's sanitizer runtimes (fuzzers)
# As root it installs with apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libabsl-dev libssl-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev libtiff-dev libturbojpeg0-dev nlohmann-json3-dev
          pybind11-dev python3-dev python3-numpy python3-pytest python3-tifffile
          # the Python wheel (python/pyproject.toml) and its stubs' check
          python3-setuptools python3-wheel python3-build python3-pip python3-venv mypy
          libraw-bin libimage-exiftool-perl doxygen clang-14 clang-format-14  # the thread-safety build, the format check
          libcpp-httplib-dev chromium  # talon-cam --serve, and the browser its test loads it in
          # the GStreamer plugin, and the elements its tests run (bayer2rgb: -bad)
          libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
          gstreamer1.0-plugins-ugly  # x264enc: talonsrc's I420 straight into H.264
          gstreamer1.0-plugins-base-apps)  # gst-device-monitor-1.0: the device provider's test
arm64=0
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(libclang-rt-14-dev)
elif [ "${1:-}" = "--aarch64" ]; then
  arm64=1
  # The :arm64 libraries go without their recommends, which clash with the
  # native compilers.
  packages+=(crossbuild-essential-arm64 qemu-user libc6:arm64 libabsl-dev:arm64
             libssl-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libpng-dev:arm64
             libtiff-dev:arm64 libturbojpeg0-dev:arm64
             # Debian builds cpp-httplib as a library (upstream: header-only)
             libcpp-httplib-dev:arm64
             pkgconf:arm64)  # aarch64-linux-gnu-pkg-config (TurboJPEG, cpp-httplib)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  [ $arm64 -eq 1 ] && echo "  dpkg --add-architecture arm64" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $arm64 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
