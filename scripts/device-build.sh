#!/usr/bin/env bash
# Proves the device build: stages the host stand-ins as a vendor root, builds
# the product against it with TALON_PLATFORM_ROOT, checks that the product
# build compiled nothing of platform/ and that its binaries carry no
# simulator, then runs the runtime contract check and a short capture from
# that build.
#   scripts/device-build.sh            native
#   scripts/device-build.sh aarch64    cross-built for 64-bit Arm, run under qemu-aarch64
# Outputs: build-platform[-aarch64]/ (the vendor root in its root/) and
# build-device[-aarch64]/.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-native}
suffix="" toolchain=() run=()
if [ "$arch" = aarch64 ]; then
  scripts/install-deps.sh --aarch64
  suffix=-aarch64
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake")
  run=(qemu-aarch64)
else
  scripts/install-deps.sh
fi
platform_build=build-platform$suffix
root=$PWD/$platform_build/root
device_build=build-device$suffix
fail() { echo "device build: $*" >&2; exit 1; }

echo "=== vendor root from the stand-ins: $root"
rm -rf "$root"
cmake -S platform -B "$platform_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${toolchain[@]}" >/dev/null
cmake --install "$platform_build" --prefix "$root" >/dev/null

echo "=== product against the vendor root: $device_build"
cmake -S . -B "$device_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALON_PLATFORM_ROOT="$root" "${toolchain[@]}" >/dev/null
cmake --build "$device_build"

echo "=== checks"
# Nothing of platform/ (nor the host-only conveniences of host/) compiled.
compiled=$(grep -o '"file": "[^"]*"' "$device_build/compile_commands.json" | cut -d'"' -f4)
if grep -E "^$PWD/(platform|host)/" <<<"$compiled"; then
  fail "the files above were compiled into the product build"
fi
# No shipped source includes a stand-in's header.
if grep -rnE '#include "(platform|host|testing)/' base system oemlock support tools gst \
     --include='*.h' --include='*.cc' --include='*.cpp' | grep -v '_test\.cc:'; then
  fail "shipped sources include the headers above"
fi
# No simulator symbol in the product's libraries and tools.
for f in "$device_build"/lib/lib*.so "$device_build"/lib/gstreamer-1.0/*.so "$device_build"/bin/*; do
  if nm -C "$f" 2>/dev/null | grep -E 'PrismSim|dram_sim|qmi_sim|SystemLogSetSink|SetLogSink'; then
    fail "$f holds the simulator symbols above"
  fi
done
# libtalon takes every runtime function from libprism.so.1, version LIBPRISM_1.0.
readelf -d "$device_build/lib/libtalon.so" | grep -q 'NEEDED.*\[libprism\.so\.1\]' ||
  fail "libtalon.so does not need libprism.so.1"
unversioned=$(nm -D --undefined-only "$device_build/lib/libtalon.so" | awk '{print $2}' |
              grep '^Ozy' | grep -v '@LIBPRISM_1\.0$' || true)
[ -z "$unversioned" ] || fail "runtime functions without LIBPRISM_1.0: $unversioned"
echo "libtalon.so imports $(nm -D --undefined-only "$device_build/lib/libtalon.so" |
  grep -c '@LIBPRISM_1\.0$') runtime functions with LIBPRISM_1.0; no platform source compiled"

echo "=== runtime contract check and a capture from the device build"
export TEST_UNDECLARED_OUTPUTS_DIR=$PWD/$device_build/outputs
"${run[@]}" "$device_build/bin/talon-prism-check"
"${run[@]}" "$device_build/bin/talon-cam" --frames 20 --quiet
# The GStreamer plugin, where it was built (native builds: gst-launch-1.0 is the host's).
if [ "$arch" != aarch64 ] && [ -f "$device_build/lib/gstreamer-1.0/libgsttalon.so" ]; then
  GST_PLUGIN_PATH=$PWD/$device_build/lib/gstreamer-1.0 gst-launch-1.0 -q \
    talonsrc num-buffers=20 stream=0x2A,64,32,8 ! fakesink
fi
