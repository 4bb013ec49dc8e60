#include "system/capture/capture_stream_check.h"

#include <cstdint>
#include <unordered_set>

#include "base/logging.h"

namespace vireo {
namespace stream_check {
namespace {

constexpr char kBitsMessage[] = "bits_per_component could only be 8, 10 or 16.";

bool IsSupported(const CaptureStreamConfig& stream) {
  return ozy::FindComponentFormat(stream.bits_per_component) != nullptr;
}

// Whether the stream's row fits 32 bits; logs the line of AllRowsFit when
// not. The stride is computed from width × bits + 7 in 32 bits; when that
// fits, the stride (at most 2^29 bytes) stays within 32 bits after the
// padding too.
bool RowFits(const CaptureStreamConfig& stream) {
  if (uint64_t{stream.width} * stream.bits_per_component + 7u <= UINT32_MAX) return true;
  LOG(ERROR) << "Invalid configuration: width " << stream.width << " at "
             << stream.bits_per_component << " bits per component does not fit a 32-bit row"
             << " (data type " << static_cast<int>(stream.data_type) << ")";
  return false;
}

}  // namespace

bool AllRowsFit(const CaptureConfig& config) {
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    if (!RowFits(stream)) return false;
  }
  return true;
}

bool AllComponentWidthsSupported(const CaptureConfig& config) {
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    if (!IsSupported(stream)) {
      LOG(ERROR) << kBitsMessage;
      return false;
    }
  }
  return true;
}

bool HasRepeatedDataType(const CaptureConfig& config) {
  std::unordered_set<int> seen;
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    if (!seen.insert(stream.data_type).second) return true;
  }
  return false;
}

bool StreamsCanBeBuilt(const CaptureConfig& config) {
  std::unordered_set<int> seen;
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    if (!IsSupported(stream)) {
      LOG(ERROR) << kBitsMessage;
      return false;
    }
    if (!RowFits(stream)) return false;
    if (!seen.insert(stream.data_type).second) {
      LOG(ERROR) << "Invalid configuration: data type " << static_cast<int>(stream.data_type)
                 << " is used by more than one stream";
      return false;
    }
  }
  return true;
}

const ozy::ComponentFormat& ComponentFormatOf(uint32_t bits) {
  const ozy::ComponentFormat* format = ozy::FindComponentFormat(bits);
  if (format == nullptr) LOG(FATAL) << kBitsMessage;
  return *format;
}

}  // namespace stream_check
}  // namespace vireo
