#include "gst/talon_src.h"

#include <gst/base/gstflowcombiner.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/boottime.h"
#include "base/mutex.h"
#include "gst/error_policy.h"
#include "gst/frame_rate.h"
#include "gst/frame_timeline.h"
#include "gst/library_log.h"
#include "gst/pad_output.h"
#include "gst/receiver_claims.h"
#include "gst/src_settings.h"
#include "gst/stream_format.h"
#include "gst/stream_option.h"
#include "gst/talon_src_pad.h"
#include "support/capture_session.h"
#include "support/graph_cache_dir.h"
#include "system/capture/capture_types.h"

GST_DEBUG_CATEGORY_STATIC(talon_src_debug);
#define GST_CAT_DEFAULT talon_src_debug

namespace {

using talon_gst::kMinPeriodNs;
using talon_support::CaptureSession;
using talon_support::FrameLease;
using talon_support::TakenFrame;

// One pad's part of the streaming state.
struct PadStream {
  GstPad* pad = nullptr;  // owned by the element
  vireo::CaptureStreamConfig config;
  bool started = false;  // stream-start and segment pushed
  bool negotiated = false;
  int fps_n = 0, fps_d = 1;                      // the negotiated rate
  std::shared_ptr<talon_gst::PadOutput> output;  // also in TalonSrcState::outputs
};

}  // namespace

struct TalonSrcState {
  vireo::Mutex mutex;
  talon_gst::Settings settings ABSL_GUARDED_BY(mutex);
  std::vector<GstPad*> request_pads ABSL_GUARDED_BY(mutex);  // src_%u, in request order
  guint next_pad_index ABSL_GUARDED_BY(mutex) = 0;
  std::shared_ptr<CaptureSession> session ABSL_GUARDED_BY(mutex);
  std::string opened_key ABSL_GUARDED_BY(mutex);  // OpenKey of the session
  bool playing ABSL_GUARDED_BY(mutex) = false;
  bool resumed ABSL_GUARDED_BY(mutex) = false;  // PLAYING again since the last frame
  // The task is being stopped (PAUSED→READY): it must not pause itself,
  // which would undo the stop and leave the join waiting.
  bool stopping ABSL_GUARDED_BY(mutex) = false;
  // For Stop to flush their pools.
  std::vector<std::shared_ptr<talon_gst::PadOutput>> outputs ABSL_GUARDED_BY(mutex);
  bool prepared ABSL_GUARDED_BY(mutex) = false;       // PAUSED or PLAYING
  bool eos_requested ABSL_GUARDED_BY(mutex) = false;  // an EOS event came
  bool ended ABSL_GUARDED_BY(mutex) = false;          // EOS pushed: no more frames
  talon_gst::RateTracker rate;                        // for the latency query (atomics)

  // A copy of the settings, for a thread that reads several of them.
  talon_gst::Settings SettingsNow() ABSL_LOCKS_EXCLUDED(mutex) {
    vireo::MutexLock lock(&mutex);
    return settings;
  }
  // The pipeline's latency (the LATENCY event; NONE until configured):
  // frames are held that long downstream. Written by whichever thread sends
  // the event, read by the streaming thread.
  std::atomic<GstClockTime> configured_latency{GST_CLOCK_TIME_NONE};

  // The streaming state: the task's alone while it runs; set up at
  // READY→PAUSED and torn down at PAUSED→READY while the task is stopped.
  std::shared_ptr<CaptureSession> run_session;
  talon_gst::Settings run;
  std::vector<PadStream> streams;
  GstFlowCombiner* combiner = nullptr;
  guint group_id = 0;
  uint64_t frames = 0;   // frames pushed
  uint64_t dropped = 0;  // sensor frames no buffer received (the session's count)
  uint64_t failed = 0;   // frames that came back failed (or could not be locked)
  uint64_t failed_since_pushed = 0;
  uint64_t sequence = 0;  // the sensor's frame count since the start
  bool chained = false;   // a frame pushed since the start or a resume
  int64_t first_sof = -1;
  int64_t run_period_ns = 0;
  bool discont = true;
  bool rate_warned = false;
  talon_gst::ErrorPolicy errors;
  TakenFrame held;  // the first frame while the period is measured
  // With `framerate` set no frame is held: the period is measured from the
  // first frame pushed (its start here) and the next.
  int64_t measure_from = -1;
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;  // of the last frame pushed, for QoS jitter
  int64_t asked_ns = 0;                         // when the loop last asked the capture for a frame
  bool grow_warned = false;
};

struct _GstTalonSrc {
  GstElement parent;
  GstPad* src;
  GstTask* task;
  GRecMutex task_lock;
  TalonSrcState* state;
};

static void gst_talon_src_child_proxy_init(gpointer iface, gpointer data);

G_DEFINE_TYPE_WITH_CODE(GstTalonSrc, gst_talon_src, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_CHILD_PROXY, gst_talon_src_child_proxy_init))

// Raw streams as captured or converted (Bayer only in whole 2x2 cells), and
// the pictures of Bayer streams (gst/stream_format.h).
#define TALON_SRC_CAPS                                                                     \
  "video/x-bayer, format=(string){ rggb, grbg, gbrg, bggr, rggb10le, grbg10le, gbrg10le, " \
  "bggr10le, rggb16le, grbg16le, gbrg16le, bggr16le }, width=(int)[ 2, 2147483646, 2 ], "  \
  "height=(int)[ 2, 2147483646, 2 ], framerate=(fraction)[ 0/1, 2147483647/1 ]; "          \
  "video/x-raw, format=(string){ GRAY16_LE, UYVY, BGR, BGRx, RGBx, RGB, I420, NV12, "      \
  "GRAY8 }, width=(int)[ 1, 2147483647 ], height=(int)[ 1, 2147483647 ], "                 \
  "framerate=(fraction)[ 0/1, 2147483647/1 ]"
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(TALON_SRC_CAPS));
static GstStaticPadTemplate request_template = GST_STATIC_PAD_TEMPLATE(
    "src_%u", GST_PAD_SRC, GST_PAD_REQUEST, GST_STATIC_CAPS(TALON_SRC_CAPS));

namespace {

GstTalonSrc* ElementOf(GstObject* parent) { return GST_TALON_SRC(parent); }

// The pads in stream order: src, then the request pads.
std::vector<GstPad*> PadsInOrder(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  vireo::MutexLock lock(&st->mutex);
  std::vector<GstPad*> pads = {self->src};
  pads.insert(pads.end(), st->request_pads.begin(), st->request_pads.end());
  return pads;
}

// The task pauses itself, unless it is being stopped; `unless_playing`
// leaves it running when the element plays. Decided under the mutex, so
// that a concurrent PAUSED→PLAYING or PAUSED→READY is never undone.
void PauseTask(GstTalonSrc* self, bool unless_playing) {
  TalonSrcState* st = self->state;
  vireo::MutexLock lock(&st->mutex);
  if (!st->stopping && !(unless_playing && st->playing)) gst_task_pause(self->task);
}

// Stream-start and segment, once per pad and run: before its caps, or
// before an EOS that comes first.
void StartPad(GstTalonSrc* self, PadStream* ps) {
  if (ps->started) return;
  ps->started = true;
  gchar* stream_id = gst_pad_create_stream_id(ps->pad, GST_ELEMENT(self), GST_PAD_NAME(ps->pad));
  GstEvent* start = gst_event_new_stream_start(stream_id);
  g_free(stream_id);
  gst_event_set_group_id(start, self->state->group_id);
  gst_pad_push_event(ps->pad, start);
}

void PushSegment(PadStream* ps) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(ps->pad, gst_event_new_segment(&segment));
}

// Pushes EOS on every pad (once per run), pauses the service (nothing
// dequeues any more: it would run dry and warn until the pipeline stops)
// and the task. The streaming thread, or another holding the task's lock
// while the task is paused.
void EndStream(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  {
    vireo::MutexLock lock(&st->mutex);
    if (st->ended) return;
    st->ended = true;
  }
  GST_DEBUG_OBJECT(self, "EOS after %" G_GUINT64_FORMAT " frames", st->frames);
  for (PadStream& ps : st->streams) {
    if (!ps.started) {
      StartPad(self, &ps);
      PushSegment(&ps);
    }
    gst_pad_push_event(ps.pad, gst_event_new_eos());
  }
  st->held = TakenFrame();
  st->run_session->Stop();
  PauseTask(self, false);
}

// The pad's caps and its output: the first of downstream's answer to what
// the pad offers (pictures first for a consumer of pictures alone) that the
// stream can be made into, fixated to the rate fps_n/fps_d; null with the
// reason when downstream accepts none, or the first one's problem (an odd
// size for NV12) when none can be made.
GstCaps* ChooseCaps(GstTalonSrc* self, const PadStream& ps, int fps_n, int fps_d,
                    talon_gst::OutputFormat* format, std::string* error) {
  const talon_gst::Settings& run = self->state->run;
  GstCaps* ours =
      talon_gst::OfferedCaps(ps.config, run.cfa, run.isp.half_size, run.fps_n, run.fps_d, error);
  if (ours == nullptr) return nullptr;
  GstCaps* peer = gst_pad_peer_query_caps(ps.pad, ours);
  if (peer == nullptr || gst_caps_is_empty(peer)) {
    gchar* offered = gst_caps_to_string(ours);
    *error = absl::StrCat("downstream accepts none of ", offered);
    g_free(offered);
    gst_caps_unref(ours);
    if (peer != nullptr) gst_caps_unref(peer);
    return nullptr;
  }
  gst_caps_unref(ours);
  peer = talon_gst::PreferPictures(peer);
  std::string first_problem;
  for (guint i = 0; i < gst_caps_get_size(peer); ++i) {
    GstCaps* caps = talon_gst::FixateToRate(gst_caps_copy_nth(peer, i), fps_n, fps_d);
    std::string problem;
    if (talon_gst::OutputFromCaps(ps.config, caps, run.isp.half_size, format, &problem)) {
      gst_caps_unref(peer);
      return caps;
    }
    if (first_problem.empty()) first_problem = problem;
    gst_caps_unref(caps);
  }
  gst_caps_unref(peer);
  *error = first_problem;
  return nullptr;
}

// Before capture starts: a picture's pool is made and touched for the
// output that downstream's caps already point to.
void ExpectOutput(GstTalonSrc* self, const PadStream& ps) {
  std::string error;
  talon_gst::OutputFormat format;
  GstCaps* caps = ChooseCaps(self, ps, 0, 1, &format, &error);
  if (caps == nullptr) return;  // said at the first frame
  ps.output->Expect(format);
  if (format.conversion == talon_gst::Conversion::kDevelop) {
    GST_DEBUG_OBJECT(ps.pad, "picture buffers made and touched for %" GST_PTR_FORMAT, caps);
  }
  gst_caps_unref(caps);
}

// One WARNING per run when a pad's negotiated rate and the measured one
// differ (nothing while the period is not measured).
void WarnIfRateDisagrees(GstTalonSrc* self, const PadStream& ps) {
  TalonSrcState* st = self->state;
  if (st->rate_warned || !talon_gst::RateDisagrees(ps.fps_n, ps.fps_d, st->run_period_ns)) {
    return;
  }
  st->rate_warned = true;
  int measured_n = 0, measured_d = 1;
  talon_gst::FractionOfPeriod(st->run_period_ns, &measured_n, &measured_d);
  GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                      ("negotiated frame rate %d/%d, but the sensor delivers %d/%d", ps.fps_n,
                       ps.fps_d, measured_n, measured_d),
                      (nullptr));
}

// Caps, allocation and sticky events of one pad, at its first frame.
bool Negotiate(GstTalonSrc* self, PadStream* ps) {
  TalonSrcState* st = self->state;
  std::string error;
  int measured_n = 0, measured_d = 1;
  talon_gst::FractionOfPeriod(st->run_period_ns, &measured_n, &measured_d);
  talon_gst::OutputFormat format;
  GstCaps* caps = ChooseCaps(self, *ps, measured_n, measured_d, &format, &error);
  if (caps == nullptr) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("%s: %s", GST_PAD_NAME(ps->pad), error.c_str()),
                      (nullptr));
    return false;
  }
  StartPad(self, ps);
  if (!gst_pad_push_event(ps->pad, gst_event_new_caps(caps))) {
    gchar* text = gst_caps_to_string(caps);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                      ("%s: caps not accepted: %s", GST_PAD_NAME(ps->pad), text), (nullptr));
    g_free(text);
    gst_caps_unref(caps);
    return false;
  }
  GST_DEBUG_OBJECT(ps->pad, "negotiated %" GST_PTR_FORMAT, caps);
  gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &ps->fps_n, &ps->fps_d);
  WarnIfRateDisagrees(self, *ps);
  PushSegment(ps);

  // Frame buffers for downstream's minimum, the frame being pushed, the next
  // one in hand and two for the service to capture into, so that frames
  // are lent, not copied.
  bool video_meta = false;
  GstQuery* query = gst_query_new_allocation(caps, TRUE);
  if (gst_pad_peer_query(ps->pad, query)) {
    video_meta = gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    guint min = 0;
    if (gst_query_get_n_allocation_pools(query) > 0) {
      gst_query_parse_nth_allocation_pool(query, 0, nullptr, nullptr, &min, nullptr);
    }
    const uint32_t wanted = std::min<uint32_t>(min + 4, talon_gst::kMaxFrameBuffers);
    if (wanted > st->run_session->buffer_count()) {
      GST_DEBUG_OBJECT(ps->pad, "downstream keeps %u buffers: %u frame buffers", min, wanted);
      if (!st->run_session->Grow(wanted, &error)) {
        GST_ELEMENT_WARNING(self, RESOURCE, NO_SPACE_LEFT, ("%s", error.c_str()), (nullptr));
      }
    }
  }
  gst_query_unref(query);
  ps->output->Configure(format, video_meta);
  gst_caps_unref(caps);
  ps->negotiated = true;
  return true;
}

void PostQos(GstTalonSrc* self, GstClockTime pts, uint64_t dropped_now) {
  TalonSrcState* st = self->state;
  const GstClockTime duration =
      st->run_period_ns > 0 ? static_cast<GstClockTime>(st->run_period_ns) : GST_CLOCK_TIME_NONE;
  GstMessage* message = gst_message_new_qos(GST_OBJECT(self), TRUE, pts, pts, pts, duration);
  // How much later than the frame after the last pushed this one starts.
  gint64 jitter = 0;
  if (GST_CLOCK_TIME_IS_VALID(st->last_pts) && GST_CLOCK_TIME_IS_VALID(duration)) {
    jitter = GST_CLOCK_DIFF(st->last_pts + duration, pts);
  }
  gst_message_set_qos_values(message, jitter, 1.0, 1000000);
  // Frames the element never pushed: those the sensor's gaps lost and the
  // failed ones.
  gst_message_set_qos_stats(message, GST_FORMAT_BUFFERS, st->frames, st->dropped + st->failed);
  GST_INFO_OBJECT(self, "%" G_GUINT64_FORMAT " frames dropped before %" GST_TIME_FORMAT,
                  dropped_now, GST_TIME_ARGS(pts));
  gst_element_post_message(GST_ELEMENT(self), message);
}

// While capture runs, frame buffers are made at most this many a frame:
// each takes time (a 12 MP one milliseconds) that the capture waits.
constexpr uint32_t kGrowStep = 2;

// Frame buffers for the frames downstream holds until it renders them (the
// pipeline's latency, else the element's own) at the period known; made
// before the frame in hand is turned into buffers, at most `step` (0: all
// that are missing). Returns the nanoseconds it took. Streaming thread, or
// the state-change thread while the task is stopped.
int64_t SizeFrameBuffers(GstTalonSrc* self, uint32_t step) {
  TalonSrcState* st = self->state;
  const int64_t start_ns = vireo::BoottimeNs();
  GstClockTime latency = st->rate.MinLatency();
  const GstClockTime configured = st->configured_latency.load();
  if (GST_CLOCK_TIME_IS_VALID(configured)) latency = std::max(latency, configured);
  uint32_t wanted =
      talon_gst::FrameBuffersFor(latency, st->rate.period_ns(), talon_gst::kMaxFrameBuffers);
  const uint32_t have = st->run_session->buffer_count();
  if (wanted <= have || st->grow_warned) return 0;
  if (step > 0) wanted = std::min(wanted, have + step);
  GST_DEBUG_OBJECT(self, "latency %" GST_TIME_FORMAT ": %u frame buffers", GST_TIME_ARGS(latency),
                   wanted);
  std::string error;
  if (!st->run_session->Grow(wanted, &error)) {
    st->grow_warned = true;  // and no more tries
    GST_ELEMENT_WARNING(self, RESOURCE, NO_SPACE_LEFT, ("%s", error.c_str()), (nullptr));
  }
  return vireo::BoottimeNs() - start_ns;
}

// Pushes one frame on every pad; false when streaming ends. The frame
// buffer goes back to the capture before the pushes (which may wait for
// the clock) unless a pad lent it.
bool PushFrame(GstTalonSrc* self, TakenFrame taken) {
  TalonSrcState* st = self->state;
  std::shared_ptr<FrameLease>& lease = taken.lease;
  const int64_t growing_ns = SizeFrameBuffers(self, kGrowStep);
  for (PadStream& ps : st->streams) {
    if (!ps.negotiated && !Negotiate(self, &ps)) {
      EndStream(self);
      return false;
    }
  }
  {
    vireo::MutexLock lock(&st->mutex);
    if (st->resumed) {  // the pause is no gap of the sensor's
      st->resumed = false;
      st->chained = false;
      st->discont = true;
    }
  }
  // The gap before the frame, by the session's count (the sensor's stamp,
  // else the start-of-frame gaps) and the failed frames in it.
  const int64_t sof = taken.record.sof_ns;
  if (st->first_sof < 0) st->first_sof = sof;
  const uint64_t missing = st->chained ? taken.record.dropped_before + st->failed_since_pushed : 0;
  if (st->chained) st->sequence += 1 + missing;
  st->chained = true;
  st->failed_since_pushed = 0;
  st->dropped += taken.record.dropped_before;
  const GstClockTime pts = talon_gst::BoottimeToRunningTime(GST_ELEMENT(self), sof, st->first_sof);
  if (missing > 0) {
    st->discont = true;
    PostQos(self, pts, missing);
  }
  const int64_t start_ns = vireo::BoottimeNs();
  const bool may_lend = st->run_session->MayLend(
      std::min<uint32_t>(2 * st->run.buffers, talon_gst::kMaxFrameBuffers));
  GstFlowReturn combined = GST_FLOW_OK;
  std::vector<std::pair<GstPad*, GstBuffer*>> buffers;
  for (PadStream& ps : st->streams) {
    if (!gst_pad_is_linked(ps.pad)) {  // no buffer, so no conversion
      combined = gst_flow_combiner_update_pad_flow(st->combiner, ps.pad, GST_FLOW_NOT_LINKED);
      continue;
    }
    const bool was_copying = ps.output->copying();
    std::string error;
    GstBuffer* buffer = ps.output->Make(lease, may_lend, &error);
    if (buffer == nullptr) {  // stopping (the pool flushes), or no picture
      for (const auto& b : buffers) gst_buffer_unref(b.second);
      if (error.empty()) return true;
      GST_ELEMENT_ERROR(self, STREAM, FAILED, ("%s: %s", GST_PAD_NAME(ps.pad), error.c_str()),
                        (nullptr));
      EndStream(self);
      return false;
    }
    if (ps.output->copying() != was_copying) {
      GST_LOG_OBJECT(ps.pad,
                     "%s frame buffers: downstream holds %s (%" G_GUINT64_FORMAT
                     " frames copied so far)",
                     was_copying ? "lending" : "copying out of",
                     was_copying ? "few again" : "all but two", ps.output->copies());
    }
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = st->run_period_ns >= kMinPeriodNs
                                      ? static_cast<GstClockTime>(st->run_period_ns)
                                      : GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(buffer) = st->frames;
    GST_BUFFER_OFFSET_END(buffer) = st->frames + 1;
    talon_gst::AddSensorFrameMeta(buffer, st->sequence);
    if (st->discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    buffers.emplace_back(ps.pad, buffer);
  }
  // What the latency must cover beyond the period: how long the frame takes
  // to go out once it is whole (its start plus a period; one more for a
  // first frame held for the second) and the thread free to take it, the
  // wake-up and the conversion. Time the thread spent in downstream's
  // pushes is downstream's latency, not the element's; making frame buffers
  // is a one-off (counted, it would make more and more).
  const int64_t now_ns = vireo::BoottimeNs();
  const int64_t ended_ns = sof + st->rate.period_ns() * (st->rate.holding() ? 2 : 1);
  const int64_t ready_ns = std::max(ended_ns, st->asked_ns);
  if (st->rate.RecordConversion(now_ns - std::min(ready_ns, start_ns) - growing_ns)) {
    GST_DEBUG_OBJECT(self, "latency now %" GST_TIME_FORMAT, GST_TIME_ARGS(st->rate.MinLatency()));
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
  }
  lease.reset();
  for (const auto& b : buffers) {
    combined =
        gst_flow_combiner_update_pad_flow(st->combiner, b.first, gst_pad_push(b.first, b.second));
  }
  st->last_pts = pts;
  st->discont = false;
  ++st->frames;
  if (combined == GST_FLOW_FLUSHING) {
    PauseTask(self, false);
    return false;
  }
  if (combined == GST_FLOW_EOS) {
    EndStream(self);
    return false;
  }
  if (combined != GST_FLOW_OK) {
    GST_ELEMENT_FLOW_ERROR(self, combined);
    EndStream(self);
    return false;
  }
  if (st->run.num_buffers >= 0 && st->frames >= static_cast<uint64_t>(st->run.num_buffers)) {
    EndStream(self);
    return false;
  }
  return true;
}

// A frame that failed: dropped, said as the error policy says.
void DropFrame(GstTalonSrc* self, vireo::CaptureError error) {
  TalonSrcState* st = self->state;
  const talon_gst::ErrorPolicy::Verdict verdict = st->errors.Failed(error, vireo::BoottimeNs());
  GST_DEBUG_OBJECT(self, "frame dropped: %s", talon_gst::DescribeCaptureError(error).c_str());
  if (!verdict.warning.empty()) {
    GST_ELEMENT_WARNING(self, RESOURCE, READ, ("%s", verdict.warning.c_str()), (nullptr));
  }
  if (!verdict.error.empty()) {
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("%s", verdict.error.c_str()), (nullptr));
    EndStream(self);
  }
}

// The period between two frames' starts becomes the run's (framerate's
// when the host's scheduling is all it shows); pads negotiated already are
// checked against it.
void SetPeriod(GstTalonSrc* self, int64_t period_ns) {
  TalonSrcState* st = self->state;
  st->run_period_ns = period_ns >= kMinPeriodNs
                          ? period_ns
                          : talon_gst::PeriodOfFraction(st->run.fps_n, st->run.fps_d);
  st->rate.SetPeriod(st->run_period_ns);
  int n = 0, d = 1;
  talon_gst::FractionOfPeriod(st->run_period_ns, &n, &d);
  GST_INFO_OBJECT(self, "measured frame rate %d/%d (period %" G_GINT64_FORMAT " ns)", n, d,
                  st->run_period_ns);
  for (const PadStream& ps : st->streams) {
    if (ps.negotiated) WarnIfRateDisagrees(self, ps);
  }
}

// Without `framerate`: the sensor's period from the first two frames of one
// stretch of PLAYING, the first held meanwhile (the caps need the rate), the
// sensor frames between them known from the session's count; false while
// the first is held.
bool MeasurePeriod(GstTalonSrc* self, TakenFrame* taken) {
  TalonSrcState* st = self->state;
  bool resumed;
  {
    vireo::MutexLock lock(&st->mutex);
    resumed = st->resumed;
    st->resumed = false;  // nothing pushed yet: no timeline to reset
  }
  if (st->held.lease == nullptr || resumed) {
    st->held = std::move(*taken);
    return false;
  }
  const uint64_t periods = 1 + taken->record.dropped_before + st->failed_since_pushed;
  SetPeriod(self, (taken->record.sof_ns - st->held.record.sof_ns) / static_cast<int64_t>(periods));
  return true;
}

// With `framerate`: nothing is held; the period is measured between the
// first frame pushed in one stretch of PLAYING and the next.
void MeasureFromPushed(GstTalonSrc* self, int64_t sof) {
  TalonSrcState* st = self->state;
  bool resumed;
  {
    vireo::MutexLock lock(&st->mutex);
    resumed = st->resumed;  // PushFrame resets the timeline
  }
  if (st->measure_from < 0 || resumed) {
    st->measure_from = sof;
    return;
  }
  SetPeriod(self, sof - st->measure_from);
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
}

void Loop(gpointer data) {
  GstTalonSrc* self = GST_TALON_SRC(data);
  TalonSrcState* st = self->state;
  bool end;
  {
    vireo::MutexLock lock(&st->mutex);
    end = st->eos_requested || st->ended;
  }
  if (end || st->run.num_buffers == 0) {
    EndStream(self);
    PauseTask(self, false);
    return;
  }
  TakenFrame taken;
  st->asked_ns = vireo::BoottimeNs();
  const talon_support::WaitEnd waited =
      st->run_session->Take(talon_gst::FrameWaitMs(st->run, st->run_period_ns), &taken);
  if (waited == talon_support::WaitEnd::kTimedOut) {  // none within three periods: stalled
    DropFrame(self, vireo::CaptureError::TIMEOUT);
    return;
  }
  if (waited != talon_support::WaitEnd::kFrame) {
    PauseTask(self, true);
    return;
  }
  if (taken.lease == nullptr) {  // a sensor frame that a buffer received, not pushed
    ++st->failed;
    ++st->failed_since_pushed;
    // A failed frame is back in the capture already, as is one the library
    // would not lock.
    const bool failed = taken.record.error != vireo::CaptureError::SUCCESS;
    DropFrame(self, failed ? taken.record.error : taken.lock_error);
    return;
  }
  st->errors.Succeeded();
  if (st->run.fps_n > 0) {
    if (st->run_period_ns == 0) MeasureFromPushed(self, taken.record.sof_ns);
  } else if (st->frames == 0 && st->run_period_ns == 0) {
    if (!MeasurePeriod(self, &taken)) return;
    TakenFrame first = std::move(st->held);
    st->held = TakenFrame();
    const bool more = PushFrame(self, std::move(first));
    // The latency covered the wait for the second frame until now.
    st->rate.FirstPushed();
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
    if (!more) return;
  }
  PushFrame(self, std::move(taken));
}

gboolean QueryPad(GstPad* pad, GstObject* parent, GstQuery* query) {
  GstTalonSrc* self = ElementOf(parent);
  TalonSrcState* st = self->state;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_LATENCY: {
      const GstClockTime min = st->rate.MinLatency();
      const GstClockTime max = st->rate.MaxLatency(talon_gst::kMaxFrameBuffers);
      GST_DEBUG_OBJECT(self, "latency %" GST_TIME_FORMAT " to %" GST_TIME_FORMAT,
                       GST_TIME_ARGS(min), GST_TIME_ARGS(max));
      gst_query_set_latency(query, TRUE, min, max);
      return TRUE;
    }
    case GST_QUERY_CAPS: {
      const talon_gst::Settings settings = st->SettingsNow();
      gst_talon_src_pad_answer_caps(pad, settings.cfa, settings.isp.half_size, settings.fps_n,
                                    settings.fps_d, query);
      return TRUE;
    }
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

gboolean EventPad(GstPad* pad, GstObject* parent, GstEvent* event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {  // a live source does not seek
    gst_event_unref(event);
    return FALSE;
  }
  if (GST_EVENT_TYPE(event) == GST_EVENT_LATENCY) {
    GstClockTime latency = GST_CLOCK_TIME_NONE;
    gst_event_parse_latency(event, &latency);
    GST_DEBUG_OBJECT(pad, "pipeline latency %" GST_TIME_FORMAT, GST_TIME_ARGS(latency));
    ElementOf(parent)->state->configured_latency = latency;
  }
  return gst_pad_event_default(pad, parent, event);
}

GstPad* NewPad(GstPadTemplate* templ, const char* name) {
  GstPad* pad = GST_PAD(g_object_new(GST_TYPE_TALON_SRC_PAD, "name", name, "direction", GST_PAD_SRC,
                                     "template", templ, nullptr));
  gst_pad_set_query_function(pad, QueryPad);
  gst_pad_set_event_function(pad, EventPad);
  gst_pad_use_fixed_caps(pad);
  return pad;
}

// NULL→READY: the configuration from the properties, checked, and the
// service with its frame buffers.
// What the service is made from: the settings read at NULL→READY and every
// pad's stream. A change in READY makes the service again at READY→PAUSED.
std::string OpenKey(GstTalonSrc* self) {
  std::string key;
  {
    vireo::MutexLock lock(&self->state->mutex);
    key = talon_gst::OpenedSettingsKey(self->state->settings);
  }
  for (GstPad* pad : PadsInOrder(self))
    absl::StrAppend(&key, " ", gst_talon_src_pad_get_stream(pad));
  return key;
}

// The element's receiver and virtual channel, claimed against the other
// talonsrc of the process (gst/receiver_claims.h).
bool ClaimReceiver(GstTalonSrc* self, const talon_gst::Settings& settings) {
  gchar* name = gst_object_get_name(GST_OBJECT(self));
  std::string error;
  const bool claimed =
      talon_gst::ClaimReceiver(self, name, settings.mipi_rx, settings.virtual_channel, &error);
  g_free(name);
  if (!claimed) {
    GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("%s", error.c_str()), (nullptr));
  }
  return claimed;
}

bool Open(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  vireo::CaptureConfig config;
  const std::string key = OpenKey(self);
  const talon_gst::Settings settings = st->SettingsNow();
  if (!ClaimReceiver(self, settings)) return false;
  config.mipi_rx = settings.mipi_rx;
  config.virtual_channel = settings.virtual_channel;
  config.timeout_ms = talon_gst::FrameWaitMs(settings, 0);
  std::string error;
  for (GstPad* pad : PadsInOrder(self)) {
    vireo::CaptureStreamConfig stream;
    GstCaps* caps = nullptr;
    if (!gst_talon_src_pad_stream_config(pad, &stream, &error) ||
        (caps = talon_gst::StreamCaps(stream, settings.cfa, settings.isp.half_size, 0, 1,
                                      &error)) == nullptr) {
      GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s: %s", GST_PAD_NAME(pad), error.c_str()),
                        (nullptr));
      return false;
    }
    gst_caps_unref(caps);
    config.stream_configs.push_back(stream);
  }
  GST_DEBUG_OBJECT(self, "service wait %u ms", config.timeout_ms);
  if (!talon_gst::CheckCaptureConfigOption(config, &error)) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s", error.c_str()), (nullptr));
    return false;
  }
  std::string cache_dir, note;
  if (!talon_support::ChooseGraphCacheDir("", &cache_dir, &note, &error)) {
    GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ_WRITE, ("%s", error.c_str()), (nullptr));
    return false;
  }
  if (!note.empty()) GST_INFO_OBJECT(self, "%s", note.c_str());
  GST_DEBUG_OBJECT(self, "graph cache %s", cache_dir.c_str());
  vireo::CaptureError refusal = vireo::CaptureError::SUCCESS;
  std::shared_ptr<CaptureSession> session =
      CaptureSession::Create(config, settings.buffers, &refusal, &error);
  if (session == nullptr) {
    GST_ELEMENT_ERROR(
        self, RESOURCE, OPEN_READ,
        ("the library refused the configuration: %s (%s)", error.c_str(),
         talon_support::CaptureErrorName(refusal)),
        ("mipi-rx %d, virtual-channel %u, timeout-ms %u, buffers %u", settings.mipi_rx,
         settings.virtual_channel, config.timeout_ms, settings.buffers));
    return false;
  }
  vireo::MutexLock lock(&st->mutex);
  st->session = std::move(session);
  st->opened_key = key;
  return true;
}

// The ISP's settings against every Bayer stream, at NULL→READY and again at
// READY→PAUSED (they may change in READY). A stream that does not parse is
// left to Open.
bool CheckPictureSettings(GstTalonSrc* self) {
  const talon_gst::Settings settings = self->state->SettingsNow();
  for (GstPad* pad : PadsInOrder(self)) {
    vireo::CaptureStreamConfig stream;
    std::string error;
    if (gst_talon_src_pad_stream_config(pad, &stream, &error) &&
        !talon_gst::CheckIspSettings(settings, stream, &error)) {
      GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s: %s", GST_PAD_NAME(pad), error.c_str()),
                        (nullptr));
      return false;
    }
  }
  return true;
}

// READY→PAUSED: a Bayer stream of odd size has no video/x-bayer caps; when
// downstream takes none of its others (bayer2rgb) it is refused now, with
// the reason, rather than at the first frame.
bool CheckOddBayer(GstTalonSrc* self) {
  const talon_gst::Settings settings = self->state->SettingsNow();
  for (GstPad* pad : PadsInOrder(self)) {
    vireo::CaptureStreamConfig stream;
    std::string error;
    if (!gst_talon_src_pad_stream_config(pad, &stream, &error) || !gst_pad_is_linked(pad)) {
      continue;
    }
    const std::string odd = talon_gst::OddBayerProblem(stream);
    if (odd.empty()) continue;
    GstCaps* ours = talon_gst::OfferedCaps(stream, settings.cfa, settings.isp.half_size,
                                           settings.fps_n, settings.fps_d, &error);
    if (ours == nullptr) continue;
    GstCaps* peer = gst_pad_peer_query_caps(pad, ours);
    const bool refused = peer == nullptr || gst_caps_is_empty(peer);
    if (peer != nullptr) gst_caps_unref(peer);
    gst_caps_unref(ours);
    if (refused) {
      GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                        ("%s: %s, and downstream takes none of the stream's other caps",
                         GST_PAD_NAME(pad), odd.c_str()),
                        (nullptr));
      return false;
    }
  }
  return true;
}

// READY→PAUSED: a fresh streaming state.
void Prepare(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  const std::vector<GstPad*> pads = PadsInOrder(self);
  {
    vireo::MutexLock lock(&st->mutex);
    st->run_session = st->session;
    st->run = st->settings;
    st->resumed = false;
    st->stopping = false;
    st->eos_requested = false;
    st->ended = false;
  }
  st->rate.Reset(talon_gst::PeriodOfFraction(st->run.fps_n, st->run.fps_d));
  st->configured_latency = GST_CLOCK_TIME_NONE;
  st->run_period_ns = 0;  // measured from the first frames
  st->measure_from = -1;
  st->last_pts = GST_CLOCK_TIME_NONE;
  st->grow_warned = false;
  st->rate_warned = false;
  st->errors = talon_gst::ErrorPolicy(st->run.max_errors);
  st->streams.clear();
  st->combiner = gst_flow_combiner_new();
  for (size_t i = 0; i < pads.size(); ++i) {
    PadStream ps;
    ps.pad = pads[i];
    ps.config = st->run_session->config().stream_configs[i];
    ps.output = std::make_shared<talon_gst::PadOutput>(ps.config, talon_gst::IspSettings(st->run),
                                                       static_cast<int>(st->run.isp_threads));
    {
      vireo::MutexLock lock(&st->mutex);
      st->outputs.push_back(ps.output);
      ps.output->SetFlushing(!st->playing);
    }
    ExpectOutput(self, ps);
    st->streams.push_back(ps);
    gst_flow_combiner_add_pad(st->combiner, pads[i]);
  }
  // Before capture starts, for the latency known now: growing while the
  // capture runs costs the time of making frame buffers.
  SizeFrameBuffers(self, 0);
  st->group_id = gst_util_group_id_next();
  st->frames = st->dropped = st->failed = st->failed_since_pushed = st->sequence = 0;
  st->chained = false;
  st->first_sof = -1;
  st->discont = true;
  vireo::MutexLock lock(&st->mutex);
  st->prepared = true;
}

// PAUSED→READY, with the task joined.
void Unprepare(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  st->held = TakenFrame();
  for (const PadStream& ps : st->streams) {
    GST_INFO_OBJECT(ps.pad,
                    "%" G_GUINT64_FORMAT " frames pushed, %" G_GUINT64_FORMAT
                    " copied because downstream held the frame buffers, %" G_GUINT64_FORMAT
                    " sensor frames dropped",
                    st->frames, ps.output != nullptr ? ps.output->copies() : 0, st->dropped);
  }
  {
    vireo::MutexLock lock(&st->mutex);
    st->outputs.clear();
    st->prepared = false;
  }
  st->streams.clear();
  if (st->combiner != nullptr) gst_flow_combiner_free(st->combiner);
  st->combiner = nullptr;
  st->run_session.reset();
}

void Play(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  std::shared_ptr<CaptureSession> session;
  {
    vireo::MutexLock lock(&st->mutex);
    session = st->session;
    st->playing = true;
    if (st->ended) return;  // EOS already pushed
  }
  session->Start();
  vireo::MutexLock lock(&st->mutex);
  st->resumed = true;
  for (const auto& output : st->outputs) output->SetFlushing(false);
  gst_task_start(self->task);
}

// Out of PLAYING: the task's wait is woken (the capture goes on: no run in
// flight is cancelled; PAUSED→READY then stops it) and a pool wait ends;
// the task pauses itself (never waited for here: it may be pushing into a
// sink that blocks until PLAYING).
void Unplay(GstTalonSrc* self) {
  TalonSrcState* st = self->state;
  std::shared_ptr<CaptureSession> session;
  {
    vireo::MutexLock lock(&st->mutex);
    st->playing = false;
    for (const auto& output : st->outputs) output->SetFlushing(true);
    session = st->session;
    gst_task_pause(self->task);
  }
  if (session != nullptr) session->Wake();
}

// PAUSED→READY: the capture stops (the runs in flight are cancelled).
void StopCapture(GstTalonSrc* self) {
  std::shared_ptr<CaptureSession> session;
  {
    vireo::MutexLock lock(&self->state->mutex);
    session = self->state->session;
  }
  if (session != nullptr) session->Stop();
}

}  // namespace

static GstStateChangeReturn gst_talon_src_change_state(GstElement* element,
                                                       GstStateChange transition) {
  GstTalonSrc* self = GST_TALON_SRC(element);
  GST_DEBUG_OBJECT(self, "%s to %s",
                   gst_element_state_get_name(GST_STATE_TRANSITION_CURRENT(transition)),
                   gst_element_state_get_name(GST_STATE_TRANSITION_NEXT(transition)));
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY:
      if (!CheckPictureSettings(self) || !Open(self)) {
        talon_gst::ReleaseReceiver(self);
        return GST_STATE_CHANGE_FAILURE;
      }
      break;
    case GST_STATE_CHANGE_READY_TO_PAUSED: {
      if (!CheckPictureSettings(self) || !CheckOddBayer(self)) return GST_STATE_CHANGE_FAILURE;
      std::string opened_key;
      {
        vireo::MutexLock lock(&self->state->mutex);
        opened_key = self->state->opened_key;
      }
      if (OpenKey(self) != opened_key) {
        GST_DEBUG_OBJECT(self, "properties changed in READY: the service is made again");
        {
          vireo::MutexLock lock(&self->state->mutex);
          self->state->session.reset();
        }
        if (!Open(self)) return GST_STATE_CHANGE_FAILURE;
      }
      g_rec_mutex_lock(&self->task_lock);
      Prepare(self);
      g_rec_mutex_unlock(&self->task_lock);
      break;
    }
    case GST_STATE_CHANGE_PAUSED_TO_PLAYING:
      Play(self);
      break;
    case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
      Unplay(self);
      break;
    default:
      break;
  }
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(gst_talon_src_parent_class)->change_state(element, transition);
  if (ret == GST_STATE_CHANGE_FAILURE) return ret;
  switch (transition) {
    case GST_STATE_CHANGE_READY_TO_PAUSED:
    case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
      ret = GST_STATE_CHANGE_NO_PREROLL;  // a live source
      break;
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      // The pads are flushing now: a push returns, and the task ends.
      Unplay(self);
      StopCapture(self);
      {
        vireo::MutexLock lock(&self->state->mutex);
        self->state->stopping = true;
        gst_task_stop(self->task);
      }
      gst_task_join(self->task);
      g_rec_mutex_lock(&self->task_lock);
      Unprepare(self);
      g_rec_mutex_unlock(&self->task_lock);
      break;
    case GST_STATE_CHANGE_READY_TO_NULL: {
      TalonSrcState* st = self->state;
      {
        vireo::MutexLock lock(&st->mutex);
        st->session.reset();
      }
      talon_gst::ReleaseReceiver(self);
      break;
    }
    default:
      break;
  }
  return ret;
}

// EOS sent to the element (gst-launch-1.0 -e, an application ending a
// recording): playing, the task ends the stream after the frame under way;
// paused, the stream ends here, under the task's lock.
static gboolean gst_talon_src_send_event(GstElement* element, GstEvent* event) {
  if (GST_EVENT_TYPE(event) != GST_EVENT_EOS) {
    return GST_ELEMENT_CLASS(gst_talon_src_parent_class)->send_event(element, event);
  }
  gst_event_unref(event);
  GstTalonSrc* self = GST_TALON_SRC(element);
  TalonSrcState* st = self->state;
  bool playing;
  {
    vireo::MutexLock lock(&st->mutex);
    if (!st->prepared) return FALSE;
    st->eos_requested = true;
    playing = st->playing;
  }
  GST_DEBUG_OBJECT(self, "EOS requested while %s", playing ? "playing" : "paused");
  if (!playing) {
    g_rec_mutex_lock(&self->task_lock);
    bool prepared;
    {
      vireo::MutexLock lock(&st->mutex);
      prepared = st->prepared;
    }
    if (prepared) EndStream(self);
    g_rec_mutex_unlock(&self->task_lock);
  }
  return TRUE;
}

static GstPad* gst_talon_src_request_new_pad(GstElement* element, GstPadTemplate* templ,
                                             const gchar* name, const GstCaps* /*caps*/) {
  GstTalonSrc* self = GST_TALON_SRC(element);
  TalonSrcState* st = self->state;
  if (GST_STATE(element) != GST_STATE_NULL) {
    GST_ELEMENT_WARNING(self, CORE, PAD, ("pads are requested before the element leaves NULL"),
                        (nullptr));
    return nullptr;
  }
  std::string pad_name;
  bool full;
  {
    vireo::MutexLock lock(&st->mutex);
    full = st->request_pads.size() >= vireo::kMaxCaptureStreams - 1;
  }
  if (full) {
    GST_ELEMENT_WARNING(self, CORE, PAD, ("at most 3 streams: src and two src_%%u pads"),
                        (nullptr));
    return nullptr;
  }
  {
    vireo::MutexLock lock(&st->mutex);
    guint index = st->next_pad_index;
    if (name != nullptr && sscanf(name, "src_%u", &index) != 1) return nullptr;
    pad_name = absl::StrCat("src_", index);
    for (GstPad* pad : st->request_pads) {
      if (pad_name == GST_PAD_NAME(pad)) return nullptr;
    }
    st->next_pad_index = std::max(st->next_pad_index, index + 1);
  }
  GstPad* pad = NewPad(templ, pad_name.c_str());
  {
    vireo::MutexLock lock(&st->mutex);
    st->request_pads.push_back(pad);
  }
  gst_element_add_pad(element, pad);
  gst_child_proxy_child_added(GST_CHILD_PROXY(element), G_OBJECT(pad), pad_name.c_str());
  return pad;
}

static void gst_talon_src_release_pad(GstElement* element, GstPad* pad) {
  GstTalonSrc* self = GST_TALON_SRC(element);
  TalonSrcState* st = self->state;
  {
    vireo::MutexLock lock(&st->mutex);
    auto it = std::find(st->request_pads.begin(), st->request_pads.end(), pad);
    if (it == st->request_pads.end()) return;
    st->request_pads.erase(it);
  }
  gst_child_proxy_child_removed(GST_CHILD_PROXY(element), G_OBJECT(pad), GST_PAD_NAME(pad));
  gst_element_remove_pad(element, pad);
}

static GObject* gst_talon_src_child_by_index(GstChildProxy* proxy, guint index) {
  GstTalonSrc* self = GST_TALON_SRC(proxy);
  const std::vector<GstPad*> pads = PadsInOrder(self);
  if (index >= pads.size()) return nullptr;
  return G_OBJECT(gst_object_ref(pads[index]));
}

static guint gst_talon_src_children_count(GstChildProxy* proxy) {
  return static_cast<guint>(PadsInOrder(GST_TALON_SRC(proxy)).size());
}

static void gst_talon_src_child_proxy_init(gpointer iface, gpointer /*data*/) {
  GstChildProxyInterface* proxy = static_cast<GstChildProxyInterface*>(iface);
  proxy->get_child_by_index = gst_talon_src_child_by_index;
  proxy->get_children_count = gst_talon_src_children_count;
}

static void gst_talon_src_set_property(GObject* object, guint id, const GValue* value,
                                       GParamSpec* pspec) {
  GstTalonSrc* self = GST_TALON_SRC(object);
  if (id == talon_gst::kPropStream) {
    g_object_set_property(G_OBJECT(self->src), "stream", value);
    return;
  }
  if (talon_gst::RefusedAfterReady(GST_ELEMENT(self), pspec->name)) return;
  TalonSrcState* st = self->state;
  std::string refused;
  {
    vireo::MutexLock lock(&st->mutex);
    if (!talon_gst::SetSetting(&st->settings, id, value, &refused)) {
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
  }
  // As GObject refuses a value outside a property's declared range.
  if (!refused.empty()) {
    g_warning("%s: %s: %s; the value stays", GST_OBJECT_NAME(self), pspec->name, refused.c_str());
  }
}

static void gst_talon_src_get_property(GObject* object, guint id, GValue* value,
                                       GParamSpec* pspec) {
  GstTalonSrc* self = GST_TALON_SRC(object);
  if (id == talon_gst::kPropStream) {
    g_object_get_property(G_OBJECT(self->src), "stream", value);
    return;
  }
  TalonSrcState* st = self->state;
  talon_gst::Settings s;
  {
    vireo::MutexLock lock(&st->mutex);
    s = st->settings;
  }
  if (!talon_gst::GetSetting(s, id, value)) G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

static void gst_talon_src_finalize(GObject* object) {
  GstTalonSrc* self = GST_TALON_SRC(object);
  talon_gst::ReleaseReceiver(self);
  gst_object_unref(self->task);
  g_rec_mutex_clear(&self->task_lock);
  delete self->state;
  G_OBJECT_CLASS(gst_talon_src_parent_class)->finalize(object);
}

static void gst_talon_src_init(GstTalonSrc* self) {
  self->state = new TalonSrcState;
  g_rec_mutex_init(&self->task_lock);
  self->task = gst_task_new(Loop, self, nullptr);
  gst_task_set_lock(self->task, &self->task_lock);
  self->src = NewPad(gst_static_pad_template_get(&src_template), "src");
  g_object_set(self->src, "stream", talon_gst::DefaultStreamText().c_str(), nullptr);
  gst_element_add_pad(GST_ELEMENT(self), self->src);
  GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

static void gst_talon_src_class_init(GstTalonSrcClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->set_property = gst_talon_src_set_property;
  object_class->get_property = gst_talon_src_get_property;
  object_class->finalize = gst_talon_src_finalize;
  element_class->change_state = gst_talon_src_change_state;
  element_class->send_event = gst_talon_src_send_event;
  element_class->request_new_pad = gst_talon_src_request_new_pad;
  element_class->release_pad = gst_talon_src_release_pad;

  talon_gst::InstallSettings(object_class);

  gst_element_class_add_static_pad_template_with_gtype(element_class, &src_template,
                                                       GST_TYPE_TALON_SRC_PAD);
  gst_element_class_add_static_pad_template_with_gtype(element_class, &request_template,
                                                       GST_TYPE_TALON_SRC_PAD);
  gst_element_class_set_static_metadata(
      element_class, "Talon camera source", "Source/Video",
      "Captures MIPI CSI-2 streams through the IPU's capture service, one stream per pad", "talon");
  GST_DEBUG_CATEGORY_INIT(talon_src_debug, "talonsrc", 0, "talon camera source");
  talon_gst::RouteLibraryLog();
  gst_type_mark_as_plugin_api(talon_gst::CfaEnumType(), static_cast<GstPluginAPIFlags>(0));
  gst_type_mark_as_plugin_api(talon_gst::GammaEnumType(), static_cast<GstPluginAPIFlags>(0));
  gst_type_mark_as_plugin_api(GST_TYPE_TALON_SRC_PAD, static_cast<GstPluginAPIFlags>(0));
}
