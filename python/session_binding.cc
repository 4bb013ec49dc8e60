#include "python/session_binding.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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
    // Runs on the waiting thread, between the slices of a wait.
    session_->SetInterruptCheck([] {
      py::gil_scoped_acquire gil;
      return PyErr_CheckSignals() != 0;
    });
  }

  // Stops the capture; arrays that still view frames keep the session.
  ~Session() {
    if (session_ == nullptr) return;
    py::gil_scoped_release release;
    session_->Stop();
  }

  void Start() {
    std::shared_ptr<CaptureSession> session = Live();
    {
      py::gil_scoped_release release;
      session->Start();
    }
    LogForwarding::Drain();
  }

  void Stop() {
    std::shared_ptr<CaptureSession> session = session_;
    if (session == nullptr) return;
    {
      py::gil_scoped_release release;
      session->Stop();
    }
    LogForwarding::Flush();  // the counts of repeated entries, now the capture stopped
  }

  void Close() {
    Stop();
    session_.reset();
  }

  // ("frame", _SessionFrame), ("timeout", None) or ("stopped", None): the
  // next frame (or the newest), waiting at most `wait_ms` (None: no limit).
  // `hold`: the reader keeps the frame, so it is lent only while that
  // leaves the capture enough buffers, else copied.
  py::tuple Take(bool newest, std::optional<uint32_t> wait_ms, bool hold) {
    std::shared_ptr<CaptureSession> session = Live();
    TakenFrame taken;
    WaitEnd end = WaitEnd::kTimedOut;
    bool lend = true;
    {
      py::gil_scoped_release release;
      const uint32_t wait = wait_ms.value_or(std::numeric_limits<uint32_t>::max());
      end = newest ? session->TakeNewest(wait, &taken) : session->Take(wait, &taken);
      if (end == WaitEnd::kFrame && hold && taken.lease != nullptr) {
        lend = session->MayLend(lend_limit_);
      }
      dropped_ = session->dropped();
      skipped_ = session->skipped();
    }
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
    auto frame = std::make_shared<SessionFrame>(std::move(taken), config_);
    if (!lend) frame->Copy();
    return py::make_tuple("frame", frame);
  }

  uint64_t dropped() const { return dropped_; }
  uint64_t skipped() const { return skipped_; }
  uint32_t buffer_count() const { return session_ == nullptr ? 0 : session_->buffer_count(); }
  int waiting() const { return session_ == nullptr ? 0 : session_->waiting(); }

 private:
  std::shared_ptr<CaptureSession> Live() const {
    if (session_ == nullptr) throw py::value_error("the camera is closed");
    return session_;
  }

  const CaptureConfig config_;
  const uint32_t lend_limit_;
  std::shared_ptr<CaptureSession> session_;  // null once closed
  // The session's counts as of the last take (the reader's figures).
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> skipped_{0};
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
      .def("take", &Session::Take, py::arg("newest"), py::arg("timeout_ms").none(true),
           py::arg("hold"),
           "('frame', _SessionFrame), ('timeout', None) or ('stopped', None). Waits with the\n"
           "GIL released; Ctrl-C raises KeyboardInterrupt and the capture goes on.")
      .def_property_readonly("dropped", &Session::dropped, "sensor frames lost, over the run")
      .def_property_readonly("skipped", &Session::skipped,
                             "completed frames handed back unread by newest-frame takes")
      .def_property_readonly("buffer_count", &Session::buffer_count, "frame buffers in play")
      .def_property_readonly("waiting", &Session::waiting, "threads waiting for a frame now");
}

}  // namespace talon_python
