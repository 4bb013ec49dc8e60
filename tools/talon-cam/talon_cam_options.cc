#include "tools/talon-cam/talon_cam_options.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/string_view.h"
#include "support/isp_text.h"
#include "support/options.h"
#include "system/capture/capture_util.h"
#include "tools/talon-cam/developer.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/jpeg_writer.h"

namespace talon_cam {
namespace {

using talon_support::OptionSpec;

// A text from the command line in quotes, escaped so that the reason that
// repeats it stays one line.
std::string Quoted(absl::string_view text) { return absl::StrCat("\"", absl::CEscape(text), "\""); }

// A file name or pattern, which may not be empty; with `pattern`, '#' may
// stand only in its last component (the tool makes no directories).
OptionSpec PathOption(const char* name, bool pattern, std::string* field) {
  return {name, nullptr, true, [name, pattern, field](std::string_view value, std::string* e) {
            const std::string text(value);
            if (text.empty()) {
              *e = absl::StrCat(name, " needs a file name");
              return false;
            }
            const size_t slash = text.rfind('/');
            if (pattern && slash != std::string::npos && text.find('#') < slash) {
              *e = absl::StrCat(name, ": ", Quoted(text),
                                " has '#' in a directory; it may stand in the file name only");
              return false;
            }
            *field = text;
            return true;
          }};
}

constexpr uint64_t kMegabyte = 1000000;

uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : 0;
}

// The write memory: --write-memory's `megabytes` (0: not given) or the
// default; it must hold a frame for each data output.
bool ChooseWriteMemory(Options* options, uint64_t megabytes, std::string* error) {
  const int data_outputs = DataOutputs(*options);
  const uint64_t frame = FrameBytes(options->config);
  if (megabytes == 0) {
    options->write_memory = DefaultWriteMemory(frame, PhysicalMemory(), data_outputs);
    return true;
  }
  options->write_memory = megabytes * kMegabyte;
  const uint64_t least = frame * static_cast<uint64_t>(std::max(data_outputs, 1));
  if (options->write_memory < least) {
    char frame_mb[32];
    std::snprintf(frame_mb, sizeof(frame_mb), "%.1f", static_cast<double>(frame) / kMegabyte);
    *error = absl::StrCat("--write-memory: ", megabytes, " MB holds no frame of ", frame_mb, " MB",
                          data_outputs > 1 ? " for each of --output, --dng and --jpeg given" : "",
                          "; give at least ", (least + kMegabyte - 1) / kMegabyte);
    return false;
  }
  return true;
}

// Which of the options that only some outputs use were given.
struct Given {
  bool cfa = false;
  const char* isp = nullptr;  // the first ISP option besides --cfa
  bool jpeg_quality = false;
};

// The checks of the development options (--png, --jpeg and how they
// develop) against each other and the streams.
bool CheckDevelopment(const Options& options, const Given& given, std::string* error) {
  const bool png = !options.png_path.empty(), jpeg = !options.jpeg_pattern.empty();
  const bool serve = !options.serve.empty();
  if (given.jpeg_quality && !jpeg) {
    *error = "--jpeg-quality: only --jpeg files have a quality; give --jpeg too";
    return false;
  }
  if (!png && !jpeg && !serve) {
    if (given.isp != nullptr) {
      *error = absl::StrCat(given.isp,
                            ": only --png, --jpeg and --serve develop frames; give one of them");
      return false;
    }
    if (given.cfa && options.dng_pattern.empty()) {
      *error =
          "--cfa: only --dng, --png, --jpeg and --serve use the colour filter layout; give one "
          "of them";
      return false;
    }
    return true;
  }
  for (const vireo::CaptureStreamConfig& stream : options.config.stream_configs) {
    *error = DevelopProblem(stream, options.isp, jpeg ? "--jpeg" : png ? "--png" : "--serve");
    if (!error->empty()) return false;
    uint32_t width = 0, height = 0;
    talon_isp::OutputSize(stream.width, stream.height, options.isp.half_size, &width, &height);
    if (jpeg && (width > JpegWriter::kMaxSide || height > JpegWriter::kMaxSide)) {
      char data_type[16];
      std::snprintf(data_type, sizeof(data_type), "0x%X", static_cast<unsigned>(stream.data_type));
      *error = absl::StrCat("--jpeg: the pictures of stream ", data_type, " are ", width, "x",
                            height, "; a JPEG holds at most ", JpegWriter::kMaxSide,
                            " pixels a side (--half-size halves them)");
      return false;
    }
  }
  return true;
}

// The checks that need every option.
bool Complete(Options* options, const Given& given, uint64_t write_megabytes, std::string* error) {
  std::vector<vireo::CaptureStreamConfig>& streams = options->config.stream_configs;
  if (streams.empty()) streams.push_back(talon_support::DefaultStream());
  if (!talon_support::CheckConfig(options->config, error)) return false;
  if (!ChooseWriteMemory(options, write_megabytes, error)) return false;
  if (!CheckDevelopment(*options, given, error)) return false;
  if (!options->serve_token.empty() && options->serve.empty()) {
    *error = "--serve-token: only --serve takes a token; give --serve too";
    return false;
  }
  if (options->jpeg_pattern.find('#') == std::string::npos && !options->jpeg_pattern.empty() &&
      (streams.size() > 1 || options->frames != 1)) {
    *error = absl::StrCat("--jpeg: ", Quoted(options->jpeg_pattern),
                          " has no '#', which one file per frame and stream needs (without it: "
                          "one stream and --frames 1)");
    return false;
  }
  if (options->dng_pattern.empty()) return true;
  for (const vireo::CaptureStreamConfig& stream : streams) {
    const std::string problem = RawBayerProblem(stream, "DNG");
    if (!problem.empty()) {
      *error = "--dng: " + problem;
      return false;
    }
  }
  // A DNG file holds one frame of one stream.
  if (options->dng_pattern.find('#') == std::string::npos &&
      (streams.size() > 1 || options->frames != 1)) {
    *error = absl::StrCat("--dng: ", Quoted(options->dng_pattern),
                          " has no '#', which one file per frame and stream needs (without it: "
                          "one stream and --frames 1)");
    return false;
  }
  return true;
}

// An ISP option whose text `parse` reads into `parsed`; notes it in `given`.
template <typename Parse>
OptionSpec IspOption(const char* name, const char** given, Parse parse) {
  return {name, nullptr, true, [name, given, parse](std::string_view value, std::string* e) {
            if (*given == nullptr) *given = name;
            const std::string problem = parse(value);
            if (problem.empty()) return true;
            *e = absl::StrCat(name, ": ", problem);
            return false;
          }};
}

}  // namespace

int DataOutputs(const Options& options) {
  return int{!options.output_pattern.empty()} + int{!options.dng_pattern.empty()} +
         int{!options.jpeg_pattern.empty()};
}

uint64_t FrameBytes(const vireo::CaptureConfig& config) {
  uint64_t bytes = 0;
  for (const vireo::CaptureStreamConfig& stream : config.stream_configs) {
    bytes += vireo::vireo_util::GetRowStrideBytes(stream) * stream.height;
  }
  return bytes;
}

uint64_t DefaultWriteMemory(uint64_t frame_bytes, uint64_t physical_memory, int data_outputs) {
  const uint64_t least = frame_bytes * static_cast<uint64_t>(std::max(data_outputs, 1));
  return std::max(std::min(30 * frame_bytes, physical_memory / 4), least);
}

std::string Usage() {
  return absl::StrCat(
      "Usage: talon-cam [options]\n"
      "Captures frames on the IPU and prints one line per frame and a summary.\n"
      "\n",
      talon_support::StreamHelp(), "                        (--stream up to three times)\n",
      talon_support::ReceiverHelp(),
      "  --timeout-ms N        wait for a frame, and for the next buffer, ",
      talon_support::kMinTimeoutMs, " to ", talon_support::kMaxTimeoutMs,
      "\n"
      "                        (default 1000)\n"
      "  --buffers N           frame buffers in flight, 1 to 1024 (default 3)\n"
      "  --frames N            frames to capture, 0 to 18446744073709551615; 0 captures\n"
      "                        until Ctrl-C or SIGTERM (default 60)\n"
      "  --output PATTERN      write each frame's raw CSI-2 payload; '#' becomes\n"
      "                        <data type>-<frame>, the frame counter of the first column\n"
      "                        (frame-#.raw -> frame-43-000012.raw); without '#' every\n"
      "                        frame of every stream is appended to one file\n"
      "  --dng PATTERN         write each frame of each raw Bayer stream (0x28 to 0x2E,\n"
      "                        8, 10 or 16 bits) as a DNG file; '#' as in --output, and\n"
      "                        needed unless one stream and --frames 1\n"
      "  --png PATH            RGB preview of the last frame of each stream (several\n"
      "                        streams: the data type is added to the file name)\n"
      "  --jpeg PATTERN        develop each frame of each raw Bayer stream into a JPEG\n"
      "                        file; '#' as in --output, and needed unless one stream\n"
      "                        and --frames 1\n"
      "  --jpeg-quality N      JPEG quality, 1 to 100 (default 90)\n"
      "  --png, --jpeg and --serve develop raw Bayer streams (0x28 to 0x2E, 8, 10 or\n"
      "  16 bits)\n"
      "  with the software ISP, as these say:\n"
      "  --cfa RGGB|GRBG|GBRG|BGGR\n"
      "                        colour of the mosaic's top-left 2x2 cell, row by row;\n"
      "                        also written into --dng files (default RGGB)\n"
      "  --black-level N       sample value of black, below the stream's white level\n"
      "                        (2^bits - 1); default 0\n"
      "  --white-balance auto|R,G,B\n"
      "                        gains after the black level, each positive; auto (the\n"
      "                        default) balances each stream from its frames (grey world)\n"
      "  --color-matrix m00,m01,...,m22\n"
      "                        nine numbers, row major: white-balanced camera RGB to\n"
      "                        linear sRGB (default the identity)\n"
      "  --gamma srgb|linear   the transfer curve of the 8-bit values (default srgb)\n"
      "  --half-size           one pixel per 2x2 cell: half the width and height\n"
      "  --metadata FILE       one JSON object per frame (JSON Lines): counter, sequence,\n"
      "                        sof_ns, eof_ns, dequeue_ns, error, and per stream stride,\n"
      "                        size and the files that hold the frame\n"
      "  --trace FILE          the capture's timeline as Chrome trace-event JSON (Perfetto,\n"
      "                        chrome://tracing): a track per stream with each frame from\n"
      "                        start to end of frame, the client's dequeues and enqueues,\n"
      "                        errors and gaps in the sensor's sequence\n"
      "  --write-memory MB     frames (in 10^6 bytes) that --output, --dng and --jpeg may\n"
      "                        hold while they write, shared between them; a frame that\n"
      "                        finds an output's share full is not written by it\n"
      "                        (counted). Default: one second at 30 fps or a quarter\n"
      "                        of the memory, whichever is smaller\n"
      "  --graph-cache DIR     cache compiled graphs in DIR (made if missing); default\n"
      "                        $TEST_UNDECLARED_OUTPUTS_DIR when set, else\n"
      "                        /data/vireo/compiled_graph when writable, else\n"
      "                        $XDG_CACHE_HOME/talon or ~/.cache/talon\n"
      "  --serve [ADDR:]PORT   the live view: a page at http://ADDR:PORT/ with every\n"
      "                        stream developed as --jpeg does (half size above 1 MP),\n"
      "                        the rate and the losses, its MJPEG streams, snapshots\n"
      "                        and stats.json; ADDR 127.0.0.1 unless given; PORT 0 picks\n"
      "                        a free port (said on stderr)\n"
      "  --serve-token TOKEN   8 to 256 of A-Z a-z 0-9 - . _ ~; every request must carry\n"
      "                        it (?token= or Authorization: Bearer); needed to serve an\n"
      "                        address that is not loopback\n"
      "  --quiet               no per-frame lines; a progress line on long runs\n"
      "  --help                this text\n"
      "\n"
      "Files are replaced atomically; every target is checked before the capture.\n"
      "Outputs are written on threads of their own; the capture never waits for them.\n"
      "A write that fails during the capture stops that output only (said once).\n"
      "Ctrl-C (or SIGTERM) stops the capture, finishes the files and prints the\n"
      "summary. The exit status is 1 when a frame failed, a file could not be\n"
      "written, an output did not write every frame or the configuration was\n"
      "refused, 2 for bad options or targets.\n");
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options parsed;
  parsed.config.timeout_ms = 1000;
  Given given;
  uint64_t write_megabytes = 0;
  talon_isp::Settings& isp = parsed.isp;
  using talon_support::UnsignedOption;
  const std::vector<OptionSpec> specs = {
      talon_support::FlagOption("--help", "-h", &parsed.help),
      talon_support::FlagOption("--quiet", "-q", &parsed.quiet),
      talon_support::StreamOption(&parsed.config.stream_configs),
      talon_support::MipiRxOption(&parsed.config),
      talon_support::VirtualChannelOption(&parsed.config),
      talon_support::TimeoutOption(&parsed.config.timeout_ms),
      UnsignedOption("--buffers", 1, 1024, &parsed.buffers),
      UnsignedOption("--frames", 0, std::numeric_limits<uint64_t>::max(), &parsed.frames),
      PathOption("--output", true, &parsed.output_pattern),
      PathOption("--dng", true, &parsed.dng_pattern),
      PathOption("--png", false, &parsed.png_path),
      PathOption("--metadata", false, &parsed.metadata_path),
      PathOption("--trace", false, &parsed.trace_path),
      PathOption("--graph-cache", false, &parsed.graph_cache_dir),
      UnsignedOption("--write-memory", 1, 1000000000, &write_megabytes),
      PathOption("--jpeg", true, &parsed.jpeg_pattern),
      {"--jpeg-quality", nullptr, true,
       [&parsed, &given](std::string_view value, std::string* e) {
         given.jpeg_quality = true;
         return UnsignedOption("--jpeg-quality", 1, 100, &parsed.jpeg_quality).apply(value, e);
       }},
      {"--cfa", nullptr, true,
       [&isp, &given](std::string_view value, std::string* e) {
         given.cfa = true;
         const std::string problem = talon_support::ParseCfa(value, &isp.cfa);
         if (problem.empty()) return true;
         *e = "--cfa: " + problem;
         return false;
       }},
      IspOption("--black-level", &given.isp,
                [&isp](std::string_view value) {
                  // Below the white level of the streams (checked with them).
                  uint64_t level = 0;
                  std::string problem = talon_support::UnsignedProblem(value, "", 0, 65534, &level);
                  if (problem.empty()) isp.black_level = static_cast<uint32_t>(level);
                  return problem;
                }),
      IspOption(
          "--white-balance", &given.isp,
          [&isp](std::string_view value) { return talon_support::ParseWhiteBalance(value, &isp); }),
      IspOption("--color-matrix", &given.isp,
                [&isp](std::string_view value) {
                  return talon_support::ParseColorMatrix(value, &isp.ccm);
                }),
      IspOption("--gamma", &given.isp,
                [&isp](std::string_view value) {
                  return talon_support::ParseTransfer(value, &isp.transfer);
                }),
      {"--serve", nullptr, true,
       [&parsed](std::string_view value, std::string* e) {
         parsed.serve = std::string(value);
         if (!parsed.serve.empty()) return true;
         *e = "--serve needs [ADDR:]PORT, e.g. 8080 or 0.0.0.0:8080";
         return false;
       }},
      {"--serve-token", nullptr, true,
       [&parsed](std::string_view value, std::string*) {
         parsed.serve_token = std::string(value);
         return true;
       }},
      {"--half-size", nullptr, false,
       [&isp, &given](std::string_view, std::string*) {
         if (given.isp == nullptr) given.isp = "--half-size";
         isp.half_size = true;
         return true;
       }},
  };
  if (!talon_support::ParseCommandLine(argc, argv, specs, error)) return false;
  if (parsed.help) {
    *options = std::move(parsed);
    return true;
  }
  if (!Complete(&parsed, given, write_megabytes, error)) return false;
  *options = std::move(parsed);
  return true;
}

std::string ExpandOutputPattern(const std::string& pattern, int data_type, uint64_t frame) {
  char stamp[48];
  std::snprintf(stamp, sizeof(stamp), "%d-%06" PRIu64, data_type, frame);
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
