#!/usr/bin/env bash
# Builds the project and runs the main job: talon-cam capturing 60 frames of
# one 640x480 RAW10 stream on the simulated IPU, with a PNG preview of the
# last frame. Extra arguments go to talon-cam.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target talon-cam talon_python  # talon-cam and the Python module
exec build/bin/talon-cam --png build/talon-cam-preview.png "$@"
