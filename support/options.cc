#include "support/options.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <limits>
#include <unordered_set>
#include <utility>

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"
#include "system/capture/capture_util.h"

namespace talon_support {
namespace {

absl::string_view Absl(std::string_view text) { return {text.data(), text.size()}; }

// `text` in quotes, escaped so that a message repeating it stays one line.
std::string Quoted(absl::string_view text) { return absl::StrCat("\"", absl::CEscape(text), "\""); }

std::string_view Std(absl::string_view text) { return {text.data(), text.size()}; }

// "8, 10 or 16".
std::string ComponentBitsText() {
  std::string text;
  const size_t count = std::size(vireo::kCaptureComponentBits);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) absl::StrAppend(&text, i + 1 == count ? " or " : ", ");
    absl::StrAppend(&text, vireo::kCaptureComponentBits[i]);
  }
  return text;
}

bool IsComponentBits(uint64_t bits) {
  return std::find(std::begin(vireo::kCaptureComponentBits), std::end(vireo::kCaptureComponentBits),
                   bits) != std::end(vireo::kCaptureComponentBits);
}

// The narrowest stream of `bits` whose row holds one unit of the rows the
// service moves.
uint32_t MinWidth(uint32_t bits) { return (vireo::kCaptureRowUnitBits + bits - 1) / bits; }

std::string DataTypeText(uint32_t data_type) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%" PRIX32, data_type);
  return text;
}

// The stream as --stream would give it.
std::string StreamText(const vireo::CaptureStreamConfig& stream) {
  return absl::StrCat(DataTypeText(static_cast<uint32_t>(stream.data_type)), ",", stream.width, ",",
                      stream.height, ",", stream.bits_per_component,
                      stream.pad_row_to_64_bytes ? ",1" : "");
}

bool Fail(std::string text, std::string* error) {
  *error = std::move(text);
  return false;
}

bool Fail(ConfigProblem::Setting setting, std::string value, std::string detail,
          ConfigProblem* problem) {
  *problem = {setting, std::move(value), std::move(detail)};
  return false;
}

// ParseStream without the option's name: false with what is wrong.
bool ParseStreamText(std::string_view text, vireo::CaptureStreamConfig* stream,
                     std::string* error) {
  const absl::string_view whole = Absl(text);
  const std::vector<absl::string_view> parts = absl::StrSplit(whole, ',');
  if (parts.size() != 4 && parts.size() != 5) {
    return Fail(absl::StrCat(Quoted(whole), " is not dt,width,height,bits[,pad]"), error);
  }
  const std::string where = absl::StrCat(" in ", Quoted(whole));
  const struct {
    const char* name;
    uint64_t min;
    uint64_t max;
  } kFields[] = {{"data type", 0, kMaxDataType},
                 {"width", 1, kMaxFrameExtent},
                 {"height", 1, kMaxFrameExtent},
                 {"bits", 0, std::numeric_limits<uint32_t>::max()},
                 {"pad", 0, 1}};
  uint64_t values[5] = {};
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string problem =
        UnsignedProblem(Std(parts[i]), where, kFields[i].min, kFields[i].max, &values[i]);
    if (i == 3 && (!problem.empty() || !IsComponentBits(values[i]))) {
      problem = absl::StrCat(absl::CEscape(parts[i]), where, " is not ", ComponentBitsText());
    }
    if (!problem.empty()) return Fail(absl::StrCat(kFields[i].name, " ", problem), error);
  }
  const uint32_t bits = static_cast<uint32_t>(values[3]);
  if (values[1] < MinWidth(bits)) {
    return Fail(absl::StrCat("width ", parts[1], where, " is not in ", MinWidth(bits), " to ",
                             kMaxFrameExtent, " at ", bits, " bits"),
                error);
  }
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(values[0]);
  stream->width = static_cast<uint32_t>(values[1]);
  stream->height = static_cast<uint32_t>(values[2]);
  stream->bits_per_component = bits;
  stream->pad_row_to_64_bytes = values[4] == 1;
  return true;
}

}  // namespace

bool ParseStream(std::string_view option, std::string_view text, vireo::CaptureStreamConfig* stream,
                 std::string* error) {
  if (ParseStreamText(text, stream, error)) return true;
  *error = absl::StrCat(Absl(option), ": ", *error);
  return false;
}

std::string_view SettingOption(ConfigProblem::Setting setting) {
  switch (setting) {
    case ConfigProblem::Setting::kStreams:
      return "--stream";
    case ConfigProblem::Setting::kVirtualChannel:
      return "--virtual-channel";
    case ConfigProblem::Setting::kMipiRx:
      return "--mipi-rx";
    case ConfigProblem::Setting::kWhole:
      break;
  }
  return "";
}

std::string ProblemText(std::string_view name, const ConfigProblem& problem) {
  if (name.empty()) return problem.detail;
  return absl::StrCat(Absl(name), ": ", problem.detail);
}

bool CheckConfig(const vireo::CaptureConfig& config, std::string* error) {
  ConfigProblem problem;
  if (CheckConfig(config, &problem)) return true;
  *error = ProblemText(SettingOption(problem.setting), problem);
  return false;
}

bool CheckConfig(const vireo::CaptureConfig& config, ConfigProblem* problem) {
  using Setting = ConfigProblem::Setting;
  const size_t count = config.stream_configs.size();
  if (count == 0 || count > vireo::kMaxCaptureStreams) {
    return Fail(Setting::kStreams, absl::StrCat(count),
                absl::StrCat(count, " streams given, 1 to ", vireo::kMaxCaptureStreams, " allowed"),
                problem);
  }
  std::unordered_set<uint32_t> data_types;
  for (const vireo::CaptureStreamConfig& stream : config.stream_configs) {
    vireo::CaptureStreamConfig parsed;
    std::string detail;
    const std::string text = StreamText(stream);
    if (!ParseStreamText(text, &parsed, &detail)) {
      return Fail(Setting::kStreams, text, std::move(detail), problem);
    }
    const uint32_t data_type = static_cast<uint32_t>(stream.data_type);
    if (!data_types.insert(data_type).second) {
      return Fail(Setting::kStreams, text,
                  absl::StrCat("data type ", DataTypeText(data_type),
                               " is given twice (one stream per data type)"),
                  problem);
    }
  }
  if (config.virtual_channel > vireo::kMaxVirtualChannel) {
    return Fail(Setting::kVirtualChannel, absl::StrCat(config.virtual_channel),
                absl::StrCat(config.virtual_channel, " is not in 0 to ", vireo::kMaxVirtualChannel),
                problem);
  }
  if (config.mipi_rx < 0 || config.mipi_rx >= kMipiReceivers) {
    return Fail(Setting::kMipiRx, absl::StrCat(config.mipi_rx),
                absl::StrCat(config.mipi_rx, " is not in 0 to ", kMipiReceivers - 1), problem);
  }
  // The library's own check has the last word; everything it refuses was
  // refused above with a reason.
  const vireo::CaptureError refused = vireo::vireo_util::CheckCaptureConfig(config);
  if (refused != vireo::CaptureError::SUCCESS) {
    return Fail(Setting::kWhole, "",
                absl::StrCat("the configuration is refused: ", vireo::GetCaptureErrorDesc(refused)),
                problem);
  }
  return true;
}

vireo::CaptureStreamConfig DefaultStream() { return {vireo::CSI2_RAW10, 640, 480, 10, false}; }

std::string StreamHelp() {
  return absl::StrCat(
      "  --stream dt,width,height,bits[,pad]\n"
      "                        a MIPI CSI-2 stream: data type dt 0 to ",
      DataTypeText(kMaxDataType),
      "\n"
      "                        (decimal or 0x hex), width and height 1 to ",
      kMaxFrameExtent,
      "\n"
      "                        (a row at least ",
      vireo::kCaptureRowUnitBits, " bits), bits ", ComponentBitsText(),
      ", pad 0 or 1\n"
      "                        (1 rounds rows up to 64 bytes); default 0x2B,640,480,10\n");
}

std::string ReceiverHelp() {
  return absl::StrCat("  --mipi-rx N           MIPI receiver, 0 to ", kMipiReceivers - 1,
                      " (default 0)\n"
                      "  --virtual-channel N   virtual channel, 0 to ",
                      vireo::kMaxVirtualChannel, " (default 0)\n");
}

OptionSpec StreamOption(std::vector<vireo::CaptureStreamConfig>* streams) {
  return {"--stream", nullptr, true,
          [streams](std::string_view value, std::string* error) {
            if (streams->size() == vireo::kMaxCaptureStreams) {
              return Fail(absl::StrCat("--stream: ", Quoted(Absl(value)), " is one too many (1 to ",
                                       vireo::kMaxCaptureStreams, " streams)"),
                          error);
            }
            vireo::CaptureStreamConfig stream;
            if (!ParseStream("--stream", value, &stream, error)) return false;
            streams->push_back(stream);
            return true;
          },
          /*repeatable=*/true};
}

OptionSpec MipiRxOption(vireo::CaptureConfig* config) {
  return UnsignedOption("--mipi-rx", 0, kMipiReceivers - 1, &config->mipi_rx);
}

OptionSpec VirtualChannelOption(vireo::CaptureConfig* config) {
  return UnsignedOption("--virtual-channel", 0, vireo::kMaxVirtualChannel,
                        &config->virtual_channel);
}

OptionSpec TimeoutOption(uint32_t* timeout_ms) {
  return UnsignedOption("--timeout-ms", kMinTimeoutMs, kMaxTimeoutMs, timeout_ms);
}

}  // namespace talon_support
