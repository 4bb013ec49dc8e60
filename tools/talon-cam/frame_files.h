// The files talon-cam writes about each frame besides the raw payload: a DNG
// per stream (--dng) for frames that succeeded, and one JSON line per frame
// (--metadata), which is put in place when the capture ends.
//
// Used by the capture thread only. Owns the metadata file; the options and
// the frame buffers belong to the caller.

#ifndef TOOLS_TALON_CAM_FRAME_FILES_H_
#define TOOLS_TALON_CAM_FRAME_FILES_H_

#include <cstdint>
#include <string>

#include "system/capture/capture_frame_buffer.h"
#include "tools/talon-cam/atomic_file.h"
#include "support/frame_stats.h"
#include "tools/talon-cam/talon_cam_options.h"

namespace talon_cam {

class FrameFiles {
 public:
  explicit FrameFiles(const Options& options) : options_(options) {}

  // Starts the metadata file; false (with a message on stderr) when it
  // cannot be made.
  bool Begin();
  // Writes the DNG files and the metadata line of frame `index`, which the
  // caller has dequeued and `record` describes. False (with a message on
  // stderr) when a file could not be written.
  bool Add(const vireo::CaptureFrameBuffer& buffer, uint64_t index,
           const capture_stats::FrameRecord& record);
  // Puts the metadata file in place; false (with a message) on failure.
  bool Finish();

 private:
  bool WriteDng(const vireo::CaptureFrameBuffer& buffer, const vireo::CaptureStreamConfig& stream,
                const std::string& path, const std::string& description);

  const Options& options_;
  AtomicFile metadata_;
  bool metadata_failed_ = false;  // a line could not be written
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_FILES_H_
