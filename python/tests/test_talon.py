"""The Python module against the simulated IPU: captures, unpacking, errors,
the lifetime of frame arrays, the GIL, and the installed package."""

import copy
import ctypes
import gc
import os
import pickle
import pydoc
import re
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

import talon
from csi2_reference import unpack as reference_unpack

# The simulator's controls (a host stand-in, loaded with the module).
prism = ctypes.CDLL("libprism.so.1")
prism.PrismSimLiveHandleCount.restype = ctypes.c_size_t
prism.PrismSimSetFrameRate.argtypes = [ctypes.c_double]


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


# Catches a configuration refused with only the code's name: the message must
# say which field and which value.
@pytest.mark.parametrize("field,value,says", [
    ("virtual_channel", 99, "CaptureConfig.virtual_channel: 99 is not in 0 to 3"),
    ("mipi_rx", 9, "CaptureConfig.mipi_rx: 9 is not in 0 to 3"),
    ("stream_configs", [], "CaptureConfig.stream_configs: 0 streams"),
    ("width", 0, "CaptureConfig.stream_configs: width 0"),
    ("bits_per_component", 12, "CaptureConfig.stream_configs: bits 12"),
])
def test_refused_configuration_names_the_field(field, value, says):
    config = raw10_config()
    if field in ("width", "bits_per_component"):
        stream = config.stream_configs[0]
        setattr(stream, field, value)
        config.stream_configs = [stream]
    else:
        setattr(config, field, value)
    for create in (talon.CaptureService.create_instance,
                   talon.CaptureFrameBufferFactory.create_instance):
        with pytest.raises(talon.CaptureException, match=re.escape(says)) as caught:
            create(config)
        assert caught.value.error == talon.CaptureError.INVALID_CONFIG


# Catches a bad field taken without a word (0x99 then failed when the capture
# opened), or refused with pybind11's list of signatures: the constructor and
# the setter raise TypeError or ValueError in one line naming the field and
# the value.
@pytest.mark.parametrize("cls,field,value,error,shown", [
    (talon.CaptureStreamConfig, "width", -1, ValueError, "-1"),
    (talon.CaptureStreamConfig, "width", 2**40, ValueError, str(2**40)),
    (talon.CaptureStreamConfig, "height", None, TypeError, "None"),
    (talon.CaptureStreamConfig, "bits_per_component", "10", TypeError, "'10'"),
    (talon.CaptureStreamConfig, "width", 640.0, TypeError, "640.0"),
    (talon.CaptureStreamConfig, "data_type", 0x99, ValueError, "0x99"),
    (talon.CaptureStreamConfig, "pad_row_to_64_bytes", "yes", TypeError, "'yes'"),
    (talon.CaptureConfig, "timeout_ms", -1, ValueError, "-1"),
    (talon.CaptureConfig, "mipi_rx", -1, ValueError, "-1"),
    (talon.CaptureConfig, "virtual_channel", 2**32, ValueError, str(2**32)),
    (talon.CaptureConfig, "stream_configs", None, TypeError, "None"),
    (talon.CaptureConfig, "stream_configs", [3], TypeError, "int (3)"),
])
def test_bad_configuration_field_is_refused_naming_it(cls, field, value, error, shown):
    with pytest.raises(error) as constructed:
        cls(**{field: value})
    with pytest.raises(error) as assigned:
        setattr(cls(), field, value)
    text = str(constructed.value)
    assert text == str(assigned.value)
    assert text.startswith("%s.%s" % (cls.__name__, field)) and shown in text, text
    assert "\n" not in text and "incompatible" not in text


# Catches configurations compared by identity, a field or a stream lost in a
# pickle or a copy, and a repr that does not build the same configuration.
def test_configurations_compare_pickle_and_rebuild_from_repr():
    config = talon.CaptureConfig(
        stream_configs=[raw10_config(pad=True).stream_configs[0],
                        talon.CaptureStreamConfig(data_type=0x31, width=32, height=2,
                                                  bits_per_component=8)],
        timeout_ms=250, mipi_rx=1, virtual_channel=2)
    for value in (config, config.stream_configs, config.stream_configs[1]):
        assert pickle.loads(pickle.dumps(value)) == value
        assert copy.deepcopy(value) == value
        assert eval(repr(value), {"talon": talon}) == value
    assert config.stream_configs == list(config.stream_configs)
    for field, value in [("timeout_ms", 251), ("mipi_rx", 0), ("virtual_channel", 3),
                         ("stream_configs", [config.stream_configs[0]])]:
        other = copy.deepcopy(config)
        setattr(other, field, value)
        assert other != config and not other == config, field
    for field, value in [("data_type", 0x30), ("width", 33), ("height", 3),
                         ("bits_per_component", 10), ("pad_row_to_64_bytes", True)]:
        stream = config.stream_configs[1]
        setattr(stream, field, value)
        assert stream != config.stream_configs[1], field


# Catches a refused configuration raised as a RuntimeError, or with a message
# that starts with a call the user never made (Camera's factory): it is a
# ValueError and a CaptureException carrying the error, the reason alone.
def test_refused_configuration_raises_configuration_error():
    bad = raw10_config()
    bad.virtual_channel = 99
    for create in (talon.CaptureService.create_instance,
                   talon.CaptureFrameBufferFactory.create_instance):
        with pytest.raises(talon.ConfigurationError) as caught:
            create(bad)
        assert isinstance(caught.value, ValueError)
        assert isinstance(caught.value, talon.CaptureException)
        assert caught.value.error == talon.CaptureError.INVALID_CONFIG
        assert str(caught.value) == "CaptureConfig.virtual_channel: 99 is not in 0 to 3"


# Catches stream_configs edited as a copy (append did nothing, and the error
# came later as "0 streams"), and items that dangle once an append moves the
# list.
def test_stream_configs_edit_the_configuration():
    config = talon.CaptureConfig(timeout_ms=1000)
    config.stream_configs.append(raw10_config().stream_configs[0])
    first = config.stream_configs[0]
    config.stream_configs.extend([first, first])
    del config.stream_configs[2]
    config.stream_configs.pop()
    assert first.width == 64 and len(config.stream_configs) == 1
    with talon.Camera(config) as cam:
        assert len(list(cam.frames(2))) == 2
    with pytest.raises(TypeError, match="holds CaptureStreamConfig, not int"):
        config.stream_configs.append(3)


# Catches sensor frames lost without a word: behind a consumer slower than
# the sensor, each frame's dropped_before must be the gap in the sensor's
# sequence and in the start-of-frame times, and Camera.dropped their sum.
def test_dropped_before_counts_what_a_slow_consumer_missed():
    fps = 200
    prism.PrismSimSetFrameRate(fps)
    try:
        seen = []
        with talon.Camera(raw10_config(), buffers=3) as cam:
            for frame in cam.frames(12):
                seen.append((frame.sequence, frame.sof_ns, frame.dropped_before))
                time.sleep(4 / fps)  # the slow consumer: four periods per frame
    finally:
        prism.PrismSimSetFrameRate(float(os.environ.get("PRISM_SIM_FPS", "30")))
    assert seen[0][2] == 0
    for (seq0, sof0, _), (seq1, sof1, dropped) in zip(seen, seen[1:]):
        assert dropped == seq1 - seq0 - 1 == round((sof1 - sof0) * fps / 1e9) - 1
    assert cam.dropped == sum(dropped for _, _, dropped in seen) > 0


# Catches libtalon's entries written to standard error past the application,
# or lost on their way to logging (the logger "talon", with the C++ file and
# line).
def test_library_log_goes_to_logging_only(capfd):
    import logging

    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger("talon")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        with talon.Camera(raw10_config()) as cam:
            assert len(list(cam.frames(2))) == 2
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert any(r.levelno == logging.INFO and r.filename.endswith(".cc") and r.lineno > 0
               for r in records), records
    assert "native" not in capfd.readouterr().err


# Catches the library's warning said once per frame behind a slow consumer:
# "Only one frame buffer in request queue" comes once, then as one count, with
# its level and C++ line, when the capture stops.
def test_repeated_warning_is_said_once_then_counted():
    import logging

    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger("talon")
    logger.addHandler(handler)
    fps = 200
    prism.PrismSimSetFrameRate(fps)
    start = time.monotonic()
    try:
        with talon.Camera(raw10_config(), buffers=3) as cam:
            for _ in cam.frames(12):
                time.sleep(4 / fps)  # the slow consumer: four periods per frame
    finally:
        prism.PrismSimSetFrameRate(float(os.environ.get("PRISM_SIM_FPS", "30")))
        logger.removeHandler(handler)
    seconds = time.monotonic() - start
    said = [r for r in records if r.getMessage().startswith("Only one frame buffer")]
    assert said and said[0].levelno == logging.WARNING
    counts = said[1:]  # one when the capture stopped, and one each 5 s before
    assert 1 <= len(counts) <= 1 + seconds // 5, [r.getMessage() for r in said]
    for count in counts:
        assert re.fullmatch(re.escape(said[0].getMessage()) + r" \(repeated \d+ times\)",
                            count.getMessage())
        assert (count.levelno, count.lineno) == (said[0].levelno, said[0].lineno)


FORKED_CHILD = """
import os, sys, talon
pid = os.fork()
if pid == 0:
    stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=64, height=8,
                                       bits_per_component=10)
    with talon.Camera(talon.CaptureConfig(stream_configs=[stream])) as cam:
        assert len(list(cam.frames(2))) == 2
    sys.exit(0)
assert os.waitpid(pid, 0)[1] == 0
"""


# Catches a forked child that hangs or ends badly: libtalon's worker logging
# into the parent's queue blocked on a condition variable whose waiter (the
# parent's forwarding thread) the child does not have, and the exit joined
# that thread ("Exception ignored in atexit callback").
def test_forked_child_forwards_and_exits_cleanly():
    done = subprocess.run([sys.executable, "-c", FORKED_CHILD], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and "Exception" not in done.stderr, done.stderr


def readme_python_example():
    page = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "python.md")
    with open(page, encoding="utf-8") as f:
        text = f.read()
    return re.search(r"```python\n(.*?)```", text, re.S).group(1)


README_EXAMPLE = readme_python_example()


# Catches a graph cache that an ordinary user cannot have (the system
# directory is root's): the README's example must run with the per-user
# cache, and a cache that cannot be made must fail naming its path and why.
@pytest.mark.parametrize("case", ["unprivileged", "unusable"])
def test_graph_cache_for_every_user(case):
    home = tempfile.mkdtemp(prefix="talon-home-")
    try:
        env = {k: v for k, v in os.environ.items()
               if k not in (talon.GRAPH_CACHE_VARIABLE, "XDG_CACHE_HOME")}
        env["HOME"] = home
        run_as = {}
        if case == "unusable":
            open(os.path.join(home, "file"), "w").close()
            env[talon.GRAPH_CACHE_VARIABLE] = os.path.join(home, "file", "graphs")
        elif os.geteuid() == 0:
            os.chown(home, 65534, 65534)
            run_as = dict(user=65534, group=65534, extra_groups=[])
        elif os.access(os.path.dirname(talon.DEFAULT_GRAPH_CACHE_DIR), os.W_OK):
            pytest.skip("this user can write the system cache")
        done = subprocess.run([sys.executable, "-c", README_EXAMPLE], env=env, cwd=home,
                              capture_output=True, text=True, timeout=60, **run_as)
        if case == "unusable":
            assert done.returncode != 0
            assert "CaptureException" in done.stderr
            assert os.path.join(home, "file", "graphs") + ": Not a directory" in done.stderr
        else:
            assert done.returncode == 0, done.stderr
            assert len(done.stdout.splitlines()) == 31
            assert os.listdir(os.path.join(home, ".cache", "talon"))
    finally:
        shutil.rmtree(home)


# Catches a Camera that accepts fewer buffers than double buffering needs (it
# then delivers one frame per timeout).
@pytest.mark.parametrize("buffers", [0, 1])
def test_camera_refuses_fewer_than_two_buffers(buffers):
    with pytest.raises(ValueError, match="at least 2 frame buffers"):
        talon.Camera(raw10_config(), buffers=buffers)


# Catches a frame buffer of another configuration taken by the service (it
# came back SUCCESS with another shape), and a check by factory rather than
# by configuration.
def test_enqueue_refuses_a_buffer_of_another_configuration():
    config = raw10_config()
    other = talon.CaptureFrameBufferFactory.create_instance(raw10_config(width=32)).create()
    same = talon.CaptureFrameBufferFactory.create_instance(raw10_config()).create()
    with talon.CaptureService.create_instance(config) as service:
        with pytest.raises(talon.CaptureException, match="made for 0x2B 32x8") as caught:
            service.enqueue_request(other)
        assert caught.value.error == talon.CaptureError.INVALID_BUFFER
        service.enqueue_request(same)


# Catches public names that help(talon) leaves out or shows without a text.
def test_help_documents_every_public_name():
    text = pydoc.render_doc(talon, renderer=pydoc.plaintext)
    for name in ("CaptureService", "CaptureConfig", "FrameBuffer", "Camera",
                 "set_graph_cache_dir"):
        assert name in talon.__all__ and name in text
        assert getattr(talon, name).__doc__


# Catches a graph cache that Python cannot move: Camera's graph_cache must be
# where the library puts the compiled graph.
def test_graph_cache_follows_the_camera_setting(tmp_path):
    previous = talon.graph_cache_dir()
    try:
        with talon.Camera(raw10_config(width=48), graph_cache=tmp_path / "graphs") as cam:
            assert len(list(cam.frames(1))) == 1
        assert talon.graph_cache_dir() == str(tmp_path / "graphs")
        assert any(path.is_file() for path in (tmp_path / "graphs").rglob("*"))
    finally:
        talon.set_graph_cache_dir(previous)


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
        with pytest.raises(ValueError, match="frame 0 was released"):
            frames[0].array()  # its buffer captured again
        frames[-1].array()  # the last one was not given back
    with pytest.raises(ValueError, match="the camera was closed"):
        frames[-1].array()
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


def run_child(script, fps):
    env = dict(os.environ, PRISM_SIM_FPS=str(fps))
    return subprocess.Popen([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, bufsize=0)


def read_line(process, timeout):
    """The child's next stdout line, or None when none came within timeout."""
    line, deadline = b"", time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            return None
        byte = process.stdout.read(1)
        if not byte:
            return None
        line += byte
    return line.decode().strip()


BLOCKED_CHILD = """
import threading, time, talon
stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=64, height=8,
                                   bits_per_component=10)
config = talon.CaptureConfig(stream_configs=[stream], timeout_ms=5000)
service = talon.CaptureService.create_instance(config)
buffers = [talon.CaptureFrameBufferFactory.create_instance(config).create() for _ in range(3)]
for buffer in buffers:
    service.enqueue_request(buffer)
service.dequeue_completed_request()  # the sensor's first frame; the next is a second away

def report():
    while service.waiting_clients == 0:
        time.sleep(0.001)
    print("blocked", flush=True)

threading.Thread(target=report, daemon=True).start()
try:
    service.dequeue_completed_request()
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
back = [service.dequeue_completed_request() for _ in range(2)]
assert {id(b) for b in back} == {id(b) for b in buffers[1:]}, "a buffer was lost"
assert [b.error.name for b in back] == ["SUCCESS"] * 2, "the interrupt cancelled frames"
for buffer in buffers:
    service.enqueue_request(buffer)
print(service.dequeue_completed_request().error.name, flush=True)
service.close()
"""


# Catches a dequeue that Ctrl-C cannot interrupt (SIGINT ignored until a frame
# comes), and an interrupt that leaves the service stopped, loses the buffers
# under way or cancels their frames: they come back captured, and so does
# the next frame.
def test_sigint_interrupts_a_blocked_dequeue():
    child = run_child(BLOCKED_CHILD, fps=1)
    try:
        assert read_line(child, 60) == "blocked"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert read_line(child, 1.0) == "interrupted"
        assert time.monotonic() - sent < 1.0
        assert read_line(child, 30) == "SUCCESS"
        assert child.wait(30) == 0, child.stderr.read().decode()
    finally:
        child.kill()
        child.wait()


BURSTS_CHILD = """
import sys, time, talon
bursts, frames = int(sys.argv[1]), int(sys.argv[2])
stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=64, height=4,
                                   bits_per_component=10)
config = talon.CaptureConfig(stream_configs=[stream], timeout_ms=3000)
for _ in range(bursts):
    with talon.Camera(config) as cam:
        start = time.monotonic()
        assert len(list(cam.frames(frames))) == frames
        print(time.monotonic() - start, flush=True)
"""


# Catches a Camera.frames(n) that stops supplying buffers before its last
# frame: unthrottled, the worker then waits a whole timeout for a second
# buffer (about one burst in four); at the sensor's pace, the last frames are
# captured single-buffered and the worker says so.
@pytest.mark.parametrize("fps,bursts,frames", [(0, 20, 100), (30, 1, 10)])
def test_frames_end_without_waiting_for_a_buffer(fps, bursts, frames):
    env = dict(os.environ, PRISM_SIM_FPS=str(fps))
    done = subprocess.run([sys.executable, "-c", BURSTS_CHILD, str(bursts), str(frames)],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    seconds = [float(line) for line in done.stdout.split()]
    assert len(seconds) == bursts
    assert max(seconds) < 1.5  # the timeout is 3 s
    if fps:
        assert "Only one frame buffer" not in done.stderr


# --- Developing raw frames into RGB (talon.develop, Frame.rgb) ---

def pure(rgb, colour):
    """Where the pixels of rows of `rgb` show `colour` (each channel 0 or 1)."""
    high, low = rgb > 200, rgb < 40
    want = np.array(colour, bool)
    return np.all(np.where(want, high, low), axis=-1)


# Catches swapped red and blue, a payload read with the wrong layout, and
# Frame.rgb and develop() of the same frame's samples disagreeing: the
# simulator's bars develop into their colours, red left of blue, a bar apart.
def test_colour_bars_develop_into_their_colours():
    with talon.Camera(raw10_config(width=640, height=480), buffers=3) as cam:
        frame = next(iter(cam.frames(1)))
        rgb = frame.rgb()
        from_samples = talon.develop(frame.unpacked(), white_level=1023)
    assert rgb.shape == (480, 640, 3) and rgb.dtype == np.uint8
    np.testing.assert_array_equal(rgb, from_samples)
    row = rgb[240]
    red, blue = np.flatnonzero(pure(row, (1, 0, 0))), np.flatnonzero(pure(row, (0, 0, 1)))
    assert len(red) > 70 and len(blue) > 70
    assert abs(blue.mean() - red.mean() - 80) < 4  # bars of 640 / 8 pixels


# Catches views and crops read at the wrong row stride, a column step ignored,
# and out= not written: each develops as its contiguous copy.
def test_views_and_crops_develop_as_their_copies():
    samples = np.random.default_rng(1).integers(0, 1024, size=(40, 60), dtype=np.uint16)
    for view in (samples[3:35, 2:50], samples[:, ::2], samples[::-1], samples[:, 1:].T):
        np.testing.assert_array_equal(
            talon.develop(view, white_level=1023, wb_gains=(1, 1, 1)),
            talon.develop(np.ascontiguousarray(view), white_level=1023, wb_gains=(1, 1, 1)))
    eight_bit = (samples >> 2).astype(np.uint8)
    out = np.zeros((20, 30, 3), np.uint8)
    assert talon.develop(eight_bit, out=out, half_size=True) is out
    np.testing.assert_array_equal(out, talon.develop(eight_bit, half_size=True))
    assert out.any()


# Catches a CFA order or half size that changes the picture's shape (odd sizes
# included).
@pytest.mark.parametrize("cfa", ["RGGB", "GRBG", "GBRG", "bggr"])
@pytest.mark.parametrize("half_size", [False, True])
def test_every_cfa_keeps_the_shape(cfa, half_size):
    samples = np.full((7, 9), 100, np.uint16)
    rgb = talon.develop(samples, cfa, white_level=1023, half_size=half_size)
    assert rgb.shape == ((3, 4, 3) if half_size else (7, 9, 3))


# Catches bad arguments accepted (developing garbage or reading out of
# bounds) or refused without naming the keyword.
@pytest.mark.parametrize("keyword,args", [
    ("cfa", dict(cfa="RGBG")),
    ("cfa", dict(cfa=3)),
    ("black_level", dict(black_level=1023)),
    ("black_level", dict(black_level=-1)),
    ("white_level", dict(white_level=None)),
    ("white_level", dict(raw=np.zeros((4, 4), np.uint8), white_level=256)),
    ("wb_gains", dict(wb_gains=(1, 2))),
    ("wb_gains", dict(wb_gains=(1, 0, 1))),
    ("wb_gains", dict(wb_gains=(1, float("nan"), 1))),
    ("ccm", dict(ccm=np.eye(2))),
    ("ccm", dict(ccm=[[1, 0, 0], [0, 1, 0], [0, 0, float("inf")]])),
    ("gamma", dict(gamma="2.2")),
    ("out", dict(out=np.zeros((4, 4, 3), np.float32))),
    ("out", dict(out=np.zeros((4, 4, 4), np.uint8)[:, :, :3])),
    ("out", dict(out=np.zeros((2, 2, 3), np.uint8))),
    ("out", dict(out=np.zeros((4, 4, 3), np.uint8), half_size=True)),
    ("raw", dict(raw=np.zeros((4, 4), np.int32))),
    ("raw", dict(raw=np.zeros((1, 4), np.uint16))),
    ("raw", dict(raw=np.zeros(16, np.uint16))),
    ("width", dict(width=4)),
    ("data_type", dict(raw=bytes(20), data_type=talon.CSI2_RAW12, width=4, height=4)),
    ("height", dict(raw=bytes(20), data_type=talon.CSI2_RAW10, width=4)),
    ("raw", dict(raw=bytes(19), data_type=talon.CSI2_RAW10, width=4, height=4)),
    ("stride", dict(raw=bytes(40), data_type=talon.CSI2_RAW10, width=4, height=4, stride=4)),
    ("raw", dict(raw=np.zeros((4, 4), np.uint8), data_type=talon.CSI2_RAW10, width=4,
                 height=4)),
])
def test_bad_arguments_name_the_keyword(keyword, args):
    call = dict(raw=np.zeros((4, 4), np.uint16), white_level=1023)
    call.update(args)
    with pytest.raises(ValueError, match="^%s: " % keyword):
        talon.develop(call.pop("raw"), **call)


# Catches develop() holding the GIL: a ticking thread cannot run meanwhile.
def test_develop_releases_the_gil():
    samples = np.zeros((3040, 4056), np.uint16)
    stamps, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.monotonic()
        talon.develop(samples, white_level=1023)
        end = time.monotonic()
    finally:
        stop.set()
        thread.join()
    assert any(start + 0.003 < t < end - 0.003 for t in stamps)


# --- The camera that keeps running: reading in order and the newest frame ---

def boottime_ns():
    return time.clock_gettime_ns(time.CLOCK_BOOTTIME)


# Catches a snapshot loop that restarts the capture per call (three sensor
# periods each, sequences 1, 4, 7): 30 calls at 30 fps must see about 30
# distinct frames in about a second.
def test_snapshot_loop_keeps_up_with_the_sensor():
    with talon.Camera(raw10_config()) as cam:
        cam.capture_array()  # the first frame after start
        start = time.monotonic()
        sequences = {sequence_of(cam.capture_array()) for _ in range(30)}
        elapsed = time.monotonic() - start
    assert len(sequences) >= 25, sorted(sequences)
    assert elapsed < 1.6


# Catches a capture() that hands out the oldest buffered frame: behind a
# 100 ms reader that frame is several periods old; the newest is at most
# about one, and the ones in between count as skipped, not dropped.
def test_slow_reader_gets_the_newest_frame():
    ages, skipped, dropped = [], 0, 0
    with talon.Camera(raw10_config()) as cam:
        cam.capture()
        for _ in range(10):
            time.sleep(0.1)  # the reader's own work
            frame = cam.capture()
            ages.append(boottime_ns() - frame.eof_ns)
            skipped += frame.skipped_before
            dropped += frame.dropped_before
        assert cam.skipped == skipped > 0
        assert cam.dropped == dropped
    assert sorted(ages)[len(ages) // 2] <= 50e6, ages


# Catches a capture() reader slower than the buffers' turnover starving the
# capture: the frames the sensor sent meanwhile were counted as drops (with
# the library's warnings) though it lost none; they are frames the reader
# skipped.
def test_slow_holding_reader_never_starves_the_capture():
    skipped = 0
    with talon.Camera(raw10_config()) as cam:
        cam.capture()
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            frame = cam.capture()
            skipped += frame.skipped_before
            time.sleep(0.2)  # the reader keeps the frame while it works
        assert cam.dropped == 0
        assert cam.skipped == skipped > 0


# Catches frames() that pauses between calls: at 2.5 fps the first frame of
# each later call failed with TIMEOUT, and sensor frames went missing.
def test_frames_calls_read_on_without_a_restart():
    prism.PrismSimSetFrameRate(2.5)
    try:
        with talon.Camera(raw10_config()) as cam:
            frames = [next(iter(cam.frames(1))) for _ in range(3)]
            frames.append(cam.capture(timeout_ms=2000))
    finally:
        prism.PrismSimSetFrameRate(float(os.environ.get("PRISM_SIM_FPS", "30")))
    assert [f.error for f in frames] == [talon.CaptureError.SUCCESS] * 4
    assert [f.sequence for f in frames] == list(range(frames[0].sequence,
                                                      frames[0].sequence + 4))


# Catches a second reader let in: it failed later with "the frame buffer is
# already enqueued", or took frames from under the first. A live frames()
# iteration and a capture() waiting in another thread each refuse another
# reader at once; once they end, reading works again.
def test_second_reader_is_refused_at_once():
    prism.PrismSimSetFrameRate(2)
    try:
        with talon.Camera(raw10_config(timeout_ms=3000)) as cam:
            first = cam.frames()
            next(first)
            for second in (cam.frames, cam.capture):
                with pytest.raises(RuntimeError, match="another reader"):
                    second()
            first.close()
            waiter = threading.Thread(target=cam.capture)
            waiter.start()
            while cam._session.waiting == 0:
                time.sleep(0.001)
            start = time.monotonic()
            with pytest.raises(RuntimeError, match="another reader"):
                cam.capture_array()
            refused_after = time.monotonic() - start
            waiter.join()
            assert cam.capture().error == talon.CaptureError.SUCCESS
    finally:
        prism.PrismSimSetFrameRate(float(os.environ.get("PRISM_SIM_FPS", "30")))
    assert refused_after < 0.1


# Catches buffers allocated without a bound (12 MP with buffers=10000 grew to
# 24 GB until the kernel ended the process): refused before any allocation,
# naming the frame size, the count and the bound; max_memory moves the bound.
def test_memory_bound_refuses_before_allocating():
    import resource

    twelve_mp = raw10_config(width=4056, height=3040)
    start = time.monotonic()
    with pytest.raises(ValueError) as caught:
        talon.Camera(twelve_mp, buffers=10000)
    assert time.monotonic() - start < 2
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss < 1 << 20  # KiB: 1 GB
    message = str(caught.value)
    assert "\n" not in message
    assert "buffers=10000" in message and "15412800-byte" in message and "MemAvailable" in message
    frame_bytes = 80 * 8
    with pytest.raises(ValueError, match=r"max_memory=%d\)" % (3 * frame_bytes)):
        talon.Camera(raw10_config(), buffers=4, max_memory=3 * frame_bytes)
    with talon.Camera(raw10_config(), buffers=4, max_memory=4 * frame_bytes) as cam:
        assert len(list(cam.frames(2))) == 2


# Catches bad arguments that gave AttributeError, "'<' not supported", a
# float count rounded up, or pybind11's long text: each raises at the call,
# in one line naming the argument and its value.
@pytest.mark.parametrize("call,error,says", [
    (lambda cam: talon.Camera(None), TypeError, "config=None"),
    (lambda cam: talon.Camera(raw10_config().stream_configs[0]), TypeError, "config="),
    (lambda cam: talon.Camera(raw10_config(), buffers=True), TypeError, "buffers=True"),
    (lambda cam: talon.Camera(raw10_config(), buffers=4.0), TypeError, "buffers=4.0"),
    (lambda cam: talon.Camera(raw10_config(), buffers="4"), TypeError, "buffers='4'"),
    (lambda cam: talon.Camera(raw10_config(), buffers=2**40), ValueError, "buffers=1099511627776"),
    (lambda cam: talon.Camera(raw10_config(), max_memory=0), ValueError, "max_memory=0"),
    (lambda cam: talon.Camera(raw10_config(), max_memory=1.5), TypeError, "max_memory=1.5"),
    (lambda cam: cam.frames(2.5), TypeError, "n=2.5"),
    (lambda cam: cam.frames("3"), TypeError, "n='3'"),
    (lambda cam: cam.frames(-1), ValueError, "n=-1"),
    (lambda cam: cam.capture(timeout_ms=-1), ValueError, "timeout_ms=-1"),
    (lambda cam: cam.capture(timeout_ms=0.5), TypeError, "timeout_ms=0.5"),
    (lambda cam: cam.capture_array(timeout_ms=2**32), ValueError, "timeout_ms=4294967296"),
])
def test_bad_camera_arguments_name_the_argument(call, error, says):
    cam = talon.Camera(raw10_config())
    with pytest.raises(error) as caught:
        call(cam)
    assert type(caught.value) is error
    assert says in str(caught.value) and "\n" not in str(caught.value)


# Catches metadata that logging or saving beside the array cannot take
# (NumPy or enumeration values json.dumps refuses), or that misstates the
# frame.
def test_metadata_goes_through_json():
    import json

    with talon.Camera(raw10_config()) as cam:
        frame = cam.capture()
    metadata = json.loads(json.dumps(frame.metadata))
    assert metadata["sequence"] == frame.sequence and metadata["error"] == "SUCCESS"
    assert metadata["sof_ns"] < metadata["eof_ns"] <= metadata["dequeue_ns"]
    assert metadata["streams"] == [{"stream": 0, "data_type": 0x2B, "width": 64, "height": 8,
                                    "bits": 10, "row_stride_bytes": 80}]
    assert {"dropped_before", "skipped_before"} <= set(metadata)


# Catches pixel streams unpacked as 16-bit components, (h, components): RGB888
# must come as uint8 (h, w, 3) and YUV 4:2:2 as (h, w, 2), the captured bytes
# in order.
@pytest.mark.parametrize("data_type,per_pixel", [(talon.CSI2_RGB888, 3),
                                                 (talon.CSI2_YUV422_8BIT, 2)])
def test_pixel_streams_unpack_to_pixels(data_type, per_pixel):
    stream = talon.CaptureStreamConfig(data_type=data_type, width=96, height=4,
                                       bits_per_component=8)
    with talon.Camera(talon.CaptureConfig(stream_configs=[stream], timeout_ms=1000)) as cam:
        pixels = cam.capture_array()
        frame = cam.capture()
        np.testing.assert_array_equal(frame.unpacked().reshape(4, 96), frame.array()[:, :96])
    assert pixels.dtype == np.uint8 and pixels.shape == (4, 96 // per_pixel, per_pixel)


CAPTURE_CHILD = """
import threading, time, talon
stream = talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=64, height=8,
                                   bits_per_component=10)
with talon.Camera(talon.CaptureConfig(stream_configs=[stream], timeout_ms=5000)) as cam:
    first = cam.capture().sequence  # the next frame is a second away

    def report():
        while cam._session.waiting == 0:
            time.sleep(0.001)
        print("blocked", flush=True)

    threading.Thread(target=report, daemon=True).start()
    try:
        cam.capture()
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    frame = cam.capture()
    print(frame.error.name, frame.sequence - first - frame.skipped_before, flush=True)
"""


# Catches a capture() that Ctrl-C cannot end while it waits for a frame, or
# an interrupt that stops the capture: the next frame still comes.
def test_sigint_interrupts_a_waiting_capture():
    child = run_child(CAPTURE_CHILD, fps=1)
    try:
        assert read_line(child, 60) == "blocked"
        child.send_signal(signal.SIGINT)
        assert read_line(child, 1.0) == "interrupted"
        assert read_line(child, 30) == "SUCCESS 1"
        assert child.wait(30) == 0, child.stderr.read().decode()
    finally:
        child.kill()
        child.wait()
