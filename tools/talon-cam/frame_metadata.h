// What talon-cam records about each frame as JSON: one object per frame
// (frame counter, sensor sequence when known, start and end of frame, the
// moment the client dequeued it, error number and name, and per stream the
// row stride, size and the files that hold the frame), one line each for the --metadata file (JSON
// Lines), and the same object with the capture configuration as the text of a DNG file.
//
// Texts are escaped by the JSON library and the output is ASCII (bytes of a
// file name that are not UTF-8 become U+FFFD).
// Pure functions; callable from any thread.

#ifndef TOOLS_TALON_CAM_FRAME_METADATA_H_
#define TOOLS_TALON_CAM_FRAME_METADATA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "system/capture/capture_types.h"

namespace talon_cam {

struct StreamMetadata {
  int data_type = 0;
  uint64_t row_stride = 0;  // bytes
  uint64_t size_bytes = 0;  // row stride × height
  std::string file;         // raw payload written; empty: none
  std::string dng;          // DNG written; empty: none
};

struct FrameMetadata {
  uint64_t frame = 0;     // the client's frame counter
  int64_t sequence = -1;  // the sensor's frame number, -1 when unknown
  int64_t sof_ns = 0;     // CLOCK_BOOTTIME; 0 when the frame failed
  int64_t eof_ns = 0;
  int64_t dequeue_ns = 0;  // CLOCK_BOOTTIME, when the client dequeued the buffer
  vireo::CaptureError error = vireo::CaptureError::SUCCESS;
  std::vector<StreamMetadata> streams;
};

// The frame's JSON object on one line, without a line end. With `config`,
// it also carries the capture configuration under "config".
std::string FrameJson(const FrameMetadata& frame, const vireo::CaptureConfig* config);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_METADATA_H_
