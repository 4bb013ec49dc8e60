// The option toolkit (support/options.h) in the element's words: a
// configuration's problem names the element's property ("virtual-channel").
#include "gst/stream_option.h"

#include <cstdio>

#include "support/options.h"

namespace talon_gst {
namespace {

// The property that holds a setting.
const char* Property(talon_support::ConfigProblem::Setting setting) {
  switch (setting) {
    case talon_support::ConfigProblem::Setting::kStreams:
      return "stream";
    case talon_support::ConfigProblem::Setting::kVirtualChannel:
      return "virtual-channel";
    case talon_support::ConfigProblem::Setting::kMipiRx:
      return "mipi-rx";
    case talon_support::ConfigProblem::Setting::kWhole:
      break;
  }
  return "";
}

}  // namespace

bool ParseStreamOption(std::string_view option, std::string_view text,
                       vireo::CaptureStreamConfig* stream, std::string* error) {
  return talon_support::ParseStream(option, text, stream, error);
}

bool CheckCaptureConfigOption(const vireo::CaptureConfig& config, std::string* error) {
  talon_support::ConfigProblem problem;
  if (talon_support::CheckConfig(config, &problem)) return true;
  *error = talon_support::ProblemText(Property(problem.setting), problem);
  return false;
}

std::string DefaultStreamText() {
  const vireo::CaptureStreamConfig stream = talon_support::DefaultStream();
  char text[64];
  snprintf(text, sizeof text, "0x%X,%u,%u,%u%s", static_cast<unsigned>(stream.data_type),
           stream.width, stream.height, stream.bits_per_component,
           stream.pad_row_to_64_bytes ? ",1" : "");
  return text;
}

}  // namespace talon_gst
