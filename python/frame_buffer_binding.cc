#include "python/frame_buffer_binding.h"

#include "support/csi2_unpack.h"

namespace talon_python {

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
  py::array samples = out.has_value() ? *out
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

void BindFrameBuffer(py::module_& m) {
  // Docstrings open with the signature in Python's own form, which
  // inspect.signature reads (the types are in _talon.pyi).
  py::options options;
  options.disable_function_signatures();
  py::class_<FrameBuffer, std::shared_ptr<FrameBuffer>>(
      m, "FrameBuffer",
      "One frame of every stream. Read it only while you hold it (not between "
      "enqueue_request and dequeue_completed_request: that raises ValueError).")
      .def_property_readonly(
          "status", [](const FrameBuffer& b) { return b.Client().GetStatus(); },
          "CaptureStatus: where the buffer is in its cycle")
      .def_property_readonly(
          "error", [](const FrameBuffer& b) { return b.Client().GetError(); },
          "CaptureError of the last capture")
      .def_property_readonly(
          "timestamp_start_ns",
          [](const FrameBuffer& b) { return b.Client().GetTimestampStartNs(); },
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
          py::arg("data_type"),
          "row_stride_bytes(self, data_type)\n--\n\n"
          "Bytes from one row to the next; 0 for a foreign data type.")
      .def("array", &FrameBuffer::Array, py::arg("data_type") = py::none(),
           "array(self, data_type=None)\n--\n\n"
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
          "unpacked(self, data_type=None, out=None)\n--\n\n"
          "The stream's samples as a new uint16 array (height, width), or written into\n"
          "out (uint16, that shape) and returned: a loop that reuses out allocates nothing.")
      .def_property_readonly("sensor_sequence", &FrameBuffer::SensorSequence,
                             "the sensor's frame number stamped in the first stream's data;\n"
                             "None where the sensor stamps none")
      .def(
          "stream_config", [](const FrameBuffer& b, int data_type) { return b.Stream(data_type); },
          py::arg("data_type"),
          "stream_config(self, data_type)\n--\n\n"
          "The CaptureStreamConfig of one of the buffer's streams.");
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
      .def_property_readonly("dropped", &talon_support::FrameRecorder::dropped, "the total so far");
}

void BindFactory(py::module_& m) {
  // Docstrings open with the signature in Python's own form, which
  // inspect.signature reads (the types are in _talon.pyi).
  py::options options;
  options.disable_function_signatures();
  py::class_<Factory, std::shared_ptr<Factory>>(m, "CaptureFrameBufferFactory",
                                                "Makes frame buffers for one configuration.")
      .def_static("create_instance", &Factory::CreateInstance, py::arg("config"),
                  "create_instance(config)\n--\n\n"
                  "A factory for config. A configuration the library or the runtime refuses\n"
                  "raises ConfigurationError (a ValueError; .error INVALID_CONFIG) whose message\n"
                  "names the field and the value; CaptureException (NO_MEM) when the runtime's\n"
                  "memory allocator cannot be had.")
      .def(
          "create",
          [](Factory& f) {
            return std::make_shared<FrameBuffer>(f.shared_from_this(), f.CreateNative());
          },
          "create(self)\n--\n\n"
          "A new FrameBuffer; raises CaptureException (NO_MEM) when there is no memory.")
      .def_property_readonly(
          "config", [](const Factory& f) { return f.config(); },
          "the CaptureConfig the buffers are made for (a copy)");
}

}  // namespace talon_python
