// Threading: every call that can block (service creation, dequeue, pause,
// resume, clear, close and destruction) releases the GIL. A dequeue waits
// with the library's timed dequeue in periods of kSignalPeriod and runs
// Python's signal handlers between them, so Ctrl-C interrupts it without
// touching the capture. Pause, resume and close run on the service's helper
// threads while the calling thread waits in the same periods; an
// interrupted pause or close goes on to its end on its helper, and the next
// call waits for it. The module's own bookkeeping (which Python buffer the
// service holds) is touched only with the GIL held. Pause, resume and clear
// are serialised by the control mutex; close waits until every call under
// way in other threads has left the service.
// Ownership: a buffer enqueued while arrays still view it goes to the
// service as a fresh native buffer, so an array never sees the IPU
// overwrite it.

#include "python/service_binding.h"

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "python/frame_buffer_binding.h"
#include "python/helper_threads.h"
#include "python/log_forwarding.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_setup.h"

namespace talon_python {

// Not in an anonymous namespace: FrameBuffer names the service that holds it.
class Service {
 public:
  Service(const CaptureConfig& config, std::unique_ptr<vireo::CaptureService> service)
      : config_(config), service_(std::move(service)) {}
  ~Service() { Close(/*interruptible=*/false); }

  static std::unique_ptr<Service> CreateInstance(const CaptureConfig& config) {
    const char* const call_name = "CaptureService.create_instance";
    CheckConfig(config);
    ChooseGraphCache(call_name);
    std::unique_ptr<vireo::CaptureService> service;
    CaptureError error = CaptureError::SUCCESS;
    std::string reason;
    {
      py::gil_scoped_release release;
      error = vireo::CreateCaptureService(config, &service, &reason);
    }
    talon_python::LogForwarding::Drain();
    // The library's reason as it is: the call is the one the user made.
    if (error == CaptureError::INVALID_CONFIG) RaiseConfigurationError(error, reason);
    if (error != CaptureError::SUCCESS) throw CaptureFailure{error, reason};
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
          native =
              vireo::TryDequeueCompletedRequest(service_.get(), 0);  // completed before the stop
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
    talon_python::LogForwarding::Flush();
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
    // A pause ends the capture's entries: the count of a repeated one is said.
    if (pause) {
      talon_python::LogForwarding::Flush();
    } else {
      talon_python::LogForwarding::Drain();
    }
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

void BindService(py::module_& m) {
  // Docstrings open with the signature in Python's own form, which
  // inspect.signature reads (the types are in _talon.pyi).
  py::options options;
  options.disable_function_signatures();
  py::class_<Service>(
      m, "CaptureService",
      "Captures into frame buffers: enqueue empty ones, dequeue them filled, in order.\n"
      "Runs from create_instance on; keep two buffers enqueued (three in all), or the\n"
      "capture waits up to timeout_ms for a second one. Every blocking call answers\n"
      "Ctrl-C (KeyboardInterrupt) within a few tens of milliseconds.")
      .def_static("create_instance", &Service::CreateInstance, py::arg("config"),
                  "create_instance(config)\n--\n\n"
                  "A running service for config. A configuration the library or the runtime\n"
                  "refuses raises ConfigurationError (a ValueError; .error INVALID_CONFIG) whose\n"
                  "message names the field and the value; any other failure CaptureException\n"
                  "with the library's reason.")
      .def("enqueue_request", &Service::EnqueueRequest, py::arg("frame_buffer").none(true),
           "enqueue_request(self, frame_buffer)\n--\n\n"
           "Hands an empty buffer to the service; raises CaptureException (INVALID_BUFFER)\n"
           "for None, a buffer already enqueued, or one made for another configuration.")
      .def("dequeue_completed_request", &Service::DequeueCompletedRequest,
           "dequeue_completed_request(self)\n--\n\n"
           "The oldest completed FrameBuffer. Blocks while capturing (GIL released); when\n"
           "paused returns the completed ones, then None. Ctrl-C raises KeyboardInterrupt\n"
           "and leaves the capture as it was: the frames under way come to the next calls.")
      .def("clear_pending_requests", &Service::ClearPendingRequests,
           "clear_pending_requests(self)\n--\n\n"
           "Drops the waiting buffers of a paused service (they are the caller's again).")
      .def("pause", &Service::Pause,
           "pause(self)\n--\n\n"
           "Stops the capture; submitted buffers complete (cancelled). Interrupted by\n"
           "Ctrl-C, the pause goes on to its end and the next call waits for it.")
      .def("resume", &Service::Resume, "resume(self)\n--\n\nStarts a paused capture again.")
      .def(
          "close", [](Service& s) { s.Close(/*interruptible=*/true); },
          "close(self)\n--\n\n"
          "Stops and destroys the service; its buffers are the caller's again. Interrupted\n"
          "by Ctrl-C, the close goes on; call close again to wait for it.")
      .def_property_readonly("closed", &Service::closed, "True once close was called")
      .def_property_readonly("waiting_clients", &Service::waiting,
                             "calls of dequeue_completed_request waiting for a frame now")
      .def(
          "__enter__", [](Service& s) -> Service& { return s; }, py::return_value_policy::reference,
          "__enter__(self)\n--\n\nThe service itself.")
      .def(
          "__exit__", [](Service& s, py::args) { s.Close(/*interruptible=*/true); },
          "__exit__(self, *exc_info)\n--\n\nCloses the service, as close() does.");
}

}  // namespace talon_python
