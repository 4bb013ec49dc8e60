// DNG files of raw Bayer frames: the CSI-2 payload of one stream (RAW8,
// packed RAW10 or RAW16) unpacked to 16-bit samples and written with libtiff
// as a single-image DNG that raw developers open: the CFA pattern, black
// level 0 and white level 2^bits - 1, a colour matrix that takes the
// sensor's RGB for linear sRGB (there is no calibration for the sensor), and
// a text (ImageDescription) with the frame's timestamps and the capture
// configuration.
//
// Files are replaced atomically: written under a temporary name in the
// target's directory, then renamed; a failed write leaves no temporary.
// libtiff's messages are collected per file, never printed.
// Pure functions; callers own the memory they pass. Callable from any
// thread.

#ifndef TOOLS_TALON_CAM_DNG_WRITER_H_
#define TOOLS_TALON_CAM_DNG_WRITER_H_

#include <cstdint>
#include <string>

#include "isp/isp.h"
#include "system/capture/capture_types.h"
#include "tools/talon-cam/sample_buffer.h"

namespace talon_cam {

// Empty when frames of `stream` are raw Bayer that talon-cam can write as
// DNG or develop (a RAW data type, 0x28 to 0x2E, at 8, 10 or 16 bits per
// component); else why not, naming `taker` ("DNG", "--jpeg") as what takes
// only those.
std::string RawBayerProblem(const vireo::CaptureStreamConfig& stream, const char* taker);

struct DngImage {
  const uint8_t* data = nullptr;  // `height` rows, `stride` bytes apart
  uint64_t stride = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bits = 0;                           // 8, 10 or 16
  talon_isp::Cfa cfa = talon_isp::Cfa::kRggb;  // the colour of the top-left 2x2 cell
  std::string description;                     // ASCII text for ImageDescription
};

// Writes `image` to `path`, its samples in one strip by one write. False
// with a reason in `error` when the payload cannot be unpacked or the file
// cannot be written (the system's reason, e.g. "cannot write f.dng: No space
// left on device"); `path` is then untouched. `samples`, when given, holds
// the unpacked samples (else memory of its own, for one file).
bool WriteDng(const std::string& path, const DngImage& image, std::string* error,
              SampleBuffer* samples = nullptr);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_DNG_WRITER_H_
