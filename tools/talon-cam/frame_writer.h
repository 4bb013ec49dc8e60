// The files talon-cam writes from the frames it dequeues: each successful
// frame's raw CSI-2 payload per stream (--output), a DNG per stream (--dng),
// one JSON line per frame (--metadata), and at the end an RGB preview of the
// last successful frame of each stream (--png).
//
// Every file is replaced atomically (support/atomic_file.h): a file of one
// frame when it is complete; a file that collects every frame (an --output
// pattern without '#') and the metadata when the capture ends, and only
// when none of their frames was lost.
//
// Used by the capture thread only. Owns the open files and the copies kept
// for the preview; the options and the frame buffers belong to the caller.

#ifndef TOOLS_TALON_CAM_FRAME_WRITER_H_
#define TOOLS_TALON_CAM_FRAME_WRITER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/atomic_file.h"
#include "support/frame_stats.h"
#include "system/capture/capture_frame_buffer.h"
#include "tools/talon-cam/frame_metadata.h"
#include "tools/talon-cam/talon_cam_options.h"

namespace talon_cam {

// The data of `stream` in `buffer`, locked for reading; null (said on
// stderr) when it cannot be locked. The caller unlocks it.
const void* LockStreamData(const vireo::CaptureFrameBuffer& buffer,
                           const vireo::CaptureStreamConfig& stream);

class FrameWriter {
 public:
  explicit FrameWriter(const Options& options) : options_(options) {}

  // Each step returns false, with a message on stderr, when a file cannot
  // be written.

  // Starts the metadata file.
  bool Begin();
  // Writes the files of frame `index`, which the caller has dequeued and
  // `record` describes.
  bool Add(const vireo::CaptureFrameBuffer& buffer, uint64_t index,
           const talon_support::FrameRecord& record);
  // Puts the files that collect every frame in place.
  bool Finish();
  // Writes the previews.
  bool WritePreviews();

 private:
  // A file that collects the frames of every stream.
  struct CollectingFile {
    talon_support::AtomicFile file;
    bool failed = false;  // it could not be made, or lost a frame
  };
  // The last successful frame of one stream, kept for the preview.
  struct StreamFrame {
    std::vector<uint8_t> bytes;
    uint64_t stride = 0;
  };

  // Writes the raw, DNG and preview data of one stream of a successful
  // frame, naming what it wrote in `written`.
  bool WriteStream(const vireo::CaptureFrameBuffer& buffer,
                   const vireo::CaptureStreamConfig& stream, const FrameMetadata& frame,
                   StreamMetadata* written);
  bool WriteRaw(const std::string& path, const void* data, uint64_t size);
  bool WriteDng(const vireo::CaptureStreamConfig& stream, const void* data, uint64_t stride,
                const FrameMetadata& frame, const StreamMetadata& written);

  const Options& options_;
  std::map<std::string, CollectingFile> collecting_;  // by path
  std::map<int, StreamFrame> last_frames_;            // by data type
  talon_support::AtomicFile metadata_;
  bool metadata_failed_ = false;  // a line could not be written
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_WRITER_H_
