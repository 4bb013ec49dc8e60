// The queues between talon-cam's capture and its outputs, so that the
// capture never waits for a disk: each output (--output, --dng, --jpeg,
// --metadata, --trace) writes on a thread of its own, taking its jobs in
// order; an output whose jobs are independent of each other (--jpeg) may
// have several threads, which take its jobs in order and run them at once.
//
// Each output holds at most its share of the write memory in queued jobs (a
// job's `bytes`: for a frame data output, the frame buffer it keeps from the
// capture; for a record output, one unit per record). A job that finds the
// share full is not queued: it is counted as not written, and the first time
// one line on stderr says which output fell behind, with the rate at which
// the capture brings the output its data and the rate at which the output
// writes it. A job whose write fails stops its output: the reason is said
// once, and that job and every later one are counted as not written.
//
// An output whose writes are mostly CPU work (--jpeg develops and encodes
// each frame) may run at a lower priority (a higher nice value), so that on
// a busy CPU the capture thread still runs as soon as a frame comes: such
// an output falls behind, counted, rather than making the capture drop
// frames.
//
// A job may wait for a Latch before it writes, and open one when it is done
// (written, refused or dropped): the metadata of a frame waits for the frame's
// data outputs, so it names only files that really hold the frame.
//
// Threads: AddOutput, Start, Push and Finish are called by one thread (the
// capture thread); each output's threads run its jobs' writes and then drop
// the job, and with it what the job holds. Counts are read after Finish.
// Owns the queued jobs and the threads.

#ifndef TOOLS_TALON_CAM_WRITE_QUEUE_H_
#define TOOLS_TALON_CAM_WRITE_QUEUE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"

namespace talon_cam {

// Opens when it has been counted down `count` times; Wait returns then.
// Callable from any thread.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void CountDown();
  void Wait();

 private:
  vireo::Mutex mutex_;
  vireo::CondVar opened_{&mutex_};
  int count_ ABSL_GUARDED_BY(mutex_);
};

struct WriteJob {
  uint64_t frame = 0;                // the client's frame counter, for the lines
  uint64_t bytes = 0;                // held against the output's share while queued
  bool counted = true;               // a frame's job: counted when not written
  std::shared_ptr<const void> hold;  // kept until the job is done (`write` may share it)
  std::shared_ptr<Latch> after;      // waited for before the write
  std::shared_ptr<Latch> opens;      // counted down once the job is done
  // The write, on the output's thread; false with the reason in `error`.
  std::function<bool(std::string* error)> write;
};

class WriteQueue {
 public:
  enum class Unit { kBytes, kRecords };  // what a job's `bytes` count

  WriteQueue() = default;
  ~WriteQueue() { Finish(); }
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  // Adds the output named `option` ("--output"), which may hold `share`
  // units of queued jobs, run by `threads` threads (several: its jobs' writes
  // must be safe to run at once) that run `niceness` nice steps below the
  // process (so do the threads they start); returns its id for Push. Before
  // Start.
  int AddOutput(const char* option, uint64_t share, Unit unit, int niceness = 0, int threads = 1);
  // Starts the outputs' threads.
  void Start();
  // Hands `job` to output `id`. False when the output's share is full or it
  // stopped: the job is then dropped (its latch opened), counted if it is a
  // frame's, and the first fall behind is said.
  bool Push(int id, WriteJob job);
  // Waits until every queued job is done and ends the threads.
  void Finish();

  // Counts a frame that output `id` could not be given.
  void Skip(int id);

  const char* option(int id) const { return outputs_[static_cast<size_t>(id)]->option.c_str(); }
  // The frame jobs that output `id` did not write. After Finish.
  uint64_t not_written(int id) const;
  // Whether output `id` stopped or did not write a frame. After Finish.
  bool failed(int id) const;

 private:
  struct Output {
    std::string option;
    uint64_t share = 0;
    Unit unit = Unit::kBytes;
    int niceness = 0;
    int thread_count = 1;
    // The capture thread's count of what it offered, for the rates.
    int64_t first_offer_ns = 0;
    uint64_t offered = 0;
    uint64_t offered_frames = 0;

    vireo::Mutex mutex;
    vireo::CondVar changed{&mutex};
    std::deque<WriteJob> jobs ABSL_GUARDED_BY(mutex);
    uint64_t queued ABSL_GUARDED_BY(mutex) = 0;  // units of queued and running jobs
    bool finishing ABSL_GUARDED_BY(mutex) = false;
    bool stopped ABSL_GUARDED_BY(mutex) = false;
    bool said_behind ABSL_GUARDED_BY(mutex) = false;
    uint64_t not_written ABSL_GUARDED_BY(mutex) = 0;
    uint64_t written ABSL_GUARDED_BY(mutex) = 0;        // units
    int writing ABSL_GUARDED_BY(mutex) = 0;             // writes under way
    int64_t busy_ns ABSL_GUARDED_BY(mutex) = 0;         // wall time with writes under way
    int64_t write_start_ns ABSL_GUARDED_BY(mutex) = 0;  // since when; 0: none under way
    std::vector<std::thread> threads;
  };

  void Run(Output* output);
  // The line that says `output` fell behind at frame `frame`.
  static void SayBehind(const Output& output, uint64_t frame, uint64_t written, int64_t busy_ns,
                        int64_t now_ns);

  std::vector<std::unique_ptr<Output>> outputs_;
  bool started_ = false;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_WRITE_QUEUE_H_
