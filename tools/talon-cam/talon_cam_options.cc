#include "tools/talon-cam/talon_cam_options.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"

namespace talon_cam {
namespace {

constexpr size_t kMaxStreams = 3;
constexpr uint64_t kMaxInt32 = std::numeric_limits<int32_t>::max();
constexpr uint64_t kMaxUint32 = std::numeric_limits<uint32_t>::max();

// A text from the command line in quotes, escaped so that the reason that
// repeats it stays one line.
std::string Quoted(absl::string_view text) {
  return absl::StrCat("\"", absl::CEscape(text), "\"");
}

// Whole-string unsigned number no larger than `max`: decimal, or hex with a
// 0x prefix when `allow_hex` is set. Abseil also takes a sign and blanks
// around the digits; the options do not.
bool ParseUnsigned(absl::string_view text, bool allow_hex, uint64_t max, uint64_t* value) {
  const bool hex = allow_hex && text.size() > 2 && absl::StartsWithIgnoreCase(text, "0x");
  if (hex) text.remove_prefix(2);
  const auto is_digit = [hex](char c) {
    return hex ? absl::ascii_isxdigit(static_cast<unsigned char>(c))
               : absl::ascii_isdigit(static_cast<unsigned char>(c));
  };
  uint64_t parsed = 0;
  if (text.empty() || !std::all_of(text.begin(), text.end(), is_digit) ||
      !(hex ? absl::SimpleHexAtoi(text, &parsed) : absl::SimpleAtoi(text, &parsed)) ||
      parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

// What one flag does with its value ("" for a switch); false with a
// one-line reason.
using Handler = bool (*)(const char* flag, const std::string& value, Options* options,
                         std::string* error);

struct Flag {
  const char* name;
  const char* short_name;  // nullptr: none
  bool takes_value;        // else a switch, which ignores a value given as --name=value
  Handler handle;
};

// A decimal number in [min, max] into `field`; `range` is said after a
// refused value.
template <typename T>
bool SetNumber(const char* flag, const std::string& value, uint64_t min, uint64_t max,
               const char* range, T* field, std::string* error) {
  uint64_t number = 0;
  if (!ParseUnsigned(value, false, max, &number) || number < min) {
    *error = absl::StrCat("bad ", flag, " ", Quoted(value), range);
    return false;
  }
  *field = static_cast<T>(number);
  return true;
}

// A file name or pattern (`what`), which may not be empty.
bool SetPath(const char* flag, const std::string& value, const char* what, std::string* field,
             std::string* error) {
  if (value.empty()) {
    *error = absl::StrCat(flag, " needs ", what);
    return false;
  }
  *field = value;
  return true;
}

bool AddStream(const char*, const std::string& value, Options* options, std::string* error) {
  if (options->config.stream_configs.size() == kMaxStreams) {
    *error = "at most three --stream options";
    return false;
  }
  vireo::CaptureStreamConfig stream;
  if (!ParseStream(value, &stream, error)) return false;
  options->config.stream_configs.push_back(stream);
  return true;
}

bool SetCfa(const char*, const std::string& value, Options* options, std::string* error) {
  if (ParseCfa(value, &options->cfa)) return true;
  *error = "bad --cfa " + Quoted(value) + " (RGGB, GRBG, GBRG or BGGR)";
  return false;
}

// f: the flag, v: its value, o: the options, e: the reason of a refusal.
const Flag kFlags[] = {
    {"--help", "-h", false,
     [](const char*, const std::string&, Options* o, std::string*) {
       o->help = true;
       return true;
     }},
    {"--quiet", "-q", false,
     [](const char*, const std::string&, Options* o, std::string*) {
       o->quiet = true;
       return true;
     }},
    {"--stream", nullptr, true, AddStream},
    {"--mipi-rx", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetNumber(f, v, 0, kMaxInt32, "", &o->config.mipi_rx, e);
     }},
    {"--virtual-channel", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetNumber(f, v, 0, kMaxUint32, "", &o->config.virtual_channel, e);
     }},
    {"--timeout-ms", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetNumber(f, v, 0, kMaxUint32, "", &o->config.timeout_ms, e);
     }},
    {"--buffers", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetNumber(f, v, 1, 1024, " (1 to 1024)", &o->buffers, e);
     }},
    {"--frames", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetNumber(f, v, 0, kMaxUint32, "", &o->frames, e);
     }},
    {"--output", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetPath(f, v, "a file name pattern", &o->output_pattern, e);
     }},
    {"--png", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetPath(f, v, "a file name", &o->png_path, e);
     }},
    {"--dng", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetPath(f, v, "a file name", &o->dng_pattern, e);
     }},
    {"--cfa", nullptr, true, SetCfa},
    {"--metadata", nullptr, true,
     [](const char* f, const std::string& v, Options* o, std::string* e) {
       return SetPath(f, v, "a file name", &o->metadata_path, e);
     }},
};

const Flag* FindFlag(const std::string& name) {
  for (const Flag& flag : kFlags) {
    if (name == flag.name || (flag.short_name != nullptr && name == flag.short_name)) {
      return &flag;
    }
  }
  return nullptr;
}

// The default stream when none was given, and the checks that need every
// flag: the DNG files' streams.
bool Complete(Options* options, std::string* error) {
  std::vector<vireo::CaptureStreamConfig>& streams = options->config.stream_configs;
  if (streams.empty()) streams.push_back({vireo::CSI2_RAW10, 640, 480, 10, false});
  if (options->dng_pattern.empty()) return true;
  for (const vireo::CaptureStreamConfig& stream : streams) {
    const std::string problem = DngStreamProblem(stream);
    if (!problem.empty()) {
      *error = "--dng: " + problem;
      return false;
    }
  }
  if (streams.size() > 1 && options->dng_pattern.find('#') == std::string::npos) {
    *error = "--dng needs '#' in its pattern for several streams";
    return false;
  }
  return true;
}

}  // namespace

std::string Usage() {
  return "Usage: talon-cam [options]\n"
         "Captures frames on the IPU and prints one line per frame and a summary.\n"
         "\n"
         "  --stream dt,width,height,bits[,pad]\n"
         "                        a MIPI CSI-2 stream (up to three); dt decimal or 0x hex,\n"
         "                        bits 8, 10 or 16, pad 1 rounds rows up to 64 bytes\n"
         "                        (default: one stream 0x2B,640,480,10)\n"
         "  --mipi-rx N           MIPI receiver (default 0)\n"
         "  --virtual-channel N   virtual channel 0 to 3 (default 0)\n"
         "  --timeout-ms N        wait for a frame, and for the next buffer (default 1000)\n"
         "  --buffers N           frame buffers in flight (default 3)\n"
         "  --frames N            frames to capture, 0 until Ctrl-C or SIGTERM (default 60)\n"
         "  --output PATTERN      write each frame's raw CSI-2 payload; '#' becomes\n"
         "                        <data type>-<sequence> (frame-#.raw -> frame-43-000012.raw);\n"
         "                        without '#' every frame is appended to one file\n"
         "  --png PATH            RGB preview of the last frame of each stream (several\n"
         "                        streams: the data type is added to the file name)\n"
         "  --dng PATTERN         write each frame of each raw Bayer stream (8, 10 or 16\n"
         "                        bits) as a DNG file; '#' as in --output (without '#'\n"
         "                        the file holds the last frame)\n"
         "  --cfa RGGB|GRBG|GBRG|BGGR\n"
         "                        colour filter layout for --dng (default RGGB)\n"
         "  --metadata FILE       one JSON object per frame (JSON Lines): counter,\n"
         "                        sequence, timestamps, error, per stream stride, size\n"
         "                        and files written\n"
         "  --quiet               no per-frame lines; a progress line on long runs\n"
         "  --help                this text\n"
         "\n"
         "Ctrl-C stops the capture and prints the summary. The exit status is 1 when a\n"
         "frame failed or the configuration was refused, 2 for bad options.\n";
}

bool ParseStream(const std::string& text, vireo::CaptureStreamConfig* stream,
                 std::string* error) {
  const std::vector<absl::string_view> parts = absl::StrSplit(text, ',');
  if (parts.size() != 4 && parts.size() != 5) {
    *error = "--stream wants dt,width,height,bits[,pad], got " + Quoted(text);
    return false;
  }
  const struct {
    const char* name;
    bool allow_hex;
    uint64_t min;
    uint64_t max;
    const char* range;  // said after a refused value
  } kFields[] = {{"data type", true, 0, kMaxInt32, ""},
                 {"width", false, 1, kMaxUint32, ""},
                 {"height", false, 1, kMaxUint32, ""},
                 {"bits", false, 1, kMaxUint32, ""},
                 {"pad", false, 0, 1, " (0 or 1)"}};
  uint64_t values[5] = {};
  for (size_t i = 0; i < parts.size(); ++i) {
    const auto& field = kFields[i];
    if (!ParseUnsigned(parts[i], field.allow_hex, field.max, &values[i]) ||
        values[i] < field.min) {
      *error = absl::StrCat("bad ", field.name, " ", Quoted(parts[i]), " in --stream ",
                            absl::CEscape(text), field.range);
      return false;
    }
  }
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(values[0]);
  stream->width = static_cast<uint32_t>(values[1]);
  stream->height = static_cast<uint32_t>(values[2]);
  stream->bits_per_component = static_cast<uint32_t>(values[3]);
  stream->pad_row_to_64_bytes = values[4] == 1;
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options parsed;
  parsed.config.timeout_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (absl::StartsWith(name, "--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    const Flag* flag = FindFlag(name);
    if (flag == nullptr) {
      *error = "unknown option " + Quoted(name);
      return false;
    }
    if (flag->takes_value && !has_value) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (!flag->handle(flag->name, value, &parsed, error)) return false;
  }
  if (!Complete(&parsed, error)) return false;
  *options = std::move(parsed);
  return true;
}

std::string ExpandOutputPattern(const std::string& pattern, int data_type, uint64_t sequence) {
  char stamp[48];
  std::snprintf(stamp, sizeof(stamp), "%d-%06" PRIu64, data_type, sequence);
  std::string out;
  for (char c : pattern) {
    if (c == '#') {
      out += stamp;
    } else {
      out += c;
    }
  }
  return out;
}

std::string PreviewPath(const std::string& path, int data_type, bool several_streams) {
  if (!several_streams) return path;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const std::string tag = "-" + std::to_string(data_type);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1)) {
    return path + tag;
  }
  return path.substr(0, dot) + tag + path.substr(dot);
}

}  // namespace talon_cam
