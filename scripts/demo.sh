#!/usr/bin/env bash
# Builds the project and runs the main job on the simulated IPU.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/bin/talon-cam ]; then
  exec build/bin/talon-cam "$@"
else
  exec build/bin/talon-demo "$@"
fi
