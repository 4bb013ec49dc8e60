// talon-soak: a long run of the DRAM capture service on the unthrottled
// simulated IPU, with two client threads enqueueing and dequeueing a shared
// pool of frame buffers and the owner pausing, clearing and resuming at random
// moments. Every buffer is accounted for: each accepted enqueue is matched by
// exactly one dequeue or one clear, and at the end every buffer is back in the
// pool and every runtime handle released. Every frame must succeed, or end as
// cancelled by a pause.
//
//   talon-soak [--frames N] [--seed S]     (default one million frames, seed 1;
//                                          see Usage() for the ranges)
//
// Prints frames, pauses, clears, wall time, frames/s and the errors by kind;
// exits 1 on any accounting error or failed frame, 2 on bad arguments or a
// failed set-up.
//
// Threading: the owner (main thread) creates, pauses, clears, resumes and
// destroys the service; the two clients only enqueue and dequeue. All
// bookkeeping sits in Soak under one mutex. A client holds the mutex across
// EnqueueRequest and its accounting, so an accepted buffer is counted before
// the owner can clear it; it calls DequeueCompletedRequest without the mutex
// and is counted as inside a dequeue meanwhile. The owner clears only while
// the service is paused, no client is inside a dequeue and none may start one,
// after draining the completed queue: then what the clear drops is exactly
// what is still counted as enqueued.
// Ownership: main owns the service, the factory and the frame buffers; the
// pool and the service's queues only point at them.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "absl/strings/str_cat.h"
#include "base/mutex.h"
#include "platform/prism/prism_sim.h"
#include "platform/syslog/system_log_sim.h"
#include "support/command_line.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_types.h"
#include "testing/temp_dir.h"

namespace vireo {
namespace {

constexpr int kClients = 2;
constexpr int kBuffers = 6;  // shared by the clients
constexpr uint64_t kMaxFramesBetweenPauses = 2000;
constexpr uint64_t kProgressEvery = 100000;

constexpr uint64_t kMaxFrames = UINT64_MAX / 2;

struct Options {
  uint64_t frames = 1000000;
  uint32_t seed = 1;
  bool help = false;
};

std::string Usage() {
  return absl::StrCat(
      "Usage: talon-soak [--frames N] [--seed S]\n"
      "Captures on the unthrottled simulated IPU with two clients and random pauses,\n"
      "clears and resumes; every buffer must come back exactly once.\n"
      "\n"
      "  --frames N   frames to capture, 1 to ",
      kMaxFrames, " (default 1000000)\n", "  --seed S     seed of the pauses and clears, 0 to ",
      UINT32_MAX, " (default 1)\n",
      "  --help       this text\n"
      "\n"
      "Exit status: 0 pass, 1 an accounting error or a failed frame, 2 bad options\n"
      "or a failed set-up.\n");
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  const std::vector<talon_support::OptionSpec> specs = {
      talon_support::UnsignedOption("--frames", 1, kMaxFrames, &options->frames),
      talon_support::UnsignedOption("--seed", 0, UINT32_MAX, &options->seed),
      talon_support::FlagOption("--help", "-h", &options->help),
  };
  return talon_support::ParseCommandLine(argc, argv, specs, error);
}

CaptureConfig SoakConfig() {
  CaptureConfig config;
  config.timeout_ms = 2000;
  config.stream_configs = {{CSI2_RAW10, 64, 8, 10, false}, {CSI2_RAW8, 32, 4, 8, true}};
  return config;
}

// Every counter and the buffer pool, under one mutex.
class Soak {
 public:
  Soak(CaptureService* service, const std::vector<CaptureFrameBuffer*>& buffers, uint64_t frames)
      : service_(service), frames_(frames), pool_(buffers) {
    for (CaptureFrameBuffer* buffer : buffers) outstanding_[buffer] = 0;
  }

  // A client: enqueues whatever is in the pool, dequeues one buffer, puts it
  // back into the pool; until the owner stops it.
  void ClientLoop() {
    MutexLock lock(&mutex_);
    while (true) {
      while (!stop_ && owner_busy_) cv_.Wait();
      if (stop_) return;
      while (!pool_.empty()) {
        CaptureFrameBuffer* buffer = pool_.back();
        pool_.pop_back();
        const CaptureError error = service_->EnqueueRequest(buffer);
        if (error != CaptureError::SUCCESS) {
          Error("enqueue refused an idle buffer");
          pool_.push_back(buffer);
          break;
        }
        if (++outstanding_[buffer] != 1) Error("a buffer was enqueued twice");
        ++enqueued_;
      }
      ++in_dequeue_;
      const uint64_t generation = resume_generation_;
      mutex_.Unlock();
      CaptureFrameBuffer* buffer = service_->DequeueCompletedRequest();
      mutex_.Lock();
      --in_dequeue_;
      if (buffer != nullptr) {
        TakeBack(buffer);
      } else {
        // Paused: wait for the owner's resume (or stop) instead of spinning.
        ++null_dequeues_;
        cv_.SignalAll();
        while (!stop_ && resume_generation_ == generation) cv_.Wait();
      }
      cv_.SignalAll();
    }
  }

  // The owner: pauses after a random number of frames, clears half of the
  // time, resumes; stops the clients when enough frames came back.
  void OwnerLoop(uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<uint64_t> gap(1, kMaxFramesBetweenPauses);
    uint64_t next_progress = kProgressEvery;
    while (true) {
      uint64_t pause_at = 0;
      {
        MutexLock lock(&mutex_);
        pause_at = frames_seen_ + gap(rng);
        while (frames_seen_ < pause_at && frames_seen_ < frames_) cv_.Wait();
        if (frames_seen_ >= next_progress) {
          std::printf("talon-soak: %llu frames\n", static_cast<unsigned long long>(frames_seen_));
          std::fflush(stdout);
          next_progress = (frames_seen_ / kProgressEvery + 1) * kProgressEvery;
        }
        if (frames_seen_ >= frames_) break;
      }
      service_->Pause();
      const bool clear = rng() % 2 == 0;
      {
        MutexLock lock(&mutex_);
        ++pauses_;
        if (clear) ClearWhilePaused();
      }
      service_->Resume();
      MutexLock lock(&mutex_);
      ++resume_generation_;
      cv_.SignalAll();
    }
    // Stop: pausing releases the clients blocked in a dequeue.
    service_->Pause();
    {
      MutexLock lock(&mutex_);
      stop_ = true;
      cv_.SignalAll();
    }
  }

  // After the clients have ended: takes back and clears what is left, then
  // checks that every buffer is back.
  void Finish() {
    MutexLock lock(&mutex_);
    ClearWhilePaused();
    uint64_t lost = 0;
    for (const auto& [buffer, count] : outstanding_) lost += count;
    if (lost != 0) Error("buffers still counted as enqueued at the end");
    if (pool_.size() != outstanding_.size()) Error("buffers missing from the pool at the end");
    if (enqueued_ != dequeued_ + cleared_) Error("enqueues not matched by dequeues and clears");
  }

  void Report(double seconds, const std::string& extra_error) {
    MutexLock lock(&mutex_);
    if (!extra_error.empty()) ++errors_[extra_error];
    std::printf(
        "talon-soak: frames %llu, enqueued %llu, dequeued %llu, cleared %llu\n",
        static_cast<unsigned long long>(frames_seen_), static_cast<unsigned long long>(enqueued_),
        static_cast<unsigned long long>(dequeued_), static_cast<unsigned long long>(cleared_));
    std::printf("talon-soak: pauses %llu, clears %llu, empty dequeues %llu\n",
                static_cast<unsigned long long>(pauses_), static_cast<unsigned long long>(clears_),
                static_cast<unsigned long long>(null_dequeues_));
    std::printf("talon-soak: wall time %.1f s, %.0f frames/s\n", seconds,
                seconds > 0 ? static_cast<double>(frames_seen_) / seconds : 0.0);
    std::printf("talon-soak: frame results:");
    for (const auto& [error, count] : frame_results_) {
      std::printf(" %s %llu", GetCaptureErrorDesc(error), static_cast<unsigned long long>(count));
    }
    std::printf("\ntalon-soak: errors:");
    if (errors_.empty()) std::printf(" none");
    for (const auto& [what, count] : errors_) {
      std::printf(" \"%s\" %llu", what.c_str(), static_cast<unsigned long long>(count));
    }
    std::printf("\n");
  }

  bool ok() {
    MutexLock lock(&mutex_);
    return errors_.empty();
  }

 private:
  // A buffer that a dequeue returned: it must be one of ours, counted as
  // enqueued and completed.
  void TakeBack(CaptureFrameBuffer* buffer) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    auto it = outstanding_.find(buffer);
    if (it == outstanding_.end() || it->second != 1) {
      Error("a dequeue returned a buffer that was not enqueued");
      return;
    }
    it->second = 0;
    ++dequeued_;
    ++frames_seen_;
    if (buffer->GetStatus() != CaptureStatus::COMPLETED)
      Error("a dequeued buffer is not completed");
    const CaptureError result = buffer->GetError();
    ++frame_results_[result];
    // A pause cancels the frames under way; nothing else may fail a frame.
    if (result != CaptureError::SUCCESS && result != CaptureError::CAPTURE_CANCELLED) {
      Error(std::string("a frame failed: ") + GetCaptureErrorDesc(result));
    }
    pool_.push_back(buffer);
  }

  // Waits until no client is inside a dequeue (none starts one meanwhile),
  // takes back the completed buffers, clears, and returns what the clear
  // dropped to the pool. The service is paused.
  void ClearWhilePaused() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    owner_busy_ = true;
    while (in_dequeue_ != 0) cv_.Wait();
    while (CaptureFrameBuffer* buffer = service_->DequeueCompletedRequest()) TakeBack(buffer);
    service_->ClearPendingRequests();
    ++clears_;
    for (auto& [buffer, count] : outstanding_) {
      if (count == 0) continue;
      if (buffer->GetStatus() != CaptureStatus::ENQUEUED) {
        Error("a buffer still held after pause and clear is not pending");
      }
      count = 0;
      ++cleared_;
      pool_.push_back(buffer);
    }
    owner_busy_ = false;
    cv_.SignalAll();
  }

  void Error(const std::string& what) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { ++errors_[what]; }

  CaptureService* const service_;
  const uint64_t frames_;
  Mutex mutex_;
  // Signalled on every change of the state below that someone may wait for:
  // the owner's pause point (frames_seen_), a client leaving a dequeue, the
  // owner busy or done, a resume, the stop.
  CondVar cv_{&mutex_};
  std::vector<CaptureFrameBuffer*> pool_ ABSL_GUARDED_BY(mutex_);
  std::map<CaptureFrameBuffer*, int> outstanding_ ABSL_GUARDED_BY(mutex_);
  bool stop_ ABSL_GUARDED_BY(mutex_) = false;
  bool owner_busy_ ABSL_GUARDED_BY(mutex_) = false;
  int in_dequeue_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t resume_generation_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t enqueued_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t dequeued_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t cleared_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t frames_seen_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t pauses_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t clears_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t null_dequeues_ ABSL_GUARDED_BY(mutex_) = 0;
  std::map<CaptureError, uint64_t> frame_results_ ABSL_GUARDED_BY(mutex_);
  std::map<std::string, uint64_t> errors_ ABSL_GUARDED_BY(mutex_);
};

// Counts libtalon's warnings and errors by entry ("<file>:<line> <message>"),
// from the system log; the entries of one kind differ only in numbers, if
// at all, so they are few.
class LogCounter {
 public:
  LogCounter() { SystemLogSetSink(&LogCounter::Sink, this, nullptr, nullptr); }
  ~LogCounter() { SystemLogSetSink(nullptr, nullptr, nullptr, nullptr); }
  LogCounter(const LogCounter&) = delete;
  LogCounter& operator=(const LogCounter&) = delete;

  void Print() {
    MutexLock lock(&mutex_);
    std::printf("talon-soak: log warnings and errors:");
    if (counts_.empty()) std::printf(" none");
    std::printf("\n");
    for (const auto& [entry, count] : counts_) {
      std::printf("talon-soak:   %llu x %s\n", static_cast<unsigned long long>(count),
                  entry.c_str());
    }
  }

 private:
  static void Sink(void* context, int priority, const char* /*tag*/, const char* text) {
    if (priority < SYSTEM_LOG_WARN) return;
    auto* self = static_cast<LogCounter*>(context);
    std::string entry(text);
    while (!entry.empty() && entry.back() == '\n') entry.pop_back();
    MutexLock lock(&self->mutex_);
    ++self->counts_[entry];
  }

  Mutex mutex_;
  std::map<std::string, uint64_t> counts_ ABSL_GUARDED_BY(mutex_);
};

int Run(const Options& options) {
  LogCounter log_counter;
  // The compiled-graph cache goes to a directory of our own.
  talon_testing::TempDir cache;
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", cache.path().c_str(), 1);
  PrismSimSetFrameRate(0);
  const size_t live_before = PrismSimLiveHandleCount();
  std::string leak;
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Soak> soak;
  {
    const CaptureConfig config = SoakConfig();
    std::unique_ptr<CaptureService> service = CaptureService::CreateInstance(config);
    std::unique_ptr<CaptureFrameBufferFactory> factory =
        CaptureFrameBufferFactory::CreateInstance(config);
    if (service == nullptr || factory == nullptr) {
      std::fprintf(stderr, "talon-soak: cannot create the capture service or factory\n");
      return 2;
    }
    std::vector<std::unique_ptr<CaptureFrameBuffer>> owned;
    std::vector<CaptureFrameBuffer*> buffers;
    for (int i = 0; i < kBuffers; ++i) {
      owned.push_back(factory->Create());
      if (owned.back() == nullptr) {
        std::fprintf(stderr, "talon-soak: cannot create a frame buffer\n");
        return 2;
      }
      buffers.push_back(owned.back().get());
    }
    soak = std::make_unique<Soak>(service.get(), buffers, options.frames);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) clients.emplace_back([&soak] { soak->ClientLoop(); });
    soak->OwnerLoop(options.seed);
    for (std::thread& client : clients) client.join();
    soak->Finish();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (PrismSimLiveHandleCount() != live_before) leak = "runtime handles left after the run";
  soak->Report(seconds, leak);
  log_counter.Print();
  unsetenv("TEST_UNDECLARED_OUTPUTS_DIR");
  const bool ok = soak->ok();
  std::printf("talon-soak: %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  vireo::Options options;
  std::string error;
  if (!vireo::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talon-soak: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(vireo::Usage().c_str(), stdout);
    return 0;
  }
  std::printf("talon-soak: %llu frames, seed %u\n", static_cast<unsigned long long>(options.frames),
              options.seed);
  return vireo::Run(options);
}
