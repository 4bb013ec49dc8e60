// The option toolkit (support/options.h) in the element's words: its
// refusals name the tools' options ("--virtual-channel: ..."), which are
// the element's properties without the dashes.
#include "gst/stream_option.h"

#include <cstdio>

#include "support/options.h"

namespace talon_gst {
namespace {

std::string AsProperty(std::string error) {
  return error.rfind("--", 0) == 0 ? error.substr(2) : error;
}

}  // namespace

bool ParseStreamOption(std::string_view option, std::string_view text,
                       vireo::CaptureStreamConfig* stream, std::string* error) {
  return talon_support::ParseStream(option, text, stream, error);
}

bool CheckCaptureConfigOption(const vireo::CaptureConfig& config, std::string* error) {
  if (talon_support::CheckConfig(config, error)) return true;
  *error = AsProperty(*error);
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
