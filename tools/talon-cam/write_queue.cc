#include "tools/talon-cam/write_queue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "base/boottime.h"

namespace talon_cam {

void Latch::CountDown() {
  vireo::MutexLock lock(&mutex_);
  if (--count_ <= 0) opened_.SignalAll();
}

void Latch::Wait() {
  vireo::MutexLock lock(&mutex_);
  while (count_ > 0) opened_.Wait();
}

int WriteQueue::AddOutput(const char* option, uint64_t share, Unit unit, int niceness,
                          int threads) {
  auto output = std::make_unique<Output>();
  output->option = option;
  output->share = share;
  output->unit = unit;
  output->niceness = niceness;
  output->thread_count = threads;
  outputs_.push_back(std::move(output));
  return static_cast<int>(outputs_.size()) - 1;
}

void WriteQueue::Start() {
  started_ = true;
  for (auto& output : outputs_) {
    Output* o = output.get();
    for (int i = 0; i < o->thread_count; ++i) o->threads.emplace_back([this, o] { Run(o); });
  }
}

bool WriteQueue::Push(int id, WriteJob job) {
  Output& o = *outputs_[static_cast<size_t>(id)];
  const int64_t now_ns = vireo::BoottimeNs();
  if (o.offered_frames == 0) o.first_offer_ns = now_ns;
  o.offered += job.bytes;
  if (job.counted) ++o.offered_frames;
  bool say_behind = false;
  uint64_t written = 0;
  int64_t busy_ns = 0;
  {
    vireo::MutexLock lock(&o.mutex);
    if (!o.stopped && o.queued + job.bytes <= o.share) {
      o.queued += job.bytes;
      o.jobs.push_back(std::move(job));
      o.changed.SignalAll();
      return true;
    }
    if (job.counted) ++o.not_written;
    say_behind = !o.stopped && !o.said_behind;
    o.said_behind = o.said_behind || say_behind;
    written = o.written;
    busy_ns = o.busy_ns + (o.write_start_ns != 0 ? now_ns - o.write_start_ns : 0);
  }
  if (say_behind) SayBehind(o, job.frame, written, busy_ns, now_ns);
  if (job.opens != nullptr) job.opens->CountDown();
  return false;
}

void WriteQueue::SayBehind(const Output& o, uint64_t frame, uint64_t written, int64_t busy_ns,
                           int64_t now_ns) {
  const double seconds = static_cast<double>(now_ns - o.first_offer_ns) / 1e9;
  const double brought = seconds > 0 ? static_cast<double>(o.offered) / seconds : 0;
  const double writes =
      busy_ns > 0 ? static_cast<double>(written) * 1e9 / static_cast<double>(busy_ns) : 0;
  char output_rate[64];
  if (written == 0) {
    std::snprintf(output_rate, sizeof(output_rate), "it has written nothing in %.2f s",
                  static_cast<double>(busy_ns) / 1e9);
  } else if (o.unit == Unit::kBytes) {
    std::snprintf(output_rate, sizeof(output_rate), "it writes %.1f MB/s", writes / 1e6);
  } else {
    std::snprintf(output_rate, sizeof(output_rate), "it writes %.1f frames/s", writes);
  }
  if (o.unit == Unit::kBytes) {
    std::fprintf(stderr,
                 "talon-cam: %s falls behind at frame %" PRIu64
                 ": the capture brings %.1f MB/s, %s; frames that find its %.1f MB of write "
                 "memory full are not written\n",
                 o.option.c_str(), frame, brought / 1e6, output_rate,
                 static_cast<double>(o.share) / 1e6);
  } else {
    std::fprintf(stderr,
                 "talon-cam: %s falls behind at frame %" PRIu64
                 ": the capture brings %.1f frames/s, %s; frames that find its %" PRIu64
                 " queued records full are not written\n",
                 o.option.c_str(), frame, brought, output_rate, o.share);
  }
}

void WriteQueue::Run(Output* o) {
  if (o->niceness != 0) {
    // Linux gives each thread its own nice value, and the threads it starts
    // inherit it. Failing, the output runs as it is.
    const id_t thread = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0) setpriority(PRIO_PROCESS, thread, nice + o->niceness);
  }
  for (;;) {
    WriteJob job;
    bool stopped = false;
    {
      vireo::MutexLock lock(&o->mutex);
      while (o->jobs.empty() && !o->finishing) o->changed.Wait();
      if (o->jobs.empty()) return;
      job = std::move(o->jobs.front());
      o->jobs.pop_front();
      stopped = o->stopped;
    }
    if (job.after != nullptr) job.after->Wait();
    std::string error;
    bool ok = false;
    if (!stopped) {
      const int64_t start_ns = vireo::BoottimeNs();
      {
        vireo::MutexLock lock(&o->mutex);
        if (o->writing++ == 0) o->write_start_ns = start_ns;
      }
      ok = job.write(&error);
    }
    // What the job holds is free again before its share is.
    job.hold.reset();
    job.write = nullptr;
    bool say_stop = false;
    {
      vireo::MutexLock lock(&o->mutex);
      o->queued -= job.bytes;
      if (!stopped && --o->writing == 0) {
        o->busy_ns += vireo::BoottimeNs() - o->write_start_ns;
        o->write_start_ns = 0;
      }
      if (ok) {
        o->written += job.bytes;
      } else {
        if (job.counted) ++o->not_written;
        say_stop = !o->stopped;
        o->stopped = true;
      }
    }
    if (say_stop) {
      std::fprintf(stderr, "talon-cam: %s stops at frame %" PRIu64 ": %s\n", o->option.c_str(),
                   job.frame, error.c_str());
    }
    if (job.opens != nullptr) job.opens->CountDown();
  }  // the job, and what it holds, goes here
}

void WriteQueue::Finish() {
  if (!started_) return;
  started_ = false;
  for (auto& output : outputs_) {
    vireo::MutexLock lock(&output->mutex);
    output->finishing = true;
    output->changed.SignalAll();
  }
  for (auto& output : outputs_) {
    for (std::thread& thread : output->threads) thread.join();
  }
}

void WriteQueue::Skip(int id) {
  Output& o = *outputs_[static_cast<size_t>(id)];
  vireo::MutexLock lock(&o.mutex);
  ++o.not_written;
}

bool WriteQueue::failed(int id) const {
  Output& o = *outputs_[static_cast<size_t>(id)];
  vireo::MutexLock lock(&o.mutex);
  return o.stopped || o.not_written != 0;
}

uint64_t WriteQueue::not_written(int id) const {
  Output& o = *outputs_[static_cast<size_t>(id)];
  vireo::MutexLock lock(&o.mutex);
  return o.not_written;
}

}  // namespace talon_cam
