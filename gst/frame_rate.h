// talonsrc's caps and rate: the caps a pad offers before and at its first
// frame, the frame rate they carry, what a measured period means against
// the negotiated rate, and the latency the element answers.
//
// Before the first frame the caps carry the rate the element knows (the
// `framerate` property), else a range that downstream (a capsfilter,
// videorate) can fixate; at the first frame the answer of downstream is
// fixated to the measured rate where it leaves the choice. The latency is
// the frame period (a frame is whole at its end, its PTS is its start) plus
// the worst time a frame took to go out once whole and the streaming
// thread free (its wake-up and conversion; half a period until a frame has
// gone out); while the first frame is held to measure the rate (no
// `framerate`), one period more. Before any rate is known the
// element assumes a sensor of kAssumedFps or faster. The maximum is what
// the frame buffers the element may grow to can hold.
//
// Functions: pure, any thread. RateTracker: the streaming thread writes,
// any thread reads (atomics).

#ifndef GST_FRAME_RATE_H_
#define GST_FRAME_RATE_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "gst/stream_format.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

// Below this a measured period is the host's scheduling, not a sensor's:
// the frame rate is then unknown and gaps cannot be told.
constexpr int64_t kMinPeriodNs = 100000;

// The slowest sensor the latency answered before any rate is known covers
// (set `framerate` for a slower one).
constexpr int kAssumedFps = 15;

// The stream's caps (StreamCaps) with framerate fps_n/fps_d, or the range
// of every rate when fps_n is 0. Null with `error` when the stream has no
// caps.
GstCaps* OfferedCaps(const vireo::CaptureStreamConfig& stream, Cfa cfa, bool half_size, int fps_n,
                     int fps_d, std::string* error);

// Fixed caps from downstream's answer `caps` (taken): its first structure,
// the framerate nearest fps_n/fps_d where a range is left (0/1 unknown).
GstCaps* FixateToRate(GstCaps* caps, int fps_n, int fps_d);

// The rate of a period: the NTSC rates 24000/1001, 30000/1001 and
// 60000/1001 within a hundredth of a frame per second, else the reduced
// fraction to a thousandth (30 fps reads 30/1, 12.5 fps 25/2); 0/1 below
// kMinPeriodNs.
void FractionOfPeriod(int64_t period_ns, int* n, int* d);
int64_t PeriodOfFraction(int n, int d);  // 0 for 0/1

// Rates given as a double, mapped as FractionOfPeriod maps a period.
void FractionOfFps(double fps, int* n, int* d);

// Whether a measured period and the rate n/d differ by more than 5 %.
bool RateDisagrees(int n, int d, int64_t period_ns);

// Frame buffers that keep the capture going while frames are held for
// `latency` (downstream renders a frame at its start plus the latency) at
// `period_ns`: one per period held, plus the one being captured, the one
// queued behind it and the one in hand; at most `limit`.
uint32_t FrameBuffersFor(GstClockTime latency, int64_t period_ns, uint32_t limit);

// The frame period, whether the first frame is held, and the worst
// conversion time seen, for the latency query.
class RateTracker {
 public:
  // `period_ns`: of `framerate`, 0 when unset (the first frame is then held
  // until the second has measured the period).
  void Reset(int64_t period_ns) {
    period_ns_ = period_ns;
    holding_ = period_ns == 0;
    worst_ns_ = 0;
    announced_ns_ = 0;
  }
  void SetPeriod(int64_t period_ns) { period_ns_ = period_ns; }
  // The first frame has gone out: no frame waits for a second any more.
  void FirstPushed() { holding_ = false; }
  bool holding() const { return holding_; }
  // The known period, or kAssumedFps's while none is.
  int64_t period_ns() const;
  // Records the time a frame took to go out past its end (conversion and
  // wake-ups); true when the latency grew enough to be announced again (a
  // latency message).
  bool RecordConversion(int64_t ns);
  GstClockTime MinLatency() const;
  // What the frame buffers the element may grow to (`max_buffers`) hold.
  GstClockTime MaxLatency(uint32_t max_buffers) const;

 private:
  std::atomic<int64_t> period_ns_{0};
  std::atomic<bool> holding_{false};
  std::atomic<int64_t> worst_ns_{0};
  int64_t announced_ns_ = 0;  // streaming thread
};

}  // namespace talon_gst

#endif  // GST_FRAME_RATE_H_
