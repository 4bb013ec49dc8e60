// Stateless helpers of the capture service: row stride and buffer size of a
// stream, the configuration check, the translation of IPU runtime errors, and
// the file-system helpers behind the compiled-graph cache.
//
// No state, no logging; callable from any thread.

#ifndef SYSTEM_CAPTURE_CAPTURE_UTIL_H_
#define SYSTEM_CAPTURE_CAPTURE_UTIL_H_

#include <cstdint>
#include <string>

#include "base/export.h"
#include "system/capture/capture_types.h"
#include "system/ipu_runtime/prism.h"

namespace vireo {
namespace vireo_util {

// Bytes per row: width × bits rounded up to whole bytes (32-bit arithmetic),
// then up to a multiple of 64 when pad_row_to_64_bytes is set.
TALON_EXPORT uint64_t GetRowStrideBytes(const CaptureStreamConfig& stream_config);

// Bytes per frame: row stride × height.
TALON_EXPORT uint64_t GetSizeBytes(const CaptureStreamConfig& stream_config);

// INVALID_CONFIG when virtual_channel > 3 or the stream count is not 1 to 3,
// else SUCCESS. Nothing else is checked.
TALON_EXPORT CaptureError CheckCaptureConfig(const CaptureConfig& config);

// 0-8 map to the same number, 9 to CAPTURE_CANCELLED, all else to UNKNOWN.
TALON_EXPORT CaptureError GetCaptureError(OzyError error);

// True when stat() on `path` succeeds.
TALON_EXPORT bool FileExists(const std::string& path);

// mkdir(path, 0755); true when made or when something already stands there.
TALON_EXPORT bool CreateDir(const std::string& path);

// Everything before the last '/', or "." when there is none.
TALON_EXPORT std::string ParentPath(const std::string& path);

// Makes `path` and its missing parents, outermost first.
TALON_EXPORT bool RecursivelyCreateDir(const std::string& path);

}  // namespace vireo_util
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_UTIL_H_
