#include "tools/talon-cam/talon_cam_options.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace talon_cam {
namespace {

constexpr size_t kMaxStreams = 3;

// Whole-string unsigned number: decimal, or hex with a 0x prefix when
// `allow_hex` is set. No sign, no blanks, no trailing text.
bool ParseUnsigned(const std::string& text, bool allow_hex, uint64_t max, uint64_t* value) {
  int base = 10;
  std::string digits = text;
  if (allow_hex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty()) return false;
  for (char c : digits) {
    const bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                               : (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  errno = 0;
  const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE || parsed > max) return false;
  *value = parsed;
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
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
         "  --frames N            frames to capture (default 60)\n"
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
  const std::vector<std::string> parts = Split(text, ',');
  if (parts.size() != 4 && parts.size() != 5) {
    *error = "--stream wants dt,width,height,bits[,pad], got \"" + text + "\"";
    return false;
  }
  uint64_t dt = 0, width = 0, height = 0, bits = 0, pad = 0;
  const uint64_t max32 = std::numeric_limits<uint32_t>::max();
  if (!ParseUnsigned(parts[0], true, std::numeric_limits<int32_t>::max(), &dt)) {
    *error = "bad data type \"" + parts[0] + "\" in --stream " + text;
    return false;
  }
  if (!ParseUnsigned(parts[1], false, max32, &width) || width == 0) {
    *error = "bad width \"" + parts[1] + "\" in --stream " + text;
    return false;
  }
  if (!ParseUnsigned(parts[2], false, max32, &height) || height == 0) {
    *error = "bad height \"" + parts[2] + "\" in --stream " + text;
    return false;
  }
  if (!ParseUnsigned(parts[3], false, max32, &bits) || bits == 0) {
    *error = "bad bits \"" + parts[3] + "\" in --stream " + text;
    return false;
  }
  if (parts.size() == 5 && (!ParseUnsigned(parts[4], false, 1, &pad))) {
    *error = "bad pad \"" + parts[4] + "\" in --stream " + text + " (0 or 1)";
    return false;
  }
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(dt);
  stream->width = static_cast<uint32_t>(width);
  stream->height = static_cast<uint32_t>(height);
  stream->bits_per_component = static_cast<uint32_t>(bits);
  stream->pad_row_to_64_bytes = pad == 1;
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options parsed;
  parsed.config.timeout_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    if (arg == "--quiet" || arg == "-q") {
      parsed.quiet = true;
      continue;
    }
    const bool takes_value = arg == "--stream" || arg == "--mipi-rx" ||
                             arg == "--virtual-channel" || arg == "--timeout-ms" ||
                             arg == "--buffers" || arg == "--frames" || arg == "--output" ||
                             arg == "--png" || arg == "--dng" || arg == "--cfa" ||
                             arg == "--metadata";
    if (!takes_value) {
      *error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    uint64_t number = 0;
    if (arg == "--stream") {
      if (parsed.config.stream_configs.size() == kMaxStreams) {
        *error = "at most three --stream options";
        return false;
      }
      vireo::CaptureStreamConfig stream;
      if (!ParseStream(value, &stream, error)) return false;
      parsed.config.stream_configs.push_back(stream);
    } else if (arg == "--output") {
      if (value.empty()) {
        *error = "--output needs a file name pattern";
        return false;
      }
      parsed.output_pattern = value;
    } else if (arg == "--png") {
      if (value.empty()) {
        *error = "--png needs a file name";
        return false;
      }
      parsed.png_path = value;
    } else if (arg == "--dng" || arg == "--metadata") {
      if (value.empty()) {
        *error = arg + " needs a file name";
        return false;
      }
      (arg == "--dng" ? parsed.dng_pattern : parsed.metadata_path) = value;
    } else if (arg == "--cfa") {
      if (!ParseCfa(value, &parsed.cfa)) {
        *error = "bad --cfa \"" + value + "\" (RGGB, GRBG, GBRG or BGGR)";
        return false;
      }
    } else if (arg == "--mipi-rx") {
      if (!ParseUnsigned(value, false, std::numeric_limits<int32_t>::max(), &number)) {
        *error = "bad --mipi-rx \"" + value + "\"";
        return false;
      }
      parsed.config.mipi_rx = static_cast<int32_t>(number);
    } else if (arg == "--virtual-channel") {
      if (!ParseUnsigned(value, false, std::numeric_limits<uint32_t>::max(), &number)) {
        *error = "bad --virtual-channel \"" + value + "\"";
        return false;
      }
      parsed.config.virtual_channel = static_cast<uint32_t>(number);
    } else if (arg == "--timeout-ms") {
      if (!ParseUnsigned(value, false, std::numeric_limits<uint32_t>::max(), &number)) {
        *error = "bad --timeout-ms \"" + value + "\"";
        return false;
      }
      parsed.config.timeout_ms = static_cast<uint32_t>(number);
    } else if (arg == "--buffers") {
      if (!ParseUnsigned(value, false, 1024, &number) || number == 0) {
        *error = "bad --buffers \"" + value + "\" (1 to 1024)";
        return false;
      }
      parsed.buffers = static_cast<uint32_t>(number);
    } else if (arg == "--frames") {
      if (!ParseUnsigned(value, false, std::numeric_limits<uint32_t>::max(), &number) ||
          number == 0) {
        *error = "bad --frames \"" + value + "\" (at least 1)";
        return false;
      }
      parsed.frames = number;
    }
  }
  if (parsed.config.stream_configs.empty()) {
    parsed.config.stream_configs.push_back({vireo::CSI2_RAW10, 640, 480, 10, false});
  }
  if (!parsed.dng_pattern.empty()) {
    for (const vireo::CaptureStreamConfig& stream : parsed.config.stream_configs) {
      const std::string problem = DngStreamProblem(stream);
      if (!problem.empty()) {
        *error = "--dng: " + problem;
        return false;
      }
    }
    if (parsed.config.stream_configs.size() > 1 &&
        parsed.dng_pattern.find('#') == std::string::npos) {
      *error = "--dng needs '#' in its pattern for several streams";
      return false;
    }
  }
  *options = parsed;
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
