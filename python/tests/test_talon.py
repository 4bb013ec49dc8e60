"""The Python module against the simulated IPU: captures, unpacking, errors,
the lifetime of frame arrays, the GIL, and the installed package."""

import ctypes
import gc
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import talon
from csi2_reference import unpack as reference_unpack

# The simulator's controls (a host stand-in, loaded with the module).
prism = ctypes.CDLL("libprism.so.1")
prism.PrismSimLiveHandleCount.restype = ctypes.c_size_t


def raw10_config(width=64, height=8, pad=False, timeout_ms=1000):
    stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=width, height=height,
                                       bits_per_component=10, pad_row_to_64_bytes=pad)
    return talon.CaptureConfig(stream_configs=[stream], timeout_ms=timeout_ms)


def sequence_of(samples):
    """The simulator's stamp: the sequence's bytes in the top 8 bits of pixels 0-3."""
    return sum(int(samples[0, i] >> 2) << (8 * i) for i in range(4))


# Catches frames that fail, arrive out of order, have the wrong shape, or
# arrays that do not show the simulator's pattern (stamp and full-scale bars).
def test_capture_carries_the_simulators_frames():
    config = raw10_config(pad=True)
    sequences = []
    previous_sof = 0
    with talon.Camera(config, buffers=3) as cam:
        for frame in cam.frames(30):
            assert frame.error == talon.CaptureError.SUCCESS
            assert previous_sof < frame.sof_ns < frame.eof_ns
            previous_sof = frame.sof_ns
            packed = frame.array(talon.CSI2_RAW10)
            samples = frame.unpacked(talon.CSI2_RAW10)
            assert packed.shape == (8, 128) and packed.dtype == np.uint8
            assert samples.shape == (8, 64) and samples.dtype == np.uint16
            np.testing.assert_array_equal(samples, reference_unpack(packed, 64, 10))
            assert set(np.unique(samples[1:])) <= {0, 1023}
            sequences.append(sequence_of(samples))
    assert sequences == sorted(set(sequences))


# Catches a wrong bit layout in unpack for each depth, and bad input read
# past its end instead of refused.
@pytest.mark.parametrize("bits", [8, 10, 16])
def test_unpack_matches_the_packed_bytes(bits):
    width = 7  # a partial RAW10 group
    rows = np.random.default_rng(bits).integers(0, 256, size=(3, 20), dtype=np.uint8)
    np.testing.assert_array_equal(talon.unpack(rows, width, bits),
                                  reference_unpack(rows, width, bits))
    with pytest.raises(ValueError):
        talon.unpack(rows[:, :2], width, bits)


def test_unpack_refuses_other_depths():
    with pytest.raises(ValueError):
        talon.unpack(np.zeros((2, 64), np.uint8), 8, 12)


# Catches errors returned as None or swallowed instead of raised with their code.
def test_errors_raise_with_their_code():
    bad = raw10_config()
    bad.virtual_channel = 4
    with pytest.raises(talon.CaptureException) as caught:
        talon.CaptureService.create_instance(bad)
    assert caught.value.error == talon.CaptureError.INVALID_CONFIG
    assert caught.value.description == "invalid config"
    with pytest.raises(talon.CaptureException) as caught:
        talon.CaptureFrameBufferFactory.create_instance(bad).create()
    assert caught.value.error == talon.CaptureError.INVALID_CONFIG

    config = raw10_config()
    factory = talon.CaptureFrameBufferFactory.create_instance(config)
    buffer = factory.create()
    with pytest.raises(talon.CaptureException) as caught:
        buffer.array(talon.CSI2_RAW8)
    assert caught.value.error == talon.CaptureError.DATA_TYPE_NOT_FOUND
    with talon.CaptureService.create_instance(config) as service:
        service.enqueue_request(buffer)
        for again in (buffer, None):
            with pytest.raises(talon.CaptureException) as caught:
                service.enqueue_request(again)
            assert caught.value.error == talon.CaptureError.INVALID_BUFFER
        with pytest.raises(ValueError):
            buffer.timestamp_start_ns  # the service holds it
    with pytest.raises(ValueError):
        service.dequeue_completed_request()  # closed


# Catches arrays that dangle (freed memory) or change under the caller when
# their buffer captures again, frames readable after release, and device
# buffers that an array or the service never lets go of.
def test_arrays_outlive_and_survive_their_frames():
    gc.collect()
    handles = prism.PrismSimLiveHandleCount()
    kept, frames = [], []
    with talon.Camera(raw10_config(), buffers=2) as cam:
        for frame in cam.frames(6):
            frames.append(frame)
            kept.append((frame.array(), frame.array().copy()))
        with pytest.raises(ValueError):
            frames[0].array()  # its buffer captured again
        frames[-1].array()  # the last one was not given back
    with pytest.raises(ValueError):
        frames[-1].array()  # the camera is closed
    del cam, frame, frames
    gc.collect()
    for view, copy in kept:
        np.testing.assert_array_equal(view, copy)
    assert len({sequence_of(reference_unpack(view, 64, 10)) for view, _ in kept}) == 6
    assert prism.PrismSimLiveHandleCount() > handles  # the arrays hold their buffers
    del kept, view, copy
    gc.collect()
    assert prism.PrismSimLiveHandleCount() == handles


# Catches a dequeue that holds the GIL while it waits for the end of frame:
# the ticking thread then cannot run during the wait.
def test_dequeue_releases_the_gil():
    stamps, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    config = raw10_config()
    factory = talon.CaptureFrameBufferFactory.create_instance(config)
    buffers = [factory.create() for _ in range(3)]
    with talon.CaptureService.create_instance(config) as service:
        for buffer in buffers:
            service.enqueue_request(buffer)
        thread = threading.Thread(target=ticker)
        thread.start()
        try:
            start = time.monotonic()
            assert service.dequeue_completed_request() is buffers[0]
            end = time.monotonic()
        finally:
            stop.set()
            thread.join()
    assert end - start > 0.01  # a frame of the 30 fps sensor takes 27 ms to end
    assert any(start + 0.003 < t < end - 0.003 for t in stamps)


# Catches an installed package that cannot be imported without the build
# tree (missing files, or an RPATH that does not find libtalon and its
# dependencies).
def test_installed_package_imports(tmp_path):
    build = os.environ["TALON_BUILD_DIR"]
    subprocess.run(["cmake", "--install", build, "--prefix", str(tmp_path)], check=True,
                   stdout=subprocess.DEVNULL)
    site = tmp_path / "lib" / ("python%d.%d" % sys.version_info[:2]) / "site-packages"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    out = subprocess.run([sys.executable, "-c", "import talon; print(talon.__file__)"],
                         env=env, cwd=tmp_path, check=True, capture_output=True,
                         text=True).stdout
    assert out.startswith(str(site))
