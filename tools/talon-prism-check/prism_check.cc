#include "tools/talon-prism-check/prism_check.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/boottime.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_util.h"

namespace talon_prism_check {
namespace {

using vireo::BoottimeNs;
using vireo::CaptureError;
namespace ozy = vireo::ozy;
namespace vireo_util = vireo::vireo_util;

// What libtalon calls its graph and its saved compiled graph.
constexpr char kGraphName[] = "mipi_capture";
constexpr char kGraphFile[] = "graph";
// Tries of reset-cancels before it gives up on resetting during a frame.
constexpr int kResetTries = 5;
// A wait, once the frame period is known: a run waits at most for the frame
// after the next (one queued before it), plus the host's scheduling.
constexpr int64_t kPeriodsPerWait = 3;
constexpr int64_t kHostMarginNs = 500000000;

std::string ErrorText(OzyError error) {
  return absl::StrCat(error, " (", vireo::GetCaptureErrorDesc(vireo_util::GetCaptureError(error)),
                      ")");
}

std::string Returned(const char* call, OzyError error) {
  return absl::StrCat(call, " returned ", ErrorText(error));
}

std::string Failed(const char* what, CaptureError error) {
  return absl::StrCat(what, " failed: ", vireo::GetCaptureErrorDesc(error));
}

bool IsCancellation(OzyError error) {
  return vireo_util::GetCaptureError(error) == CaptureError::CAPTURE_CANCELLED;
}

// One stream's frame buffer over a device buffer that the check owns, so that
// libtalon's FinalizeBuffers binds it as it binds a client's frame buffer.
// Only the handle and the row stride are used.
class DeviceBufferView final : public vireo::CaptureFrameBuffer {
 public:
  DeviceBufferView(const vireo::CaptureStreamConfig& stream, OzyDeviceBuffer* buffer)
      : stream_(stream), buffer_(buffer) {}
  OzyDeviceBuffer* GetBufferHandle(int data_type) const override {
    return data_type == stream_.data_type ? buffer_ : nullptr;
  }
  vireo::CaptureStatus GetStatus() const override { return vireo::CaptureStatus::IDLE; }
  int64_t GetTimestampStartNs() const override { return 0; }
  int64_t GetTimestampEndNs() const override { return 0; }
  CaptureError GetError() const override { return CaptureError::SUCCESS; }
  std::vector<int> GetDataTypeList() const override { return {stream_.data_type}; }
  CaptureError LockFrameData(int, void**) const override { return CaptureError::INVALID_REQUEST; }
  CaptureError UnlockFrameData(int) const override { return CaptureError::INVALID_REQUEST; }
  uint64_t GetRowStrideBytes(int) const override { return vireo_util::GetRowStrideBytes(stream_); }

 private:
  const vireo::CaptureStreamConfig stream_;
  OzyDeviceBuffer* const buffer_;
};

// A xorshift sequence: bytes that no sensor sends, whatever it looks at.
std::vector<uint8_t> MakeCanary(uint64_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x9E3779B9u;
  for (uint8_t& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  return bytes;
}

std::string MakeTempDir(std::string* error) {
  const char* base = std::getenv("TMPDIR");
  std::string path =
      absl::StrCat(base != nullptr && base[0] != '\0' ? base : "/tmp", "/talon-prism-check.XXXXXX");
  if (mkdtemp(path.data()) == nullptr) {
    *error = absl::StrCat("cannot make a temporary directory ", path, ": ", std::strerror(errno));
    return "";
  }
  return path;
}

std::vector<const char*> Names(const ozy::TransferNodes& nodes) {
  std::vector<const char*> names;
  for (const std::string& name : nodes.names) names.push_back(name.c_str());
  return names;
}

// As the capture service fills it: the device, the rest zero.
OzyCompileGraphInfo CompileInfo(OzyDevice* device) {
  OzyCompileGraphInfo info;
  std::memset(&info, 0, sizeof(info));
  info.device = device;
  return info;
}

// The service's nodes: the MIPI input nodes, then the DRAM nodes storing
// 16-bit units.
std::string MakeNodes(const vireo::CaptureConfig& config, ozy::TransferNodes* nodes) {
  CaptureError error = ozy::AppendMipiTransferNodes(config, nodes);
  if (error != CaptureError::SUCCESS) return Failed("OzyCreateTransferNode (MIPI input)", error);
  error = ozy::AppendDramTransferNodes(config, nodes, true);
  if (error != CaptureError::SUCCESS) return Failed("OzyCreateTransferNode (DRAM)", error);
  for (OzyNode* node : nodes->nodes) {
    if (node == nullptr) return "OzyCreateTransferNode succeeded without a node";
  }
  return "";
}

}  // namespace

const std::vector<PrismCheck::Property>& PrismCheck::Properties() {
  static const auto* const properties = new std::vector<Property>{
      {"device", &PrismCheck::Device},
      {"buffers", &PrismCheck::Buffers},
      {"nodes", &PrismCheck::Nodes},
      {"graph", &PrismCheck::Graph},
      {"compile", &PrismCheck::Compile},
      {"save", &PrismCheck::Save},
      {"job", &PrismCheck::Job},
      {"runs-in-order", &PrismCheck::RunsInOrder},
      {"event-times", &PrismCheck::EventTimes},
      {"bound-buffers", &PrismCheck::BoundBuffers},
      {"wait-empty", &PrismCheck::WaitEmpty},
      {"reset-cancels", &PrismCheck::ResetCancels},
      {"reload", &PrismCheck::Reload},
      {"delete", &PrismCheck::Delete},
  };
  return *properties;
}

PrismCheck::PrismCheck(const vireo::CaptureConfig& config, bool fixed_timeout)
    : config_(config),
      stream_(config.stream_configs.at(0)),
      fixed_timeout_(fixed_timeout),
      wait_bound_ns_(uint64_t{config.timeout_ms} * 1000000),
      canary_(MakeCanary(vireo_util::GetSizeBytes(stream_))),
      temp_dir_(MakeTempDir(&temp_dir_error_)) {}

PrismCheck::~PrismCheck() { RemoveTempDir(); }

std::string PrismCheck::NotRun(const char* missing) {
  skip_reason_ = absl::StrCat(missing, " (an earlier property failed)");
  return skip_reason_;
}

PrismCheck::Outcome PrismCheck::RunProperty(const Property& property) {
  skip_reason_.clear();
  std::string seen = (this->*property.check)();
  if (!skip_reason_.empty()) return {Outcome::Kind::kSkip, std::move(skip_reason_)};
  if (!seen.empty()) return {Outcome::Kind::kFail, std::move(seen)};
  return {Outcome::Kind::kOk, ""};
}

void PrismCheck::RemoveTempDir() const {
  std::error_code ignored;
  if (!temp_dir_.empty()) std::filesystem::remove_all(temp_dir_, ignored);
}

std::string PrismCheck::Device() {
  const CaptureError error = ozy::GetDeviceFromConfig(config_, &first_.device, true);
  if (error != CaptureError::SUCCESS) return Failed("OzyGetDevice", error);
  return first_.device == nullptr ? "OzyGetDevice succeeded without a device" : "";
}

// The frame-buffer factory's allocator and buffers; a buffer is unlocked
// before every run, also when it is not locked.
std::string PrismCheck::Buffers() {
  OzyError error = OzyGetMemoryAllocator(OZY_MEMORY_ALLOCATOR_ION, &allocator_);
  if (error != OZY_SUCCESS) return Returned("OzyGetMemoryAllocator", error);
  for (OzyDeviceBuffer*& buffer : buffers_) {
    error = OzyCreateDeviceBufferManaged(allocator_, canary_.size(), 64, 0, 0, &buffer);
    if (error != OZY_SUCCESS) return Returned("OzyCreateDeviceBufferManaged", error);
    if (std::string seen = Fill(buffer); !seen.empty()) return seen;
    error = OzyUnlockDeviceBuffer(buffer);
    if (error != OZY_SUCCESS) return Returned("OzyUnlockDeviceBuffer on an unlocked buffer", error);
  }
  return "";
}

std::string PrismCheck::Nodes() {
  if (first_.device == nullptr) return NotRun("no device");
  return MakeNodes(config_, &first_.nodes);
}

std::string PrismCheck::Graph() {
  if (first_.nodes.nodes.size() != 2) return NotRun("no transfer nodes");
  const std::vector<const char*> names = Names(first_.nodes);
  const OzyError error = OzyCreateGraph(kGraphName, nullptr, first_.nodes.nodes.data(),
                                        names.data(), names.size(), &first_.graph);
  if (error != OZY_SUCCESS) return Returned("OzyCreateGraph", error);
  return first_.graph == nullptr ? "OzyCreateGraph succeeded without a graph" : "";
}

std::string PrismCheck::Compile() {
  if (first_.graph == nullptr) return NotRun("no graph");
  const OzyCompileGraphInfo info = CompileInfo(first_.device);
  const OzyError error = OzyCompileGraph(first_.graph, &info, &first_.compiled);
  if (error != OZY_SUCCESS) return Returned("OzyCompileGraph", error);
  return first_.compiled == nullptr ? "OzyCompileGraph succeeded without a compiled graph" : "";
}

std::string PrismCheck::Save() {
  if (first_.compiled == nullptr) return NotRun("no compiled graph");
  if (temp_dir_.empty()) return temp_dir_error_;
  const OzyError error = OzySaveCompiledGraph(temp_dir_.c_str(), kGraphFile, first_.compiled);
  if (error != OZY_SUCCESS) return Returned("OzySaveCompiledGraph", error);
  const std::string path = absl::StrCat(temp_dir_, "/", kGraphFile);
  return vireo_util::FileExists(path) ? "" : "OzySaveCompiledGraph succeeded but wrote no " + path;
}

// As the capture service sets it up: a job, the start of frame monitored on
// the first MIPI input node, the end of frame on the first DRAM node, and the
// device configuration loaded.
std::string PrismCheck::Job() {
  if (first_.compiled == nullptr) return NotRun("no compiled graph");
  OzyError error = OzyCreateJob(first_.compiled, &first_.job);
  if (error != OZY_SUCCESS) return Returned("OzyCreateJob", error);
  const std::vector<OzyNode*>& nodes = first_.nodes.nodes;
  sof_status_ = {};
  eof_status_ = {};
  error = OzySetTransferEventMonitor(first_.job, nodes[0], &sof_status_);
  if (error != OZY_SUCCESS) return Returned("OzySetTransferEventMonitor (SOF)", error);
  error = OzySetTransferEventMonitor(first_.job, nodes[nodes.size() / 2], &eof_status_);
  if (error != OZY_SUCCESS) return Returned("OzySetTransferEventMonitor (EOF)", error);
  error = OzyLoadDeviceConfig(first_.job);
  if (error != OZY_SUCCESS) return Returned("OzyLoadDeviceConfig", error);
  first_.config_loaded = true;
  return "";
}

// Two runs back to back, as the worker double-buffers: A bound for the first
// (after C, which A replaces before the enqueue), B for the second. A is
// inspected and refilled when the first wait returns.
std::string PrismCheck::RunsInOrder() {
  if (!first_.config_loaded || buffers_[2] == nullptr) return NotRun("no job or no buffers");
  OzyDeviceBuffer* const a = buffers_[0];
  OzyDeviceBuffer* const b = buffers_[1];
  OzyDeviceBuffer* const c = buffers_[2];
  OzyJob* const job = first_.job;
  for (OzyDeviceBuffer* buffer : buffers_) {
    if (std::string seen = Fill(buffer); !seen.empty()) return seen;
  }
  CaptureError bound = Bind(c, &first_);
  if (bound == CaptureError::SUCCESS) bound = Bind(a, &first_);
  if (bound != CaptureError::SUCCESS) return Failed("FinalizeBuffers", bound);
  Enqueue(job, &runs_[0]);
  bound = Bind(b, &first_);
  if (bound == CaptureError::SUCCESS) Enqueue(job, &runs_[1]);
  if (runs_[0].enqueue_result == OZY_SUCCESS) {
    Wait(job, &runs_[0]);
    a_at_first_wait_ = Inspect(a);
    (void)Fill(a);  // a later write into A shows
  }
  if (runs_[1].enqueue_result == OZY_SUCCESS) Wait(job, &runs_[1]);
  a_at_second_wait_ = Inspect(a);
  b_at_second_wait_ = Inspect(b);
  c_at_second_wait_ = Inspect(c);

  if (bound != CaptureError::SUCCESS) return Failed("FinalizeBuffers for run 2", bound);
  for (int i = 0; i < 2; ++i) {
    if (runs_[i].enqueue_result != OZY_SUCCESS) {
      return absl::StrCat("OzyEnqueueJob for run ", i + 1, " returned ",
                          ErrorText(runs_[i].enqueue_result));
    }
    if (runs_[i].wait_result != OZY_SUCCESS) {
      return absl::StrCat("the wait for run ", i + 1, " returned ",
                          ErrorText(runs_[i].wait_result));
    }
  }
  runs_done_ = true;
  MeasureFramePeriod();
  if (runs_[1].sof_ns <= runs_[0].sof_ns) {
    return absl::StrCat("the second wait reported an earlier frame than the first: SOF ",
                        runs_[0].sof_ns, ", then ", runs_[1].sof_ns);
  }
  return "";
}

// The monitored records hold CLOCK_BOOTTIME nanoseconds of each run's frame:
// after its enqueue, start before end, end not after the wait's return. A
// frame that was complete when the enqueue returned (a runtime without
// sensor pacing has its frames there at once) may have started before the
// enqueue, but not ended before it.
std::string PrismCheck::EventTimes() {
  if (!runs_done_) return NotRun("runs-in-order completed no two runs");
  for (int i = 0; i < 2; ++i) {
    const Run& run = runs_[i];
    const std::string which = absl::StrCat("run ", i + 1, ": ");
    const bool there_at_once = run.eof_ns <= run.enqueue_returned_ns;
    if (there_at_once && run.eof_ns < run.enqueued_ns) {
      return absl::StrCat(which, "EOF ", run.eof_ns, " before the enqueue at ", run.enqueued_ns,
                          " (CLOCK_BOOTTIME ns)");
    }
    if (!there_at_once && run.sof_ns <= run.enqueued_ns) {
      return absl::StrCat(which, "SOF ", run.sof_ns, " not after the enqueue at ", run.enqueued_ns,
                          " (CLOCK_BOOTTIME ns)");
    }
    if (run.eof_ns <= run.sof_ns) {
      return absl::StrCat(which, "EOF ", run.eof_ns, " not after SOF ", run.sof_ns);
    }
    if (run.eof_ns > run.returned_ns) {
      return absl::StrCat(which, "EOF ", run.eof_ns, " later than the wait's return at ",
                          run.returned_ns, " (CLOCK_BOOTTIME ns)");
    }
  }
  if (runs_[1].sof_ns <= runs_[0].sof_ns || runs_[1].eof_ns <= runs_[0].eof_ns) {
    return absl::StrCat("times did not advance: SOF ", runs_[0].sof_ns, " then ", runs_[1].sof_ns,
                        ", EOF ", runs_[0].eof_ns, " then ", runs_[1].eof_ns);
  }
  return "";
}

// Each run wrote the buffer bound when it was enqueued, and no other.
std::string PrismCheck::BoundBuffers() {
  if (!runs_done_) return NotRun("runs-in-order completed no two runs");
  if (a_at_first_wait_ != Contents::kChanged) {
    return absl::StrCat("buffer A, bound for run 1, ", Describe(a_at_first_wait_),
                        " when run 1's wait returned");
  }
  if (b_at_second_wait_ != Contents::kChanged) {
    return absl::StrCat("buffer B, bound for run 2, ", Describe(b_at_second_wait_),
                        " when run 2's wait returned");
  }
  if (a_at_second_wait_ != Contents::kCanary) {
    return absl::StrCat("buffer A, bound for run 1 only, ", Describe(a_at_second_wait_),
                        " again during run 2");
  }
  if (c_at_second_wait_ != Contents::kCanary) {
    return absl::StrCat("buffer C, bound and replaced before any enqueue, ",
                        Describe(c_at_second_wait_));
  }
  return "";
}

// Fails, and not much later than its timeout.
std::string PrismCheck::WaitEmpty() {
  if (!first_.config_loaded) return NotRun("no job");
  const int64_t start_ns = BoottimeNs();
  const uint64_t timeout_ns = wait_bound_ns_;
  const OzyError error = OzyWaitForCompletionWithTimeout(first_.job, timeout_ns);
  const int64_t elapsed_ns = BoottimeNs() - start_ns;
  if (error == OZY_SUCCESS) return "OzyWaitForCompletionWithTimeout returned success";
  const int64_t limit_ns = static_cast<int64_t>(timeout_ns + timeout_ns / 2) + 100000000;
  if (elapsed_ns > limit_ns) {
    return absl::StrCat(ErrorText(error), " only after ", elapsed_ns / 1000000,
                        " ms, with a timeout of ", timeout_ns / 1000000, " ms");
  }
  return "";
}

// A reset must fall inside the frame that the interrupted wait is for; when
// the frame ended first the try proves nothing and is repeated. After each
// try the device configuration is unloaded, as a paused capture service does.
std::string PrismCheck::ResetCancels() {
  if (!first_.config_loaded || buffers_[1] == nullptr) return NotRun("no job or no buffers");
  if (frames_there_at_once_) {
    skip_reason_ =
        "frames are complete when their run is queued, so no wait is left for a "
        "reset to cancel";
    return skip_reason_;
  }
  // A quarter frame after the waiter set out, well before the frame ends,
  // and less after each try whose frame ended first (a busy host wakes up
  // late). A reset that comes before the waiter is inside the wait still
  // proves the property (the wait is for a run the reset ended), so the last
  // try resets at once; one after the frame proves nothing.
  int64_t margin_ns = 5000000;
  if (frame_period_ns_ >= 0) {
    margin_ns = std::clamp<int64_t>(frame_period_ns_ / 4, 100000, 20000000);
  }
  std::string seen;
  bool conclusive = false;
  for (int attempt = 1; attempt <= kResetTries && !conclusive; ++attempt) {
    if (!first_.config_loaded) {
      const OzyError error = OzyLoadDeviceConfig(first_.job);
      if (error != OZY_SUCCESS) return Returned("OzyLoadDeviceConfig after a reset", error);
      first_.config_loaded = true;
    }
    conclusive = true;
    seen = ResetDuringWait(attempt == kResetTries ? 0 : margin_ns >> (attempt - 1), &conclusive);
    const OzyError error = OzyUnloadDeviceConfig(first_.job);
    first_.config_loaded = false;
    if (seen.empty() && error != OZY_SUCCESS) {
      return Returned("OzyUnloadDeviceConfig after the reset", error);
    }
  }
  if (!conclusive) skip_reason_ = seen;
  return seen;
}

std::string PrismCheck::ResetDuringWait(int64_t margin_ns, bool* conclusive) {
  OzyJob* const job = first_.job;
  Run first, second;
  CaptureError bound = Bind(buffers_[0], &first_);
  if (bound != CaptureError::SUCCESS) return Failed("FinalizeBuffers", bound);
  Enqueue(job, &first);
  if (first.enqueue_result != OZY_SUCCESS) return Returned("OzyEnqueueJob", first.enqueue_result);
  bound = Bind(buffers_[1], &first_);
  if (bound == CaptureError::SUCCESS) Enqueue(job, &second);

  std::promise<void> setting_out;
  std::thread waiter([this, job, &first, &setting_out] {
    setting_out.set_value();
    Wait(job, &first);
  });
  setting_out.get_future().wait();
  // The waiter cannot announce that it is blocked inside the runtime; the
  // margin gives it the time to get there.
  std::this_thread::sleep_for(std::chrono::nanoseconds(margin_ns));
  const int64_t reset_ns = BoottimeNs();
  const OzyError reset = OzyResetDevice(first_.device);
  // A frame that ends while the reset is under way may end either way.
  const int64_t reset_returned_ns = BoottimeNs();
  waiter.join();
  if (second.enqueue_result == OZY_SUCCESS) Wait(job, &second);

  if (reset != OZY_SUCCESS) return Returned("OzyResetDevice", reset);
  if (bound != CaptureError::SUCCESS) return Failed("FinalizeBuffers for run 2", bound);
  if (second.enqueue_result != OZY_SUCCESS) {
    return Returned("OzyEnqueueJob for run 2", second.enqueue_result);
  }
  if (first.wait_result == OZY_SUCCESS && first.eof_ns <= reset_returned_ns) {
    *conclusive = false;
    if (first.eof_ns >= reset_ns) {
      return absl::StrCat("in ", kResetTries,
                          " tries the frame ended while the reset was under way (",
                          (first.eof_ns - reset_ns) / 1000,
                          " us after it began in the last): no frame lasts long enough here");
    }
    return absl::StrCat("in ", kResetTries, " tries the frame ended before the reset (",
                        (reset_ns - first.eof_ns) / 1000,
                        " us before it in the last): no frame lasts long enough here");
  }
  if (first.wait_result == OZY_SUCCESS) {
    return absl::StrCat("the wait under way returned success for a frame that ended ",
                        (first.eof_ns - reset_returned_ns) / 1000, " us after the reset");
  }
  if (!IsCancellation(first.wait_result)) {
    return absl::StrCat("the wait under way returned ", ErrorText(first.wait_result),
                        ", not a cancellation");
  }
  if (!IsCancellation(second.wait_result)) {
    return absl::StrCat("the later wait for a run the reset ended returned ",
                        ErrorText(second.wait_result), ", not a cancellation");
  }
  return "";
}

// The first service goes, and a second one for the same configuration finds
// the saved graph: a device of its own, new nodes, the saved graph bound to
// them, a job from it, and one run that fills its buffer.
std::string PrismCheck::Reload() {
  release_failures_ = Release(&first_);
  if (temp_dir_.empty() || !vireo_util::FileExists(absl::StrCat(temp_dir_, "/", kGraphFile))) {
    return NotRun("no saved compiled graph");
  }
  if (buffers_[0] == nullptr) return NotRun("no buffers");
  const CaptureError got = ozy::GetDeviceFromConfig(config_, &second_.device, true);
  if (got != CaptureError::SUCCESS)
    return Failed("OzyGetDevice after the first one's release", got);
  if (std::string seen = MakeNodes(config_, &second_.nodes); !seen.empty()) return seen;
  const std::vector<const char*> names = Names(second_.nodes);
  const OzyCompileGraphInfo info = CompileInfo(second_.device);
  OzyError error =
      OzyLoadPrecompiledGraph(temp_dir_.c_str(), kGraphFile, second_.nodes.nodes.data(),
                              names.data(), names.size(), &info, &second_.compiled);
  if (error != OZY_SUCCESS) return Returned("OzyLoadPrecompiledGraph", error);
  error = OzyCreateJob(second_.compiled, &second_.job);
  if (error != OZY_SUCCESS) return Returned("OzyCreateJob on the reloaded graph", error);
  error = OzyLoadDeviceConfig(second_.job);
  if (error != OZY_SUCCESS) return Returned("OzyLoadDeviceConfig", error);
  second_.config_loaded = true;

  OzyDeviceBuffer* const a = buffers_[0];
  if (std::string seen = Fill(a); !seen.empty()) return seen;
  const CaptureError bound = Bind(a, &second_);
  if (bound != CaptureError::SUCCESS) return Failed("FinalizeBuffers", bound);
  Run run;
  Enqueue(second_.job, &run);
  if (run.enqueue_result != OZY_SUCCESS) return Returned("OzyEnqueueJob", run.enqueue_result);
  Wait(second_.job, &run);
  if (run.wait_result != OZY_SUCCESS) {
    return Returned("OzyWaitForCompletionWithTimeout", run.wait_result);
  }
  const Contents contents = Inspect(a);
  return contents == Contents::kChanged
             ? ""
             : absl::StrCat("the run left its buffer ", Describe(contents));
}

// The first service's release (done by reload), the second's, then the frame
// buffers and their allocator.
std::string PrismCheck::Delete() {
  std::vector<std::string> failures = std::move(release_failures_);
  for (std::string& failure : Release(&second_)) failures.push_back(std::move(failure));
  const auto check = [&failures](const char* call, OzyError error) {
    if (error != OZY_SUCCESS) failures.push_back(Returned(call, error));
  };
  for (OzyDeviceBuffer*& buffer : buffers_) {
    if (buffer != nullptr) check("OzyDeleteDeviceBuffer", OzyDeleteDeviceBuffer(buffer));
    buffer = nullptr;
  }
  if (allocator_ != nullptr)
    check("OzyDeleteMemoryAllocator", OzyDeleteMemoryAllocator(allocator_));
  allocator_ = nullptr;
  return absl::StrJoin(failures, "; ");
}

// The capture service's order: device, compiled graph, graph, job, nodes;
// the device configuration is unloaded before.
std::vector<std::string> PrismCheck::Release(Pipeline* pipeline) {
  std::vector<std::string> failures;
  const auto check = [&failures](const char* call, OzyError error) {
    if (error != OZY_SUCCESS) failures.push_back(Returned(call, error));
  };
  if (pipeline->config_loaded) check("OzyUnloadDeviceConfig", OzyUnloadDeviceConfig(pipeline->job));
  if (pipeline->device != nullptr) check("OzyDeleteDevice", OzyDeleteDevice(pipeline->device));
  if (pipeline->compiled != nullptr) {
    check("OzyDeleteCompiledGraph", OzyDeleteCompiledGraph(pipeline->compiled));
  }
  if (pipeline->graph != nullptr) check("OzyDeleteGraph", OzyDeleteGraph(pipeline->graph));
  if (pipeline->job != nullptr) check("OzyDeleteJob", OzyDeleteJob(pipeline->job));
  for (OzyNode* node : pipeline->nodes.nodes) {
    if (node != nullptr) check("OzyDeleteNode", OzyDeleteNode(node));
  }
  *pipeline = Pipeline();
  return failures;
}

CaptureError PrismCheck::Bind(OzyDeviceBuffer* buffer, Pipeline* pipeline) {
  DeviceBufferView view(stream_, buffer);
  return ozy::FinalizeBuffers(&view, &pipeline->nodes.finalize_infos, pipeline->job);
}

const char* PrismCheck::Describe(Contents contents) {
  switch (contents) {
    case Contents::kCanary:
      return "untouched";
    case Contents::kChanged:
      return "changed";
    case Contents::kUnreadable:
      return "unreadable (lock failed)";
  }
  return "?";
}

std::string PrismCheck::Fill(OzyDeviceBuffer* buffer) {
  void* data = nullptr;
  OzyError error = OzyLockDeviceBuffer(buffer, &data);
  if (error != OZY_SUCCESS) return Returned("OzyLockDeviceBuffer", error);
  if (data != nullptr) std::memcpy(data, canary_.data(), canary_.size());
  error = OzyUnlockDeviceBuffer(buffer);
  if (data == nullptr) return "OzyLockDeviceBuffer succeeded without an address";
  return error == OZY_SUCCESS ? "" : Returned("OzyUnlockDeviceBuffer", error);
}

PrismCheck::Contents PrismCheck::Inspect(OzyDeviceBuffer* buffer) {
  void* data = nullptr;
  if (OzyLockDeviceBuffer(buffer, &data) != OZY_SUCCESS || data == nullptr) {
    return Contents::kUnreadable;
  }
  const bool untouched = std::memcmp(data, canary_.data(), canary_.size()) == 0;
  // A failed unlock shows in the next FinalizeBuffers, which unlocks again.
  (void)OzyUnlockDeviceBuffer(buffer);
  return untouched ? Contents::kCanary : Contents::kChanged;
}

void PrismCheck::Enqueue(OzyJob* job, Run* run) {
  run->enqueued_ns = BoottimeNs();
  run->enqueue_result = OzyEnqueueJob(job);
  run->enqueue_returned_ns = BoottimeNs();
}

void PrismCheck::Wait(OzyJob* job, Run* run) {
  run->wait_result = OzyWaitForCompletionWithTimeout(job, wait_bound_ns_);
  run->returned_ns = BoottimeNs();
  run->sof_ns = sof_status_.time_ns;
  run->eof_ns = eof_status_.time_ns;
}

void PrismCheck::MeasureFramePeriod() {
  // Records that do not advance say nothing of the rate (event-times and
  // runs-in-order report them); the waits keep their first bound. Both runs
  // completed within that bound, so a longer period is not believed.
  const int64_t period_ns =
      std::min(runs_[1].sof_ns - runs_[0].sof_ns, static_cast<int64_t>(wait_bound_ns_));
  if (period_ns < 0 || runs_[0].sof_ns <= 0) return;
  frame_period_ns_ = period_ns;
  frames_there_at_once_ = std::all_of(runs_.begin(), runs_.end(), [](const Run& run) {
    return run.enqueued_ns <= run.eof_ns && run.eof_ns <= run.enqueue_returned_ns;
  });
  if (!fixed_timeout_) {
    wait_bound_ns_ = static_cast<uint64_t>(kPeriodsPerWait * period_ns + kHostMarginNs);
  }
}

}  // namespace talon_prism_check
