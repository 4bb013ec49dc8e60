// talon._talon: the Python binding of libtalon's capture API (configurations,
// enumerations, CaptureService, CaptureFrameBufferFactory, frame buffers),
// with frame data as NumPy arrays that view the device buffers without a
// copy, the sensor's frame sequence and the count of frames lost between
// delivered ones (as talon-cam counts them), the CSI-2 unpacking helper and
// the software ISP's development of raw frames (develop_binding.h).
// The package's __init__.py adds the convenience layer (Camera) on top.
//
// Errors become talon.CaptureException (a RuntimeError with .error, the
// CaptureError, and .description, the library's text for it); its message
// says why: a configuration is checked here before the library sees it, and
// the message names the field and the value. Misuse of a closed service or
// of a buffer the service holds raises ValueError.
//
// Threading: every call that can block (service creation, dequeue, pause,
// resume, clear, close and destruction, unpacking) releases the GIL. A
// dequeue waits with the library's timed dequeue in periods of
// kSignalPeriod and runs Python's signal handlers between them, so Ctrl-C
// interrupts it without touching the capture. Pause, resume and close run
// on the service's helper threads while the calling thread waits in the
// same periods; an interrupted pause or close goes on to its end on its
// helper, and the next call waits for it. The module's own bookkeeping
// (which Python buffer the service holds, CPU locks) is touched only with
// the GIL held. Pause, resume and clear are serialised by the control mutex;
// close waits until every call under way in other threads has left the
// service. libtalon's log entries go to Python's logging (log_forwarding.h);
// the calls that may log drain them as they return.
// Ownership: a Python FrameBuffer owns its native frame buffer through a
// shared pointer that its arrays share: an array keeps the frame's stream
// locked and its memory alive. A buffer enqueued while arrays still view it
// goes to the service as a fresh native buffer, so an array never sees the
// IPU overwrite it. The service holds every Python buffer it was given until
// it is dequeued, cleared or the service is closed; buffers keep their
// factory alive.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "python/develop_binding.h"
#include "python/helper_threads.h"
#include "support/capture_error_name.h"
#include "python/log_forwarding.h"
#include "support/capture_session.h"
#include "support/csi2_unpack.h"
#include "support/frame_sequence.h"
#include "support/graph_cache_dir.h"
#include "support/options.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_setup.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"

// CaptureConfig.stream_configs is bound as a list of its own that edits the
// configuration in place (append, item assignment), not a copy.
PYBIND11_MAKE_OPAQUE(std::vector<vireo::CaptureStreamConfig>)

namespace py = pybind11;

namespace {

using talon_python::HelperThreads;
using vireo::CaptureConfig;
using vireo::CaptureError;
using vireo::CaptureFrameBuffer;
using vireo::CaptureStreamConfig;

// How long a thread waiting for a blocking call goes without running
// Python's signal handlers: the capture session's wait slice.
constexpr std::chrono::milliseconds kSignalPeriod(talon_support::kWaitSliceMs);

// A CaptureError result, raised as talon.CaptureException with `message`.
struct CaptureFailure {
  CaptureError error;
  std::string message;
};

// A failure only the library knows the reason of: its description.
[[noreturn]] void Fail(CaptureError error, const std::string& call) {
  throw CaptureFailure{error, call + ": " + vireo::GetCaptureErrorDesc(error)};
}

void Check(CaptureError error, const std::string& call) {
  if (error != CaptureError::SUCCESS) Fail(error, call);
}

std::string Hex(int value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
  return text;
}

// Why the library or the runtime would refuse `config`, naming the field and
// its value ("CaptureConfig.virtual_channel: 99 is not in 0 to 3"); empty
// when nothing is wrong. The option toolkit holds the limits and says what
// is wrong; here the setting is named by its field.
std::string ConfigProblem(const CaptureConfig& config) {
  using Setting = talon_support::ConfigProblem::Setting;
  talon_support::ConfigProblem problem;
  if (talon_support::CheckConfig(config, &problem)) return "";
  const char* field = "";
  switch (problem.setting) {
    case Setting::kStreams:
      field = "CaptureConfig.stream_configs";
      break;
    case Setting::kVirtualChannel:
      field = "CaptureConfig.virtual_channel";
      break;
    case Setting::kMipiRx:
      field = "CaptureConfig.mipi_rx";
      break;
    case Setting::kWhole:
      break;
  }
  return talon_support::ProblemText(field, problem);
}

// Refuses `config` with INVALID_CONFIG and the reason, before `call` reaches
// the library.
void CheckConfig(const CaptureConfig& config, const std::string& call) {
  const std::string problem = ConfigProblem(config);
  if (!problem.empty()) {
    throw CaptureFailure{CaptureError::INVALID_CONFIG, call + ": " + problem};
  }
}

// "0x2B 64x8 10-bit, ...": the streams of a configuration, for messages.
std::string StreamsText(const CaptureConfig& config) {
  std::string text;
  for (const CaptureStreamConfig& s : config.stream_configs) {
    text += (text.empty() ? "" : ", ") + Hex(s.data_type) + " " + std::to_string(s.width) + "x" +
            std::to_string(s.height) + " " + std::to_string(s.bits_per_component) + "-bit" +
            (s.pad_row_to_64_bytes ? " padded" : "");
  }
  return text;
}

// Whether frame buffers made for `a` have the layout that `b` captures:
// the same streams, in any order.
bool SameStreams(const CaptureConfig& a, const CaptureConfig& b) {
  if (a.stream_configs.size() != b.stream_configs.size()) return false;
  for (const CaptureStreamConfig& s : a.stream_configs) {
    bool found = false;
    for (const CaptureStreamConfig& t : b.stream_configs) {
      found = found || (s.data_type == t.data_type && s.width == t.width &&
                        s.height == t.height && s.bits_per_component == t.bits_per_component &&
                        s.pad_row_to_64_bytes == t.pad_row_to_64_bytes);
    }
    if (!found) return false;
  }
  return true;
}

// Points libtalon at a compiled-graph cache this process can use (the
// directory set for the process, else the system one when writable, else
// the user's); raises FILE_SYSTEM_ERROR naming the path and the reason when
// none can be made. A fallback is said once, at INFO.
void ChooseGraphCache(const std::string& call) {
  std::string dir, note, error;
  if (!talon_support::ChooseGraphCacheDir("", &dir, &note, &error)) {
    throw CaptureFailure{CaptureError::FILE_SYSTEM_ERROR, call + ": " + error};
  }
  static std::string said;  // guarded by the GIL
  if (!note.empty() && note != said) {
    said = note;
    py::module_::import("logging").attr("getLogger")("talon").attr("info")(note);
  }
}

class Factory : public std::enable_shared_from_this<Factory> {
 public:
  Factory(const CaptureConfig& config, std::unique_ptr<vireo::CaptureFrameBufferFactory> impl)
      : config_(config), impl_(std::move(impl)) {}

  static std::shared_ptr<Factory> CreateInstance(const CaptureConfig& config) {
    const char* const call_name = "CaptureFrameBufferFactory.create_instance";
    CheckConfig(config, call_name);
    std::unique_ptr<vireo::CaptureFrameBufferFactory> impl =
        vireo::CaptureFrameBufferFactory::CreateInstance(config);
    talon_python::LogForwarding::Drain();
    // The configuration passed the check: what is left is the runtime's
    // memory allocator.
    if (impl == nullptr) {
      throw CaptureFailure{CaptureError::NO_MEM,
                           std::string(call_name) + ": the runtime's memory allocator cannot be had"};
    }
    return std::make_shared<Factory>(config, std::move(impl));
  }

  std::unique_ptr<CaptureFrameBuffer> CreateNative() {
    std::unique_ptr<CaptureFrameBuffer> buffer = impl_->Create();
    // The configuration passed the check: what is left is the memory.
    if (buffer == nullptr) Fail(CaptureError::NO_MEM, "CaptureFrameBufferFactory.create");
    return buffer;
  }

  const CaptureConfig& config() const { return config_; }

 private:
  const CaptureConfig config_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> impl_;
};

// One native frame buffer and the CPU locks on its streams, counted per data
// type (the runtime's lock is not counted). Arrays share it.
class NativeBuffer {
 public:
  NativeBuffer(std::shared_ptr<Factory> factory, std::unique_ptr<CaptureFrameBuffer> buffer)
      : factory_(std::move(factory)), buffer_(std::move(buffer)) {}
  ~NativeBuffer() {
    for (const auto& [data_type, lock] : locks_) buffer_->UnlockFrameData(data_type);
  }

  CaptureFrameBuffer* get() const { return buffer_.get(); }
  bool locked() const { return !locks_.empty(); }

  void* Lock(int data_type) {
    auto it = locks_.find(data_type);
    if (it == locks_.end()) {
      void* data = nullptr;
      Check(buffer_->LockFrameData(data_type, &data), "FrameBuffer.array");
      it = locks_.emplace(data_type, std::make_pair(0, data)).first;
    }
    ++it->second.first;
    return it->second.second;
  }

  void Unlock(int data_type) {
    auto it = locks_.find(data_type);
    if (it == locks_.end() || --it->second.first > 0) return;
    buffer_->UnlockFrameData(data_type);
    locks_.erase(it);
  }

 private:
  std::shared_ptr<Factory> factory_;  // keeps the allocator for the buffer's life
  std::unique_ptr<CaptureFrameBuffer> buffer_;
  std::map<int, std::pair<int, void*>> locks_;  // data type -> (arrays, data)
};

// What an array's base object holds: its stream's lock.
struct ArrayLock {
  std::shared_ptr<NativeBuffer> native;
  int data_type;
};

class Service;

class FrameBuffer {
 public:
  FrameBuffer(std::shared_ptr<Factory> factory, std::shared_ptr<NativeBuffer> native)
      : factory_(std::move(factory)), native_(std::move(native)) {}

  const CaptureConfig& config() const { return factory_->config(); }

  // The native buffer to hand to the service: a fresh one while arrays
  // still view the current one.
  CaptureFrameBuffer* PrepareForEnqueue() {
    if (native_->locked()) {
      native_ = std::make_shared<NativeBuffer>(factory_, factory_->CreateNative());
    }
    return native_->get();
  }

  const CaptureFrameBuffer& Client() const {
    if (holder_ != nullptr) throw py::value_error("the frame buffer is held by the capture service");
    return *native_->get();
  }

  const CaptureStreamConfig& Stream(int data_type) const {
    for (const CaptureStreamConfig& s : factory_->config().stream_configs) {
      if (s.data_type == data_type) return s;
    }
    throw CaptureFailure{CaptureError::DATA_TYPE_NOT_FOUND,
                         "FrameBuffer: data type " + Hex(data_type) +
                             " is not one of its streams (" +
                             StreamsText(factory_->config()) + ")"};
  }

  int DataType(const std::optional<int>& data_type) const {
    if (data_type.has_value()) return *data_type;
    const std::vector<int> types = Client().GetDataTypeList();
    if (types.size() != 1) throw py::type_error("the buffer holds several streams: give the data type");
    return types.front();
  }

  py::array Array(const std::optional<int>& requested) {
    const CaptureFrameBuffer& buffer = Client();
    const int data_type = DataType(requested);
    void* data = native_->Lock(data_type);
    auto* lock = new ArrayLock{native_, data_type};
    py::capsule base(lock, [](void* p) {
      auto* held = static_cast<ArrayLock*>(p);
      held->native->Unlock(held->data_type);
      delete held;
    });
    const auto height = static_cast<py::ssize_t>(Stream(data_type).height);
    const auto stride = static_cast<py::ssize_t>(buffer.GetRowStrideBytes(data_type));
    py::array_t<uint8_t> array({height, stride}, {stride, py::ssize_t{1}},
                               static_cast<const uint8_t*>(data), base);
    array.attr("setflags")(py::arg("write") = false);
    return array;
  }

  // The frame's record by `recorder` (the one rule every surface counts
  // drops with), the first stream's stamp read under this buffer's lock.
  talon_support::FrameRecord Record(talon_support::FrameRecorder& recorder,
                                     int64_t dequeue_ns) {
    const CaptureFrameBuffer& buffer = Client();
    if (buffer.GetError() != CaptureError::SUCCESS) return recorder.Record(buffer, dequeue_ns);
    const int data_type = factory_->config().stream_configs.front().data_type;
    const void* data = native_->Lock(data_type);
    const talon_support::FrameRecord record = recorder.Record(buffer, dequeue_ns, data);
    native_->Unlock(data_type);
    return record;
  }

  // The sensor's sequence stamped in the first stream's data; none when the
  // frame carries no stamp.
  std::optional<uint32_t> SensorSequence() {
    const CaptureFrameBuffer& buffer = Client();
    const CaptureStreamConfig& stream = factory_->config().stream_configs.front();
    const void* data = native_->Lock(stream.data_type);
    uint32_t sequence = 0;
    const bool found = talon_support::ReadFrameSequence(
        data, buffer.GetRowStrideBytes(stream.data_type), stream, &sequence);
    native_->Unlock(stream.data_type);
    if (!found) return std::nullopt;
    return sequence;
  }

  Service* holder_ = nullptr;  // the service that holds the buffer, or null

 private:
  std::shared_ptr<Factory> factory_;
  std::shared_ptr<NativeBuffer> native_;
};

// Frames of at least this many samples are unpacked with the GIL released;
// for smaller ones giving it up would cost more than the unpacking.
constexpr uint64_t kUnpackWithoutGil = 64 * 1024;

// Unpacks `packed` (uint8, height × row stride) into `out` when given (a
// writable uint16 array of shape (height, width) whose samples lie side by
// side in each row), else into a new array; returns the array written.
py::array Unpack(py::array_t<uint8_t, py::array::c_style> packed, uint32_t width, uint32_t bits,
                 std::optional<py::array> out) {
  if (packed.ndim() != 2) throw py::value_error("unpack takes a 2-D array (height, row stride)");
  const uint64_t height = static_cast<uint64_t>(packed.shape(0));
  const uint64_t stride = static_cast<uint64_t>(packed.shape(1));
  if (bits != 8 && bits != 10 && bits != 16) throw py::value_error("bits must be 8, 10 or 16");
  if (talon_support::PayloadRowBytes(width, bits) > stride) {
    throw py::value_error("rows of " + std::to_string(stride) + " bytes hold fewer than " +
                          std::to_string(width) + " samples");
  }
  py::array samples = out.has_value()
                          ? *out
                          : py::array_t<uint16_t>({static_cast<py::ssize_t>(height),
                                                   static_cast<py::ssize_t>(width)});
  if (out.has_value()) {
    const bool fits = samples.dtype().is(py::dtype::of<uint16_t>()) && samples.ndim() == 2 &&
                      static_cast<uint64_t>(samples.shape(0)) == height &&
                      samples.shape(1) == static_cast<py::ssize_t>(width) &&
                      samples.strides(1) == 2 &&
                      (height < 2 || samples.strides(0) >= static_cast<py::ssize_t>(width) * 2);
    if (!fits) {
      throw py::value_error("out must be a uint16 array of shape (" + std::to_string(height) +
                            ", " + std::to_string(width) + ") with the samples of a row side " +
                            "by side and rows in order");
    }
    if (!samples.writeable()) throw py::value_error("out is read-only");
  }
  const uint8_t* in = packed.data();
  auto* first = static_cast<uint16_t*>(samples.mutable_data());
  const uint64_t out_stride = height < 2 ? 0 : static_cast<uint64_t>(samples.strides(0));
  bool done = false;
  if (height * width >= kUnpackWithoutGil) {
    py::gil_scoped_release release;
    done = talon_support::UnpackCsi2(in, stride, width, static_cast<uint32_t>(height), bits, first,
                                     out_stride);
  } else {
    done = talon_support::UnpackCsi2(in, stride, width, static_cast<uint32_t>(height), bits, first,
                                     out_stride);
  }
  if (!done) throw py::value_error("the payload cannot be unpacked as given");
  return samples;
}

class Service {
 public:
  Service(const CaptureConfig& config, std::unique_ptr<vireo::CaptureService> service)
      : config_(config), service_(std::move(service)) {}
  ~Service() { Close(/*interruptible=*/false); }

  static std::unique_ptr<Service> CreateInstance(const CaptureConfig& config) {
    const char* const call_name = "CaptureService.create_instance";
    CheckConfig(config, call_name);
    ChooseGraphCache(call_name);
    std::unique_ptr<vireo::CaptureService> service;
    CaptureError error = CaptureError::SUCCESS;
    std::string reason;
    {
      py::gil_scoped_release release;
      error = vireo::CreateCaptureService(config, &service, &reason);
    }
    talon_python::LogForwarding::Drain();
    if (error != CaptureError::SUCCESS) {
      throw CaptureFailure{error, std::string(call_name) + ": " + reason};
    }
    return std::make_unique<Service>(config, std::move(service));
  }

  void EnqueueRequest(const std::shared_ptr<FrameBuffer>& buffer) {
    const char* const call_name = "CaptureService.enqueue_request";
    if (buffer == nullptr) {
      throw CaptureFailure{CaptureError::INVALID_BUFFER, std::string(call_name) + ": None"};
    }
    Call call(this);
    if (buffer->holder_ != nullptr) {
      throw CaptureFailure{CaptureError::INVALID_BUFFER,
                           std::string(call_name) + ": the frame buffer is already enqueued"};
    }
    if (!SameStreams(buffer->config(), config_)) {
      throw CaptureFailure{CaptureError::INVALID_BUFFER,
                           std::string(call_name) + ": the frame buffer was made for " +
                               StreamsText(buffer->config()) + ", the service captures " +
                               StreamsText(config_)};
    }
    CaptureFrameBuffer* native = buffer->PrepareForEnqueue();
    held_[native] = buffer;
    buffer->holder_ = this;
    const CaptureError error = service_->EnqueueRequest(native);
    talon_python::LogForwarding::Drain();
    if (error != CaptureError::SUCCESS) {
      held_.erase(native);
      buffer->holder_ = nullptr;
      Fail(error, call_name);
    }
  }

  // Waits for the oldest completed buffer in periods of kSignalPeriod,
  // running Python's signal handlers between them; the capture goes on
  // untouched, so an interrupt cancels no frame. None once the service is
  // paused (or closing) and no completed buffer is left.
  std::shared_ptr<FrameBuffer> DequeueCompletedRequest() {
    Call call(this);
    Waiting waiting(this);
    const auto period = static_cast<uint32_t>(kSignalPeriod.count());
    while (true) {
      CaptureFrameBuffer* native = nullptr;
      bool stopped = false;
      {
        py::gil_scoped_release release;
        native = vireo::TryDequeueCompletedRequest(service_.get(), period);
        if (native == nullptr && capture_stopped()) {
          native = vireo::TryDequeueCompletedRequest(service_.get(), 0);  // completed before the stop
          stopped = native == nullptr;
        }
      }
      talon_python::LogForwarding::Drain();
      if (native != nullptr) return TakeBack(native);
      if (stopped) return nullptr;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  void ClearPendingRequests() {
    {
      Call call(this);
      py::gil_scoped_release release;
      vireo::MutexLock control(&control_);
      if (!paused_) {
        throw CaptureFailure{CaptureError::INVALID_REQUEST,
                             "CaptureService.clear_pending_requests: the capture runs; pause it "
                             "first"};
      }
      service_->ClearPendingRequests();
    }
    talon_python::LogForwarding::Drain();
    // The cleared buffers are those still waiting; completed ones stay
    // until dequeued. The worker has stopped, so their status is settled.
    std::vector<CaptureFrameBuffer*> cleared;
    for (const auto& [native, buffer] : held_) {
      if (native->GetStatus() == vireo::CaptureStatus::ENQUEUED) cleared.push_back(native);
    }
    for (CaptureFrameBuffer* native : cleared) TakeBack(native);
  }

  void Pause() { Control(true); }
  void Resume() { Control(false); }

  // Stops and destroys the native service, then lets go of the buffers.
  // Interrupted, it raises and the close goes on; a later Close (or the
  // destructor) waits for it and lets go of the buffers.
  void Close(bool interruptible) {
    bool start = false;
    {
      vireo::MutexLock lock(&mutex_);
      start = !closing_;
      closing_ = true;  // no call enters from now on
    }
    if (start) {
      try {
        RunOnHelper([this] { StopAndDestroy(); });
      } catch (const CaptureFailure&) {
        py::gil_scoped_release release;
        StopAndDestroy();
      }
    }
    while (true) {
      {
        py::gil_scoped_release release;
        vireo::MutexLock lock(&mutex_);
        if (!destroyed_) idle_.WaitFor(kSignalPeriod);
        if (destroyed_) break;
      }
      if (interruptible && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    talon_python::LogForwarding::Drain();
    for (auto& [native, buffer] : held_) buffer->holder_ = nullptr;
    held_.clear();
  }

  bool closed() {
    vireo::MutexLock lock(&mutex_);
    return closing_;
  }

  // Calls of dequeue_completed_request waiting for a buffer right now.
  int waiting() {
    vireo::MutexLock lock(&mutex_);
    return waiting_;
  }

 private:
  // Counts a call into the native service, which Close waits out.
  class Call {
   public:
    explicit Call(Service* service) : service_(service) {
      vireo::MutexLock lock(&service_->mutex_);
      if (service_->closing_) throw py::value_error("the capture service is closed");
      ++service_->calls_;
    }
    ~Call() {
      vireo::MutexLock lock(&service_->mutex_);
      --service_->calls_;
      service_->idle_.SignalAll();
    }

   private:
    Service* service_;
  };

  // Counts a dequeue that waits for a buffer (waiting()).
  class Waiting {
   public:
    explicit Waiting(Service* service) : service_(service) {
      vireo::MutexLock lock(&service_->mutex_);
      ++service_->waiting_;
    }
    ~Waiting() {
      vireo::MutexLock lock(&service_->mutex_);
      --service_->waiting_;
    }

   private:
    Service* service_;
  };

  std::shared_ptr<HelperThreads::Task> RunOnHelper(std::function<void()> work) {
    try {
      return helpers_.Run(std::move(work));
    } catch (const std::system_error& e) {
      throw CaptureFailure{CaptureError::BACKGROUND_THREAD_ERROR,
                           std::string("no thread for the call: ") + e.what()};
    }
  }

  // Waits for `task`, running Python's signal handlers every kSignalPeriod.
  // False when a handler raised (the Python error is set); the task goes on.
  bool AwaitTask(HelperThreads::Task& task) {
    while (true) {
      {
        py::gil_scoped_release release;
        if (helpers_.WaitFor(task, kSignalPeriod)) return true;
      }
      if (PyErr_CheckSignals() != 0) return false;
    }
  }

  // Paused, or closing: no more buffers will complete.
  bool capture_stopped() {
    vireo::MutexLock control(&control_);
    return paused_ || closed();
  }

  void Control(bool pause) {
    Call call(this);
    std::shared_ptr<HelperThreads::Task> task = RunOnHelper([this, pause] {
      vireo::MutexLock control(&control_);
      if (pause == paused_ || closed()) return;  // a close under way has paused
      pause ? service_->Pause() : service_->Resume();
      paused_ = pause;
    });
    const bool done = AwaitTask(*task);
    if (!done) throw py::error_already_set();
    talon_python::LogForwarding::Drain();
  }

  // The native half of Close, on a helper (or inline when none can start).
  void StopAndDestroy() {
    {
      vireo::MutexLock control(&control_);
      service_->Pause();  // dequeues under way see it and return
      paused_ = true;
    }
    {
      vireo::MutexLock lock(&mutex_);
      while (calls_ != 0) idle_.Wait();
    }
    service_.reset();
    vireo::MutexLock lock(&mutex_);
    destroyed_ = true;
    idle_.SignalAll();
  }

  std::shared_ptr<FrameBuffer> TakeBack(CaptureFrameBuffer* native) {
    auto it = held_.find(native);
    if (it == held_.end()) Fail(CaptureError::UNKNOWN, "a frame buffer the module does not know");
    std::shared_ptr<FrameBuffer> buffer = std::move(it->second);
    held_.erase(it);
    buffer->holder_ = nullptr;
    return buffer;
  }

  // Constant after construction.
  const CaptureConfig config_;
  // Destroyed by StopAndDestroy once no call is under way; the control
  // calls that come after it see closed() first.
  std::unique_ptr<vireo::CaptureService> service_;

  // Guarded by the GIL.
  std::unordered_map<CaptureFrameBuffer*, std::shared_ptr<FrameBuffer>> held_;

  // Pause, resume and clear, one at a time.
  vireo::Mutex control_ ABSL_ACQUIRED_BEFORE(mutex_);
  bool paused_ ABSL_GUARDED_BY(control_) = false;

  vireo::Mutex mutex_;
  vireo::CondVar idle_{&mutex_};  // a call left, or the native service is destroyed
  int calls_ ABSL_GUARDED_BY(mutex_) = 0;
  int waiting_ ABSL_GUARDED_BY(mutex_) = 0;
  bool closing_ ABSL_GUARDED_BY(mutex_) = false;
  bool destroyed_ ABSL_GUARDED_BY(mutex_) = false;
  // Last: destroyed first, it joins the helpers before what they use goes.
  HelperThreads helpers_;
};

std::string StreamRepr(const CaptureStreamConfig& s) {
  return "CaptureStreamConfig(data_type=" + std::to_string(s.data_type) +
         ", width=" + std::to_string(s.width) + ", height=" + std::to_string(s.height) +
         ", bits_per_component=" + std::to_string(s.bits_per_component) +
         ", pad_row_to_64_bytes=" + (s.pad_row_to_64_bytes ? "True" : "False") + ")";
}

// The bindings, one function per bound type, in the order the module
// registers them (a type is registered before the signatures that name it).

void BindMipiDataType(py::module_& m) {
  py::enum_<vireo::MipiDataTypeCsi2>(m, "MipiDataTypeCsi2", py::arithmetic(),
                                     "MIPI CSI-2 data types; any int is accepted where one "
                                     "is expected.")
      .value("CSI2_EMBEDDED_8BIT", vireo::CSI2_EMBEDDED_8BIT)
      .value("CSI2_YUV420_8BIT", vireo::CSI2_YUV420_8BIT)
      .value("CSI2_YUV422_8BIT", vireo::CSI2_YUV422_8BIT)
      .value("CSI2_RGB888", vireo::CSI2_RGB888)
      .value("CSI2_RAW6", vireo::CSI2_RAW6)
      .value("CSI2_RAW7", vireo::CSI2_RAW7)
      .value("CSI2_RAW8", vireo::CSI2_RAW8)
      .value("CSI2_RAW10", vireo::CSI2_RAW10)
      .value("CSI2_RAW12", vireo::CSI2_RAW12)
      .value("CSI2_RAW14", vireo::CSI2_RAW14)
      .value("CSI2_RAW16", vireo::CSI2_RAW16)
      .value("CSI2_USER_DEFINED_1", vireo::CSI2_USER_DEFINED_1)
      .export_values();
  py::implicitly_convertible<py::int_, vireo::MipiDataTypeCsi2>();
}

void BindCaptureStatus(py::module_& m) {
  py::enum_<vireo::CaptureStatus>(m, "CaptureStatus", "Where a frame buffer is in its cycle.")
      .value("IDLE", vireo::CaptureStatus::IDLE)
      .value("ENQUEUED", vireo::CaptureStatus::ENQUEUED)
      .value("RUNNING", vireo::CaptureStatus::RUNNING)
      .value("COMPLETED", vireo::CaptureStatus::COMPLETED);
}

// The names are those talon-cam shows (support/capture_error_name.h);
// UNKNOWN is the last value.
void BindCaptureError(py::module_& m) {
  py::enum_<CaptureError> error(m, "CaptureError",
                                "Result of the capture operations and per-frame error.");
  for (int i = 0; i <= static_cast<int>(CaptureError::UNKNOWN); ++i) {
    const CaptureError value = static_cast<CaptureError>(i);
    error.value(talon_support::CaptureErrorName(value), value);
  }
  error.def_property_readonly(
      "description", [](CaptureError e) { return vireo::GetCaptureErrorDesc(e); },
      "The library's fixed description text.");
}

// CaptureFailure, thrown by the bindings, reaches Python as this exception.
void RegisterCaptureException(py::module_& m) {
  // A RuntimeError with .error (a CaptureError) and .description.
  static py::handle exception_type = PyErr_NewExceptionWithDoc(
      "talon.CaptureException",
      "A capture operation failed. The message says why (for a configuration: the field\n"
      "and its value); .error is the CaptureError, .description the library's text for it.",
      PyExc_RuntimeError, nullptr);
  m.add_object("CaptureException", exception_type);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const CaptureFailure& failure) {
      const std::string description = vireo::GetCaptureErrorDesc(failure.error);
      py::object type = py::reinterpret_borrow<py::object>(exception_type);
      py::object exception = type(failure.message);
      exception.attr("error") = py::cast(failure.error);
      exception.attr("description") = description;
      PyErr_SetObject(type.ptr(), exception.ptr());
    }
  });
}

void BindCaptureStreamConfig(py::module_& m) {
  py::class_<CaptureStreamConfig>(m, "CaptureStreamConfig", "One MIPI CSI-2 stream.")
      .def(py::init([](vireo::MipiDataTypeCsi2 data_type, uint32_t width, uint32_t height,
                       uint32_t bits_per_component, bool pad_row_to_64_bytes) {
             return CaptureStreamConfig{data_type, width, height, bits_per_component,
                                        pad_row_to_64_bytes};
           }),
           py::arg("data_type") = vireo::CSI2_RAW10, py::arg("width") = 0,
           py::arg("height") = 0, py::arg("bits_per_component") = 0,
           py::arg("pad_row_to_64_bytes") = false)
      .def_readwrite("data_type", &CaptureStreamConfig::data_type)
      .def_readwrite("width", &CaptureStreamConfig::width, "components per row")
      .def_readwrite("height", &CaptureStreamConfig::height, "rows per frame")
      .def_readwrite("bits_per_component", &CaptureStreamConfig::bits_per_component,
                     "8, 10 or 16")
      .def_readwrite("pad_row_to_64_bytes", &CaptureStreamConfig::pad_row_to_64_bytes,
                     "round the row stride up to 64 bytes")
      .def_property_readonly(
          "row_stride_bytes",
          [](const CaptureStreamConfig& s) { return vireo::vireo_util::GetRowStrideBytes(s); })
      .def("__repr__", &StreamRepr);
}

// The streams of a CaptureConfig, edited in place. Items read out are copies
// (a reference into the vector would dangle once an append moves it).
void BindStreamConfigList(py::module_& m) {
  using List = std::vector<CaptureStreamConfig>;
  auto stream = [](py::handle item) {
    if (!py::isinstance<CaptureStreamConfig>(item)) {
      throw py::type_error("CaptureConfig.stream_configs holds CaptureStreamConfig, not " +
                           std::string(py::str(py::type::of(item).attr("__name__"))));
    }
    return item.cast<CaptureStreamConfig>();
  };
  auto from = [stream](py::iterable items) {
    List list;
    for (py::handle item : items) list.push_back(stream(item));
    return list;
  };
  // `index` as Python counts it, checked against `size` (+1 for insert).
  auto position = [](const List& list, py::ssize_t index, bool insert = false) {
    const auto size = static_cast<py::ssize_t>(list.size());
    if (index < 0) index += size;
    if (insert) return static_cast<size_t>(std::clamp<py::ssize_t>(index, 0, size));
    if (index < 0 || index >= size) throw py::index_error("stream index out of range");
    return static_cast<size_t>(index);
  };
  py::class_<List>(m, "StreamConfigList",
                   "The streams of a CaptureConfig: a list that changes the configuration in\n"
                   "place. Items read out are copies; to change a stream, assign it again\n"
                   "(config.stream_configs[0] = stream). A list or tuple is taken wherever one\n"
                   "is expected.")
      .def(py::init<>())
      .def(py::init(from), py::arg("streams"))
      .def("append", [stream](List& l, py::handle s) { l.push_back(stream(s)); }, py::arg("stream"))
      .def("extend", [from](List& l, py::iterable items) {
        const List more = from(items);
        l.insert(l.end(), more.begin(), more.end());
      }, py::arg("streams"))
      .def("insert", [stream, position](List& l, py::ssize_t i, py::handle s) {
        const CaptureStreamConfig value = stream(s);
        l.insert(l.begin() + static_cast<std::ptrdiff_t>(position(l, i, true)), value);
      }, py::arg("index"), py::arg("stream"))
      .def("pop", [position](List& l, py::ssize_t i) {
        const size_t at = position(l, i);
        CaptureStreamConfig value = l[at];
        l.erase(l.begin() + static_cast<std::ptrdiff_t>(at));
        return value;
      }, py::arg("index") = -1)
      .def("clear", [](List& l) { l.clear(); })
      .def("__len__", [](const List& l) { return l.size(); })
      .def("__getitem__", [position](const List& l, py::ssize_t i) { return l[position(l, i)]; })
      .def("__setitem__", [stream, position](List& l, py::ssize_t i, py::handle s) {
        l[position(l, i)] = stream(s);
      })
      .def("__delitem__", [position](List& l, py::ssize_t i) {
        l.erase(l.begin() + static_cast<std::ptrdiff_t>(position(l, i)));
      })
      .def("__iter__", [](const List& l) {
        py::list copies;
        for (const CaptureStreamConfig& s : l) copies.append(py::cast(s));
        return py::iter(copies);
      })
      .def("__repr__", [](const List& l) {
        std::string text;
        for (const CaptureStreamConfig& s : l) text += (text.empty() ? "" : ", ") + StreamRepr(s);
        return "[" + text + "]";
      });
  py::implicitly_convertible<py::list, List>();
  py::implicitly_convertible<py::tuple, List>();
}

void BindCaptureConfig(py::module_& m) {
  py::class_<CaptureConfig>(m, "CaptureConfig", "What to capture: one to three streams.")
      .def(py::init([](std::vector<CaptureStreamConfig> stream_configs, uint32_t timeout_ms,
                       int32_t mipi_rx, uint32_t virtual_channel) {
             return CaptureConfig{mipi_rx, virtual_channel, timeout_ms, std::move(stream_configs)};
           }),
           py::arg("stream_configs") = std::vector<CaptureStreamConfig>{},
           py::arg("timeout_ms") = 1000, py::arg("mipi_rx") = 0, py::arg("virtual_channel") = 0)
      .def_readwrite("stream_configs", &CaptureConfig::stream_configs,
                     "the streams, a StreamConfigList (append to it, or assign a list)")
      .def_readwrite("timeout_ms", &CaptureConfig::timeout_ms)
      .def_readwrite("mipi_rx", &CaptureConfig::mipi_rx)
      .def_readwrite("virtual_channel", &CaptureConfig::virtual_channel, "0 to 3")
      .def("__repr__", [](const CaptureConfig& c) {
        std::string streams;
        for (const CaptureStreamConfig& s : c.stream_configs) {
          streams += (streams.empty() ? "" : ", ") + StreamRepr(s);
        }
        return "CaptureConfig(stream_configs=[" + streams + "], timeout_ms=" +
               std::to_string(c.timeout_ms) + ", mipi_rx=" + std::to_string(c.mipi_rx) +
               ", virtual_channel=" + std::to_string(c.virtual_channel) + ")";
      });
}

void BindFrameBuffer(py::module_& m) {
  py::class_<FrameBuffer, std::shared_ptr<FrameBuffer>>(
      m, "FrameBuffer",
      "One frame of every stream. Read it only while you hold it (not between "
      "enqueue_request and dequeue_completed_request: that raises ValueError).")
      .def_property_readonly(
          "status", [](const FrameBuffer& b) { return b.Client().GetStatus(); })
      .def_property_readonly(
          "error", [](const FrameBuffer& b) { return b.Client().GetError(); },
          "CaptureError of the last capture")
      .def_property_readonly(
          "timestamp_start_ns", [](const FrameBuffer& b) { return b.Client().GetTimestampStartNs(); },
          "start of frame, CLOCK_BOOTTIME ns; 0 when the capture failed")
      .def_property_readonly(
          "timestamp_end_ns", [](const FrameBuffer& b) { return b.Client().GetTimestampEndNs(); },
          "end of frame, CLOCK_BOOTTIME ns; 0 when the capture failed")
      .def_property_readonly(
          "data_types",
          [](const FrameBuffer& b) {
            std::vector<vireo::MipiDataTypeCsi2> types;
            for (int t : b.Client().GetDataTypeList()) {
              types.push_back(static_cast<vireo::MipiDataTypeCsi2>(t));
            }
            return types;
          },
          "the data types the buffer holds")
      .def(
          "row_stride_bytes",
          [](const FrameBuffer& b, int data_type) {
            return b.Client().GetRowStrideBytes(data_type);
          },
          py::arg("data_type"), "bytes from one row to the next; 0 for a foreign data type")
      .def("array", &FrameBuffer::Array, py::arg("data_type") = py::none(),
           "The stream's bytes as a read-only uint8 array (height, row stride), without a\n"
           "copy. The array keeps the stream locked and the frame alive; enqueuing the\n"
           "buffer again does not change it. data_type may be left out for one stream.")
      .def(
          "unpacked",
          [](FrameBuffer& b, std::optional<int> data_type, std::optional<py::array> out) {
            const int dt = b.DataType(data_type);
            const CaptureStreamConfig& s = b.Stream(dt);
            return Unpack(py::array_t<uint8_t, py::array::c_style>(b.Array(dt)), s.width,
                          s.bits_per_component, std::move(out));
          },
          py::arg("data_type") = py::none(), py::arg("out") = py::none(),
          "The stream's samples as a new uint16 array (height, width), or written into\n"
          "out (uint16, that shape) and returned: a loop that reuses out allocates nothing.")
      .def_property_readonly("sensor_sequence", &FrameBuffer::SensorSequence,
                             "the sensor's frame number stamped in the first stream's data;\n"
                             "None where the sensor stamps none")
      .def(
          "stream_config", [](const FrameBuffer& b, int data_type) { return b.Stream(data_type); },
          py::arg("data_type"), "the CaptureStreamConfig of one of the buffer's streams");
}

void BindFrameRecorder(py::module_& m) {
  py::class_<talon_support::FrameRecorder>(
      m, "_FrameRecorder", "Camera's records of its frames, drops counted as every surface does.")
      .def(py::init<const CaptureConfig&>(), py::arg("config"))
      .def(
          "record",
          [](talon_support::FrameRecorder& recorder, FrameBuffer& buffer) {
            const talon_support::FrameRecord r = buffer.Record(recorder, vireo::BoottimeNs());
            std::optional<uint32_t> sequence;
            if (r.sensor_sequence >= 0) sequence = static_cast<uint32_t>(r.sensor_sequence);
            return py::make_tuple(r.error, r.sof_ns, r.eof_ns, sequence, r.dropped_before);
          },
          py::arg("buffer"),
          "The next dequeued buffer's (error, sof_ns, eof_ns, sequence, dropped_before).")
      .def_property_readonly("dropped", &talon_support::FrameRecorder::dropped,
                             "the total so far");
}

void BindFactory(py::module_& m) {
  py::class_<Factory, std::shared_ptr<Factory>>(m, "CaptureFrameBufferFactory",
                                                "Makes frame buffers for one configuration.")
      .def_static("create_instance", &Factory::CreateInstance, py::arg("config"),
                  "A factory for config; raises CaptureException when the runtime's memory "
                  "allocator cannot be had.")
      .def(
          "create",
          [](Factory& f) {
            auto native = std::make_shared<NativeBuffer>(f.shared_from_this(), f.CreateNative());
            return std::make_shared<FrameBuffer>(f.shared_from_this(), std::move(native));
          },
          "A new FrameBuffer; raises CaptureException (INVALID_CONFIG, NO_MEM).")
      .def_property_readonly("config", &Factory::config);
}

void BindService(py::module_& m) {
  py::class_<Service>(
      m, "CaptureService",
      "Captures into frame buffers: enqueue empty ones, dequeue them filled, in order.\n"
      "Runs from create_instance on; keep two buffers enqueued (three in all), or the\n"
      "capture waits up to timeout_ms for a second one. Every blocking call answers\n"
      "Ctrl-C (KeyboardInterrupt) within a few tens of milliseconds.")
      .def_static("create_instance", &Service::CreateInstance, py::arg("config"),
                  "A running service for config; raises CaptureException with the reason.")
      .def("enqueue_request", &Service::EnqueueRequest, py::arg("frame_buffer").none(true),
           "Hands an empty buffer to the service; raises CaptureException (INVALID_BUFFER)\n"
           "for None, a buffer already enqueued, or one made for another configuration.")
      .def("dequeue_completed_request", &Service::DequeueCompletedRequest,
           "The oldest completed FrameBuffer. Blocks while capturing (GIL released); when\n"
           "paused returns the completed ones, then None. Ctrl-C raises KeyboardInterrupt\n"
           "and leaves the capture as it was: the frames under way come to the next calls.")
      .def("clear_pending_requests", &Service::ClearPendingRequests,
           "Drops the waiting buffers of a paused service (they are the caller's again).")
      .def("pause", &Service::Pause,
           "Stops the capture; submitted buffers complete (cancelled). Interrupted by\n"
           "Ctrl-C, the pause goes on to its end and the next call waits for it.")
      .def("resume", &Service::Resume, "Starts a paused capture again.")
      .def(
          "close", [](Service& s) { s.Close(/*interruptible=*/true); },
          "Stops and destroys the service; its buffers are the caller's again. Interrupted\n"
          "by Ctrl-C, the close goes on; call close again to wait for it.")
      .def_property_readonly("closed", &Service::closed, "True once close was called")
      .def_property_readonly("waiting_clients", &Service::waiting,
                             "calls of dequeue_completed_request waiting for a frame now")
      .def("__enter__", [](Service& s) -> Service& { return s; },
           py::return_value_policy::reference)
      .def("__exit__", [](Service& s, py::args) { s.Close(/*interruptible=*/true); });
}

void BindFunctions(py::module_& m) {
  m.def("unpack", &Unpack, py::arg("array"), py::arg("width"), py::arg("bits"),
        py::arg("out") = py::none(),
        "Unpacks CSI-2 payload (uint8, height × row stride; RAW8, packed RAW10 or\n"
        "RAW16 little-endian) to a new uint16 array (height, width), or into out (a\n"
        "writable uint16 array of that shape, its rows' samples side by side), which\n"
        "it returns. Large frames are unpacked with the GIL released.");
  m.def("error_description", &vireo::GetCaptureErrorDesc, py::arg("error"),
        "The library's fixed description of a CaptureError.");
  m.def("_set_compiled_graph_dir", &vireo::SetCompiledGraphDir, py::arg("dir"));
  m.def("_compiled_graph_dir", &vireo::GetCompiledGraphDir);
  m.attr("GRAPH_CACHE_VARIABLE") = vireo::ozy::kCompiledGraphDirVariable;
  m.attr("DEFAULT_GRAPH_CACHE_DIR") = vireo::ozy::kDefaultCompiledGraphDir;
}

}  // namespace

PYBIND11_MODULE(_talon, m) {
  m.doc() = "Binding of libtalon's capture API; use the package talon.";
  talon_python::LogForwarding::Start();
  BindMipiDataType(m);
  BindCaptureStatus(m);
  BindCaptureError(m);
  RegisterCaptureException(m);
  BindCaptureStreamConfig(m);
  BindStreamConfigList(m);
  BindCaptureConfig(m);
  BindFrameBuffer(m);
  BindFrameRecorder(m);
  BindFactory(m);
  BindService(m);
  BindFunctions(m);
  talon_python::BindDevelop(m);
}
