#!/usr/bin/env bash
# The package as a user installs it: the README's command builds it from a
# copy of the source tree into a fresh virtual environment (NumPy from the
# system), the copy goes, and the installed package captures from the
# simulator. Catches a wheel that lacks a library or loads one from a build
# tree (a run path other than $ORIGIN), a package that needs the source
# tree or comes without its type stubs, and a version that differs from the
# project's.
#   wheel_install.sh PYTHON SOURCE_DIR
set -euo pipefail
python=$1
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/talon-wheel-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tree without build directories and history: what a user has unpacked.
mkdir "$work/src"
tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude=./python/build \
  --exclude='./python/*.egg-info' --exclude=./python/dist -cf - . | tar -C "$work/src" -xf -

start=$(date +%s)
"$python" -m venv --system-site-packages "$work/venv"
(cd "$work/src" && "$work/venv/bin/pip" install -q --no-index --no-build-isolation ./python)
echo "built and installed in $(( $(date +%s) - start )) s"
rm -rf "$work/src"

cd "$work"  # not where a build tree's package could be imported from
package=$("$work/venv/bin/python" -c \
  'import importlib.util; print(importlib.util.find_spec("talon").submodule_search_locations[0])')
for library in "$package"/*.so*; do
  paths=$(readelf -d "$library" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p')
  if [ "$paths" != '$ORIGIN' ]; then
    echo "FAIL: $(basename "$library") has the run path '$paths', not \$ORIGIN" >&2
    exit 1
  fi
done

TALON_SOURCE_DIR=$source_dir TEST_UNDECLARED_OUTPUTS_DIR=$work/graphs \
  "$work/venv/bin/python" - <<'EOF'
import importlib.metadata
import os
import re

import talon

package = os.path.dirname(talon.__file__)
source_dir = os.environ["TALON_SOURCE_DIR"]
with open(os.path.join(source_dir, "CMakeLists.txt")) as cmake_lists:
    version = re.search(r"project\(talon VERSION ([0-9.]+)", cmake_lists.read()).group(1)
assert talon.__version__ == version == importlib.metadata.version("talon"), (
    talon.__version__, version, importlib.metadata.version("talon"))

stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=640, height=480,
                                   bits_per_component=10)
with talon.Camera(talon.CaptureConfig(stream_configs=[stream], timeout_ms=1000)) as cam:
    frames = [(frame.sequence, frame.error, frame.unpacked().shape) for frame in cam.frames(10)]
assert len(frames) == 10, frames
assert all(error == talon.CaptureError.SUCCESS and shape == (480, 640)
           for _, error, shape in frames), frames
assert [s for s, _, _ in frames] == sorted({s for s, _, _ in frames}), frames

# Every file the process mapped comes from elsewhere than the project's tree,
# and the package's libraries from the package.
with open("/proc/self/maps") as maps:
    mapped = {line.split()[-1] for line in maps if "/" in line}
from_tree = sorted(p for p in mapped if p.startswith(source_dir + "/"))
assert not from_tree, from_tree
assert {"py.typed", "__init__.pyi", "_talon.pyi"} <= set(os.listdir(package)), package
ours = {name for name in os.listdir(package) if ".so" in name}
loaded = {p for p in mapped if os.path.basename(p) in ours}
assert {os.path.dirname(p) for p in loaded} == {package}, loaded
print("talon %s from %s: %d frames, libraries %s" % (
    talon.__version__, package, len(frames), ", ".join(sorted(ours))))
EOF
