# Types of the package talon: the binding's names it re-exports (typed in
# _talon.pyi) and its own (Camera, Frame, the graph cache's functions),
# checked against the built package by the test python_stubtest.

import os
from types import TracebackType
from typing import Any, Iterator, Optional, Sequence, Union

import numpy
from numpy.typing import NDArray

from ._talon import (
    CSI2_EMBEDDED_8BIT as CSI2_EMBEDDED_8BIT,
    CSI2_RAW6 as CSI2_RAW6,
    CSI2_RAW7 as CSI2_RAW7,
    CSI2_RAW8 as CSI2_RAW8,
    CSI2_RAW10 as CSI2_RAW10,
    CSI2_RAW12 as CSI2_RAW12,
    CSI2_RAW14 as CSI2_RAW14,
    CSI2_RAW16 as CSI2_RAW16,
    CSI2_RGB888 as CSI2_RGB888,
    CSI2_USER_DEFINED_1 as CSI2_USER_DEFINED_1,
    CSI2_YUV420_8BIT as CSI2_YUV420_8BIT,
    CSI2_YUV422_8BIT as CSI2_YUV422_8BIT,
    DEFAULT_GRAPH_CACHE_DIR as DEFAULT_GRAPH_CACHE_DIR,
    GRAPH_CACHE_VARIABLE as GRAPH_CACHE_VARIABLE,
    CaptureConfig as CaptureConfig,
    CaptureError as CaptureError,
    CaptureException as CaptureException,
    CaptureFrameBufferFactory as CaptureFrameBufferFactory,
    CaptureService as CaptureService,
    CaptureStatus as CaptureStatus,
    CaptureStreamConfig as CaptureStreamConfig,
    ConfigurationError as ConfigurationError,
    FrameBuffer as FrameBuffer,
    MipiDataTypeCsi2 as MipiDataTypeCsi2,
    StreamConfigList as StreamConfigList,
    __version__ as __version__,
    _DataType,
    _FrameRecorder,
    develop as develop,
    error_description as error_description,
    unpack as unpack,
)

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
    "CSI2_EMBEDDED_8BIT",
    "CSI2_YUV420_8BIT",
    "CSI2_YUV422_8BIT",
    "CSI2_RGB888",
    "CSI2_RAW6",
    "CSI2_RAW7",
    "CSI2_RAW8",
    "CSI2_RAW10",
    "CSI2_RAW12",
    "CSI2_RAW14",
    "CSI2_RAW16",
    "CSI2_USER_DEFINED_1",
]

def set_graph_cache_dir(path: Union[str, os.PathLike[str], None]) -> None: ...
def graph_cache_dir() -> str: ...

class Frame:
    index: int
    sof_ns: int
    eof_ns: int
    dequeue_ns: int
    error: CaptureError
    sequence: Optional[int]
    dropped_before: int
    skipped_before: int
    def __init__(self, index: int, data: Any, config: CaptureConfig) -> None: ...
    @property
    def metadata(self) -> dict[str, Any]: ...
    def array(self, data_type: Optional[_DataType] = None) -> NDArray[numpy.uint8]: ...
    def unpacked(self, data_type: Optional[_DataType] = None,
                 out: Optional[NDArray[Any]] = None) -> NDArray[Any]: ...
    def rgb(self, data_type: Optional[_DataType] = None, cfa: str = "RGGB",
            black_level: float = 0, white_level: Optional[float] = None,
            wb_gains: Optional[Sequence[float]] = None, ccm: Optional[object] = None,
            gamma: str = "srgb", out: Optional[NDArray[numpy.uint8]] = None, *,
            half_size: bool = False) -> NDArray[numpy.uint8]: ...
    def release(self) -> None: ...

class Camera:
    LARGE_FRAME_BYTES: int
    MEMORY_FRACTION: float
    config: CaptureConfig
    buffer_count: int
    graph_cache: Union[str, os.PathLike[str], None]
    def __init__(self, config: CaptureConfig, buffers: Optional[int] = None,
                 graph_cache: Union[str, os.PathLike[str], None] = None,
                 max_memory: Optional[int] = None) -> None: ...
    @property
    def dropped(self) -> int: ...
    @property
    def skipped(self) -> int: ...
    def open(self) -> Camera: ...
    def start(self) -> Camera: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Camera: ...
    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...
    def __iter__(self) -> Iterator[Frame]: ...
    def frames(self, n: Optional[int] = None) -> Iterator[Frame]: ...
    def capture(self, timeout_ms: Optional[int] = None) -> Frame: ...
    def capture_array(self, data_type: Optional[_DataType] = None,
                      timeout_ms: Optional[int] = None) -> NDArray[Any]: ...
