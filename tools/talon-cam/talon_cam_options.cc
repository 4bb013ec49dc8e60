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
#include "support/options.h"
#include "system/capture/capture_util.h"

namespace talon_cam {
namespace {

using talon_support::OptionSpec;

// A text from the command line in quotes, escaped so that the reason that
// repeats it stays one line.
std::string Quoted(absl::string_view text) {
  return absl::StrCat("\"", absl::CEscape(text), "\"");
}

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
  const int data_outputs =
      int{!options->output_pattern.empty()} + int{!options->dng_pattern.empty()};
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
                          data_outputs > 1 ? " for each of --output and --dng" : "",
                          "; give at least ", (least + kMegabyte - 1) / kMegabyte);
    return false;
  }
  return true;
}

// The checks that need every option.
bool Complete(Options* options, bool cfa_given, uint64_t write_megabytes, std::string* error) {
  std::vector<vireo::CaptureStreamConfig>& streams = options->config.stream_configs;
  if (streams.empty()) streams.push_back(talon_support::DefaultStream());
  if (!talon_support::CheckConfig(options->config, error)) return false;
  if (!ChooseWriteMemory(options, write_megabytes, error)) return false;
  if (options->dng_pattern.empty()) {
    if (cfa_given) {
      *error = "--cfa: only DNG files record the colour filter layout; give --dng too";
      return false;
    }
    return true;
  }
  for (const vireo::CaptureStreamConfig& stream : streams) {
    const std::string problem = DngStreamProblem(stream);
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

}  // namespace

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
      talon_support::StreamHelp(),
      "                        (--stream up to three times)\n",
      talon_support::ReceiverHelp(),
      "  --timeout-ms N        wait for a frame, and for the next buffer, ",
      talon_support::kMinTimeoutMs, " to ", talon_support::kMaxTimeoutMs, "\n"
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
      "  --cfa RGGB|GRBG|GBRG|BGGR\n"
      "                        colour filter layout written into --dng files (default RGGB)\n"
      "  --png PATH            RGB preview of the last frame of each stream (several\n"
      "                        streams: the data type is added to the file name)\n"
      "  --metadata FILE       one JSON object per frame (JSON Lines): counter, sequence,\n"
      "                        sof_ns, eof_ns, dequeue_ns, error, and per stream stride,\n"
      "                        size and the files that hold the frame\n"
      "  --trace FILE          the capture's timeline as Chrome trace-event JSON (Perfetto,\n"
      "                        chrome://tracing): a track per stream with each frame from\n"
      "                        start to end of frame, the client's dequeues and enqueues,\n"
      "                        errors and gaps in the sensor's sequence\n"
      "  --write-memory MB     frames (in 10^6 bytes) that --output and --dng may hold\n"
      "                        while they write, shared between them; a frame that\n"
      "                        finds an output's share full is not written by it\n"
      "                        (counted). Default: one second at 30 fps or a quarter\n"
      "                        of the memory, whichever is smaller\n"
      "  --graph-cache DIR     cache compiled graphs in DIR (made if missing); default\n"
      "                        $TEST_UNDECLARED_OUTPUTS_DIR when set, else\n"
      "                        /data/vireo/compiled_graph when writable, else\n"
      "                        $XDG_CACHE_HOME/talon or ~/.cache/talon\n"
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
  bool cfa_given = false;
  uint64_t write_megabytes = 0;
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
      {"--cfa", nullptr, true,
       [&parsed, &cfa_given](std::string_view value, std::string* e) {
         cfa_given = true;
         if (ParseCfa(std::string(value), &parsed.cfa)) return true;
         *e = absl::StrCat("--cfa: ", Quoted(std::string(value)), " is not RGGB, GRBG, GBRG or BGGR");
         return false;
       }},
  };
  if (!talon_support::ParseCommandLine(argc, argv, specs, error)) return false;
  if (parsed.help) {
    *options = std::move(parsed);
    return true;
  }
  if (!Complete(&parsed, cfa_given, write_megabytes, error)) return false;
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
