#include "tools/talon-cam/frame_metadata.h"

#include <nlohmann/json.hpp>

#include "support/capture_error_name.h"

namespace talon_cam {
namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json ConfigJson(const vireo::CaptureConfig& config) {
  Json streams = Json::array();
  for (const vireo::CaptureStreamConfig& s : config.stream_configs) {
    streams.push_back({{"data_type", static_cast<int>(s.data_type)},
                       {"width", s.width},
                       {"height", s.height},
                       {"bits_per_component", s.bits_per_component},
                       {"pad_row_to_64_bytes", s.pad_row_to_64_bytes}});
  }
  return {{"mipi_rx", config.mipi_rx},
          {"virtual_channel", config.virtual_channel},
          {"timeout_ms", config.timeout_ms},
          {"stream_configs", streams}};
}

}  // namespace

std::string FrameJson(const FrameMetadata& frame, const vireo::CaptureConfig* config) {
  const bool success = frame.error == vireo::CaptureError::SUCCESS;
  Json streams = Json::array();
  for (const StreamMetadata& s : frame.streams) {
    streams.push_back({{"data_type", s.data_type},
                       {"row_stride", s.row_stride},
                       {"size_bytes", s.size_bytes},
                       {"file", TextOrNull(s.file)},
                       {"dng", TextOrNull(s.dng)}});
  }
  Json json = {{"frame", frame.frame},
               {"sequence", frame.sequence >= 0 ? Json(frame.sequence) : Json(nullptr)},
               {"sof_ns", success ? Json(frame.sof_ns) : Json(nullptr)},
               {"eof_ns", success ? Json(frame.eof_ns) : Json(nullptr)},
               {"dequeue_ns", frame.dequeue_ns},
               {"error",
                {{"number", static_cast<int>(frame.error)},
                 {"name", talon_support::CaptureErrorName(frame.error)}}},
               {"streams", streams}};
  if (config != nullptr) json["config"] = ConfigJson(*config);
  return json.dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
}

}  // namespace talon_cam
