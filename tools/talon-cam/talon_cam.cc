// talon-cam: captures frames from the IPU through libtalon's capture API,
// prints one line per frame and a summary, and optionally writes the raw
// frames, DNG files, per-frame metadata (JSON Lines) and a PNG preview
// (frame_writer.h).
//
// Threads: one capture thread (main) does the capture: it enqueues every
// buffer right after the service exists, then dequeues, records, writes and
// re-enqueues every buffer until the last frame wanted is in (--frames 0: no
// last), so that the worker always has a run queued behind the one it waits
// for and never waits --timeout-ms for a buffer that will not come; then it
// pauses the service at once (the runs still in flight are cancelled and not
// counted), drains it and prints the summary. The outputs write on threads
// of their own (frame_writer.h): a buffer they keep is replaced in the
// service by one they are done with, or a new one, so the capture never
// waits for them; the spare buffers are made ahead of need on the spare
// maker's thread (spare_maker.h). SIGINT and SIGTERM stop the
// capture through the StopWatcher's thread (stop_watcher.h), which pauses
// the service: a dequeue blocked for a frame or a timeout returns at once.
// Besides, the service runs its worker thread, and the live view (--serve,
// live_view.h), shown every frame, its server and encoders. The statistics
// keep nothing per frame (support/frame_stats.h): a capture may run for days.

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
#include "system/capture/capture_service.h"
#include "system/capture/capture_setup.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"
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

class Capture {
 public:
  // `live`: the live view that is shown every frame, or null.
  Capture(const Options& options, talon_cam::StopWatcher* stop, talon_cam::LiveView* live)
      : options_(options), stop_(*stop), live_(live) {}

  // Runs the whole capture; returns the exit status.
  int Run();

 private:
  bool CreateBuffers();
  // Gives the running service every buffer; false (said) when it refuses one.
  bool Supply(vireo::CaptureService* service);
  // Dequeues, handles and re-enqueues until the last frame wanted or a stop.
  void Loop(vireo::CaptureService* service);
  // Pauses the service and takes back what it still returns. After the last
  // frame wanted, those are runs beyond it, not frames; a capture that ended
  // early (stopped, or a buffer refused) still counts the frames among them,
  // up to the total, and returns how many runs the stop cancelled.
  uint64_t Drain(vireo::CaptureService* service);
  // More frames wanted: --frames 0 wants them until a stop.
  bool Wanted() const {
    return options_.frames == 0 || recorder_.stats().frames() < options_.frames;
  }
  // Handles the frame; true when the outputs keep the buffer.
  bool HandleFrame(vireo::CaptureFrameBuffer* buffer);
  // A buffer to enqueue in place of one the outputs keep: one they are done
  // with, else a spare, else the spare being made while the write memory has
  // room, else the next they are done with; null when none will come.
  vireo::CaptureFrameBuffer* Replacement();
  void PrintFrame(uint64_t index, const talon_support::FrameRecord& record);
  void PrintProgress(bool final_line);
  // Prints the summary, writes the previews; the exit status.
  int Report(bool interrupted, uint64_t cancelled_at_stop, int64_t cpu_ns);

  const Options& options_;
  talon_cam::StopWatcher& stop_;
  talon_cam::LiveView* const live_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory_;
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> buffers_;
  // The spares beyond the first few, made while the capture runs; destroyed
  // after the writer has handed every buffer back.
  talon_cam::SpareMaker spare_maker_;
  // The frames' records and statistics, by the rule every surface counts
  // drops with.
  talon_support::FrameRecorder recorder_{options_.config};
  talon_cam::FrameWriter writer_{options_};
  int64_t previous_sof_ns_ = 0;
  int64_t start_ns_ = 0;
  int64_t last_progress_ns_ = 0;
  bool progress_shown_ = false;
  bool write_failed_ = false;
  // Buffers made up front for the outputs to keep and not yet given to the
  // service.
  std::vector<vireo::CaptureFrameBuffer*> spares_;
  bool said_no_spare_ = false;
  // Runs cancelled by a signal's stop that Loop dequeued before it ended.
  uint64_t cancelled_by_signal_ = 0;
};

bool Capture::CreateBuffers() {
  factory_ = vireo::CaptureFrameBufferFactory::CreateInstance(options_.config);
  if (factory_ == nullptr) {
    std::fprintf(stderr, "talon-cam: no frame-buffer factory (see the log lines above)\n");
    return false;
  }
  // All of them, also for fewer frames: a lone buffer would be captured
  // single-buffered after a wait of --timeout-ms for a second one. Then the
  // spares for the frames that the outputs keep: a few now, which is all that
  // outputs keeping up ever hold, and the rest, up to what the write memory
  // holds, on the spare maker's thread ahead of need once the outputs fall
  // behind (making a second of 12 MP frames up front would cost the start
  // 462 MB and a few hundred ms).
  constexpr uint64_t kSparesFirst = 2;
  constexpr uint64_t kSparesAhead = 4;
  const uint64_t spares = writer_.FramesKeptAtMost();
  const uint64_t first = options_.buffers + std::min(spares, kSparesFirst);
  for (uint64_t i = 0; i < first; ++i) {
    std::unique_ptr<vireo::CaptureFrameBuffer> buffer = factory_->Create();
    if (buffer == nullptr) {
      std::fprintf(stderr,
                   "talon-cam: could not create frame buffer %" PRIu64 " of %" PRIu64
                   "%s (see the log lines above)\n",
                   i + 1, first, spares == 0 ? "" : " (--buffers and the frames outputs keep)");
      return false;
    }
    buffers_.push_back(std::move(buffer));
    if (i >= options_.buffers) spares_.push_back(buffers_.back().get());
  }
  spare_maker_.Start(factory_.get(), spares - (first - options_.buffers), kSparesAhead);
  return true;
}

bool Capture::Supply(vireo::CaptureService* service) {
  for (uint64_t i = 0; i < options_.buffers; ++i) {
    if (service->EnqueueRequest(buffers_[i].get()) != vireo::CaptureError::SUCCESS) {
      std::fprintf(stderr, "talon-cam: the service refused a frame buffer\n");
      return false;
    }
  }
  return true;
}

void Capture::Loop(vireo::CaptureService* service) {
  while (stop_.stop_signal() == 0) {
    vireo::CaptureFrameBuffer* buffer = service->DequeueCompletedRequest();
    if (buffer == nullptr) break;  // the service stopped
    // A run that a signal's stop cancelled after the check above: the
    // stop's doing, not a failed frame (Drain counts the others).
    if (stop_.stop_signal() != 0 && buffer->GetError() == vireo::CaptureError::CAPTURE_CANCELLED) {
      ++cancelled_by_signal_;
      break;
    }
    if (HandleFrame(buffer)) buffer = Replacement();
    if (!Wanted()) break;
    if (buffer == nullptr) {
      std::fprintf(stderr, "talon-cam: no frame buffer left to capture into\n");
      write_failed_ = true;
      break;
    }
    if (service->EnqueueRequest(buffer) != vireo::CaptureError::SUCCESS) {
      std::fprintf(stderr, "talon-cam: the service refused a frame buffer\n");
      break;
    }
    writer_.Enqueued(recorder_.stats().frames() - 1, BoottimeNs());
  }
}

vireo::CaptureFrameBuffer* Capture::Replacement() {
  if (vireo::CaptureFrameBuffer* released = writer_.Released()) return released;
  if (!spares_.empty()) {
    vireo::CaptureFrameBuffer* spare = spares_.back();
    spares_.pop_back();
    // The outputs hold as many as outputs that keep up ever do; should they
    // need more, they fall behind: the next spares are made ahead of need.
    if (spares_.empty()) spare_maker_.Demand();
    return spare;
  }
  if (vireo::CaptureFrameBuffer* spare = spare_maker_.Take()) return spare;
  // None made yet: the one being made, else the next the outputs are done with.
  if (vireo::CaptureFrameBuffer* spare = spare_maker_.WaitTake()) return spare;
  if (spare_maker_.failed() && !said_no_spare_) {
    // The frames the service drops meanwhile are counted as dropped.
    std::fprintf(stderr,
                 "talon-cam: could not create a spare frame buffer (see the log lines above); "
                 "the capture waits for the outputs from now on\n");
    said_no_spare_ = true;
  }
  return writer_.WaitReleased();
}

uint64_t Capture::Drain(vireo::CaptureService* service) {
  const bool ended_early = Wanted();
  stop_.PauseAndUnwatch();
  uint64_t cancelled_at_stop = cancelled_by_signal_;
  while (vireo::CaptureFrameBuffer* buffer = service->DequeueCompletedRequest()) {
    if (!ended_early) continue;
    // Runs that the stop itself cancelled are not failures of the capture.
    if (buffer->GetError() == vireo::CaptureError::CAPTURE_CANCELLED) {
      ++cancelled_at_stop;
    } else if (Wanted()) {
      HandleFrame(buffer);
    }
  }
  return cancelled_at_stop;
}

bool Capture::HandleFrame(vireo::CaptureFrameBuffer* buffer) {
  const uint64_t index = recorder_.stats().frames();
  vireo::CaptureError lock_error = vireo::CaptureError::SUCCESS;
  const talon_support::FrameRecord record = recorder_.Record(*buffer, BoottimeNs(), nullptr,
                                                             &lock_error);
  if (lock_error != vireo::CaptureError::SUCCESS) {
    std::fprintf(stderr, "talon-cam: cannot lock the data of stream %d: %s\n",
                 options_.config.stream_configs.front().data_type,
                 talon_support::CaptureErrorName(lock_error));
    write_failed_ = true;
  }
  // Before the outputs lock the buffer's data; it reads the data and lets go.
  if (live_ != nullptr) {
    live_->Offer(*buffer, [this] {
      const talon_support::Summary summary = recorder_.stats().Summarize();
      return talon_cam::LiveView::Counters{summary.frames, summary.errors, summary.dropped,
                                           writer_.LossReport()};
    });
  }
  const bool kept = writer_.Write(buffer, index, record.sensor_sequence, record.dequeue_ns);
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
  std::printf("%6" PRIu64 " seq %s  sof %17.6f  eof %17.6f  %8.3f ms  %s fps  %s\n", index,
              sensor, static_cast<double>(record.sof_ns) / 1e9,
              static_cast<double>(record.eof_ns) / 1e9,
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
  const talon_support::FrameStats& stats = recorder_.stats();
  std::fprintf(stderr, "\rframes %" PRIu64 "%s  errors %" PRIu64 "  %.1f fps ", stats.frames(),
               total, stats.errors(), static_cast<double>(stats.frames()) / elapsed);
}

int Capture::Report(bool interrupted, uint64_t cancelled_at_stop, int64_t cpu_ns) {
  const talon_support::Summary summary = recorder_.stats().Summarize();
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
    std::fprintf(stderr, "talon-cam: %" PRIu64 " of %" PRIu64 " frames failed\n",
                 summary.errors, summary.frames);
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
  if (!CreateBuffers()) return 1;
  std::unique_ptr<vireo::CaptureService> service;
  std::string reason;
  const vireo::CaptureError refused =
      vireo::CreateCaptureService(options_.config, &service, &reason);
  if (refused != vireo::CaptureError::SUCCESS) {
    std::fprintf(stderr, "talon-cam: configuration refused: %s (%s)\n", reason.c_str(),
                 talon_support::CaptureErrorName(refused));
    return 1;
  }
  stop_.Watch(service.get());
  // The service runs from here on: supply it at once.
  if (!Supply(service.get())) {
    stop_.PauseAndUnwatch();
    return 1;
  }
  start_ns_ = BoottimeNs();
  last_progress_ns_ = start_ns_;
  const int64_t cpu_start_ns = ProcessCpuNs();
  Loop(service.get());
  const bool interrupted = Wanted() && stop_.stop_signal() != 0;
  const uint64_t cancelled_at_stop = Drain(service.get());
  spare_maker_.Stop();
  // The frames' cost includes writing what the outputs took.
  writer_.WaitForWrites();
  const int64_t cpu_ns = ProcessCpuNs() - cpu_start_ns;
  service.reset();
  PrintProgress(true);
  writer_.Finish();
  return Report(interrupted, cancelled_at_stop, cpu_ns);
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
