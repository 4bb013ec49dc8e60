// The --trace file: a timeline of the capture in the Chrome trace-event
// format (a JSON object {"traceEvents": [...]}), which Perfetto's UI and
// chrome://tracing open.
//
// Tracks (one thread id each, named by thread_name metadata events): the
// client, with an instant event when it dequeued each frame buffer and when
// it enqueued it again, and a failed frame's error; one track per stream,
// with each frame as a complete event from its start to its end of frame
// and the gaps in the sensor's sequence as instant events. Timestamps are
// CLOCK_BOOTTIME in microseconds (the --metadata file's nanoseconds / 1000);
// every event's args carry the client's frame counter ("frame").
//
// Events are written as they come (a GrowingFile: the file is whole JSON
// after every event) and the file is renamed into place by Commit.
//
// Used by the capture thread only; owns its file.

#ifndef TOOLS_TALON_CAM_TRACE_WRITER_H_
#define TOOLS_TALON_CAM_TRACE_WRITER_H_

#include <cstdint>
#include <string>

#include "system/capture/capture_types.h"
#include "tools/talon-cam/growing_file.h"

namespace talon_cam {

class TraceWriter {
 public:
  // Creates the file's temporary with the tracks of `config`'s streams.
  // False with a reason in `error`.
  bool Begin(const std::string& path, const vireo::CaptureConfig& config, std::string* error);

  // Frame `frame` (the client's counter) as dequeued at `dequeue_ns`;
  // `sequence` is the sensor's, -1 when unknown. A failed frame has no
  // times of its own: it becomes an error event at its dequeue. False
  // when the file fails (file().error_number() says why).
  bool Frame(uint64_t frame, int64_t sequence, int64_t sof_ns, int64_t eof_ns,
             vireo::CaptureError error, int64_t dequeue_ns);
  // The buffer that held frame `frame` enqueued again at `enqueue_ns`.
  bool Enqueued(uint64_t frame, int64_t enqueue_ns);

  GrowingFile& file() { return file_; }

 private:
  bool Append(const std::string& event);

  GrowingFile file_;
  int pid_ = 0;
  int streams_ = 0;
  int64_t last_sequence_ = -1;  // of the last frame that carried one
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_TRACE_WRITER_H_
