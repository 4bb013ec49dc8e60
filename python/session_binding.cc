#include "python/session_binding.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/mutex.h"
#include "python/log_forwarding.h"
#include "support/capture_session.h"

namespace talon_python {
namespace {

using talon_support::CaptureSession;
using talon_support::FrameLease;
using talon_support::TakenFrame;
using talon_support::WaitEnd;

// The one place a session the library refused is raised: its error and its
// own reason; a refused configuration as ConfigurationError.
[[noreturn]] void RaiseRefusal(CaptureError error, const std::string& reason) {
  if (error == CaptureError::INVALID_CONFIG) RaiseConfigurationError(error, reason);
  throw CaptureFailure{error, reason};
}

// One frame taken from a session: its record and its streams, read through
// the lease (no copy) or through copies made as it was taken when lending
// it would have left the capture short. Release lets go of both; arrays
// handed out keep what they view.
class SessionFrame {
 public:
  SessionFrame(TakenFrame taken, const CaptureConfig& config)
      : taken_(std::move(taken)), config_(config) {}

  // Copies every stream, then lets go of the lease: the buffer goes back to
  // the capture now.
  void Copy() {
    for (const CaptureStreamConfig& stream : config_.stream_configs) {
      const auto height = static_cast<py::ssize_t>(stream.height);
      const auto stride = static_cast<py::ssize_t>(taken_.lease->stride(stream.data_type));
      py::array_t<uint8_t> copy({height, stride});
      uint8_t* to = copy.mutable_data();
      const uint8_t* from = taken_.lease->data(stream.data_type);
      {
        py::gil_scoped_release release;
        std::memcpy(to, from, static_cast<size_t>(height * stride));
      }
      copy.attr("setflags")(py::arg("write") = false);
      copies_[stream.data_type] = std::move(copy);
    }
    taken_.lease.reset();
  }

  // (error, sof_ns, eof_ns, sequence or None, dropped_before, dequeue_ns,
  // skipped_before); error is the lock's when the library refused one.
  py::tuple Record() const {
    const talon_support::FrameRecord& r = taken_.record;
    const CaptureError error = r.error != CaptureError::SUCCESS ? r.error : taken_.lock_error;
    std::optional<uint32_t> sequence;
    if (r.sensor_sequence >= 0) sequence = static_cast<uint32_t>(r.sensor_sequence);
    return py::make_tuple(error, r.sof_ns, r.eof_ns, sequence, r.dropped_before, r.dequeue_ns,
                          taken_.skipped_before);
  }

  // The stream's bytes, uint8 (height, row stride), read-only: a view that
  // keeps the lease, or the copy.
  py::array Array(int data_type) {
    if (released_) throw py::value_error("the frame was released");
    const CaptureStreamConfig* stream = nullptr;
    for (const CaptureStreamConfig& s : config_.stream_configs) {
      if (s.data_type == data_type) stream = &s;
    }
    if (stream == nullptr) {
      throw CaptureFailure{CaptureError::DATA_TYPE_NOT_FOUND, "Frame: data type " + Hex(data_type) +
                                                                  " is not one of its streams (" +
                                                                  StreamsText(config_) + ")"};
    }
    const auto copy = copies_.find(data_type);
    if (copy != copies_.end()) return copy->second;
    if (taken_.lease == nullptr) throw py::value_error("the frame has no data");
    auto* lease = new std::shared_ptr<FrameLease>(taken_.lease);
    py::capsule base(lease, [](void* p) { delete static_cast<std::shared_ptr<FrameLease>*>(p); });
    const auto height = static_cast<py::ssize_t>(stream->height);
    const auto stride = static_cast<py::ssize_t>((*lease)->stride(data_type));
    py::array_t<uint8_t> array({height, stride}, {stride, py::ssize_t{1}},
                               (*lease)->data(data_type), base);
    array.attr("setflags")(py::arg("write") = false);
    return array;
  }

  void Release() {
    released_ = true;
    taken_.lease.reset();
    copies_.clear();
  }

  bool lent() const { return taken_.lease != nullptr; }

 private:
  TakenFrame taken_;
  const CaptureConfig config_;
  std::map<int, py::array> copies_;
  bool released_ = false;
};

// The Camera's session. While the capture runs and no in-order reader is
// active, a keeper thread takes every completed frame (TakeNewest) and keeps
// only the newest unread one, handing the one before straight back to the
// capture as skipped: the capture never runs short behind a slow newest-frame
// reader. An in-order reader stops the keeper (joined) and takes frames on
// its own thread, the kept one first; when it ends, the keeper runs again.
//
// Threads: every method on Python threads with the GIL held; the keeper
// thread never takes the GIL nor calls into Python. The session's
// capture-thread calls (Take, TakeNewest, MayLend, dropped, skipped) run on
// the keeper while it runs, else on the one reader's thread. control_mutex_
// (always taken with the GIL released) orders Start, Stop and the keeper's
// start and join; mutex_ guards the kept frame and the reader's counts.
// Lock order: control_mutex_, then mutex_; the GIL is never taken while
// either is held. The session's interrupt check takes the GIL, so it is
// installed only while no keeper runs.
class Session {
 public:
  // A stopped session of `buffers` frame buffers; frames that the reader
  // holds are lent while the session can keep two buffers capturing, growing
  // up to `lend_limit` buffers, and copied beyond that.
  Session(const CaptureConfig& config, uint32_t buffers, uint32_t lend_limit)
      : config_(config), lend_limit_(lend_limit) {
    CheckConfig(config);
    ChooseGraphCache("Camera");
    CaptureError error = CaptureError::SUCCESS;
    std::string reason;
    {
      py::gil_scoped_release release;
      session_ = CaptureSession::Create(config, buffers, &error, &reason);
    }
    LogForwarding::Drain();
    if (session_ == nullptr) RaiseRefusal(error, reason);
    session_->SetInterruptCheck(InterruptCheck());
  }

  // Stops the capture and the keeper; arrays that still view frames keep
  // the session.
  ~Session() {
    if (session_ == nullptr) return;
    py::gil_scoped_release release;
    StopCapture(session_);
  }

  void Start() {
    std::shared_ptr<CaptureSession> session = Live();
    {
      py::gil_scoped_release release;
      vireo::MutexLock lock(&control_mutex_);
      if (!running_) {
        session->Start();
        running_ = true;
        if (!in_order_) StartKeeper(session);
      }
    }
    LogForwarding::Drain();
  }

  void Stop() {
    std::shared_ptr<CaptureSession> session = session_;
    if (session == nullptr) return;
    {
      py::gil_scoped_release release;
      StopCapture(session);
    }
    LogForwarding::Flush();  // the counts of repeated entries, now the capture stopped
  }

  void Close() {
    Stop();
    session_.reset();
  }

  // The in-order reader ended: the keeper runs again while the capture runs.
  void EndInOrder() {
    std::shared_ptr<CaptureSession> session = session_;
    if (session == nullptr) return;
    py::gil_scoped_release release;
    vireo::MutexLock lock(&control_mutex_);
    if (!in_order_) return;
    in_order_ = false;
    if (running_) StartKeeper(session);
  }

  // ("frame", _SessionFrame), ("timeout", None) or ("stopped", None): the
  // next frame (or the newest), waiting at most `wait_ms` (None: no limit).
  // `hold`: the reader keeps the frame, so it is lent only while that
  // leaves the capture enough buffers, else copied. An in-order take makes
  // this thread the reader until EndInOrder.
  py::tuple Take(bool newest, std::optional<uint32_t> wait_ms, bool hold) {
    std::shared_ptr<CaptureSession> session = Live();
    const uint32_t wait = wait_ms.value_or(std::numeric_limits<uint32_t>::max());
    Kept got;
    WaitEnd end = WaitEnd::kTimedOut;
    waiting_.fetch_add(1);
    {
      py::gil_scoped_release release;
      end = newest ? TakeKept(wait, &got) : TakeInOrder(session, wait, hold, &got);
    }
    waiting_.fetch_sub(1);
    LogForwarding::Drain();
    switch (end) {
      case WaitEnd::kInterrupted:
        throw py::error_already_set();  // the signal handler's exception
      case WaitEnd::kTimedOut:
        return py::make_tuple("timeout", py::none());
      case WaitEnd::kWoken:
        return py::make_tuple("stopped", py::none());
      case WaitEnd::kFrame:
        break;
    }
    auto frame = std::make_shared<SessionFrame>(std::move(got.taken), config_);
    if (hold && !got.lend && frame->lent()) frame->Copy();
    return py::make_tuple("frame", frame);
  }

  uint64_t dropped() {
    vireo::MutexLock lock(&mutex_);
    return dropped_;
  }
  uint64_t skipped() {
    vireo::MutexLock lock(&mutex_);
    return skipped_;
  }
  uint32_t buffer_count() const { return session_ == nullptr ? 0 : session_->buffer_count(); }
  int waiting() const { return waiting_.load(); }

 private:
  // A frame taken for the reader, with the session's counts as of it.
  struct Kept {
    TakenFrame taken;
    bool lend = true;  // may be lent to a reader that holds it
    uint64_t dropped = 0;
    uint64_t skipped = 0;
  };

  static std::function<bool()> InterruptCheck() {
    // Runs on the waiting (Python) thread, between the slices of a wait.
    return [] {
      py::gil_scoped_acquire gil;
      return PyErr_CheckSignals() != 0;
    };
  }

  std::shared_ptr<CaptureSession> Live() const {
    if (session_ == nullptr) throw py::value_error("the camera is closed");
    return session_;
  }

  void StartKeeper(const std::shared_ptr<CaptureSession>& session)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(control_mutex_) {
    if (keeper_.joinable()) return;
    session->SetInterruptCheck(nullptr);  // the keeper must never take the GIL
    {
      vireo::MutexLock lock(&mutex_);
      keeping_ = true;
    }
    keeper_ = std::thread([this, session] { Keep(session); });
  }

  void StopKeeper(const std::shared_ptr<CaptureSession>& session)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(control_mutex_) {
    if (!keeper_.joinable()) return;
    {
      vireo::MutexLock lock(&mutex_);
      keeping_ = false;
    }
    changed_.SignalAll();
    keeper_.join();  // within a wait slice
    session->SetInterruptCheck(InterruptCheck());
  }

  // The keeper stops, then the capture; the kept frame goes back unread.
  void StopCapture(const std::shared_ptr<CaptureSession>& session) {
    vireo::MutexLock control(&control_mutex_);
    StopKeeper(session);
    std::optional<Kept> dropped_kept;
    {
      vireo::MutexLock lock(&mutex_);
      dropped_kept.swap(kept_);
    }
    dropped_kept.reset();
    session->Stop();
    running_ = false;
  }

  // The keeper thread's loop: the newest completed frame kept, the one it
  // replaces handed back at once and counted as skipped.
  void Keep(const std::shared_ptr<CaptureSession>& session) {
    for (;;) {
      {
        vireo::MutexLock lock(&mutex_);
        if (!keeping_) return;
      }
      Kept next;
      const WaitEnd end = session->TakeNewest(talon_support::kWaitSliceMs, &next.taken);
      if (end == WaitEnd::kWoken) {  // stopped under us: wait for the join
        vireo::MutexLock lock(&mutex_);
        if (keeping_) changed_.WaitFor(std::chrono::milliseconds(talon_support::kWaitSliceMs));
        continue;
      }
      if (end != WaitEnd::kFrame) continue;
      std::optional<Kept> replaced;
      {
        vireo::MutexLock lock(&mutex_);
        replaced.swap(kept_);
        if (replaced.has_value()) {
          const TakenFrame& older = replaced->taken;
          next.taken.record.dropped_before += older.record.dropped_before;
          next.taken.skipped_before += older.skipped_before;
          if (older.record.error == CaptureError::SUCCESS) {
            ++next.taken.skipped_before;
            ++replaced_;
          }
        }
      }
      replaced.reset();  // back to the capture before more are lent
      if (next.taken.lease != nullptr) next.lend = session->MayLend(lend_limit_);
      next.dropped = session->dropped();
      const uint64_t skipped = session->skipped();
      {
        vireo::MutexLock lock(&mutex_);
        next.skipped = skipped + replaced_;
        kept_ = std::move(next);
      }
      changed_.SignalAll();
    }
  }

  // The kept frame, waiting for one at most `wait_ms` in slices between
  // which Python's signals are checked. The GIL is released.
  WaitEnd TakeKept(uint32_t wait_ms, Kept* got) {
    using Clock = std::chrono::steady_clock;
    const bool forever = wait_ms == std::numeric_limits<uint32_t>::max();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
      {
        vireo::MutexLock lock(&mutex_);
        if (!kept_.has_value() && keeping_) {
          Clock::time_point until =
              Clock::now() + std::chrono::milliseconds(talon_support::kWaitSliceMs);
          if (!forever && deadline < until) until = deadline;
          changed_.WaitUntil(until);
        }
        if (kept_.has_value()) {
          *got = std::move(*kept_);
          kept_.reset();
          dropped_ = got->dropped;
          skipped_ = got->skipped;
          return WaitEnd::kFrame;
        }
        if (!keeping_) return WaitEnd::kWoken;  // stopped, or closed
        if (!forever && Clock::now() >= deadline) return WaitEnd::kTimedOut;
      }
      py::gil_scoped_acquire gil;  // mutex_ released first: the lock order
      if (PyErr_CheckSignals() != 0) return WaitEnd::kInterrupted;
    }
  }

  // The next frame in order: the keeper stops (joined), the frame it kept
  // comes first, then this thread takes from the session.
  WaitEnd TakeInOrder(const std::shared_ptr<CaptureSession>& session, uint32_t wait_ms, bool hold,
                      Kept* got) {
    {
      vireo::MutexLock control(&control_mutex_);
      in_order_ = true;
      StopKeeper(session);
    }
    {
      vireo::MutexLock lock(&mutex_);
      if (kept_.has_value()) {
        *got = std::move(*kept_);
        kept_.reset();
        dropped_ = got->dropped;
        skipped_ = got->skipped;
        return WaitEnd::kFrame;
      }
    }
    const WaitEnd end = session->Take(wait_ms, &got->taken);
    if (end == WaitEnd::kFrame && hold && got->taken.lease != nullptr) {
      got->lend = session->MayLend(lend_limit_);
    }
    const uint64_t dropped = session->dropped();
    const uint64_t skipped = session->skipped();
    vireo::MutexLock lock(&mutex_);
    dropped_ = dropped;
    skipped_ = skipped + replaced_;
    return end;
  }

  const CaptureConfig config_;
  const uint32_t lend_limit_;
  std::shared_ptr<CaptureSession> session_;  // null once closed; the GIL's
  std::atomic<int> waiting_{0};              // readers waiting in Take

  vireo::Mutex control_mutex_;
  std::thread keeper_ ABSL_GUARDED_BY(control_mutex_);
  bool running_ ABSL_GUARDED_BY(control_mutex_) = false;
  bool in_order_ ABSL_GUARDED_BY(control_mutex_) = false;  // an in-order reader is active

  vireo::Mutex mutex_;
  vireo::CondVar changed_{&mutex_};                   // kept_ or keeping_ changed
  bool keeping_ ABSL_GUARDED_BY(mutex_) = false;      // the keeper is to run on
  std::optional<Kept> kept_ ABSL_GUARDED_BY(mutex_);  // the newest frame, unread
  uint64_t replaced_ ABSL_GUARDED_BY(mutex_) = 0;     // kept frames handed back unread
  // The counts as of the reader's last frame.
  uint64_t dropped_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t skipped_ ABSL_GUARDED_BY(mutex_) = 0;
};

}  // namespace

void BindSession(py::module_& m) {
  py::class_<SessionFrame, std::shared_ptr<SessionFrame>>(
      m, "_SessionFrame", "A frame taken from a _Session: its record and its streams.")
      .def_property_readonly("record", &SessionFrame::Record,
                             "(error, sof_ns, eof_ns, sequence, dropped_before, dequeue_ns, "
                             "skipped_before)")
      .def_property_readonly("lent", &SessionFrame::lent,
                             "whether the streams are read from the frame buffer itself")
      .def("array", &SessionFrame::Array, py::arg("data_type"),
           "The stream's bytes, read-only uint8 (height, row stride).")
      .def("release", &SessionFrame::Release, "Lets go of the frame buffer (or the copies).");
  py::class_<Session>(m, "_Session", "Camera's capture session (support/capture_session.h).")
      .def(py::init<const CaptureConfig&, uint32_t, uint32_t>(), py::arg("config"),
           py::arg("buffers"), py::arg("lend_limit"))
      .def("start", &Session::Start, "Capture runs; frames flow into the buffers.")
      .def("stop", &Session::Stop, "Capture stops; a waiting take ends.")
      .def("close", &Session::Close, "Stops and lets go of the session.")
      .def("end_in_order", &Session::EndInOrder,
           "The in-order reader ended: newest-frame keeping resumes while the capture runs.")
      .def("take", &Session::Take, py::arg("newest"), py::arg("timeout_ms").none(true),
           py::arg("hold"),
           "('frame', _SessionFrame), ('timeout', None) or ('stopped', None). Waits with the\n"
           "GIL released; Ctrl-C raises KeyboardInterrupt and the capture goes on.")
      .def_property_readonly("dropped", &Session::dropped, "sensor frames lost, over the run")
      .def_property_readonly("skipped", &Session::skipped,
                             "completed frames handed back unread by newest-frame takes")
      .def_property_readonly("buffer_count", &Session::buffer_count, "frame buffers in play")
      .def_property_readonly("waiting", &Session::waiting, "readers waiting for a frame now");
}

}  // namespace talon_python
