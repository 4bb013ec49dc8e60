// The frame buffers of the Python module: CaptureFrameBufferFactory and
// FrameBuffer, the Python object a service holds while it is enqueued, whose
// NumPy arrays share a lease of its native buffer; and their bindings, with
// the CSI-2 unpacking and Camera's frame records.
//
// Ownership: a Python FrameBuffer owns its native frame buffer through a
// shared pointer that its arrays' lease shares: an array keeps the frame's
// streams locked and its memory alive. Native buffers keep their factory
// alive.
// Threading: used with the GIL held.

#ifndef PYTHON_FRAME_BUFFER_BINDING_H_
#define PYTHON_FRAME_BUFFER_BINDING_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/binding_common.h"
#include "python/log_forwarding.h"
#include "support/frame_sequence.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_types.h"

namespace talon_python {

class Factory : public std::enable_shared_from_this<Factory> {
 public:
  Factory(const CaptureConfig& config, std::unique_ptr<vireo::CaptureFrameBufferFactory> impl)
      : config_(config), impl_(std::move(impl)) {}

  static std::shared_ptr<Factory> CreateInstance(const CaptureConfig& config) {
    const char* const call_name = "CaptureFrameBufferFactory.create_instance";
    CheckConfig(config);
    std::unique_ptr<vireo::CaptureFrameBufferFactory> impl =
        vireo::CaptureFrameBufferFactory::CreateInstance(config);
    talon_python::LogForwarding::Drain();
    // The configuration passed the check: what is left is the runtime's
    // memory allocator.
    if (impl == nullptr) {
      throw CaptureFailure{
          CaptureError::NO_MEM,
          std::string(call_name) + ": the runtime's memory allocator cannot be had"};
    }
    return std::make_shared<Factory>(config, std::move(impl));
  }

  // A native buffer that keeps the factory (its allocator) alive.
  std::shared_ptr<CaptureFrameBuffer> CreateNative() {
    std::unique_ptr<CaptureFrameBuffer> buffer = impl_->Create();
    // The configuration passed the check: what is left is the memory.
    if (buffer == nullptr) Fail(CaptureError::NO_MEM, "CaptureFrameBufferFactory.create");
    return std::shared_ptr<CaptureFrameBuffer>(
        buffer.release(), [factory = shared_from_this()](CaptureFrameBuffer* b) { delete b; });
  }

  const CaptureConfig& config() const { return config_; }

 private:
  const CaptureConfig config_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> impl_;
};

class Service;

// A Python frame buffer: its native buffer and, while arrays view it, the
// lease that keeps every stream locked (support/capture_session.h), shared
// by the arrays; the last array to go unlocks it.
class FrameBuffer {
 public:
  FrameBuffer(std::shared_ptr<Factory> factory, std::shared_ptr<CaptureFrameBuffer> native)
      : factory_(std::move(factory)), native_(std::move(native)) {}

  const CaptureConfig& config() const { return factory_->config(); }

  // The native buffer to hand to the service: a fresh one while arrays
  // still view the current one.
  CaptureFrameBuffer* PrepareForEnqueue() {
    if (!lease_.expired()) {
      native_ = factory_->CreateNative();
      lease_.reset();
    }
    return native_.get();
  }

  const CaptureFrameBuffer& Client() const {
    if (holder_ != nullptr)
      throw py::value_error("the frame buffer is held by the capture service");
    return *native_;
  }

  // The lease of the native buffer, every stream locked: the arrays' one,
  // else a new one. Raises when the library refuses a lock.
  std::shared_ptr<const talon_support::FrameLease> Lease() {
    std::shared_ptr<const talon_support::FrameLease> lease = lease_.lock();
    if (lease != nullptr) return lease;
    CaptureError error = CaptureError::SUCCESS;
    // The native buffer stays the lease's until the last array goes, also
    // when this Python buffer moves on to a fresh one.
    lease = talon_support::FrameLease::Lock(
        config(), native_.get(), [keep = native_](CaptureFrameBuffer*) {}, &error);
    Check(error, "FrameBuffer.array");
    lease_ = lease;
    return lease;
  }

  const CaptureStreamConfig& Stream(int data_type) const {
    for (const CaptureStreamConfig& s : factory_->config().stream_configs) {
      if (s.data_type == data_type) return s;
    }
    throw CaptureFailure{CaptureError::DATA_TYPE_NOT_FOUND,
                         "FrameBuffer: data type " + Hex(data_type) +
                             " is not one of its streams (" + StreamsText(factory_->config()) +
                             ")"};
  }

  int DataType(const std::optional<int>& data_type) const {
    if (data_type.has_value()) return *data_type;
    const std::vector<int> types = Client().GetDataTypeList();
    if (types.size() != 1)
      throw py::type_error("the buffer holds several streams: give the data type");
    return types.front();
  }

  py::array Array(const std::optional<int>& requested) {
    const CaptureFrameBuffer& buffer = Client();
    const int data_type = DataType(requested);
    Stream(data_type);  // one of its streams, else DATA_TYPE_NOT_FOUND
    auto* lease = new std::shared_ptr<const talon_support::FrameLease>(Lease());
    const uint8_t* data = (*lease)->data(data_type);
    py::capsule base(lease, [](void* p) {
      delete static_cast<std::shared_ptr<const talon_support::FrameLease>*>(p);
    });
    const auto height = static_cast<py::ssize_t>(Stream(data_type).height);
    const auto stride = static_cast<py::ssize_t>(buffer.GetRowStrideBytes(data_type));
    py::array_t<uint8_t> array({height, stride}, {stride, py::ssize_t{1}}, data, base);
    array.attr("setflags")(py::arg("write") = false);
    return array;
  }

  // The frame's record by `recorder` (the one rule every surface counts
  // drops with), the first stream's stamp read under this buffer's lock.
  talon_support::FrameRecord Record(talon_support::FrameRecorder& recorder, int64_t dequeue_ns) {
    const CaptureFrameBuffer& buffer = Client();
    if (buffer.GetError() != CaptureError::SUCCESS) return recorder.Record(buffer, dequeue_ns);
    const int data_type = factory_->config().stream_configs.front().data_type;
    return recorder.Record(buffer, dequeue_ns, Lease()->data(data_type));
  }

  // The sensor's sequence stamped in the first stream's data; none when the
  // frame carries no stamp.
  std::optional<uint32_t> SensorSequence() {
    const CaptureFrameBuffer& buffer = Client();
    const CaptureStreamConfig& stream = factory_->config().stream_configs.front();
    uint32_t sequence = 0;
    const bool found = talon_support::ReadFrameSequence(Lease()->data(stream.data_type),
                                                        buffer.GetRowStrideBytes(stream.data_type),
                                                        stream, &sequence);
    if (!found) return std::nullopt;
    return sequence;
  }

  Service* holder_ = nullptr;  // the service that holds the buffer, or null

 private:
  std::shared_ptr<Factory> factory_;
  std::shared_ptr<CaptureFrameBuffer> native_;
  std::weak_ptr<const talon_support::FrameLease> lease_;  // while arrays view native_
};

// Unpacks `packed` (uint8, height x row stride) into `out` when given, else
// into a new array; returns the array written.
py::array Unpack(py::array_t<uint8_t, py::array::c_style> packed, uint32_t width, uint32_t bits,
                 std::optional<py::array> out);

void BindFrameBuffer(py::module_& m);
void BindFrameRecorder(py::module_& m);
void BindFactory(py::module_& m);

}  // namespace talon_python

#endif  // PYTHON_FRAME_BUFFER_BINDING_H_
