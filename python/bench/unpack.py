"""Frame.unpacked() against the C++ unpacker, at real sizes, each beside a
same-run baseline: a copy of the output's bytes (NumPy's copyto, a memcpy).

For each RAW10 stream (640x480, 1920x1080, 4056x3040) one frame is captured
from the simulated IPU and held; then, round by round so that every figure
sees the same machine, each of these runs once per round:

    memcpy          copy of the uint16 output's bytes (baseline)
    C++ unpacker    talon.unpack of the frame's array into a reused array:
                    the C++ unpacker and the call, nothing else
    unpacked(out=)  Frame.unpacked into a reused array
    unpacked()      Frame.unpacked into a new array (what a plain loop does)

and the medians are printed with their ratios to memcpy and to the C++
unpacker.

    PRISM_SIM_FPS=0 PYTHONPATH=build/python \\
        /usr/bin/python3 python/bench/unpack.py [ROUNDS]
"""

import logging
import sys

import numpy as np

import talon
from rounds import medians, raw10_camera

SIZES = [(640, 480), (1920, 1080), (4056, 3040)]


def measure(width, height, rounds):
    with raw10_camera(width, height) as cam:
        frame = next(iter(cam.frames(1)))
        packed = frame.array()
        out = np.empty((height, width), np.uint16)
        source = np.ones_like(out)
        cases = {
            "memcpy": lambda: np.copyto(out, source),
            "C++ unpacker": lambda: talon.unpack(packed, width, 10, out=out),
            "unpacked(out=)": lambda: frame.unpacked(out=out),
            "unpacked()": lambda: frame.unpacked(),
        }
        result = medians(cases, rounds)
        frame.release()
    return result


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    # Each one-frame capture ends with its last run single-buffered; the
    # library's warning about it would only break up the table.
    logging.getLogger("talon").setLevel(logging.ERROR)
    print("%-10s %-15s %10s %9s %11s" % ("stream", "what", "median ms", "/memcpy", "/C++ unpack"))
    for width, height in SIZES:
        figures = measure(width, height, rounds)
        for name, ns in figures.items():
            print("%-10s %-15s %10.3f %8.2fx %10.2fx" % (
                "%dx%d" % (width, height), name, ns / 1e6, ns / figures["memcpy"],
                ns / figures["C++ unpacker"]))


if __name__ == "__main__":
    main()
