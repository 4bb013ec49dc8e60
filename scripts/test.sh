#!/usr/bin/env bash
# Builds and runs every test: the default build, then the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
#   scripts/test.sh            all three
#   scripts/test.sh default    one preset (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}"
  ctest --preset "${preset}"
done
