"""The three surfaces count dropped frames by one rule: on the same simulated
run with a gap planted between its first two frames (PRISM_SIM_SKIP), the
summary of talon-cam, Camera.dropped and talonsrc's QoS count all say the
planted count."""

import os
import re
import shutil
import subprocess
import sys

import pytest

PLANTED = 2
FRAMES = 10
STREAM = "0x2B,64,8,10"


def run(args, env=None):
    # 30 fps, the simulator's default: the consumers keep up, so that the
    # planted gap is the only one.
    run_env = dict(os.environ, PRISM_SIM_SKIP="1:%d" % PLANTED, **(env or {}))
    run_env.pop("PRISM_SIM_FPS", None)
    result = subprocess.run(args, env=run_env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def talon_cam_dropped():
    out = run([os.environ["TALON_CAM"], "--stream", STREAM, "--frames", str(FRAMES)])
    return int(re.search(r"^dropped: (\d+)$", out, re.MULTILINE).group(1))


def python_dropped():
    script = """
import talon
stream = talon.CaptureStreamConfig(data_type=0x2B, width=64, height=8, bits_per_component=10)
with talon.Camera(talon.CaptureConfig(stream_configs=[stream], timeout_ms=1000)) as cam:
    for frame in cam.frames(%d):
        pass
    print(cam.dropped)
""" % FRAMES
    return int(run([sys.executable, "-c", script]).split()[-1])


def talonsrc_dropped():
    launch = shutil.which("gst-launch-1.0")
    plugins = os.environ.get("TALON_GST_PLUGIN_DIR", "")
    if launch is None or not os.path.isdir(plugins):
        pytest.skip("no gst-launch-1.0 or no talonsrc plugin built")
    out = run([launch, "-m", "talonsrc", "stream=" + STREAM, "num-buffers=%d" % FRAMES, "!",
               "fakesink"], {"GST_PLUGIN_PATH": plugins})
    counts = re.findall(r"dropped=\(guint64\)(\d+)", out)
    return int(counts[-1]) if counts else 0


# Catches a surface that counts drops by a rule of its own: talonsrc once
# measured the period across its first two frames, so a gap there doubled
# it and neither that gap nor later ones were counted.
def test_every_surface_counts_the_planted_gap():
    assert {"talon-cam": talon_cam_dropped(), "python": python_dropped(),
            "talonsrc": talonsrc_dropped()} == dict.fromkeys(
                ["talon-cam", "python", "talonsrc"], PLANTED)
