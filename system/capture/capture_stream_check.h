// The checks that refuse a capture configuration's streams before any IPU
// object is made for them: a component width the pipeline cannot carry
// (other than 8, 10 or 16 bits), a row whose bits do not fit 32 bits (the
// row stride, computed in 32 bits, would wrap: a width of 858993459 at 10
// bits gives rows of 0 bytes, empty device buffers and a runtime told of
// rows it cannot hold), and two streams of one data type (frame buffers key
// their streams by data type, so the IPU would write both streams into one
// buffer and leave a device buffer without an owner).
// Shared by the capture service, the frame-buffer factory and the
// transfer-graph helpers, each of which refuses such streams in its own way.
//
// Internal to libtalon (not exported, not installed). No state; callable
// from any thread. Errors are logged at ERROR as the functions say.

#ifndef SYSTEM_CAPTURE_CAPTURE_STREAM_CHECK_H_
#define SYSTEM_CAPTURE_CAPTURE_STREAM_CHECK_H_

#include <cstdint>

#include "system/capture/capture_component_format.h"
#include "system/capture/capture_types.h"

namespace vireo {
namespace stream_check {

// True when every stream's width is in the component table; else logs
// "bits_per_component could only be 8, 10 or 16." once and returns false.
bool AllComponentWidthsSupported(const CaptureConfig& config);

// True when every stream's row bits, width × bits_per_component + 7 (the
// row stride's sum), fit 32 bits; else logs
// "Invalid configuration: width <w> at <b> bits per component does not fit
// a 32-bit row (data type <n>)" for the first such stream and returns false.
bool AllRowsFit(const CaptureConfig& config);

// True when two streams share a data type. Logs nothing.
bool HasRepeatedDataType(const CaptureConfig& config);

// The three checks, stream by stream in order: the first stream with an
// unsupported width, a row too wide, or a data type an earlier stream has,
// is logged ("bits_per_component could only be 8, 10 or 16.", the line of
// AllRowsFit, or "Invalid configuration: data type <n> is used by more than
// one stream") and makes the result false.
bool StreamsCanBeBuilt(const CaptureConfig& config);

// The table entry of a width the checks have passed; a fatal error (logged
// as the width check logs it) for any other width.
const ozy::ComponentFormat& ComponentFormatOf(uint32_t bits);

}  // namespace stream_check
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_STREAM_CHECK_H_
