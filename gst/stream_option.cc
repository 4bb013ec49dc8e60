// Until the option toolkit (support/options.h) lands, a stand-in with the
// same contract: decimal or 0x hexadecimal numbers, the library's limits.
#include "gst/stream_option.h"

#include <cstdint>
#include <set>
#include <vector>

#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"

namespace talon_gst {
namespace {

bool ParseNumber(std::string_view text, uint64_t max, uint64_t* value) {
  absl::string_view t(text.data(), text.size());
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    return absl::SimpleHexAtoi(t.substr(2), value) && t[2] != '+' && t[2] != '-' &&
           *value <= max;
  }
  return !t.empty() && t[0] != '+' && t[0] != '-' && absl::SimpleAtoi(t, value) &&
         *value <= max;
}

}  // namespace

bool ParseStreamOption(std::string_view option, std::string_view text,
                       vireo::CaptureStreamConfig* stream, std::string* error) {
  const std::string quoted = absl::StrCat("\"", absl::string_view(text.data(), text.size()), "\"");
  const std::vector<absl::string_view> parts =
      absl::StrSplit(absl::string_view(text.data(), text.size()), ',');
  if (parts.size() != 4 && parts.size() != 5) {
    *error = absl::StrCat(absl::string_view(option.data(), option.size()), ": ", quoted,
                          " is not dt,width,height,bits[,pad]");
    return false;
  }
  struct Field {
    const char* name;
    uint64_t min, max;
  };
  static const Field kFields[] = {
      {"dt", 0, 0xFFFFFFFF}, {"width", 1, 65535}, {"height", 1, 65535},
      {"bits", 8, 16},       {"pad", 0, 1},
  };
  uint64_t values[5] = {0, 0, 0, 0, 0};
  for (size_t i = 0; i < parts.size(); ++i) {
    const Field& f = kFields[i];
    bool ok = ParseNumber(std::string_view(parts[i].data(), parts[i].size()), f.max, &values[i]) &&
              values[i] >= f.min;
    if (i == 3) ok = ok && (values[i] == 8 || values[i] == 10 || values[i] == 16);
    if (!ok) {
      *error = absl::StrCat(absl::string_view(option.data(), option.size()), ": ", f.name, " ",
                            parts[i], " in ", quoted, " is not ",
                            i == 3 ? std::string("8, 10 or 16")
                                   : absl::StrCat("in ", f.min, " to ", f.max));
      return false;
    }
  }
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(static_cast<uint32_t>(values[0]));
  stream->width = static_cast<uint32_t>(values[1]);
  stream->height = static_cast<uint32_t>(values[2]);
  stream->bits_per_component = static_cast<uint32_t>(values[3]);
  stream->pad_row_to_64_bytes = values[4] != 0;
  return true;
}

bool CheckCaptureConfigOption(const vireo::CaptureConfig& config, std::string* error) {
  if (config.virtual_channel > 3) {
    *error = absl::StrCat("virtual-channel: ", config.virtual_channel, " is not in 0 to 3");
    return false;
  }
  if (config.stream_configs.empty() || config.stream_configs.size() > 3) {
    *error = absl::StrCat("stream: ", config.stream_configs.size(),
                          " streams, not 1 to 3");
    return false;
  }
  std::set<int32_t> seen;
  for (const vireo::CaptureStreamConfig& s : config.stream_configs) {
    if (!seen.insert(s.data_type).second) {
      *error = absl::StrCat("stream: data type ", s.data_type, " appears twice");
      return false;
    }
  }
  return true;
}

vireo::CaptureStreamConfig DefaultStreamOption() {
  vireo::CaptureStreamConfig stream;
  stream.data_type = vireo::CSI2_RAW10;
  stream.width = 640;
  stream.height = 480;
  stream.bits_per_component = 10;
  return stream;
}

}  // namespace talon_gst
