// The value types of the capture API: what a client asks to capture
// (CaptureConfig, CaptureStreamConfig), the state of a frame buffer
// (CaptureStatus) and the one result code of the capture service
// (CaptureError) with its description text.
//
// Plain copyable values without locking; the service and the frame-buffer
// factory keep copies of the configuration they are given.

#ifndef SYSTEM_CAPTURE_CAPTURE_TYPES_H_
#define SYSTEM_CAPTURE_CAPTURE_TYPES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/export.h"

namespace vireo {

// MIPI CSI-2 data types. A stream is identified by its data type; the value
// goes to the IPU's MIPI receiver unchanged. Any 32-bit value may be used.
enum MipiDataTypeCsi2 : int32_t {
  CSI2_EMBEDDED_8BIT = 0x12,
  CSI2_YUV420_8BIT = 0x18,
  CSI2_YUV422_8BIT = 0x1E,
  CSI2_RGB888 = 0x24,
  CSI2_RAW6 = 0x28,
  CSI2_RAW7 = 0x29,
  CSI2_RAW8 = 0x2A,
  CSI2_RAW10 = 0x2B,
  CSI2_RAW12 = 0x2C,
  CSI2_RAW14 = 0x2D,
  CSI2_RAW16 = 0x2E,
  CSI2_USER_DEFINED_1 = 0x30,
};

// One MIPI CSI-2 stream and the DRAM buffer it is captured into.
struct CaptureStreamConfig {
  // Identifies the stream: the MIPI receiver selects the stream by it and a
  // frame buffer keys the stream's data by it, so no two streams of one
  // configuration may share it (the service and the factory refuse that).
  MipiDataTypeCsi2 data_type = CSI2_RAW10;
  uint32_t width = 0;                // components per row
  uint32_t height = 0;               // rows per frame
  uint32_t bits_per_component = 0;   // 8, 10 or 16
  bool pad_row_to_64_bytes = false;  // round the row stride up to 64 bytes
};

// The limits of a configuration that libtalon itself enforces, for clients
// that check their input before they hand it over: CheckCaptureConfig's
// stream count and virtual channel, the component widths a stream may have,
// and the unit the service moves rows in (a row must hold one: width ×
// bits_per_component at least kCaptureRowUnitBits).
inline constexpr size_t kMaxCaptureStreams = 3;
inline constexpr uint32_t kMaxVirtualChannel = 3;
inline constexpr uint32_t kCaptureComponentBits[] = {8, 10, 16};
inline constexpr uint32_t kCaptureRowUnitBits = 16;

// What a client asks to capture: one to three streams on one receiver.
struct CaptureConfig {
  int32_t mipi_rx = 0;                              // MIPI receiver of every stream
  uint32_t virtual_channel = 0;                     // 0 to 3
  uint32_t timeout_ms = 0;                          // wait for a frame, and for the next buffer
  std::vector<CaptureStreamConfig> stream_configs;  // 1 to 3 entries
};

// The state of one frame buffer.
enum class CaptureStatus : int32_t {
  IDLE = 0,       // new, never enqueued
  ENQUEUED = 1,   // waiting in the service's pending queue
  RUNNING = 2,    // its IPU job was enqueued (or the enqueue was attempted)
  COMPLETED = 3,  // error and timestamps are final
};

// The result of every fallible capture operation and the per-frame error.
// SUCCESS is 0. GENERIC_FAILURE to OVERFLOW (1 to 8) are the IPU runtime's
// errors of the same numbers, CAPTURE_CANCELLED its cancellation (a capture
// ended by Pause or destruction) and UNKNOWN any other runtime error. The
// service's own: ALREADY_INITIALIZED (set-up run twice), INVALID_CONFIG
// (vireo_util::CheckCaptureConfig), FILE_SYSTEM_ERROR (the compiled-graph
// cache directory cannot be made), DATA_TYPE_NOT_FOUND (a data type the frame
// buffer does not hold), INVALID_BUFFER (a frame buffer the service cannot
// take or that is too small for the configuration), BACKGROUND_THREAD_ERROR
// (the system refused the capture worker's thread). MIPI_MUX_ERROR is never
// returned; it keeps its number.
enum class CaptureError : int32_t {
  SUCCESS = 0,
  GENERIC_FAILURE = 1,
  INVALID_REQUEST = 2,
  NO_DEV = 3,
  NO_MEM = 4,
  TIMEOUT = 5,
  RESOURCE_NOT_FOUND = 6,
  TYPE_MISMATCH = 7,
  OVERFLOW = 8,
  MIPI_MUX_ERROR = 9,
  BACKGROUND_THREAD_ERROR = 10,
  ALREADY_INITIALIZED = 11,
  INVALID_CONFIG = 12,
  FILE_SYSTEM_ERROR = 13,
  DATA_TYPE_NOT_FOUND = 14,
  INVALID_BUFFER = 15,
  CAPTURE_CANCELLED = 16,
  UNKNOWN = 17,
};

// The fixed description of `error`; "unknown" for values outside 0 to 17.
// Never null; the text is static.
TALON_EXPORT const char* GetCaptureErrorDesc(CaptureError error);

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_TYPES_H_
