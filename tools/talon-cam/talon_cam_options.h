// Command-line options of talon-cam: what to capture (the CaptureConfig),
// how many buffers and frames, where frames go, how --png and --jpeg develop
// them (the ISP's settings, spelled as support/isp_text.h spells them),
// where compiled graphs are cached and where the live view listens. Parsing
// is separate from the tool's main so that it can be tested without a
// capture device; numbers, --stream and
// the configuration go through the option toolkit (support/options.h),
// which states the limits.
//
// Plain functions and values; no state, callable from any thread.

#ifndef TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_
#define TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_

#include <cstdint>
#include <string>

#include "isp/isp.h"
#include "system/capture/capture_types.h"

namespace talon_cam {

struct Options {
  vireo::CaptureConfig config;  // streams, receiver, virtual channel, timeout
  uint32_t buffers = 3;         // frame buffers in flight
  uint64_t frames = 60;         // frames to dequeue; 0: until SIGINT or SIGTERM
  std::string output_pattern;   // raw frame files; empty: none
  std::string png_path;         // preview of the last frame; empty: none
  std::string dng_pattern;      // DNG files of raw streams; empty: none
  std::string jpeg_pattern;     // JPEG files of raw streams, developed; empty: none
  uint32_t jpeg_quality = 90;   // 1 to 100
  // How --png and --jpeg develop frames; its CFA (--cfa) also goes into the
  // DNG files.
  talon_isp::Settings isp;
  std::string metadata_path;    // one JSON line per frame; empty: none
  std::string trace_path;       // Chrome trace-event JSON; empty: none
  std::string graph_cache_dir;  // compiled-graph cache; empty: the default choice
  // Bytes of frames the data outputs (--output, --dng, --jpeg) may hold
  // while they write, shared equally among them: --write-memory, else the default
  // (DefaultWriteMemory).
  uint64_t write_memory = 0;
  std::string serve;        // the live view's [ADDR:]PORT (live_view.h); empty: none
  std::string serve_token;  // what every request to it must carry; empty: none
  bool quiet = false;       // no per-frame lines
  bool help = false;        // print the usage and stop
};

// How many of the outputs that keep frame buffers while they write
// (--output, --dng, --jpeg) `options` asks for.
int DataOutputs(const Options& options);

// Bytes of one frame of every stream of `config` in its frame buffer.
uint64_t FrameBytes(const vireo::CaptureConfig& config);

// The default write memory for frames of `frame_bytes`: one second of them
// at 30 fps or a quarter of `physical_memory`, whichever is smaller, and at
// least one frame for each of `data_outputs`.
uint64_t DefaultWriteMemory(uint64_t frame_bytes, uint64_t physical_memory, int data_outputs);

// The usage text printed by --help.
std::string Usage();

// Parses argv[1..argc-1]. On success fills `options` (defaults for what is
// not given; talon_support::DefaultStream() when no --stream is given) and
// returns true; otherwise returns false with a one-line reason in `error`
// that names the option. Touches no file (output_targets.h checks them).
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The file name of one frame of one stream: every '#' of `pattern` becomes
// "<data type>-<frame>", the data type in decimal and the frame counter (the
// first column of talon-cam's lines, from 0) at least six digits wide, e.g.
// "frame-#.raw" -> "frame-43-000012.raw". A pattern without '#' is returned
// unchanged.
std::string ExpandOutputPattern(const std::string& pattern, int data_type, uint64_t frame);

// The preview file of one stream: `path` itself for a single stream, else
// the data type inserted before the extension ("p.png" -> "p-43.png").
std::string PreviewPath(const std::string& path, int data_type, bool several_streams);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_
