// One talonsrc pad's developed pictures (gst/stream_format.h, kDevelop):
// the software ISP (isp/isp.h), one Isp per stream so that its automatic
// white balance is smoothed across that stream's frames, writing each frame
// into a buffer of the pad's picture pool.
//
// The pool holds buffers of the negotiated picture as GstVideoInfo lays it
// out (with GstVideoMeta); kTouched of them are made and written once when
// the PictureOutput is made, so that no frame pays the page faults of a
// fresh 12 MP buffer: freed buffers come back to the pool and are reused.
// The pool is unlimited, so acquiring never waits for downstream (whose own
// queues bound what it holds), and is never set flushing.
//
// Ownership: owns the Isp (its band threads) and the pool; buffers handed
// out keep the pool alive.
// Threads: made on the state-change thread (READY→PAUSED, the task
// stopped) or on the streaming thread (at negotiation); Develop on the
// streaming thread only.

#ifndef GST_PICTURE_OUTPUT_H_
#define GST_PICTURE_OUTPUT_H_

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>
#include <string>

#include "gst/stream_format.h"
#include "isp/isp.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

class PictureOutput {
 public:
  // Buffers touched when made: the one being developed and one downstream
  // holds meanwhile.
  static constexpr guint kTouched = 2;

  // `format`: a kDevelop output of `stream`; `settings`: the ISP's, checked
  // against the stream (CheckPicture); `threads`: the Isp's (0: it chooses).
  PictureOutput(const vireo::CaptureStreamConfig& stream, const OutputFormat& format,
                const talon_isp::Settings& settings, int threads);
  ~PictureOutput();
  PictureOutput(const PictureOutput&) = delete;
  PictureOutput& operator=(const PictureOutput&) = delete;

  const OutputFormat& format() const { return format_; }

  // The picture of one frame (its payload, rows `stride` bytes apart); null
  // with the reason when the ISP refuses it or no buffer can be had.
  GstBuffer* Develop(const uint8_t* data, uint64_t stride, std::string* error);

 private:
  const vireo::CaptureStreamConfig stream_;
  const OutputFormat format_;
  const talon_isp::Settings settings_;
  talon_isp::Isp isp_;
  GstVideoInfo info_;
  GstBufferPool* const pool_;
};

}  // namespace talon_gst

#endif  // GST_PICTURE_OUTPUT_H_
