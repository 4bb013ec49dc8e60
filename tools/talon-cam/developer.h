// talon-cam's development of raw Bayer frames into 8-bit RGB pictures for
// --png and --jpeg, through the software ISP (isp/isp.h) with the settings
// of the options --cfa, --black-level, --white-balance, --color-matrix,
// --gamma and --half-size: the check of those settings against each stream
// before the capture, and a developer per stream that keeps its ISP, whose
// automatic white balance follows the stream from frame to frame.
//
// DevelopProblem is a plain function, callable from any thread. A
// StreamDeveloper is used by one thread at a time; it owns the ISP and its
// band threads; callers own the raw data and the pictures.

#ifndef TOOLS_TALON_CAM_DEVELOPER_H_
#define TOOLS_TALON_CAM_DEVELOPER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "isp/isp.h"
#include "system/capture/capture_types.h"

namespace talon_cam {

// Why frames of `stream` cannot be developed with `settings`, as one line
// that starts with the option to blame ("--black-level: 1023 is not below
// the white level of stream 0x2B, 1023 for 10-bit samples"); `output` is
// the option that asks for the development ("--jpeg"), blamed for a stream
// that is not raw Bayer (0x28 to 0x2E at 8, 10 or 16 bits). Empty when they
// can.
std::string DevelopProblem(const vireo::CaptureStreamConfig& stream,
                           const talon_isp::Settings& settings, const char* output);

class StreamDeveloper {
 public:
  // `threads`: the ISP's band threads (0: the ISP chooses).
  StreamDeveloper(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
                  int threads);

  // Develops one frame's payload of the stream (rows `stride` bytes apart)
  // into `rgb`: width() x height() RGB triplets, rows back to back (resized
  // to that; a vector kept from frame to frame is allocated once). False
  // with the reason in `error`.
  bool Develop(const void* data, uint64_t stride, std::vector<uint8_t>* rgb, std::string* error);

  // The picture's size.
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

 private:
  const vireo::CaptureStreamConfig stream_;
  const talon_isp::Settings settings_;
  talon_isp::Isp isp_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_DEVELOPER_H_
