#include "support/options.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <limits>
#include <unordered_set>
#include <utility>

#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"
#include "system/capture/capture_util.h"

namespace talon_support {
namespace {

absl::string_view Absl(std::string_view text) { return {text.data(), text.size()}; }

// `text` in quotes, escaped so that a message repeating it stays one line.
std::string Quoted(absl::string_view text) { return absl::StrCat("\"", absl::CEscape(text), "\""); }

// A whole unsigned number, decimal or hex after 0x; Abseil alone would also
// take a sign and blanks around the digits.
bool ParseDigits(absl::string_view text, uint64_t* value) {
  const bool hex = text.size() > 2 && absl::StartsWithIgnoreCase(text, "0x");
  if (hex) text.remove_prefix(2);
  const auto is_digit = [hex](char c) {
    return hex ? absl::ascii_isxdigit(static_cast<unsigned char>(c))
               : absl::ascii_isdigit(static_cast<unsigned char>(c));
  };
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit) &&
         (hex ? absl::SimpleHexAtoi(text, value) : absl::SimpleAtoi(text, value));
}

// What is wrong with `text` as a number in [min, max], "" when nothing is:
// "<text><where> is not in <min> to <max>", or, when it is no number at all,
// "\"<text>\"<where> is not a number in <min> to <max>".
std::string UnsignedProblem(absl::string_view text, absl::string_view where, uint64_t min,
                            uint64_t max, uint64_t* value) {
  uint64_t parsed = 0;
  if (!ParseDigits(text, &parsed)) {
    return absl::StrCat(Quoted(text), where, " is not a number in ", min, " to ", max);
  }
  if (parsed < min || parsed > max) {
    return absl::StrCat(text, where, " is not in ", min, " to ", max);
  }
  *value = parsed;
  return "";
}

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
uint32_t MinWidth(uint32_t bits) {
  return (vireo::kCaptureRowUnitBits + bits - 1) / bits;
}

std::string DataTypeText(uint32_t data_type) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%" PRIX32, data_type);
  return text;
}

// The stream as --stream would give it.
std::string StreamText(const vireo::CaptureStreamConfig& stream) {
  return absl::StrCat(DataTypeText(static_cast<uint32_t>(stream.data_type)), ",", stream.width,
                      ",", stream.height, ",", stream.bits_per_component,
                      stream.pad_row_to_64_bytes ? ",1" : "");
}

bool Fail(std::string text, std::string* error) {
  *error = std::move(text);
  return false;
}

}  // namespace

bool ParseUnsigned(std::string_view option, std::string_view text, uint64_t min, uint64_t max,
                   uint64_t* value, std::string* error) {
  const std::string problem = UnsignedProblem(Absl(text), "", min, max, value);
  return problem.empty() || Fail(absl::StrCat(Absl(option), ": ", problem), error);
}

bool ParseSigned(std::string_view option, std::string_view text, int64_t min, int64_t max,
                 int64_t* value, std::string* error) {
  absl::string_view digits = Absl(text);
  const bool negative = absl::ConsumePrefix(&digits, "-");
  uint64_t magnitude = 0;
  // The magnitude of INT64_MIN does not fit in int64_t; it is the one case
  // where it may be 2^63.
  const uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
  if (!ParseDigits(digits, &magnitude) || magnitude > limit) {
    return Fail(absl::StrCat(Absl(option), ": ", Quoted(Absl(text)), " is not a number in ", min,
                             " to ", max),
                error);
  }
  const int64_t parsed = negative ? static_cast<int64_t>(0 - magnitude)
                                  : static_cast<int64_t>(magnitude);
  if (parsed < min || parsed > max) {
    return Fail(absl::StrCat(Absl(option), ": ", Absl(text), " is not in ", min, " to ", max),
                error);
  }
  *value = parsed;
  return true;
}

bool ParseStream(std::string_view option, std::string_view text,
                 vireo::CaptureStreamConfig* stream, std::string* error) {
  const absl::string_view whole = Absl(text);
  const std::vector<absl::string_view> parts = absl::StrSplit(whole, ',');
  if (parts.size() != 4 && parts.size() != 5) {
    return Fail(absl::StrCat(Absl(option), ": ", Quoted(whole),
                             " is not dt,width,height,bits[,pad]"),
                error);
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
    std::string problem = UnsignedProblem(parts[i], where, kFields[i].min, kFields[i].max,
                                          &values[i]);
    if (i == 3 && (!problem.empty() || !IsComponentBits(values[i]))) {
      problem = absl::StrCat(parts[i], where, " is not ", ComponentBitsText());
    }
    if (!problem.empty()) {
      return Fail(absl::StrCat(Absl(option), ": ", kFields[i].name, " ", problem), error);
    }
  }
  const uint32_t bits = static_cast<uint32_t>(values[3]);
  if (values[1] < MinWidth(bits)) {
    return Fail(absl::StrCat(Absl(option), ": width ", parts[1], where, " is not in ",
                             MinWidth(bits), " to ", kMaxFrameExtent, " at ", bits, " bits"),
                error);
  }
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(values[0]);
  stream->width = static_cast<uint32_t>(values[1]);
  stream->height = static_cast<uint32_t>(values[2]);
  stream->bits_per_component = bits;
  stream->pad_row_to_64_bytes = values[4] == 1;
  return true;
}

bool CheckConfig(const vireo::CaptureConfig& config, std::string* error) {
  const size_t count = config.stream_configs.size();
  if (count == 0 || count > vireo::kMaxCaptureStreams) {
    return Fail(absl::StrCat("--stream: ", count, " streams given, 1 to ",
                             vireo::kMaxCaptureStreams, " allowed"),
                error);
  }
  std::unordered_set<uint32_t> data_types;
  for (const vireo::CaptureStreamConfig& stream : config.stream_configs) {
    vireo::CaptureStreamConfig parsed;
    if (!ParseStream("--stream", StreamText(stream), &parsed, error)) return false;
    const uint32_t data_type = static_cast<uint32_t>(stream.data_type);
    if (!data_types.insert(data_type).second) {
      return Fail(absl::StrCat("--stream: data type ", DataTypeText(data_type),
                               " is given twice (one stream per data type)"),
                  error);
    }
  }
  if (config.virtual_channel > vireo::kMaxVirtualChannel) {
    return Fail(absl::StrCat("--virtual-channel: ", config.virtual_channel, " is not in 0 to ",
                             vireo::kMaxVirtualChannel),
                error);
  }
  if (config.mipi_rx < 0 || config.mipi_rx >= kMipiReceivers) {
    return Fail(absl::StrCat("--mipi-rx: ", config.mipi_rx, " is not in 0 to ",
                             kMipiReceivers - 1),
                error);
  }
  // The library's own check has the last word; everything it refuses was
  // refused above with a reason.
  const vireo::CaptureError refused = vireo::vireo_util::CheckCaptureConfig(config);
  if (refused != vireo::CaptureError::SUCCESS) {
    return Fail(absl::StrCat("the configuration is refused: ",
                             vireo::GetCaptureErrorDesc(refused)),
                error);
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

bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::string* error) {
  return ParseCommandLine(argc, argv, specs, nullptr, error);
}

bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::vector<std::string>* positional, std::string* error) {
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const absl::string_view arg = argv[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (positional == nullptr) {
        return Fail(absl::StrCat("unexpected argument ", Quoted(arg)), error);
      }
      positional->emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    absl::string_view name = arg;
    absl::string_view value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); absl::StartsWith(arg, "--") && eq != arg.npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    const auto spec = std::find_if(specs.begin(), specs.end(), [name](const OptionSpec& s) {
      return name == s.name || (s.alias != nullptr && name == s.alias);
    });
    if (spec == specs.end()) {
      return Fail(absl::StrCat("unknown option ", absl::CEscape(name), " (see --help)"), error);
    }
    if (!spec->takes_value && has_value) {
      return Fail(absl::StrCat(spec->name, " takes no value"), error);
    }
    if (spec->takes_value && !has_value) {
      if (i + 1 >= argc) return Fail(absl::StrCat(spec->name, " needs a value"), error);
      value = argv[++i];
    }
    if (!spec->apply(std::string_view(value.data(), value.size()), error)) return false;
  }
  return true;
}

OptionSpec FlagOption(const char* name, const char* alias, bool* field) {
  return {name, alias, false, [field](std::string_view, std::string*) {
            *field = true;
            return true;
          }};
}

OptionSpec StringOption(const char* name, std::string* field) {
  return {name, nullptr, true, [name, field](std::string_view value, std::string* error) {
            if (value.empty()) return Fail(absl::StrCat(name, " needs a value"), error);
            *field = std::string(value);
            return true;
          }};
}

OptionSpec StreamOption(std::vector<vireo::CaptureStreamConfig>* streams) {
  return {"--stream", nullptr, true, [streams](std::string_view value, std::string* error) {
            if (streams->size() == vireo::kMaxCaptureStreams) {
              return Fail(absl::StrCat("--stream: ", Quoted(Absl(value)), " is one too many (1 to ",
                                       vireo::kMaxCaptureStreams, " streams)"),
                          error);
            }
            vireo::CaptureStreamConfig stream;
            if (!ParseStream("--stream", value, &stream, error)) return false;
            streams->push_back(stream);
            return true;
          }};
}

OptionSpec MipiRxOption(vireo::CaptureConfig* config) {
  return UnsignedOption("--mipi-rx", 0, kMipiReceivers - 1, &config->mipi_rx);
}

OptionSpec VirtualChannelOption(vireo::CaptureConfig* config) {
  return UnsignedOption("--virtual-channel", 0, vireo::kMaxVirtualChannel,
                        &config->virtual_channel);
}

}  // namespace talon_support
