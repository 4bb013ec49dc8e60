"""What the Python benchmarks share: a RAW10 camera of the simulated IPU
and the medians of cases timed round by round, so that every figure of a
table sees the same machine."""

import statistics
import time

import talon


def raw10_camera(width, height):
    """A Camera of one RAW10 stream, three buffers (a context manager)."""
    stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=width, height=height,
                                       bits_per_component=10)
    config = talon.CaptureConfig(stream_configs=[stream], timeout_ms=2000)
    return talon.Camera(config, buffers=3)


def medians(cases, rounds):
    """{name: median ns} of the callables in cases: each run once first (first
    touch, kernel choice), then once per round, in turn."""
    for work in cases.values():
        work()
    ns = {name: [] for name in cases}
    for _ in range(rounds):
        for name, work in cases.items():
            start = time.perf_counter_ns()
            work()
            ns[name].append(time.perf_counter_ns() - start)
    return {name: statistics.median(values) for name, values in ns.items()}
