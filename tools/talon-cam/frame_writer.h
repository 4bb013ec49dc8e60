// The files talon-cam writes from the frames it dequeues, its outputs:
// each successful frame's raw CSI-2 payload per stream (--output), a DNG per
// stream (--dng), a JPEG per stream developed by the software ISP (--jpeg,
// developer.h), one JSON line per frame (--metadata), a timeline of the
// capture (--trace, trace_writer.h), and at the end an RGB preview of the
// last successful frame of each stream, developed the same way (--png).
//
// The outputs write on threads of their own (write_queue.h), so that the
// capture never waits for a disk. The frame data outputs write straight from
// the frame buffer, which they keep through the capture session's lease
// (support/capture_session.h), its data locked, until every one of them is
// done; the last to let go hands it back to the capture. The capture gives
// the service a spare buffer meanwhile (the caller makes them, at most
// FramesKeptAtMost), and the buffers the outputs keep are bounded by the
// write memory (Options::write_memory, shared equally between --output,
// --dng and --jpeg). A frame that finds an output's share full, or its queue of
// records (--metadata, --trace) full, is not written by that output: said
// once, counted in LossReport. The preview keeps the buffer of the last
// successful frame (one frame beyond the write memory) and is made at the
// end.
//
// Every file is replaced atomically (support/atomic_file.h). A file of one
// frame is put in place when it is whole. Files that grow with the run (an
// --output pattern without '#', --metadata, --trace) are written as frames
// come, never held in memory (growing_file.h), and put in place by Finish.
// An output whose write fails (a full disk) is said once on stderr with the
// system's reason and takes no more frames; the capture goes on, and
// LossReport counts the frames each output did not write. A growing file
// then keeps the frames before the failure, and the metadata names, for
// every frame and stream, the files that really hold it.
//
// The targets were checked before the capture (output_targets.h).
//
// Threads: the capture thread calls every public method; the output threads
// run the writes (each owns its output's file, and --jpeg's the developers
// and the encoder, while the capture runs) and let go of the leases they
// kept. The options belong to the caller.

#ifndef TOOLS_TALON_CAM_FRAME_WRITER_H_
#define TOOLS_TALON_CAM_FRAME_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "support/capture_session.h"
#include "system/capture/capture_frame_buffer.h"
#include "tools/talon-cam/developer.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/frame_metadata.h"
#include "tools/talon-cam/growing_file.h"
#include "tools/talon-cam/jpeg_writer.h"
#include "tools/talon-cam/talon_cam_options.h"
#include "tools/talon-cam/trace_writer.h"
#include "tools/talon-cam/write_queue.h"

namespace talon_cam {

using talon_support::FrameLease;

class FrameWriter {
 public:
  explicit FrameWriter(const Options& options) : options_(options) {}
  ~FrameWriter() { queue_.Finish(); }

  // Creates the files that grow with the run and starts the output threads.
  // False, said on stderr, when a file cannot be made (the capture should
  // not start).
  bool Begin();
  // Hands frame `frame` of the client's count to the outputs: its record
  // (error, times, the sensor's sequence, when it was dequeued) and, for a
  // successful frame, its lease (null: its data could not be locked, so the
  // data outputs and the preview lose it). True when they keep the lease:
  // its frame buffer goes back to the capture when the last of them lets go.
  bool Write(const talon_support::FrameRecord& record,
             const std::shared_ptr<const FrameLease>& lease, uint64_t frame);
  // How many frame buffers the outputs may keep at once: those the write
  // memory holds, and the preview's.
  uint64_t FramesKeptAtMost() const;
  // Whether the preview keeps a frame buffer: until a newer frame or Finish.
  bool KeepsPreview() const { return last_frame_ != nullptr; }
  // The buffer that held frame `frame` was enqueued again at `enqueue_ns`
  // (for the trace).
  void Enqueued(uint64_t frame, int64_t enqueue_ns);
  // Waits for the outputs to write what they took and ends their threads.
  void WaitForWrites() { queue_.Finish(); }
  // Waits for the outputs to write what they took, puts the growing files
  // in place, writes the previews and lets go of every lease; failures are
  // said on stderr.
  void Finish();

  // One line per output that did not write every frame, e.g.
  // "--dng: 12 frames not written\n" ("1 frame"); empty when none did.
  std::string LossReport() const;
  // Whether any output failed or did not write a frame.
  bool failed() const;

 private:
  using Frame = std::shared_ptr<FrameMetadata>;

  // A data output's job for `frame`, its write still to set: it keeps the
  // frame buffer, counted against the output's share, and opens `written`
  // when done.
  static WriteJob DataJob(const std::shared_ptr<const FrameLease>& held, const FrameMetadata& frame,
                          const std::shared_ptr<Latch>& written);
  // The jobs of the data outputs; each opens `written` when done.
  bool PushRaw(const std::shared_ptr<const FrameLease>& held, const Frame& frame,
               const std::shared_ptr<Latch>& written);
  bool PushDng(const std::shared_ptr<const FrameLease>& held,
               const std::shared_ptr<const FrameMetadata>& described, const Frame& frame,
               const std::shared_ptr<Latch>& written);
  // The frame's JPEGs; the metadata does not wait for them (they hold a
  // picture of the frame, not its data).
  bool PushJpeg(const std::shared_ptr<const FrameLease>& held, const Frame& frame);
  // The frame's --metadata line, after its data outputs, and --trace events.
  void PushRecords(const Frame& frame, const std::shared_ptr<Latch>& written);
  std::string TraceError();
  bool WriteRaw(const std::string& path, const void* data, uint64_t size, std::string* error);
  bool WriteDng(const vireo::CaptureStreamConfig& stream, const void* data,
                const FrameMetadata& frame, const StreamMetadata& written, std::string* error);
  void Commit(int output, GrowingFile* file, const std::string& path);
  void WritePreviews();

  const Options& options_;
  WriteQueue queue_;
  int raw_ = -1;  // output ids in queue_; -1: not asked for
  int dng_ = -1;
  int jpeg_ = -1;
  int metadata_ = -1;
  int trace_ = -1;
  bool commit_failed_ = false;
  bool png_failed_ = false;
  // Each used by its output's thread until Finish.
  GrowingFile collecting_;  // the --output file without '#'
  GrowingFile metadata_file_;
  TraceWriter trace_writer_;
  SampleBuffer dng_samples_;  // the DNG thread's unpacked frame, kept between frames
  // --jpeg runs on kJpegLanes threads, each with an encoder and a picture
  // of its own: while one encodes a frame, the next frame develops (the ISP
  // spreads one frame across the CPUs, so frames develop one at a time).
  struct JpegLane {
    explicit JpegLane(int quality) : writer(quality) {}
    JpegWriter writer;
    std::vector<uint8_t> rgb;  // kept from frame to frame
  };
  static constexpr int kJpegLanes = 2;
  std::unique_ptr<JpegLane> TakeJpegLane();
  void ReturnJpegLane(std::unique_ptr<JpegLane> lane);
  vireo::Mutex jpeg_develop_mutex_;
  // Per stream; made by Begin.
  std::vector<std::unique_ptr<StreamDeveloper>> jpeg_developers_
      ABSL_GUARDED_BY(jpeg_develop_mutex_);
  vireo::Mutex jpeg_lanes_mutex_;
  std::vector<std::unique_ptr<JpegLane>> jpeg_lanes_ ABSL_GUARDED_BY(jpeg_lanes_mutex_);

  std::shared_ptr<const FrameLease> last_frame_;  // for the preview
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_WRITER_H_
