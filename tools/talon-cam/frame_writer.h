// The files talon-cam writes from the frames it dequeues, its outputs:
// each successful frame's raw CSI-2 payload per stream (--output), a DNG per
// stream (--dng), one JSON line per frame (--metadata), a timeline of the
// capture (--trace, trace_writer.h), and at the end an RGB preview of the
// last successful frame of each stream (--png).
//
// Every file is replaced atomically (support/atomic_file.h). A file of one
// frame is put in place when it is whole. Files that grow with the run (an
// --output pattern without '#', --metadata, --trace) are written as frames
// come, never held in memory (growing_file.h), and put in place by Finish.
// An output whose write fails (a full disk) is said once on stderr with the
// system's reason and takes no more frames; the capture goes on, and
// LossReport counts the frames each output lost. A growing file then keeps
// the frames before the failure, and the metadata names, for every frame
// and stream, the files that really hold it.
//
// The targets were checked before the capture (output_targets.h).
//
// Used by the capture thread only. Owns the open files and the copies kept
// for the preview; the options and the frame buffers belong to the caller.

#ifndef TOOLS_TALON_CAM_FRAME_WRITER_H_
#define TOOLS_TALON_CAM_FRAME_WRITER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "system/capture/capture_frame_buffer.h"
#include "tools/talon-cam/frame_metadata.h"
#include "tools/talon-cam/growing_file.h"
#include "tools/talon-cam/talon_cam_options.h"
#include "tools/talon-cam/trace_writer.h"

namespace talon_cam {

// The data of `stream` in `buffer`, locked for reading; null (said on
// stderr) when it cannot be locked. The caller unlocks it.
const void* LockStreamData(const vireo::CaptureFrameBuffer& buffer,
                           const vireo::CaptureStreamConfig& stream);

class FrameWriter {
 public:
  explicit FrameWriter(const Options& options) : options_(options) {}

  // Creates the files that grow with the run. False, said on stderr, when
  // one cannot be made (the capture should not start).
  bool Begin();
  // Writes what the outputs take of the frame in `buffer`: frame `frame` of
  // the client's count, with the sensor's `sequence` (-1: unknown),
  // dequeued at `dequeue_ns` (CLOCK_BOOTTIME).
  void Write(const vireo::CaptureFrameBuffer& buffer, uint64_t frame, int64_t sequence,
             int64_t dequeue_ns);
  // The buffer that held frame `frame` was enqueued again at `enqueue_ns`
  // (for the trace).
  void Enqueued(uint64_t frame, int64_t enqueue_ns);
  // Puts the growing files in place and writes the previews; failures are
  // said on stderr.
  void Finish();

  // One line per output that lost frames, e.g. "--dng: 12 frames lost\n";
  // empty when none did.
  std::string LossReport() const;
  // Whether any output failed or lost a frame.
  bool failed() const;

 private:
  // One option's output: what it lost, and whether it stopped.
  struct Output {
    const char* option = "";
    uint64_t lost = 0;
    bool stopped = false;
    bool failed = false;  // lost a frame or could not be put in place
  };
  // The last successful frame of one stream, kept for the preview.
  struct StreamFrame {
    std::vector<uint8_t> bytes;
    uint64_t stride = 0;
  };

  // Says why `output` stops at frame `frame`, once, and stops it.
  void Stop(Output* output, uint64_t frame, const std::string& reason);
  // Counts frame `frame` lost by `output`.
  void Lose(Output* output) {
    ++output->lost;
    output->failed = true;
  }
  void WriteStreams(const vireo::CaptureFrameBuffer& buffer, FrameMetadata* frame);
  bool WriteRaw(const std::string& path, const void* data, uint64_t size, std::string* error);
  bool WriteDng(const vireo::CaptureStreamConfig& stream, const void* data,
                const FrameMetadata& frame, const StreamMetadata& written, std::string* error);
  void WriteMetadata(const FrameMetadata& frame);
  void WriteTrace(const FrameMetadata& frame);
  void Commit(Output* output, GrowingFile* file, const std::string& path);
  void WritePreviews();

  const Options& options_;
  Output raw_{"--output"};
  Output dng_{"--dng"};
  Output png_{"--png"};
  Output metadata_{"--metadata"};
  Output trace_{"--trace"};
  GrowingFile collecting_;  // the --output file without '#'
  GrowingFile metadata_file_;
  TraceWriter trace_writer_;
  std::map<int, StreamFrame> last_frames_;  // by data type
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_WRITER_H_
