// talon-cam: captures frames from the IPU through libtalon's capture API,
// prints one line per frame and a summary, and optionally writes the raw
// frames, DNG files, per-frame metadata (JSON Lines) and a PNG preview
// (frame_writer.h).
//
// The client side of the capture is the capture session's
// (support/capture_session.h): it owns the service, the frame-buffer factory
// and the frame buffers, lends each frame with its streams locked, and
// records it by the rule every surface counts drops with. talon-cam keeps
// --buffers of them in the service and hands every frame back until the last
// frame wanted is in (--frames 0: no last), so that the worker always has a
// run queued behind the one it waits for and never waits --timeout-ms for a
// buffer that will not come; then it drains the session at once (the runs
// still in flight are cancelled and not counted) and prints the summary.
//
// Threads: one capture thread (main) takes, records, writes and hands back
// the frames. The outputs write on threads of their own (frame_writer.h): a
// frame they keep goes back to the capture when they let go of it, and a
// spare buffer takes its place in the service at once, so the capture never
// waits for them; the spares are made ahead of need on the spare maker's
// thread (spare_maker.h). SIGINT and SIGTERM stop the capture through the
// StopWatcher's thread (stop_watcher.h), which wakes the session: a wait for
// a frame or a timeout ends within a slice. Besides, the service runs its
// worker thread, and the live view (--serve, live_view.h), shown every
// frame, its server and encoders. The statistics keep nothing per frame
// (support/frame_stats.h): a capture may run for days.

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/capture_error_name.h"
#include "support/capture_session.h"
#include "support/frame_stats.h"
#include "support/graph_cache_dir.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_types.h"
#include "tools/talon-cam/frame_writer.h"
#include "tools/talon-cam/live_view.h"
#include "tools/talon-cam/output_targets.h"
#include "tools/talon-cam/spare_maker.h"
#include "tools/talon-cam/stop_watcher.h"
#include "tools/talon-cam/talon_cam_options.h"

namespace {

using talon_cam::Options;
using talon_support::BoottimeNs;
using talon_support::ProcessCpuNs;
using talon_support::TakenFrame;
using talon_support::WaitEnd;

class Capture {
 public:
  // `live`: the live view that is shown every frame, or null.
  Capture(const Options& options, talon_cam::StopWatcher* stop, talon_cam::LiveView* live)
      : options_(options), stop_(*stop), live_(live) {}

  // Runs the whole capture; returns the exit status.
  int Run();

 private:
  // The session with --buffers frame buffers enqueued, the first spares made
  // and the spare maker started; false (said) when the library refuses.
  bool Open();
  // Takes, handles and hands back frames until the last frame wanted or a
  // stop.
  void Loop();
  // Ends the capture and takes back what the service still returns. After
  // the last frame wanted, those are runs beyond it, not frames; a capture
  // that ended early (stopped, or out of buffers) still counts the frames
  // among them, up to the total, and returns how many runs the stop
  // cancelled.
  uint64_t Drain();
  // More frames wanted: --frames 0 wants them until a stop.
  bool Wanted() const { return options_.frames == 0 || frames_ < options_.frames; }
  // Handles the frame; true when the outputs keep its buffer.
  bool HandleFrame(TakenFrame* taken);
  // Gives the service spares until it has --buffers frame buffers again,
  // those the outputs keep not counted; false when it has none to capture
  // into and none will come back (the preview keeps the last).
  bool Supply();
  // A spare: one made up front, else one the spare maker made, else the one
  // it is making while the write memory has room; null when none will come.
  std::unique_ptr<vireo::CaptureFrameBuffer> NextSpare();
  void PrintFrame(uint64_t index, const talon_support::FrameRecord& record);
  void PrintProgress(bool final_line);
  // Prints the summary, writes the previews; the exit status.
  int Report(const talon_support::Summary& summary, bool interrupted, uint64_t cancelled_at_stop,
             int64_t cpu_ns);

  const Options& options_;
  talon_cam::StopWatcher& stop_;
  talon_cam::LiveView* const live_;
  // The frames' records and statistics are the session's. Its frame
  // buffers outlive it while the outputs hold their leases.
  std::shared_ptr<talon_support::CaptureSession> session_;
  // Spares made up front for the outputs to keep, not yet in play.
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> spares_;
  // The spares beyond the first few, made while the capture runs with the
  // session's factory; stopped before the session goes.
  talon_cam::SpareMaker spare_maker_;
  talon_cam::FrameWriter writer_{options_};
  uint64_t frames_ = 0;  // taken, failed ones included
  int64_t previous_sof_ns_ = 0;
  int64_t start_ns_ = 0;
  int64_t last_progress_ns_ = 0;
  bool progress_shown_ = false;
  bool write_failed_ = false;
  bool said_no_spare_ = false;
};

bool Capture::Open() {
  vireo::CaptureError refused = vireo::CaptureError::SUCCESS;
  std::string reason;
  // The frame buffers come next, so that a failure says which.
  session_ = talon_support::CaptureSession::Create(options_.config, 0, &refused, &reason);
  if (session_ == nullptr) {
    std::fprintf(stderr, "talon-cam: configuration refused: %s (%s)\n", reason.c_str(),
                 talon_support::CaptureErrorName(refused));
    return false;
  }
  // All of them, also for fewer frames: a lone buffer would be captured
  // single-buffered after a wait of --timeout-ms for a second one.
  if (!session_->Grow(options_.buffers, &reason)) {
    std::fprintf(stderr, "talon-cam: %s (see the log lines above)\n", reason.c_str());
    return false;
  }
  // Then the spares for the frames that the outputs keep: a few now, which
  // is all that outputs keeping up ever hold, and the rest, up to what the
  // write memory holds, on the spare maker's thread ahead of need once the
  // outputs fall behind (making a second of 12 MP frames up front would cost
  // the start 462 MB and a few hundred ms).
  constexpr uint64_t kSparesFirst = 2;
  constexpr uint64_t kSparesAhead = 4;
  const uint64_t spares = writer_.FramesKeptAtMost();
  const uint64_t first = std::min(spares, kSparesFirst);
  for (uint64_t i = 0; i < first; ++i) {
    spares_.push_back(session_->MakeFrame());
    if (spares_.back() == nullptr) {
      std::fprintf(stderr,
                   "talon-cam: could not create spare frame buffer %" PRIu64 " of %" PRIu64
                   " (the frames outputs keep; see the log lines above)\n",
                   i + 1, first);
      return false;
    }
  }
  talon_support::CaptureSession* session = session_.get();
  spare_maker_.Start([session] { return session->MakeFrame(); }, spares - first, kSparesAhead);
  return true;
}

void Capture::Loop() {
  // As long as it takes: the service fails a frame it waited --timeout-ms
  // for, and a stop ends the wait.
  constexpr uint32_t kNoTimeLimit = UINT32_MAX;
  while (stop_.stop_signal() == 0 && Wanted()) {
    TakenFrame taken;
    const WaitEnd end = session_->Take(kNoTimeLimit, &taken);
    if (end == WaitEnd::kTimedOut) continue;
    if (end != WaitEnd::kFrame) break;  // a stop woke the wait
    const bool kept = HandleFrame(&taken);
    taken = TakenFrame();  // back to the capture, unless the outputs keep it
    if (!Wanted()) break;
    if (kept && !Supply()) {
      std::fprintf(stderr, "talon-cam: no frame buffer left to capture into\n");
      write_failed_ = true;
      break;
    }
    writer_.Enqueued(frames_ - 1, BoottimeNs());
  }
}

bool Capture::Supply() {
  for (;;) {
    const uint32_t total = session_->buffer_count();
    const uint32_t leased = std::min(session_->leased(), total);
    if (total - leased >= options_.buffers) return true;
    std::unique_ptr<vireo::CaptureFrameBuffer> spare = NextSpare();
    if (spare == nullptr) {
      // The service captures into what it has, and takes back what the
      // outputs let go (the frames it drops meanwhile are counted as
      // dropped); it stays empty only when the preview keeps the last one.
      return total > leased || leased > (writer_.KeepsPreview() ? 1u : 0u);
    }
    session_->Adopt(std::move(spare));
  }
}

std::unique_ptr<vireo::CaptureFrameBuffer> Capture::NextSpare() {
  if (!spares_.empty()) {
    std::unique_ptr<vireo::CaptureFrameBuffer> spare = std::move(spares_.back());
    spares_.pop_back();
    // The outputs hold as many as outputs that keep up ever do; should they
    // need more, they fall behind: the next spares are made ahead of need.
    if (spares_.empty()) spare_maker_.Demand();
    return spare;
  }
  if (std::unique_ptr<vireo::CaptureFrameBuffer> spare = spare_maker_.WaitTake()) return spare;
  if (spare_maker_.failed() && !said_no_spare_) {
    std::fprintf(stderr,
                 "talon-cam: could not create a spare frame buffer (see the log lines above); "
                 "the capture waits for the outputs from now on\n");
    said_no_spare_ = true;
  }
  return nullptr;
}

uint64_t Capture::Drain() {
  if (!Wanted()) return session_->Drain(nullptr);
  return session_->Drain([this](TakenFrame* taken) {
    HandleFrame(taken);
    return Wanted();
  });
}

bool Capture::HandleFrame(TakenFrame* taken) {
  const uint64_t index = frames_++;
  const talon_support::FrameRecord& record = taken->record;
  if (taken->lock_error != vireo::CaptureError::SUCCESS) {
    std::fprintf(stderr, "talon-cam: cannot lock the frame's data: %s\n",
                 talon_support::CaptureErrorName(taken->lock_error));
    write_failed_ = true;
  }
  if (live_ != nullptr) {
    live_->Offer(taken->lease.get(), [this] {
      const talon_support::Summary summary = session_->Summarize();
      return talon_cam::LiveView::Counters{summary.frames, summary.errors, summary.dropped,
                                           writer_.LossReport()};
    });
  }
  const bool kept = writer_.Write(record, taken->lease, index);
  if (options_.quiet) {
    PrintProgress(false);
  } else {
    PrintFrame(index, record);
  }
  return kept;
}

void Capture::PrintFrame(uint64_t index, const talon_support::FrameRecord& record) {
  char sensor[24] = "     -";
  if (record.sensor_sequence >= 0) {
    std::snprintf(sensor, sizeof(sensor), "%6" PRId64, record.sensor_sequence);
  }
  if (record.error != vireo::CaptureError::SUCCESS) {
    std::printf("%6" PRIu64 " seq %s  sof %17s  eof %17s  %8s ms  %8s fps  %s\n", index, sensor,
                "-", "-", "-", "-", talon_support::CaptureErrorName(record.error));
    return;
  }
  char fps[24] = "       -";
  if (previous_sof_ns_ != 0 && record.sof_ns > previous_sof_ns_) {
    std::snprintf(fps, sizeof(fps), "%8.2f",
                  1e9 / static_cast<double>(record.sof_ns - previous_sof_ns_));
  }
  previous_sof_ns_ = record.sof_ns;
  std::printf("%6" PRIu64 " seq %s  sof %17.6f  eof %17.6f  %8.3f ms  %s fps  %s\n", index, sensor,
              static_cast<double>(record.sof_ns) / 1e9, static_cast<double>(record.eof_ns) / 1e9,
              static_cast<double>(record.eof_ns - record.sof_ns) / 1e6, fps,
              talon_support::CaptureErrorName(record.error));
}

// About once a second on runs longer than a few seconds, overwritten in place.
void Capture::PrintProgress(bool final_line) {
  const int64_t now_ns = BoottimeNs();
  if (final_line) {
    if (progress_shown_) std::fprintf(stderr, "\n");
    return;
  }
  if (now_ns - start_ns_ < 3000000000 || now_ns - last_progress_ns_ < 1000000000) return;
  last_progress_ns_ = now_ns;
  progress_shown_ = true;
  const double elapsed = static_cast<double>(now_ns - start_ns_) / 1e9;
  char total[24] = "";
  if (options_.frames != 0) std::snprintf(total, sizeof(total), "/%" PRIu64, options_.frames);
  std::fprintf(stderr, "\rframes %" PRIu64 "%s  errors %" PRIu64 "  %.1f fps ", frames_, total,
               session_->Summarize().errors, static_cast<double>(frames_) / elapsed);
}

int Capture::Report(const talon_support::Summary& summary, bool interrupted,
                    uint64_t cancelled_at_stop, int64_t cpu_ns) {
  if (interrupted) {
    std::printf("interrupted after %" PRIu64 " frames (%" PRIu64 " cancelled by the stop)\n",
                summary.frames, cancelled_at_stop);
  }
  const double cpu_per_frame =
      summary.frames == 0 ? -1 : static_cast<double>(cpu_ns) / static_cast<double>(summary.frames);
  std::printf("%s", talon_support::FormatSummary(summary, cpu_per_frame).c_str());
  std::printf("%s", writer_.LossReport().c_str());
  std::fflush(stdout);

  const bool ok = summary.errors == 0 && !write_failed_ && !writer_.failed();
  if (summary.errors != 0) {
    std::fprintf(stderr, "talon-cam: %" PRIu64 " of %" PRIu64 " frames failed\n", summary.errors,
                 summary.frames);
  }
  return ok ? 0 : 1;
}

int Capture::Run() {
  std::string cache_dir, cache_note, cache_error;
  if (!talon_support::ChooseGraphCacheDir(options_.graph_cache_dir, &cache_dir, &cache_note,
                                          &cache_error)) {
    std::fprintf(stderr, "talon-cam: %s\n", cache_error.c_str());
    return 1;
  }
  if (!cache_note.empty()) std::fprintf(stderr, "talon-cam: %s\n", cache_note.c_str());
  if (!writer_.Begin()) return 1;
  if (options_.buffers == 1) {
    std::fprintf(stderr,
                 "talon-cam: one buffer: the service waits up to --timeout-ms for a second "
                 "one before each frame\n");
  }
  if (!Open()) return 1;
  session_->Start();
  stop_.Watch(session_.get());
  start_ns_ = BoottimeNs();
  last_progress_ns_ = start_ns_;
  const int64_t cpu_start_ns = ProcessCpuNs();
  Loop();
  const bool interrupted = Wanted() && stop_.stop_signal() != 0;
  const uint64_t cancelled_at_stop = Drain();
  spare_maker_.Stop();
  // The frames' cost includes writing what the outputs took.
  writer_.WaitForWrites();
  const int64_t cpu_ns = ProcessCpuNs() - cpu_start_ns;
  stop_.Unwatch();
  const talon_support::Summary summary = session_->Summarize();
  // The service goes when the outputs let go of the last frame (the
  // preview's, in Finish).
  session_.reset();
  PrintProgress(true);
  writer_.Finish();
  return Report(summary, interrupted, cancelled_at_stop, cpu_ns);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!talon_cam::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::printf("%s", talon_cam::Usage().c_str());
    return 0;
  }
  if (!talon_cam::CheckOutputTargets(options, &error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return 2;
  }
  // Whole lines, also into a pipe, so that they do not mix with the
  // library's log lines on stderr.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::unique_ptr<talon_cam::LiveView> live;
  if (!options.serve.empty() && (live = talon_cam::LiveView::Serve(options, &error)) == nullptr) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return 2;
  }
  if (live != nullptr) std::fprintf(stderr, "talon-cam: live view at %s\n", live->Url().c_str());
  talon_cam::StopWatcher stop;
  if (!stop.Start()) return 1;
  Capture capture(options, &stop, live.get());
  const int status = capture.Run();
  stop.Stop();
  if (live != nullptr) live->Stop();
  return status;
}
