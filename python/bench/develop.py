"""talon.develop and Frame.rgb at real sizes, each beside same-run baselines:
a copy of the RGB output's bytes (NumPy's copyto, a memcpy) and the
plainest development a script would write in NumPy (2x2 binning of the
RGGB mosaic, white balance, a 3x3 matrix, an sRGB table: half size, no
demosaic; its picture is a quarter of develop's).

For each RAW10 stream (1920x1080, 4056x3040) one frame of the simulated
IPU's colour bars is captured and held; then, round by round so that every
figure sees the same machine, each of these runs once per round:

    memcpy              copy of the (H, W, 3) uint8 output's bytes (baseline)
    NumPy half size     the NumPy development above, from the uint16 samples
    develop(u16, out=)  talon.develop of the uint16 samples into a reused array
    develop(half_size)  the same at half size (the NumPy one's picture)
    Frame.rgb(out=)     the frame's RAW10 payload, developed into a reused array

and the medians are printed with their ratios to memcpy and to NumPy.

    PRISM_SIM_FPS=0 PYTHONPATH=build/python \\
        /usr/bin/python3 python/bench/develop.py [ROUNDS]
"""

import logging
import sys

import numpy as np

import talon
from rounds import medians, raw10_camera

SIZES = [(1920, 1080), (4056, 3040)]
GAINS = np.array([1.5, 1.0, 1.8])
CCM = np.array([[1.6, -0.4, -0.2], [-0.3, 1.5, -0.2], [0.0, -0.5, 1.5]])


def srgb_table(levels):
    x = np.arange(levels) / (levels - 1)
    y = np.where(x <= 0.0031308, 12.92 * x, 1.055 * np.power(x, 1 / 2.4) - 0.055)
    return np.round(y * 255).astype(np.uint8)


SRGB = srgb_table(4096)


def numpy_half_size(samples, white):
    """RGGB 2x2 cells binned, balanced, matrixed and sRGB encoded, in NumPy."""
    s = samples.astype(np.float32) / white
    rgb = np.stack([s[0::2, 0::2], (s[0::2, 1::2] + s[1::2, 0::2]) / 2, s[1::2, 1::2]], axis=-1)
    rgb = (rgb * GAINS.astype(np.float32)) @ CCM.T.astype(np.float32)
    index = np.clip(rgb * 4095 + 0.5, 0, 4095).astype(np.uint16)
    return SRGB[index]


def measure(width, height, rounds):
    with raw10_camera(width, height) as cam:
        frame = next(iter(cam.frames(1)))
        samples = frame.unpacked()
        out = np.empty((height, width, 3), np.uint8)
        half = np.empty((height // 2, width // 2, 3), np.uint8)
        source = np.ones_like(out)
        settings = dict(white_level=1023, wb_gains=GAINS, ccm=CCM)
        cases = {
            "memcpy": lambda: np.copyto(out, source),
            "NumPy half size": lambda: numpy_half_size(samples, 1023),
            "develop(u16, out=)": lambda: talon.develop(samples, out=out, **settings),
            "develop(half_size)": lambda: talon.develop(samples, out=half, half_size=True,
                                                        **settings),
            "Frame.rgb(out=)": lambda: frame.rgb(out=out, wb_gains=GAINS, ccm=CCM),
        }
        result = medians(cases, rounds)
        frame.release()
    return result


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    logging.getLogger("talon").setLevel(logging.ERROR)
    print("%-10s %-19s %10s %9s %8s" % ("stream", "what", "median ms", "/memcpy", "/NumPy"))
    for width, height in SIZES:
        figures = measure(width, height, rounds)
        for name, ns in figures.items():
            print("%-10s %-19s %10.3f %8.2fx %7.2fx" % (
                "%dx%d" % (width, height), name, ns / 1e6, ns / figures["memcpy"],
                ns / figures["NumPy half size"]))


if __name__ == "__main__":
    main()
