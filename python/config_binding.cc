#include "python/config_binding.h"

#include <string>

#include "support/capture_error_name.h"
#include "system/capture/capture_util.h"

namespace talon_python {
namespace {

std::string StreamRepr(const CaptureStreamConfig& s) {
  return "CaptureStreamConfig(data_type=" + std::to_string(s.data_type) +
         ", width=" + std::to_string(s.width) + ", height=" + std::to_string(s.height) +
         ", bits_per_component=" + std::to_string(s.bits_per_component) +
         ", pad_row_to_64_bytes=" + (s.pad_row_to_64_bytes ? "True" : "False") + ")";
}

}  // namespace

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
      .def_readwrite("data_type", &CaptureStreamConfig::data_type, "MipiDataTypeCsi2 (or an int)")
      .def_readwrite("width", &CaptureStreamConfig::width, "components per row")
      .def_readwrite("height", &CaptureStreamConfig::height, "rows per frame")
      .def_readwrite("bits_per_component", &CaptureStreamConfig::bits_per_component,
                     "8, 10 or 16")
      .def_readwrite("pad_row_to_64_bytes", &CaptureStreamConfig::pad_row_to_64_bytes,
                     "round the row stride up to 64 bytes")
      .def_property_readonly(
          "row_stride_bytes",
          [](const CaptureStreamConfig& s) { return vireo::vireo_util::GetRowStrideBytes(s); },
          "bytes from one row to the next in a frame buffer")
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
      .def("append", [stream](List& l, py::handle s) { l.push_back(stream(s)); }, py::arg("stream"),
           "Appends a stream.")
      .def("extend", [from](List& l, py::iterable items) {
        const List more = from(items);
        l.insert(l.end(), more.begin(), more.end());
      }, py::arg("streams"), "Appends the streams.")
      .def("insert", [stream, position](List& l, py::ssize_t i, py::handle s) {
        const CaptureStreamConfig value = stream(s);
        l.insert(l.begin() + static_cast<std::ptrdiff_t>(position(l, i, true)), value);
      }, py::arg("index"), py::arg("stream"), "Inserts a stream before index.")
      .def("pop", [position](List& l, py::ssize_t i) {
        const size_t at = position(l, i);
        CaptureStreamConfig value = l[at];
        l.erase(l.begin() + static_cast<std::ptrdiff_t>(at));
        return value;
      }, py::arg("index") = -1, "Removes the stream at index (default: the last) and returns it.")
      .def("clear", [](List& l) { l.clear(); }, "Removes every stream.")
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
      .def_readwrite("timeout_ms", &CaptureConfig::timeout_ms, "the capture's timeout, ms")
      .def_readwrite("mipi_rx", &CaptureConfig::mipi_rx, "the IPU's MIPI receiver")
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

}  // namespace talon_python
