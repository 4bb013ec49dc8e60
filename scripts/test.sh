#!/usr/bin/env bash
# Builds and runs every test: the default build, then the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
#   scripts/test.sh                  default, asan and tsan
#   scripts/test.sh aarch64          cross-built for 64-bit Arm, run under qemu
#   scripts/test.sh default tsan     any list of presets
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

if printf '%s\n' "${presets[@]}" | grep -qx aarch64; then
  scripts/install-deps.sh --aarch64
else
  scripts/install-deps.sh
fi

for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}"
  ctest --preset "${preset}"
done
