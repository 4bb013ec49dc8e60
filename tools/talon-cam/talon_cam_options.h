// Command-line options of talon-cam: what to capture (the CaptureConfig),
// how many buffers and frames, and where frames go. Parsing is separate from
// the tool's main so that it can be tested without a capture device.
//
// Plain functions and values; no state, callable from any thread.

#ifndef TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_
#define TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "system/capture/capture_types.h"
#include "tools/talon-cam/dng_writer.h"

namespace talon_cam {

struct Options {
  vireo::CaptureConfig config;   // streams, receiver, virtual channel, timeout
  uint32_t buffers = 3;          // frame buffers in flight
  uint64_t frames = 60;          // frames to dequeue
  std::string output_pattern;    // raw frame files; empty: none
  std::string png_path;          // preview of the last frame; empty: none
  std::string dng_pattern;       // DNG files of raw streams; empty: none
  Cfa cfa = Cfa::kRggb;          // the sensor's colour filter layout, for DNG
  std::string metadata_path;     // one JSON line per frame; empty: none
  bool quiet = false;            // no per-frame lines
  bool help = false;             // print the usage and stop
};

// The usage text printed by --help.
std::string Usage();

// Parses argv[1..argc-1]. On success fills `options` (defaults for what is
// not given; one 640x480 RAW10 stream, data type 0x2B, when no --stream is
// given) and returns true; otherwise returns false with a one-line reason in
// `error`.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// Parses "dt,width,height,bits[,pad]"; dt is decimal or 0x hex, pad 0 or 1.
bool ParseStream(const std::string& text, vireo::CaptureStreamConfig* stream,
                 std::string* error);

// The file name of one frame of one stream: every '#' of `pattern` becomes
// "<data type>-<sequence>" (decimal, the sequence six digits wide), e.g.
// "frame-#.raw" -> "frame-43-000012.raw". A pattern without '#' is returned
// unchanged (all frames then go to that one file).
std::string ExpandOutputPattern(const std::string& pattern, int data_type, uint64_t sequence);

// The preview file of one stream: `path` itself for a single stream, else
// the data type inserted before the extension ("p.png" -> "p-43.png").
std::string PreviewPath(const std::string& path, int data_type, bool several_streams);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_TALON_CAM_OPTIONS_H_
