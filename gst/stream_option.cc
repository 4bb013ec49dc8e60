// The option toolkit (support/options.h) in the element's words: a
// configuration's problem names the element's property ("virtual-channel").
#include "gst/stream_option.h"

#include <cstdio>
#include <string>

#include "absl/strings/str_cat.h"
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

const char* StreamSyntaxText() {
  static const std::string text = absl::StrCat(
      "dt,width,height,bits[,pad] as talon-cam's --stream (dt decimal or 0x hex: RAW8 0x2A, "
      "RAW10 0x2B, RAW16 0x2E, YUV422 8-bit 0x1E, RGB888 0x24; bits 8, 10 or 16 as the data "
      "type carries; pad 1 rounds rows up to 64 bytes); at most ",
      vireo::kMaxCaptureStreams, " streams per element (src and ", vireo::kMaxCaptureStreams - 1,
      " request pads src_%u), each of its own data type");
  return text.c_str();
}

}  // namespace talon_gst
