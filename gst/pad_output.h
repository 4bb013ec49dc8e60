// One talonsrc pad's buffers of a frame: the frame buffer's data lent as it
// is (GstMemory holding a FrameLease) where the caps allow it and lending
// keeps the service two frame buffers, else the frame written into a buffer
// of the pad's own pool: converted (RAW10 unpacked, the top 8 bits), rows
// re-strided, or copied as it is because downstream holds too many frame
// buffers (as a V4L2 source falls back to copying when its queue runs low);
// or a picture developed by the ISP into a buffer of the pad's picture pool
// (gst/picture_output.h).
//
// Ownership: owns its buffer pool (unlimited: what downstream holds of it
// never stalls the capture; downstream's own queues bound it) and its
// PictureOutput.
// Threads: Expect from the state-change thread while the streaming task is
// stopped; Configure and Make from the streaming thread; SetFlushing from
// the state-change thread (a pool is thread-safe); copies() from any
// thread.

#ifndef GST_PAD_OUTPUT_H_
#define GST_PAD_OUTPUT_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "gst/picture_output.h"
#include "gst/stream_format.h"
#include "isp/isp.h"
#include "support/capture_session.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

using talon_support::FrameLease;

class PadOutput {
 public:
  // The buffer being written, one waiting in a queue, one the sink renders,
  // and one the queue's push waits with.
  static constexpr unsigned kTouchedBuffers = 4;

  // A pool whose buffers fit every output of the stream; for a stream that
  // is always converted (RAW10) kTouchedBuffers of them made and touched
  // now, before capture starts, so that no frame pays the page faults of a
  // fresh 12 MP buffer (tens of milliseconds, up to 90 on a busy host)
  // while the capture waits.
  // `settings`, `isp_threads`: the ISP's, for pictures (checked against the
  // stream).
  PadOutput(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
            int isp_threads);
  ~PadOutput();
  PadOutput(const PadOutput&) = delete;
  PadOutput& operator=(const PadOutput&) = delete;

  void SetFlushing(bool flushing) { gst_buffer_pool_set_flushing(pool_, flushing); }

  // The output negotiation is expected to pick, known before capture starts
  // (a picture's pool is made and touched now, not at the first frame).
  void Expect(const OutputFormat& format);

  // The negotiated output; `video_meta` whether downstream reads
  // GstVideoMeta. Before the first Make.
  void Configure(const OutputFormat& format, bool video_meta);

  // The pad's buffer of the frame in `lease`, lent when `may_lend` and the
  // caps allow; null when the pool flushes (the element stops), or with
  // `error` set when a picture cannot be developed.
  GstBuffer* Make(const std::shared_ptr<FrameLease>& lease, bool may_lend, std::string* error);

  // Frames copied although the caps would have let them be lent.
  uint64_t copies() const { return copies_.load(std::memory_order_relaxed); }
  // Whether the last frame was copied for that reason.
  bool copying() const { return copying_; }

 private:
  const vireo::CaptureStreamConfig stream_;
  const talon_isp::Settings settings_;
  const int isp_threads_;
  OutputFormat format_;                     // streaming thread, from Configure
  std::unique_ptr<PictureOutput> picture_;  // for a picture, from Expect or Configure
  bool video_meta_ = false;                 // streaming thread, from Configure
  GstBufferPool* const pool_;
  std::atomic<uint64_t> copies_{0};
  bool copying_ = false;  // streaming thread
};

}  // namespace talon_gst

#endif  // GST_PAD_OUTPUT_H_
