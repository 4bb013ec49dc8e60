#include "platform/prism/device.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/prism/job.h"

namespace prism_sim {

Device::Device(std::vector<int32_t> streams, double fps, uint32_t skip_after, uint32_t skip_count)
    : Object("OzyDevice"),
      streams_(std::move(streams)),
      epoch_ns_(BoottimeNs()),
      period_ns_(fps > 0 ? 1e9 / fps : 0),
      skip_after_(skip_after),
      skip_count_(skip_count) {}

bool Device::HasReceiver(int32_t rx) const {
  for (int32_t stream : streams_) {
    if (stream / 4 == rx) return true;
  }
  return false;
}

int64_t Device::SofOf(int64_t k) const {
  return epoch_ns_ + std::llround(static_cast<double>(k) * period_ns_);
}

Frame Device::NextFrame(int64_t now_ns) {
  vireo::MutexLock lock(&mutex_);
  Frame frame;
  // The planted gap: the frames skipped reach no run.
  const uint32_t skip = ++runs_ == uint64_t{skip_after_} + 1 ? skip_count_ : 0;
  if (period_ns_ == 0) {
    counter_ += skip;
    // Unthrottled: the frame has already arrived when the run is queued (it
    // ended at `now_ns`, unless the previous frame ended later), so a wait
    // for it returns at once instead of sleeping for a microsecond.
    frame.sof_ns = std::max(now_ns - 1000, last_eof_ns_);
    frame.eof_ns = frame.sof_ns + 1000;
    frame.sequence = counter_++;
    last_eof_ns_ = frame.eof_ns;
    return frame;
  }
  // The first frame that starts after `now_ns`; the estimate is corrected
  // for rounding.
  int64_t k = static_cast<int64_t>(static_cast<double>(now_ns - epoch_ns_) / period_ns_) + 1;
  if (k < 1) k = 1;
  while (SofOf(k) <= now_ns) ++k;
  while (k > 1 && SofOf(k - 1) > now_ns) --k;
  k = std::max(k, last_k_ + 1) + skip;
  last_k_ = k;
  frame.sequence = static_cast<uint32_t>(k);
  frame.sof_ns = SofOf(k);
  frame.eof_ns = frame.sof_ns + std::llround(0.8 * period_ns_);
  return frame;
}

void Device::AddJob(const std::shared_ptr<Job>& job) {
  vireo::MutexLock lock(&mutex_);
  jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                             [](const std::weak_ptr<Job>& j) { return j.expired(); }),
              jobs_.end());
  jobs_.push_back(job);
}

void Device::Reset() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    vireo::MutexLock lock(&mutex_);
    for (const std::weak_ptr<Job>& weak : jobs_) {
      if (auto job = weak.lock()) jobs.push_back(std::move(job));
    }
  }
  for (const auto& job : jobs) job->EndRuns();
}

}  // namespace prism_sim

using prism_sim::Call;
using prism_sim::Device;
using prism_sim::Runtime;

namespace {

// "null/N", or "[a,b]/N" with the entries when the count is one the device
// accepts (larger counts are not read).
std::string ListText(const int32_t* list, int32_t count) {
  if (list == nullptr) return "null/" + std::to_string(count);
  if (count < 0 || count > 3) return prism_sim::PointerText(list) + "/" + std::to_string(count);
  std::string text = "[";
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0) text += ",";
    text += std::to_string(list[i]);
  }
  return text + "]/" + std::to_string(count);
}

std::string InfoText(const OzyGetDeviceInfo& info) {
  return "{kind=" + std::to_string(info.device_kind) +
         ", regions=" + ListText(info.memory_regions, info.memory_region_count) +
         ", cores=" + ListText(info.core_ids, info.core_id_count) +
         ", dma=" + ListText(info.dma_channels, info.dma_channel_count) +
         ", stream_kind=" + std::to_string(info.stream_kind) +
         ", mipi=" + ListText(info.mipi_streams, info.mipi_stream_count) +
         ", extra=" + ListText(info.extra, info.extra_count) + "}";
}

// A list of distinct entries in [low, high), count in [min_count, 3].
bool ValidList(const int32_t* list, int32_t count, int32_t min_count, int32_t low, int32_t high) {
  if (count < min_count || count > 3) return false;
  if (count > 0 && list == nullptr) return false;
  for (int32_t i = 0; i < count; ++i) {
    if (list[i] < low || list[i] >= high) return false;
    for (int32_t j = 0; j < i; ++j) {
      if (list[j] == list[i]) return false;
    }
  }
  return true;
}

bool ValidInfo(const OzyGetDeviceInfo& info) {
  return info.device_kind == OZY_DEVICE_KIND_IPU && info.stream_kind == OZY_STREAM_KIND_MIPI &&
         info.memory_regions == nullptr && info.memory_region_count == 0 && info.extra == nullptr &&
         info.extra_count == 0 && ValidList(info.core_ids, info.core_id_count, 0, 0, 12) &&
         ValidList(info.dma_channels, info.dma_channel_count, 0, 12, 24) &&
         ValidList(info.mipi_streams, info.mipi_stream_count, 1, 0, 16);
}

}  // namespace

extern "C" {

OzyError OzyGetDevice(const OzyGetDeviceInfo* info, OzyDevice** device) {
  Call call("OzyGetDevice");
  if (call.tracing()) call.Raw(info == nullptr ? "null" : InfoText(*info));
  if (info == nullptr || device == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  if (!ValidInfo(*info)) return call.Return(OZY_ERROR_INVALID_REQUEST);
  std::vector<int32_t> streams(info->mipi_streams, info->mipi_streams + info->mipi_stream_count);
  const Runtime::Skip skip = Runtime::Get().skip();
  auto object =
      std::make_shared<Device>(std::move(streams), Runtime::Get().fps(), skip.after, skip.count);
  *device = reinterpret_cast<OzyDevice*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*device);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyResetDevice(OzyDevice* device) {
  Call call("OzyResetDevice");
  call.Arg(device);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<Device>(device);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  object->Reset();
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteDevice(OzyDevice* device) {
  Call call("OzyDeleteDevice");
  call.Arg(device);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Unregister<Device>(device);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  // A device that is gone runs nothing: its unfinished runs end as by a reset.
  object->Reset();
  return call.Return(OZY_SUCCESS);
}

void PrismSimSetFrameRate(double fps) {
  if (std::isfinite(fps) && fps >= 0 && fps <= 1e6) Runtime::Get().set_fps(fps);
}

void PrismSimSetFrameSkip(uint32_t after, uint32_t count) {
  Runtime::Get().set_skip({after, count});
}

}  // extern "C"
