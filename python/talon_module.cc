// talon._talon: the Python binding of libtalon's capture API (configurations,
// enumerations, CaptureService, CaptureFrameBufferFactory, frame buffers),
// with frame data as NumPy arrays that view the device buffers without a
// copy, and the CSI-2 unpacking helper. The package's __init__.py adds the
// convenience layer (Camera) on top.
//
// Errors that the C++ API returns become talon.CaptureException (a
// RuntimeError with .error, the CaptureError, and .description); misuse of a
// closed service or of a buffer the service holds raises ValueError.
//
// Threading: every call that can block (service creation, dequeue, pause,
// resume, clear, close and destruction, unpacking) releases the GIL; the
// module's own bookkeeping (which Python buffer the service holds, CPU
// locks) is touched only with the GIL held. Pause, resume and close are
// serialised by the service's control mutex; close waits until every call
// under way in other threads has left the service.
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

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_frame_buffer_factory_impl.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"
#include "system/capture/dram_capture_service.h"
#include "support/csi2_unpack.h"

namespace py = pybind11;

namespace {

using vireo::CaptureConfig;
using vireo::CaptureError;
using vireo::CaptureFrameBuffer;
using vireo::CaptureStreamConfig;

// A CaptureError result, raised as talon.CaptureException.
struct CaptureFailure {
  CaptureError error;
  std::string context;
};

[[noreturn]] void Fail(CaptureError error, const std::string& context) {
  throw CaptureFailure{error, context};
}

void Check(CaptureError error, const std::string& context) {
  if (error != CaptureError::SUCCESS) Fail(error, context);
}

// The error that explains why the factory refuses `config`, if any.
CaptureError ConfigError(const CaptureConfig& config) {
  CaptureError error = vireo::vireo_util::CheckCaptureConfig(config);
  for (size_t i = 0; i < config.stream_configs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (config.stream_configs[i].data_type == config.stream_configs[j].data_type) {
        error = CaptureError::INVALID_CONFIG;  // one stream per data type
      }
    }
  }
  return error;
}

class Factory : public std::enable_shared_from_this<Factory> {
 public:
  Factory(const CaptureConfig& config, std::unique_ptr<vireo::CaptureFrameBufferFactoryImpl> impl)
      : config_(config), impl_(std::move(impl)) {}

  static std::shared_ptr<Factory> CreateInstance(const CaptureConfig& config) {
    auto impl = std::make_unique<vireo::CaptureFrameBufferFactoryImpl>(config);
    Check(impl->Initialize(), "CaptureFrameBufferFactory.create_instance");
    return std::make_shared<Factory>(config, std::move(impl));
  }

  std::unique_ptr<CaptureFrameBuffer> CreateNative() {
    std::unique_ptr<CaptureFrameBuffer> buffer = impl_->Create();
    if (buffer == nullptr) {
      const CaptureError error = ConfigError(config_);
      Fail(error != CaptureError::SUCCESS ? error : CaptureError::NO_MEM,
           "CaptureFrameBufferFactory.create");
    }
    return buffer;
  }

  const CaptureConfig& config() const { return config_; }

 private:
  const CaptureConfig config_;
  std::unique_ptr<vireo::CaptureFrameBufferFactoryImpl> impl_;
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
    Fail(CaptureError::DATA_TYPE_NOT_FOUND, "FrameBuffer");
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

  Service* holder_ = nullptr;  // the service that holds the buffer, or null

 private:
  std::shared_ptr<Factory> factory_;
  std::shared_ptr<NativeBuffer> native_;
};

py::array_t<uint16_t> Unpack(py::array_t<uint8_t, py::array::c_style> packed, uint32_t width,
                             uint32_t bits) {
  if (packed.ndim() != 2) throw py::value_error("unpack takes a 2-D array (height, row stride)");
  const uint64_t height = static_cast<uint64_t>(packed.shape(0));
  const uint64_t stride = static_cast<uint64_t>(packed.shape(1));
  if (bits != 8 && bits != 10 && bits != 16) throw py::value_error("bits must be 8, 10 or 16");
  if (talon_support::PayloadRowBytes(width, bits) > stride) {
    throw py::value_error("rows of " + std::to_string(stride) + " bytes hold fewer than " +
                          std::to_string(width) + " samples");
  }
  py::array_t<uint16_t> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
  const uint8_t* in = packed.data();
  uint16_t* samples = out.mutable_data();
  {
    py::gil_scoped_release release;
    talon_support::UnpackCsi2(in, stride, width, static_cast<uint32_t>(height), bits, samples);
  }
  return out;
}

class Service {
 public:
  explicit Service(std::unique_ptr<vireo::DramCaptureService> service)
      : service_(std::move(service)) {}
  ~Service() { Close(); }

  static std::unique_ptr<Service> CreateInstance(const CaptureConfig& config) {
    std::unique_ptr<vireo::DramCaptureService> service;
    CaptureError error = CaptureError::SUCCESS;
    {
      py::gil_scoped_release release;
      service = std::make_unique<vireo::DramCaptureService>(config);
      error = service->Initialize();
      if (error != CaptureError::SUCCESS) service.reset();
    }
    Check(error, "CaptureService.create_instance");
    return std::make_unique<Service>(std::move(service));
  }

  void EnqueueRequest(const std::shared_ptr<FrameBuffer>& buffer) {
    if (buffer == nullptr) Fail(CaptureError::INVALID_BUFFER, "CaptureService.enqueue_request");
    Call call(this);
    if (buffer->holder_ != nullptr) {
      Fail(CaptureError::INVALID_BUFFER, "CaptureService.enqueue_request: already enqueued");
    }
    CaptureFrameBuffer* native = buffer->PrepareForEnqueue();
    held_[native] = buffer;
    buffer->holder_ = this;
    const CaptureError error = service_->EnqueueRequest(native);
    if (error != CaptureError::SUCCESS) {
      held_.erase(native);
      buffer->holder_ = nullptr;
      Fail(error, "CaptureService.enqueue_request");
    }
  }

  std::shared_ptr<FrameBuffer> DequeueCompletedRequest() {
    CaptureFrameBuffer* native = nullptr;
    {
      Call call(this);
      py::gil_scoped_release release;
      native = service_->DequeueCompletedRequest();
    }
    return native == nullptr ? nullptr : TakeBack(native);
  }

  void ClearPendingRequests() {
    {
      Call call(this);
      py::gil_scoped_release release;
      vireo::MutexLock control(&control_);
      if (!paused_) Fail(CaptureError::INVALID_REQUEST, "clear_pending_requests: not paused");
      service_->ClearPendingRequests();
    }
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
  void Close() {
    {
      vireo::MutexLock lock(&mutex_);
      if (closing_) return;
      closing_ = true;  // no call enters from now on
    }
    {
      py::gil_scoped_release release;
      {
        vireo::MutexLock control(&control_);
        service_->Pause();  // returns every dequeue under way
        paused_ = true;
      }
      {
        vireo::MutexLock lock(&mutex_);
        while (calls_ != 0) idle_.Wait();
      }
      service_.reset();
    }
    for (auto& [native, buffer] : held_) buffer->holder_ = nullptr;
    held_.clear();
  }

  bool closed() {
    vireo::MutexLock lock(&mutex_);
    return closing_;
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

  void Control(bool pause) {
    Call call(this);
    py::gil_scoped_release release;
    vireo::MutexLock control(&control_);
    if (pause == paused_ || closed()) return;  // a close under way has paused
    pause ? service_->Pause() : service_->Resume();
    paused_ = pause;
  }

  std::shared_ptr<FrameBuffer> TakeBack(CaptureFrameBuffer* native) {
    auto it = held_.find(native);
    if (it == held_.end()) Fail(CaptureError::UNKNOWN, "a frame buffer the module does not know");
    std::shared_ptr<FrameBuffer> buffer = std::move(it->second);
    held_.erase(it);
    buffer->holder_ = nullptr;
    return buffer;
  }

  std::unique_ptr<vireo::DramCaptureService> service_;
  std::unordered_map<CaptureFrameBuffer*, std::shared_ptr<FrameBuffer>> held_;  // GIL
  // Lock order: control_ before mutex_ (Control asks closed()).
  vireo::Mutex control_;  // pause, resume, clear and close, one at a time
  bool paused_ ABSL_GUARDED_BY(control_) = false;
  vireo::Mutex mutex_;
  vireo::CondVar idle_{&mutex_};  // signalled when a call leaves; Close waits for none
  int calls_ ABSL_GUARDED_BY(mutex_) = 0;
  bool closing_ ABSL_GUARDED_BY(mutex_) = false;
};

std::string StreamRepr(const CaptureStreamConfig& s) {
  return "CaptureStreamConfig(data_type=" + std::to_string(s.data_type) +
         ", width=" + std::to_string(s.width) + ", height=" + std::to_string(s.height) +
         ", bits_per_component=" + std::to_string(s.bits_per_component) +
         ", pad_row_to_64_bytes=" + (s.pad_row_to_64_bytes ? "True" : "False") + ")";
}

}  // namespace

PYBIND11_MODULE(_talon, m) {
  m.doc() = "Binding of libtalon's capture API; use the package talon.";

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

  py::enum_<vireo::CaptureStatus>(m, "CaptureStatus", "Where a frame buffer is in its cycle.")
      .value("IDLE", vireo::CaptureStatus::IDLE)
      .value("ENQUEUED", vireo::CaptureStatus::ENQUEUED)
      .value("RUNNING", vireo::CaptureStatus::RUNNING)
      .value("COMPLETED", vireo::CaptureStatus::COMPLETED);

  static const char* const kErrorNames[] = {
      "SUCCESS",        "GENERIC_FAILURE",       "INVALID_REQUEST",     "NO_DEV",
      "NO_MEM",         "TIMEOUT",               "RESOURCE_NOT_FOUND",  "TYPE_MISMATCH",
      "OVERFLOW",       "MIPI_MUX_ERROR",        "BACKGROUND_THREAD_ERROR",
      "ALREADY_INITIALIZED", "INVALID_CONFIG",   "FILE_SYSTEM_ERROR",   "DATA_TYPE_NOT_FOUND",
      "INVALID_BUFFER", "CAPTURE_CANCELLED",     "UNKNOWN"};
  py::enum_<CaptureError> error(m, "CaptureError",
                                "Result of the capture operations and per-frame error.");
  for (int i = 0; i <= static_cast<int>(CaptureError::UNKNOWN); ++i) {
    error.value(kErrorNames[i], static_cast<CaptureError>(i));
  }
  error.def_property_readonly(
      "description", [](CaptureError e) { return vireo::GetCaptureErrorDesc(e); },
      "The library's fixed description text.");

  // A RuntimeError with .error (a CaptureError) and .description.
  static py::handle exception_type = PyErr_NewExceptionWithDoc(
      "talon.CaptureException",
      "A capture operation failed; .error is the CaptureError, .description its text.",
      PyExc_RuntimeError, nullptr);
  m.add_object("CaptureException", exception_type);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const CaptureFailure& failure) {
      const std::string description = vireo::GetCaptureErrorDesc(failure.error);
      py::object type = py::reinterpret_borrow<py::object>(exception_type);
      py::object exception = type(failure.context + ": " + description);
      exception.attr("error") = py::cast(failure.error);
      exception.attr("description") = description;
      PyErr_SetObject(type.ptr(), exception.ptr());
    }
  });

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

  py::class_<CaptureConfig>(m, "CaptureConfig", "What to capture: one to three streams.")
      .def(py::init([](std::vector<CaptureStreamConfig> stream_configs, uint32_t timeout_ms,
                       int32_t mipi_rx, uint32_t virtual_channel) {
             return CaptureConfig{mipi_rx, virtual_channel, timeout_ms, std::move(stream_configs)};
           }),
           py::arg("stream_configs") = std::vector<CaptureStreamConfig>{},
           py::arg("timeout_ms") = 1000, py::arg("mipi_rx") = 0, py::arg("virtual_channel") = 0)
      .def_readwrite("stream_configs", &CaptureConfig::stream_configs,
                     "list of CaptureStreamConfig (assign a new list to change it)")
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
          [](FrameBuffer& b, std::optional<int> data_type) {
            const int dt = b.DataType(data_type);
            const CaptureStreamConfig& s = b.Stream(dt);
            return Unpack(py::array_t<uint8_t, py::array::c_style>(b.Array(dt)), s.width,
                          s.bits_per_component);
          },
          py::arg("data_type") = py::none(),
          "The stream's samples as a new uint16 array (height, width).")
      .def(
          "stream_config", [](const FrameBuffer& b, int data_type) { return b.Stream(data_type); },
          py::arg("data_type"), "the CaptureStreamConfig of one of the buffer's streams");

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

  py::class_<Service>(m, "CaptureService",
                      "Captures into frame buffers: enqueue empty ones, dequeue them filled, in "
                      "order. Runs from create_instance on; keep two buffers enqueued.")
      .def_static("create_instance", &Service::CreateInstance, py::arg("config"),
                  "A running service for config; raises CaptureException with the reason.")
      .def("enqueue_request", &Service::EnqueueRequest, py::arg("frame_buffer").none(true),
           "Hands an empty buffer to the service; raises CaptureException (INVALID_BUFFER).")
      .def("dequeue_completed_request", &Service::DequeueCompletedRequest,
           "The oldest completed FrameBuffer. Blocks while capturing (GIL released); when "
           "paused returns the completed ones, then None.")
      .def("clear_pending_requests", &Service::ClearPendingRequests,
           "Drops the waiting buffers of a paused service (they are the caller's again).")
      .def("pause", &Service::Pause, "Stops the capture; submitted buffers complete.")
      .def("resume", &Service::Resume, "Starts a paused capture again.")
      .def("close", &Service::Close,
           "Stops and destroys the service; its buffers are the caller's again.")
      .def_property_readonly("closed", &Service::closed)
      .def("__enter__", [](Service& s) -> Service& { return s; },
           py::return_value_policy::reference)
      .def("__exit__", [](Service& s, py::args) { s.Close(); });

  m.def("unpack", &Unpack, py::arg("array"), py::arg("width"), py::arg("bits"),
        "Unpacks CSI-2 payload (uint8, height × row stride; RAW8, packed RAW10 or\n"
        "RAW16 little-endian) to a new uint16 array (height, width).");
  m.def("error_description", &vireo::GetCaptureErrorDesc, py::arg("error"));
}
