"""Camera capture through libtalon, with frames as NumPy arrays.

The names of the C++ API, in Python's conventions:

    config = talon.CaptureConfig(
        stream_configs=[talon.CaptureStreamConfig(
            data_type=talon.CSI2_RAW10, width=640, height=480, bits_per_component=10)],
        timeout_ms=1000)
    service = talon.CaptureService.create_instance(config)
    factory = talon.CaptureFrameBufferFactory.create_instance(config)

and for scripts a Camera that owns all of it:

    with talon.Camera(config) as cam:
        for frame in cam.frames(30):
            print(frame.sequence, frame.dropped_before, frame.unpacked().mean())
        print(cam.dropped, "sensor frames lost")

Raw Bayer frames develop into RGB with the software ISP:

        rgb = frame.rgb()                                  # uint8 (height, width, 3)
        rgb = talon.develop(samples, white_level=1023)     # uint16 samples of a 10-bit sensor

Errors raise CaptureException (.error is a CaptureError); its message says
why, e.g. "CaptureService.create_instance: CaptureConfig.virtual_channel: 99
is not in 0 to 3". Frame arrays view the device buffers without copying; an
array keeps its frame locked and alive, and capturing goes on in other
buffers meanwhile.

Every call that can block (dequeue_completed_request, iterating
Camera.frames, pause, close) answers Ctrl-C with KeyboardInterrupt within a
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

Threading: a Camera is used by one thread; the thin layer's calls may come
from several, and the blocking ones let other Python threads run.
"""

import os

# NumPy loads with the package, not with the first frame's array, which would
# hold up the capture loop for a while.
import numpy  # noqa: F401

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


class Frame:
    """One frame of a Camera: its counter, timestamps, error and data.

    sof_ns and eof_ns (CLOCK_BOOTTIME ns, 0 when the frame failed), error,
    sequence (the sensor's frame number, None where the sensor stamps none)
    and dropped_before (sensor frames lost just before this one) stay valid
    for good. array() and unpacked() read the frame buffer, which goes back
    to the capture when the iteration moves on; reading it after that raises
    ValueError, while arrays taken before keep their data.
    """

    __slots__ = ("index", "_buffer", "sof_ns", "eof_ns", "error", "sequence", "dropped_before")

    def __init__(self, index, buffer, recorder):
        self.index = index
        self._buffer = buffer
        (self.error, self.sof_ns, self.eof_ns, self.sequence,
         self.dropped_before) = recorder.record(buffer)

    @property
    def buffer(self):
        """The FrameBuffer; ValueError once the frame was released."""
        if self._buffer is None:
            raise ValueError("frame %d was released: its buffer captures again" % self.index)
        return self._buffer

    def array(self, data_type=None):
        """The stream's bytes, uint8 (height, row stride), without a copy."""
        return self.buffer.array(data_type)

    def unpacked(self, data_type=None, out=None):
        """The stream's samples, a new uint16 array (height, width), or written
        into out (uint16, that shape) and returned."""
        return self.buffer.unpacked(data_type, out)

    def rgb(self, data_type=None, cfa="RGGB", black_level=0, white_level=None, wb_gains=None,
            ccm=None, gamma="srgb", out=None, *, half_size=False):
        """The stream's frame developed into 8-bit RGB by the software ISP: a new
        uint8 array (height, width, 3), or written into out and returned.

        The keywords are develop()'s; the stream gives the payload's layout,
        size and row stride, and white_level defaults to its full scale
        (2^bits - 1). The stream must be raw Bayer (data types 0x28 to 0x2E at
        8, 10 or 16 bits), else ValueError. The GIL is released meanwhile.
        """
        buffer = self.buffer
        if data_type is None:
            types = buffer.data_types
            if len(types) != 1:
                raise ValueError("data_type: the frame has %d streams; say which" % len(types))
            data_type = types[0]
        stream = buffer.stream_config(data_type)
        bits = stream.bits_per_component
        raw_types = range(int(MipiDataTypeCsi2.CSI2_RAW6), int(MipiDataTypeCsi2.CSI2_RAW16) + 1)
        if int(stream.data_type) not in raw_types or bits not in _PAYLOADS:
            raise ValueError(
                "data_type: stream 0x%X at %d bits is not raw Bayer (data types 0x28 to 0x2E "
                "at 8, 10 or 16 bits)" % (int(stream.data_type), bits))
        return develop(buffer.array(data_type), cfa, black_level, white_level, wb_gains, ccm,
                       gamma, out, data_type=_PAYLOADS[bits], width=stream.width,
                       height=stream.height, half_size=half_size)

    def release(self):
        """Gives the buffer back; arrays taken before keep their data."""
        self._buffer = None

    def __repr__(self):
        return "Frame(index=%d, sequence=%s, sof_ns=%d, eof_ns=%d, error=%s, dropped_before=%d)" % (
            self.index, self.sequence, self.sof_ns, self.eof_ns, self.error.name,
            self.dropped_before)


class Camera:
    """A capture service with its factory and frame buffers, for scripts.

    Used as a context manager: entering creates the factory, the buffers and
    the service (which waits, paused, until frames() is called); leaving
    closes the service, then lets go of the buffers and the factory.

    buffers is the number of frame buffers, at least 2: the capture keeps
    the next frame's buffer submitted while the current one fills, so two
    must be in flight while you hold none; three keep that going while you
    hold one; each further buffer rides out one sensor period that a frame
    takes you beyond the sensor's. None (the default) is 4, or 6 for frames
    of LARGE_FRAME_BYTES and more, whose first unpacked() arrays cost a
    consumer a few periods of page faults (at 12 MP a buffer is 15 MB).
    graph_cache, when given, is where compiled transfer graphs are cached
    (set_graph_cache_dir, for the whole process).
    """

    LARGE_FRAME_BYTES = 4 << 20

    def __init__(self, config, buffers=None, graph_cache=None):
        if buffers is None:
            frame_bytes = sum(s.row_stride_bytes * s.height for s in config.stream_configs)
            buffers = 6 if frame_bytes >= self.LARGE_FRAME_BYTES else 4
        if isinstance(buffers, bool) or not isinstance(buffers, int):
            raise TypeError("buffers must be an int, not %s" % type(buffers).__name__)
        if buffers < 2:
            raise ValueError(
                "buffers=%d: a Camera needs at least 2 frame buffers, because the capture "
                "submits the next frame's buffer while the current one fills "
                "(double buffering); with fewer it waits timeout_ms for a second one" % buffers)
        self.config = config
        self.buffer_count = buffers
        self.graph_cache = graph_cache
        self.factory = None
        self.buffers = []
        self.service = None
        self._frames = 0
        self._dropped_earlier = 0  # by the frames() calls before the current one
        self._drops = None  # of the current frames() call
        self._handed_out = {}  # buffer -> the Frame that reads it

    @property
    def dropped(self):
        """Sensor frames lost between delivered ones, over every frames() call.

        Counted as talon-cam's summary counts them: from the sensor's frame
        sequence where the frames carry one, else from the gaps between
        start-of-frame times against the measured period. The gap between
        two frames() calls, while the capture was paused, is not counted.
        """
        return self._dropped_earlier + (self._drops.dropped if self._drops else 0)

    def open(self):
        """Creates the factory, the buffers and the service (paused)."""
        if self.service is not None:
            return self
        if self.graph_cache is not None:
            set_graph_cache_dir(self.graph_cache)
        self.factory = CaptureFrameBufferFactory.create_instance(self.config)
        self.buffers = [self.factory.create() for _ in range(self.buffer_count)]
        self.service = CaptureService.create_instance(self.config)
        self.service.pause()
        return self

    def close(self):
        """Closes the service, then lets go of the buffers and the factory."""
        for frame in self._handed_out.values():
            frame.release()
        self._handed_out = {}
        if self.service is not None:
            self.service.close()
        self.service = None
        self.buffers = []
        self.factory = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc_info):
        self.close()

    def _enqueue(self, buffer):
        frame = self._handed_out.pop(buffer, None)
        if frame is not None:
            frame.release()
        self.service.enqueue_request(buffer)

    def frames(self, n=None):
        """Yields the next n Frames (endless when n is None).

        A frame's buffer goes back to the capture when the caller asks for the
        next frame. Every buffer stays in the capture until the n-th frame is
        taken, which stops it at once: the end never waits for a buffer that
        will not come. Frames that failed are yielded with their error.
        Stopping early (break, Ctrl-C) pauses the capture; every buffer is the
        Camera's again.
        """
        service = self.service
        if service is None:
            raise ValueError("the Camera is not open")
        if n is not None and n < 0:
            raise ValueError("frames(%d): n must be at least 0" % n)
        if n == 0:
            return
        self._reclaim(service)  # in case an earlier one was interrupted twice
        self._dropped_earlier = self.dropped
        self._drops = _FrameRecorder(self.config)
        for buffer in self.buffers:
            self._enqueue(buffer)
        service.resume()
        try:
            delivered = 0
            while n is None or delivered < n:
                buffer = service.dequeue_completed_request()
                if buffer is None:
                    raise RuntimeError("the capture service stopped")
                delivered += 1
                if delivered == n:
                    service.pause()  # the last wanted frame: nothing more to capture
                self._frames += 1
                frame = Frame(self._frames - 1, buffer, self._drops)
                self._handed_out[buffer] = frame
                yield frame
                if delivered != n:
                    self._enqueue(buffer)
        finally:
            if not service.closed:
                self._reclaim(service)

    @staticmethod
    def _reclaim(service):
        """Pauses; every buffer is the Camera's again: the completed ones are
        dropped, the waiting ones cleared."""
        service.pause()
        while service.dequeue_completed_request() is not None:
            pass
        service.clear_pending_requests()
