"""Camera capture through libtalon, with frames as NumPy arrays.

The names of the C++ API, in Python's conventions:

    config = talon.CaptureConfig(
        stream_configs=[talon.CaptureStreamConfig(
            data_type=talon.CSI2_RAW10, width=640, height=480, bits_per_component=10)],
        timeout_ms=1000)
    service = talon.CaptureService.create_instance(config)
    factory = talon.CaptureFrameBufferFactory.create_instance(config)

and for scripts a Camera that owns all of it and keeps capturing from
start() (or entering the with block) until stop() (or leaving it):

    with talon.Camera(config) as cam:
        for frame in cam.frames(30):            # in order, every frame
            print(frame.sequence, frame.dropped_before, frame.unpacked().mean())
        samples = cam.capture_array()           # the newest frame's samples
        print(cam.capture().metadata)           # the newest Frame, as a dict
        print(cam.dropped, "sensor frames lost,", cam.skipped, "skipped")

One reader at a time (a second is refused with RuntimeError). The frame
buffers' total is checked against a bound before they are allocated (half
the memory available, or max_memory=).

Raw Bayer frames develop into RGB with the software ISP:

        rgb = frame.rgb()                                  # uint8 (height, width, 3)
        rgb = talon.develop(samples, white_level=1023)     # uint16 samples of a 10-bit sensor

Errors raise CaptureException (.error is a CaptureError); its message says
why. A configuration refused raises ConfigurationError, a CaptureException
and a ValueError, e.g. "CaptureConfig.virtual_channel: 99 is not in 0 to 3";
a bad argument raises TypeError or ValueError naming it. Frame arrays view the device buffers without copying; an
array keeps its frame locked and alive, and capturing goes on in other
buffers meanwhile.

Every call that can block (dequeue_completed_request, iterating
Camera.frames, Camera.capture, pause, close) answers Ctrl-C with KeyboardInterrupt within a
few tens of milliseconds and leaves the service usable; an interrupted
dequeue leaves the capture running and cancels no frame.

libtalon's log entries go to the logging logger "talon" (nothing to
standard error of its own): with nothing configured, Python shows its
warnings and errors; logging.getLogger("talon").setLevel(logging.INFO) and a
handler show everything.

Compiled transfer graphs are cached in the directory set_graph_cache_dir()
(or Camera's graph_cache) chose, else DEFAULT_GRAPH_CACHE_DIR where it can be
written, else $XDG_CACHE_HOME/talon or ~/.cache/talon; a cache that cannot
be made fails create_instance with FILE_SYSTEM_ERROR naming the path.

Threading: a Camera reads on one thread at a time (start, stop and close
may come from others); the thin layer's calls may come from several, and the
blocking ones let other Python threads run.
"""

import numbers
import os
import threading

# NumPy loads with the package, not with the first frame's array, which would
# hold up the capture loop for a while.
import numpy

from . import _talon
from ._talon import (  # noqa: F401  (re-exported)
    DEFAULT_GRAPH_CACHE_DIR,
    GRAPH_CACHE_VARIABLE,
    CaptureConfig,
    CaptureError,
    CaptureException,
    CaptureFrameBufferFactory,
    CaptureService,
    CaptureStatus,
    CaptureStreamConfig,
    ConfigurationError,
    FrameBuffer,
    MipiDataTypeCsi2,
    StreamConfigList,
    _FrameRecorder,
    __version__,
    develop,
    error_description,
    unpack,
)

# The data types at module level too: talon.CSI2_RAW10.
globals().update(MipiDataTypeCsi2.__members__)

__all__ = [
    "Camera",
    "CaptureConfig",
    "CaptureError",
    "CaptureException",
    "CaptureFrameBufferFactory",
    "CaptureService",
    "CaptureStatus",
    "CaptureStreamConfig",
    "ConfigurationError",
    "DEFAULT_GRAPH_CACHE_DIR",
    "Frame",
    "FrameBuffer",
    "GRAPH_CACHE_VARIABLE",
    "MipiDataTypeCsi2",
    "error_description",
    "graph_cache_dir",
    "set_graph_cache_dir",
    "StreamConfigList",
    "develop",
    "unpack",
] + list(MipiDataTypeCsi2.__members__)


# The payload layout of a raw stream by its bits per component.
_PAYLOADS = {8: MipiDataTypeCsi2.CSI2_RAW8, 10: MipiDataTypeCsi2.CSI2_RAW10,
             16: MipiDataTypeCsi2.CSI2_RAW16}


def set_graph_cache_dir(path):
    """Caches compiled transfer graphs under path (None: the default place).

    The setting is the process's, kept by the library (never in the
    environment), so any thread may change it while others create services;
    talon-cam's --graph-cache sets the same. Without it the library uses the
    directory that the environment variable GRAPH_CACHE_VARIABLE names, else
    DEFAULT_GRAPH_CACHE_DIR.
    """
    _talon._set_compiled_graph_dir("" if path is None else os.fspath(path))


def graph_cache_dir():
    """Where compiled transfer graphs are cached: the directory set for the
    process (by set_graph_cache_dir, or by the last service created, which
    chose it), else GRAPH_CACHE_VARIABLE's, else DEFAULT_GRAPH_CACHE_DIR."""
    return _talon._compiled_graph_dir()


# Data types whose 8-bit components make pixels: components per pixel
# (YUV 4:2:2 as U Y V Y, two per pixel; RGB888 blue first, three per pixel).
_PIXEL_COMPONENTS = {int(MipiDataTypeCsi2.CSI2_YUV422_8BIT): 2,
                     int(MipiDataTypeCsi2.CSI2_RGB888): 3}

# The largest value a count or a wait in milliseconds may have (32 bits).
_UINT32_MAX = (1 << 32) - 1


def _check_int(call, name, value, minimum, allowed, none_allowed=False):
    """Refuses what is not an int from minimum to 2^32 - 1 (or None where
    allowed): TypeError or ValueError in one line naming the argument, the
    value and what is allowed."""
    if value is None and none_allowed:
        return
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s: %s=%r is a %s; %s" % (call, name, value, type(value).__name__,
                                                   allowed))
    if not minimum <= value <= _UINT32_MAX:
        raise ValueError("%s: %s=%d is out of range; %s" % (call, name, value, allowed))


def _frame_bytes(config):
    """Bytes of one frame buffer of config: every stream's rows."""
    return sum(s.row_stride_bytes * s.height for s in config.stream_configs)


def _memory_available():
    """MemAvailable of /proc/meminfo in bytes; None where it says none."""
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _megabytes(count):
    return "%.1f MB" % (count / 1e6)


class Frame:
    """One frame of a Camera: its counter, timestamps, error and data.

    sof_ns and eof_ns (start and end of frame, CLOCK_BOOTTIME ns, 0 when the
    frame failed), dequeue_ns (when the camera took it), error, sequence (the
    sensor's frame number, None where the sensor stamps none),
    dropped_before (sensor frames lost just before this one) and
    skipped_before (completed frames that capture() handed back unread
    before this one) stay valid for good, and so does metadata, all of them
    as a dict. array(), unpacked() and rgb() read the frame, which goes back
    to the capture when the camera reads its next frame (or release() is
    called, or the camera closes); reading it after that raises ValueError,
    while arrays taken before keep their data.
    """

    __slots__ = ("index", "_data", "_gone", "_config", "sof_ns", "eof_ns", "dequeue_ns", "error",
                 "sequence", "dropped_before", "skipped_before")

    def __init__(self, index, data, config):
        self.index = index
        self._data = data
        self._gone = None  # why the frame can no longer be read
        self._config = config
        (self.error, self.sof_ns, self.eof_ns, self.sequence, self.dropped_before,
         self.dequeue_ns, self.skipped_before) = data.record

    @property
    def metadata(self):
        """The frame's figures as a plain dict that json.dumps takes: index,
        sequence, sof_ns, eof_ns, dequeue_ns, dropped_before, skipped_before,
        error (its name) and streams, a list of one dict per stream (stream:
        its index, data_type, width, height, bits, row_stride_bytes)."""
        return {
            "index": self.index, "sequence": self.sequence, "sof_ns": self.sof_ns,
            "eof_ns": self.eof_ns, "dequeue_ns": self.dequeue_ns,
            "dropped_before": self.dropped_before, "skipped_before": self.skipped_before,
            "error": self.error.name,
            "streams": [{"stream": i, "data_type": int(s.data_type), "width": s.width,
                         "height": s.height, "bits": s.bits_per_component,
                         "row_stride_bytes": s.row_stride_bytes}
                        for i, s in enumerate(self._config.stream_configs)],
        }

    def _stream(self, data_type):
        streams = self._config.stream_configs
        if data_type is None:
            if len(streams) != 1:
                raise ValueError("data_type: the frame has %d streams; say which" % len(streams))
            return streams[0]
        for stream in streams:
            if int(stream.data_type) == int(data_type):
                return stream
        # The binding raises CaptureException (DATA_TYPE_NOT_FOUND) naming the streams.
        self._readable().array(int(data_type))
        raise AssertionError("unreachable")

    def _readable(self):
        if self._gone is not None:
            raise ValueError("frame %d %s; arrays taken before keep their data"
                             % (self.index, self._gone))
        if self.error != CaptureError.SUCCESS:
            failed = CaptureException("frame %d failed (%s): it has no data"
                                      % (self.index, self.error.name))
            failed.error, failed.description = self.error, error_description(self.error)
            raise failed
        return self._data

    def array(self, data_type=None):
        """The stream's bytes, uint8 (height, row stride), without a copy."""
        stream = self._stream(data_type)
        return self._readable().array(int(stream.data_type))

    def unpacked(self, data_type=None, out=None):
        """The stream's samples as a new array, or written into out and returned:
        raw streams uint16 (height, width); YUV 4:2:2 8-bit uint8 (height,
        width / 2, 2), U Y V Y; RGB888 uint8 (height, width / 3, 3), blue
        first. out must have that type and shape."""
        stream = self._stream(data_type)
        packed = self._readable().array(int(stream.data_type))
        per_pixel = _PIXEL_COMPONENTS.get(int(stream.data_type))
        if per_pixel is None or stream.bits_per_component != 8:
            return unpack(packed, stream.width, stream.bits_per_component, out)
        if stream.width % per_pixel:
            raise ValueError("data_type: stream 0x%X of width %d components is not whole pixels "
                             "of %d components" % (int(stream.data_type), stream.width, per_pixel))
        pixels = packed[:, :stream.width].reshape(stream.height, stream.width // per_pixel,
                                                  per_pixel)
        if out is None:
            return pixels.copy()
        if out.dtype != numpy.uint8 or out.shape != pixels.shape:
            raise ValueError("out must be a uint8 array of shape %r" % (pixels.shape,))
        numpy.copyto(out, pixels)
        return out

    def rgb(self, data_type=None, cfa="RGGB", black_level=0, white_level=None, wb_gains=None,
            ccm=None, gamma="srgb", out=None, *, half_size=False):
        """The stream's frame developed into 8-bit RGB by the software ISP: a new
        uint8 array (height, width, 3), or written into out and returned.

        The keywords are develop()'s; the stream gives the payload's layout,
        size and row stride, and white_level defaults to its full scale
        (2^bits - 1). The stream must be raw Bayer (data types 0x28 to 0x2E at
        8, 10 or 16 bits), else ValueError. The GIL is released meanwhile.
        """
        stream = self._stream(data_type)
        bits = stream.bits_per_component
        raw_types = range(int(MipiDataTypeCsi2.CSI2_RAW6), int(MipiDataTypeCsi2.CSI2_RAW16) + 1)
        if int(stream.data_type) not in raw_types or bits not in _PAYLOADS:
            raise ValueError(
                "data_type: stream 0x%X at %d bits is not raw Bayer (data types 0x28 to 0x2E "
                "at 8, 10 or 16 bits)" % (int(stream.data_type), bits))
        return develop(self.array(stream.data_type), cfa, black_level, white_level, wb_gains,
                       ccm, gamma, out, data_type=_PAYLOADS[bits], width=stream.width,
                       height=stream.height, half_size=half_size)

    def release(self):
        """Gives the frame buffer back; arrays taken before keep their data."""
        self._release("was released")

    def _release(self, why):
        if self._gone is None:
            self._gone = why
            self._data.release()

    def __repr__(self):
        return "Frame(index=%d, sequence=%s, sof_ns=%d, eof_ns=%d, error=%s, dropped_before=%d)" % (
            self.index, self.sequence, self.sof_ns, self.eof_ns, self.error.name,
            self.dropped_before)


class _FrameIterator:
    """Camera.frames(n): the camera's reader from the call until the n-th
    frame, close(), or its end (garbage collection included)."""

    def __init__(self, camera, n):
        self._camera = None
        self._left = n
        self._token = object()  # the camera's reader: not the iterator, which it would keep
        camera._claim(self._token)
        self._camera = camera

    def __iter__(self):
        return self

    def __next__(self):
        if self._camera is None:
            raise StopIteration
        if self._left == 0:
            self.close()
            raise StopIteration
        frame = self._camera._read(self._token, newest=False, timeout_ms=None)
        if frame is None:  # the camera was stopped meanwhile
            self.close()
            raise StopIteration
        if self._left is not None:
            self._left -= 1
        return frame

    def close(self):
        """Ends the iteration: another reader may read."""
        camera, self._camera = self._camera, None
        if camera is not None:
            camera._unclaim(self._token)

    def __del__(self):
        self.close()


class Camera:
    """A camera for scripts: a capture session that keeps running.

        with talon.Camera(config) as cam:      # opens and starts
            for frame in cam.frames(30): ...   # in order, every frame
            samples = cam.capture_array()      # the newest frame's samples

    start() opens the camera (when open() did not) and starts the capture;
    from then on frames flow into the buffers whether or not Python reads,
    until stop() or close(). Leaving the with block stops and closes it.
    Two ways to read, each starting the capture when it is stopped:

    - in order: frames(n) and `for frame in cam` yield every frame, oldest
      first, the capture running on between calls;
    - newest: capture() returns the newest complete frame, handing the older
      completed ones straight back to the capture (counted in skipped), or
      waits for the next one when none is newer than the last read;
      capture_array() returns its unpacked array. While the capture runs and
      no frames() iteration reads, a thread of the camera's own keeps taking
      the completed frames, so a slow reader never leaves the capture short
      of buffers (nor counts its skipped frames as drops).

    One reader at a time: a frames() iteration reads from the call until its
    end (or close()), a capture() while it waits; a second reader meanwhile
    is refused at once (RuntimeError). A frame stays readable until the
    camera reads the next one.

    buffers is the number of frame buffers, at least 2. None (the default)
    is 4, or 6 for frames of LARGE_FRAME_BYTES and more. Frames you keep
    arrays of are lent to you while the capture keeps two buffers; the
    camera makes more for that, up to twice buffers, and copies frames
    beyond that. Before anything is allocated, buffers x frame bytes is
    checked against a bound: max_memory bytes when given, else
    MEMORY_FRACTION of the memory available (MemAvailable of
    /proc/meminfo); over it, ValueError. graph_cache, when given, is where
    compiled transfer graphs are cached (set_graph_cache_dir, for the whole
    process).
    """

    LARGE_FRAME_BYTES = 4 << 20
    MEMORY_FRACTION = 0.5

    def __init__(self, config, buffers=None, graph_cache=None, max_memory=None):
        if not isinstance(config, CaptureConfig):
            raise TypeError("Camera: config=%r is a %s; a talon.CaptureConfig is needed"
                            % (config, type(config).__name__))
        frame_bytes = _frame_bytes(config)
        if buffers is None:
            buffers = 6 if frame_bytes >= self.LARGE_FRAME_BYTES else 4
        _check_int("Camera", "buffers", buffers, 2,
                   "buffers must be an int, at least 2 frame buffers: the capture submits the "
                   "next frame's buffer while the current one fills (double buffering)")
        _check_int("Camera", "max_memory", max_memory, 1,
                   "max_memory must be an int of bytes, at least 1, or None (a fraction of "
                   "MemAvailable)", none_allowed=True)
        if max_memory is not None:
            bound, named = max_memory, "max_memory=%d" % max_memory
        else:
            available = _memory_available()
            bound = None if available is None else int(available * self.MEMORY_FRACTION)
            named = "%g of MemAvailable" % self.MEMORY_FRACTION
        if bound is not None and frame_bytes * buffers > bound:
            raise ValueError(
                "Camera: buffers=%d of %d-byte frames (%s) need %s, over the bound of %s (%s); "
                "lower buffers or set max_memory" % (
                    buffers, frame_bytes, _megabytes(frame_bytes),
                    _megabytes(frame_bytes * buffers), _megabytes(bound), named))
        lend_limit = 2 * buffers
        if bound is not None and frame_bytes > 0:
            lend_limit = max(buffers, min(lend_limit, bound // frame_bytes))
        self.config = config
        self.buffer_count = buffers
        self.graph_cache = graph_cache
        self._lend_limit = lend_limit
        self._session = None
        self._running = False
        self._frames = 0
        self._current = None  # the last frame read, until the next read
        self._guard = threading.Lock()  # guards _reader
        self._reader = None

    @property
    def dropped(self):
        """Sensor frames lost between delivered ones, over every read.

        Counted as talon-cam's summary counts them: from the sensor's frame
        sequence where the frames carry one, else from the gaps between
        start-of-frame times against the measured period. The time the
        camera was stopped is not counted. Frames capture() skipped are not
        drops (skipped counts them).
        """
        return self._session.dropped if self._session is not None else self._dropped_at_close

    @property
    def skipped(self):
        """Completed frames that capture() handed back to the capture unread."""
        return self._session.skipped if self._session is not None else self._skipped_at_close

    _dropped_at_close = 0
    _skipped_at_close = 0

    def open(self):
        """Creates the capture session (stopped): the frame buffers and the
        service. Raises CaptureException with the library's reason when it
        refuses the configuration."""
        if self._session is None:
            if self.graph_cache is not None:
                set_graph_cache_dir(self.graph_cache)
            self._session = _talon._Session(self.config, self.buffer_count, self._lend_limit)
        return self

    def start(self):
        """Opens the camera when needed and starts the capture: frames flow into
        the buffers from now on, read or not."""
        self.open()
        if not self._running:
            self._session.start()
            self._running = True
        return self

    def stop(self):
        """Stops the capture; a read waiting meanwhile ends. The next read or
        start() starts it again."""
        if self._session is not None and self._running:
            self._running = False
            self._session.stop()

    def close(self):
        """Stops the capture and lets go of the session; frames still held
        cannot be read from now on, while arrays taken keep their data."""
        if self._current is not None:
            self._current._release("cannot be read: the camera was closed")
            self._current = None
        with self._guard:
            self._reader = None  # an iteration still open reads no more
        session, self._session = self._session, None
        self._running = False
        if session is not None:
            self._dropped_at_close, self._skipped_at_close = session.dropped, session.skipped
            session.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.close()

    def __iter__(self):
        return self.frames()

    def _claim(self, reader):
        with self._guard:
            if self._reader is not None:
                raise RuntimeError(
                    "Camera: another reader is reading (a frames() iteration not ended, or a "
                    "capture() in another thread); read with one at a time")
            self._reader = reader

    def _unclaim(self, reader):
        with self._guard:
            if self._reader is not reader:
                return
            self._reader = None
        if self._session is not None:
            self._session.end_in_order()  # frames are kept newest-first again

    def _read(self, reader, newest, timeout_ms, hold=True):
        """The next (or newest) Frame for reader; None when a stop ended the
        wait. The frame read before goes back to the capture first."""
        if self._reader is not reader:
            raise ValueError("Camera: the camera was closed during the iteration")
        if self._current is not None:
            self._current._release("was released: the camera read the next frame")
            self._current = None
        self.start()
        end, data = self._session.take(newest, timeout_ms, hold)
        if end == "timeout":
            raise TimeoutError("Camera.capture: no frame within timeout_ms=%d" % timeout_ms)
        if end == "stopped":
            return None
        self._frames += 1
        self._current = Frame(self._frames - 1, data, self.config)
        return self._current

    def frames(self, n=None):
        """Yields the next n Frames in order, every one (endless when n is None).

        Starts the capture when it is stopped; it runs on after the n-th
        frame. A frame's buffer goes back to the capture when the camera
        reads the next frame. Frames that failed are yielded with their error.
        The iteration is the camera's reader from this call until its n-th
        frame, its close() or its end; a stop() ends it.
        """
        _check_int("Camera.frames", "n", n, 0,
                   "n must be an int, at least 0, or None (no end)", none_allowed=True)
        return _FrameIterator(self, n)

    def capture(self, timeout_ms=None):
        """The newest complete frame (a Frame): older completed ones go straight
        back to the capture, counted in skipped; when none is newer than the
        last read, the next one. Starts the capture when it is stopped.
        Waits at most timeout_ms (None: as long as it takes; Ctrl-C ends
        it), else TimeoutError; a stop() from another thread meanwhile raises
        RuntimeError."""
        return self._capture(timeout_ms, hold=True)

    def capture_array(self, data_type=None, timeout_ms=None):
        """The newest complete frame's unpacked array (Frame.unpacked), as
        capture() chooses it; the frame goes back to the capture at once."""
        frame = self._capture(timeout_ms, hold=False)
        try:
            return frame.unpacked(data_type)
        finally:
            frame.release()
            if self._current is frame:
                self._current = None

    def _capture(self, timeout_ms, hold):
        _check_int("Camera.capture", "timeout_ms", timeout_ms, 0,
                   "timeout_ms must be an int of milliseconds, at least 0, or None (no limit)",
                   none_allowed=True)
        reader = object()
        self._claim(reader)
        try:
            frame = self._read(reader, newest=True, timeout_ms=timeout_ms, hold=hold)
        finally:
            self._unclaim(reader)
        if frame is None:
            raise RuntimeError("Camera.capture: the camera was stopped while it waited")
        return frame
