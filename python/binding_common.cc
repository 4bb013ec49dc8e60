#include "python/binding_common.h"

#include <cstdio>

#include "support/graph_cache_dir.h"
#include "support/options.h"

namespace talon_python {
namespace {

// Why the library or the runtime would refuse `config`, naming the field and
// its value ("CaptureConfig.virtual_channel: 99 is not in 0 to 3"); empty
// when nothing is wrong. The option toolkit holds the limits and says what
// is wrong; here the setting is named by its field.
std::string ConfigProblem(const CaptureConfig& config) {
  using Setting = talon_support::ConfigProblem::Setting;
  talon_support::ConfigProblem problem;
  if (talon_support::CheckConfig(config, &problem)) return "";
  const char* field = "";
  switch (problem.setting) {
    case Setting::kStreams:
      field = "CaptureConfig.stream_configs";
      break;
    case Setting::kVirtualChannel:
      field = "CaptureConfig.virtual_channel";
      break;
    case Setting::kMipiRx:
      field = "CaptureConfig.mipi_rx";
      break;
    case Setting::kWhole:
      break;
  }
  return talon_support::ProblemText(field, problem);
}

}  // namespace

// A failure only the library knows the reason of: its description.
[[noreturn]] void Fail(CaptureError error, const std::string& call) {
  throw CaptureFailure{error, call + ": " + vireo::GetCaptureErrorDesc(error)};
}

void Check(CaptureError error, const std::string& call) {
  if (error != CaptureError::SUCCESS) Fail(error, call);
}

std::string Hex(int value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
  return text;
}

[[noreturn]] void RaiseConfigurationError(CaptureError error, const std::string& reason) {
  throw ConfigurationFailure{error, reason};
}

void CheckConfig(const CaptureConfig& config) {
  const std::string problem = ConfigProblem(config);
  if (!problem.empty()) RaiseConfigurationError(CaptureError::INVALID_CONFIG, problem);
}

// "0x2B 64x8 10-bit, ...": the streams of a configuration, for messages.
std::string StreamsText(const CaptureConfig& config) {
  std::string text;
  for (const CaptureStreamConfig& s : config.stream_configs) {
    text += (text.empty() ? "" : ", ") + Hex(s.data_type) + " " + std::to_string(s.width) + "x" +
            std::to_string(s.height) + " " + std::to_string(s.bits_per_component) + "-bit" +
            (s.pad_row_to_64_bytes ? " padded" : "");
  }
  return text;
}

// Whether frame buffers made for `a` have the layout that `b` captures:
// the same streams, in any order.
bool SameStreams(const CaptureConfig& a, const CaptureConfig& b) {
  if (a.stream_configs.size() != b.stream_configs.size()) return false;
  for (const CaptureStreamConfig& s : a.stream_configs) {
    bool found = false;
    for (const CaptureStreamConfig& t : b.stream_configs) {
      found = found || (s.data_type == t.data_type && s.width == t.width && s.height == t.height &&
                        s.bits_per_component == t.bits_per_component &&
                        s.pad_row_to_64_bytes == t.pad_row_to_64_bytes);
    }
    if (!found) return false;
  }
  return true;
}

// Points libtalon at a compiled-graph cache this process can use (the
// directory set for the process, else the system one when writable, else
// the user's); raises FILE_SYSTEM_ERROR naming the path and the reason when
// none can be made. A fallback is said once, at INFO.
void ChooseGraphCache(const std::string& call) {
  std::string dir, note, error;
  if (!talon_support::ChooseGraphCacheDir("", &dir, &note, &error)) {
    throw CaptureFailure{CaptureError::FILE_SYSTEM_ERROR, call + ": " + error};
  }
  static std::string said;  // guarded by the GIL
  if (!note.empty() && note != said) {
    said = note;
    py::module_::import("logging").attr("getLogger")("talon").attr("info")(note);
  }
}

}  // namespace talon_python
