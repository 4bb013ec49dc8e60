#include "platform/prism/job.h"

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "platform/prism/picture.h"

namespace prism_sim {
namespace {

struct RunCounters {
  std::atomic<uint64_t> enqueued{0};
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> cancelled{0};
  std::atomic<uint64_t> timed_out{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<size_t> blocked_waits{0};  // not a total: waits blocked now
};

RunCounters& Counters() {
  static RunCounters* counters = new RunCounters();  // outlives every run
  return *counters;
}

// Waits wake within tens of microseconds of a frame's end only with the
// kernel's timer slack (50 us by default) cut down; once per thread.
void SetTimerSlackOnce() {
  thread_local bool done = false;
  if (!done) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    done = true;
  }
}

// Longest wait a caller can ask for (~30 years), so the deadline cannot
// overflow the clock.
constexpr uint64_t kMaxTimeoutNs = uint64_t{1} << 60;

}  // namespace

Job::Job(std::shared_ptr<CompiledGraph> graph) : Object("OzyJob"), graph_(std::move(graph)) {}

OzyError Job::SetMonitor(const void* node, OzyTransferEventStatus* status) {
  const int index = graph_->topology().IndexOf(node);
  if (index < 0 || status == nullptr) return OZY_ERROR_INVALID_REQUEST;
  vireo::MutexLock lock(&mutex_);
  Monitor* free_slot = nullptr;
  for (Monitor& monitor : monitors_) {
    if (monitor.node == index) {
      monitor.status = status;
      return OZY_SUCCESS;
    }
    if (monitor.node < 0 && free_slot == nullptr) free_slot = &monitor;
  }
  // There is a slot for every node of the graph.
  free_slot->node = index;
  free_slot->status = status;
  return OZY_SUCCESS;
}

OzyError Job::LoadConfig() {
  {
    vireo::MutexLock lock(&mutex_);
    if (loaded_) return OZY_ERROR_INVALID_REQUEST;
    loaded_ = true;
  }
  const Topology& topology = graph_->topology();
  for (const auto& stream : topology.streams) {
    const Node& mipi = *topology.nodes[stream.mipi];
    PrepareScene(mipi.width(), mipi.height(), mipi.bits());
  }
  return OZY_SUCCESS;
}

OzyError Job::UnloadConfig() {
  {
    vireo::MutexLock lock(&mutex_);
    if (!loaded_) return OZY_ERROR_INVALID_REQUEST;
    loaded_ = false;
  }
  EndRuns();
  return OZY_SUCCESS;
}

OzyError Job::Finalize(const OzyFinalizeBufferInfo* infos, int32_t count) {
  const Topology& topology = graph_->topology();
  if (infos == nullptr || count < 0 || static_cast<size_t>(count) != topology.nodes.size()) {
    return OZY_ERROR_INVALID_REQUEST;
  }
  std::array<Binding, kMaxStreams> next;
  std::array<bool, kMaxMonitors> seen{};
  for (int32_t i = 0; i < count; ++i) {
    const OzyFinalizeBufferInfo& entry = infos[i];
    const int index = topology.IndexOf(entry.node);
    if (index < 0 || seen[index]) return OZY_ERROR_INVALID_REQUEST;
    seen[index] = true;
    const Node& node = *topology.nodes[index];
    if (node.is_mipi()) {
      if (entry.buffer_kind != OZY_BUFFER_KIND_NONE) return OZY_ERROR_INVALID_REQUEST;
      continue;
    }
    if (entry.buffer_kind != OZY_BUFFER_KIND_DEVICE_BUFFER) return OZY_ERROR_INVALID_REQUEST;
    auto buffer = Runtime::Get().Find<DeviceBuffer>(reinterpret_cast<const void*>(entry.buffer));
    if (buffer == nullptr) return OZY_ERROR_INVALID_REQUEST;
    // The stride must hold a row of the DRAM node and of the stream's payload
    // as it is written; the buffer must hold every row at that stride.
    const size_t stream = topology.stream_of[index];
    const Node& mipi = *topology.nodes[topology.streams[stream].mipi];
    const uint64_t stride = entry.row_stride_bytes;
    if (stride < std::max(node.row_bytes(), mipi.row_bytes()) || stride > (uint64_t{1} << 32)) {
      return OZY_ERROR_INVALID_REQUEST;
    }
    if (buffer->size() < stride * node.height()) return OZY_ERROR_INVALID_REQUEST;
    next[stream] = Binding{std::move(buffer), stride};
  }
  vireo::MutexLock lock(&mutex_);
  bindings_ = std::move(next);
  bound_ = true;
  return OZY_SUCCESS;
}

OzyError Job::Enqueue() {
  vireo::MutexLock lock(&mutex_);
  if (!loaded_ || !bound_) return OZY_ERROR_INVALID_REQUEST;
  if (count_ >= kMaxOutstanding) return OZY_ERROR_OVERFLOW;
  Run& run = runs_[(head_ + count_) % kMaxOutstanding];
  run.frame = graph_->device()->NextFrame(BoottimeNs());
  run.buffers = bindings_;
  run.ended = false;
  ++count_;
  Counters().enqueued.fetch_add(1, std::memory_order_relaxed);
  return OZY_SUCCESS;
}

void Job::PopOldest() {
  runs_[head_] = Run{};
  head_ = (head_ + 1) % kMaxOutstanding;
  --count_;
}

void Job::AbandonOldest() {
  vireo::MutexLock lock(&mutex_);
  if (count_ > 0) PopOldest();
}

void Job::EndRuns() {
  {
    vireo::MutexLock lock(&mutex_);
    const int64_t now = BoottimeNs();
    for (int i = 0; i < count_; ++i) {
      Run& run = runs_[(head_ + i) % kMaxOutstanding];
      if (run.ended || run.frame.eof_ns <= now) continue;  // a finished frame stays
      run.ended = true;
      run.buffers = {};  // back in the client's hands
      Counters().cancelled.fetch_add(1, std::memory_order_relaxed);
    }
  }
  cv_.SignalAll();
}

OzyError Job::Wait(uint64_t timeout_ns) {
  SetTimerSlackOnce();
  Run run;
  std::array<Monitor, kMaxMonitors> monitors;
  {
    vireo::MutexLock lock(&mutex_);
    if (count_ == 0) return OZY_ERROR_INVALID_REQUEST;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::nanoseconds(std::min(timeout_ns, kMaxTimeoutNs));
    for (;;) {
      const Run& oldest = runs_[head_];
      if (oldest.ended) {
        PopOldest();
        return OZY_ERROR_CANCELLED;
      }
      const int64_t boot_now = BoottimeNs();
      if (boot_now >= oldest.frame.eof_ns) break;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        PopOldest();
        Counters().timed_out.fetch_add(1, std::memory_order_relaxed);
        return OZY_ERROR_TIMEOUT;
      }
      const auto eof = now + std::chrono::nanoseconds(oldest.frame.eof_ns - boot_now);
      // Counted under the lock: a reset that sees the count finds the wait
      // blocked, since it needs the lock that the wait gives up.
      Counters().blocked_waits.fetch_add(1);
      cv_.WaitUntil(std::min(eof, deadline));
      Counters().blocked_waits.fetch_sub(1);
    }
    run = std::move(runs_[head_]);
    PopOldest();
    monitors = monitors_;
  }
  WriteFrame(run);
  const Topology& topology = graph_->topology();
  for (const Monitor& monitor : monitors) {
    if (monitor.node < 0) continue;
    const bool start = topology.nodes[monitor.node]->is_mipi();
    monitor.status->time_ns = start ? run.frame.sof_ns : run.frame.eof_ns;
    monitor.status->sequence = run.frame.sequence;
  }
  Counters().completed.fetch_add(1, std::memory_order_relaxed);
  return OZY_SUCCESS;
}

void Job::WriteFrame(const Run& run) const {
  const Topology& topology = graph_->topology();
  for (size_t s = 0; s < topology.streams.size(); ++s) {
    const Binding& binding = run.buffers[s];
    if (binding.buffer == nullptr) continue;
    if (binding.buffer->locked()) {
      Runtime::Get().locked_buffer_writes.fetch_add(1);
      continue;
    }
    const Node& mipi = *topology.nodes[topology.streams[s].mipi];
    RenderPicture(binding.buffer->data(), binding.stride, mipi.width(), mipi.height(), mipi.bits(),
                  run.frame.sequence);
  }
}

}  // namespace prism_sim

using prism_sim::Call;
using prism_sim::CompiledGraph;
using prism_sim::Job;
using prism_sim::Runtime;

namespace {

std::string FinalizeText(const OzyFinalizeBufferInfo* infos, int32_t count) {
  if (infos == nullptr || count < 0 || count > 6) {
    return prism_sim::PointerText(infos) + ", " + std::to_string(count);
  }
  std::string text = "[";
  for (int32_t i = 0; i < count; ++i) {
    char entry[128];
    std::snprintf(entry, sizeof(entry), "%s{%s, %d, 0x%" PRIx64 ", %" PRIu64 "}", i > 0 ? ", " : "",
                  prism_sim::PointerText(infos[i].node).c_str(), infos[i].buffer_kind,
                  infos[i].buffer, infos[i].row_stride_bytes);
    text += entry;
  }
  return text + "]/" + std::to_string(count);
}

}  // namespace

extern "C" {

OzyError OzyCreateJob(OzyCompiledGraph* compiled_graph, OzyJob** job) {
  Call call("OzyCreateJob");
  call.Arg(compiled_graph);
  if (job == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  auto graph = Runtime::Get().Find<CompiledGraph>(compiled_graph);
  if (graph == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  auto object = std::make_shared<Job>(graph);
  graph->device()->AddJob(object);
  *job = reinterpret_cast<OzyJob*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*job);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteJob(OzyJob* job) {
  Call call("OzyDeleteJob");
  call.Arg(job);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Unregister<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  object->EndRuns();
  return call.Return(OZY_SUCCESS);
}

OzyError OzySetTransferEventMonitor(OzyJob* job, OzyNode* node, OzyTransferEventStatus* status) {
  Call call("OzySetTransferEventMonitor");
  call.Arg(job).Arg(node).Arg(status);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->SetMonitor(node, status));
}

OzyError OzyLoadDeviceConfig(OzyJob* job) {
  Call call("OzyLoadDeviceConfig");
  call.Arg(job);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->LoadConfig());
}

OzyError OzyUnloadDeviceConfig(OzyJob* job) {
  Call call("OzyUnloadDeviceConfig");
  call.Arg(job);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->UnloadConfig());
}

OzyError OzyFinalizeBuffers(OzyJob* job, const OzyFinalizeBufferInfo* infos, int32_t count) {
  Call call("OzyFinalizeBuffers");
  call.Arg(job);
  if (call.tracing()) call.Raw(FinalizeText(infos, count));
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->Finalize(infos, count));
}

OzyError OzyEnqueueJob(OzyJob* job) {
  Call call("OzyEnqueueJob");
  call.Arg(job);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Job>(job);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->Enqueue());
}

OzyError OzyWaitForCompletionWithTimeout(OzyJob* job, uint64_t timeout_ns) {
  Call call("OzyWaitForCompletionWithTimeout");
  call.Arg(job).Arg(timeout_ns);
  auto object = Runtime::Get().Find<Job>(job);
  if (auto e = call.Injected()) {
    // The failed wait stands for its run, which is then abandoned.
    if (object != nullptr) object->AbandonOldest();
    prism_sim::Counters().failed.fetch_add(1, std::memory_order_relaxed);
    return call.Return(*e);
  }
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  return call.Return(object->Wait(timeout_ns));
}

void PrismSimGetRunStats(PrismSimRunStats* stats) {
  if (stats == nullptr) return;
  prism_sim::RunCounters& c = prism_sim::Counters();
  stats->enqueued = c.enqueued.load();
  stats->completed = c.completed.load();
  stats->cancelled = c.cancelled.load();
  stats->timed_out = c.timed_out.load();
  stats->failed = c.failed.load();
}

size_t PrismSimBlockedWaitCount(void) { return prism_sim::Counters().blocked_waits.load(); }

}  // extern "C"
