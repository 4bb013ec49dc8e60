"""Bursts of Camera.frames(N) on the unthrottled simulated IPU, each beside a
same-run baseline of the host's scheduling: N round trips between two Python
threads (the hand-overs a frame costs, without the capture). A burst that
waits a timeout for a buffer stands out against both.

    PRISM_SIM_FPS=0 PYTHONPATH=build/python \\
        /usr/bin/python3 python/bench/frames_burst.py [BURSTS [N]]
"""

import os
import queue
import statistics
import sys
import threading
import time

import talon


def round_trips(n):
    """Seconds for n hand-overs to a second thread and back."""
    there, back = queue.SimpleQueue(), queue.SimpleQueue()

    def echo():
        for _ in range(n):
            back.put(there.get())

    thread = threading.Thread(target=echo)
    thread.start()
    start = time.monotonic()
    for i in range(n):
        there.put(i)
        back.get()
    seconds = time.monotonic() - start
    thread.join()
    return seconds


def main():
    bursts = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    if os.environ.get("PRISM_SIM_FPS") != "0":
        print("note: PRISM_SIM_FPS is not 0; the bursts follow the sensor", file=sys.stderr)
    stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=64, height=4,
                                       bits_per_component=10)
    config = talon.CaptureConfig(stream_configs=[stream], timeout_ms=1000)
    capture, baseline = [], []
    for _ in range(bursts):
        with talon.Camera(config) as cam:
            start = time.monotonic()
            for _ in cam.frames(frames):
                pass
            capture.append(time.monotonic() - start)
        baseline.append(round_trips(frames))
    for name, seconds in (("Camera.frames(%d)" % frames, capture),
                          ("host: %d thread round trips (baseline)" % frames, baseline)):
        median = statistics.median(seconds)
        print("%-40s median %7.2f ms  slowest %7.2f ms  slowest/median %5.1fx" %
              (name, median * 1e3, max(seconds) * 1e3, max(seconds) / median))


if __name__ == "__main__":
    main()
