#include "python/config_binding.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "support/capture_error_name.h"
#include "support/options.h"
#include "system/capture/capture_util.h"

namespace talon_python {
namespace {

using StreamList = std::vector<CaptureStreamConfig>;

// The constructors' arguments, taken as they come and checked by the
// binding itself (Integer, Flag, Streams), so that a bad one raises one line
// naming its field rather than pybind11's list of signatures it could not
// match. help() shows each as the type it wants.
struct IntArg {
  py::object value;
};
struct BoolArg {
  py::object value;
};
struct StreamsArg {
  py::object value;
};

}  // namespace
}  // namespace talon_python

namespace pybind11::detail {

#define TALON_ANY_ARGUMENT(Arg, shown)                          \
  template <>                                                   \
  struct type_caster<talon_python::Arg> {                       \
    PYBIND11_TYPE_CASTER(talon_python::Arg, const_name(shown)); \
    bool load(handle src, bool) {                               \
      value.value = reinterpret_borrow<object>(src);            \
      return true;                                              \
    }                                                           \
  }

TALON_ANY_ARGUMENT(IntArg, "int");
TALON_ANY_ARGUMENT(BoolArg, "bool");
TALON_ANY_ARGUMENT(StreamsArg, "list[CaptureStreamConfig]");
#undef TALON_ANY_ARGUMENT

}  // namespace pybind11::detail

namespace talon_python {
namespace {

// The data types MipiDataTypeCsi2 names, for its binding and for repr.
constexpr struct {
  const char* name;
  vireo::MipiDataTypeCsi2 value;
} kDataTypes[] = {
    {"CSI2_EMBEDDED_8BIT", vireo::CSI2_EMBEDDED_8BIT},
    {"CSI2_YUV420_8BIT", vireo::CSI2_YUV420_8BIT},
    {"CSI2_YUV422_8BIT", vireo::CSI2_YUV422_8BIT},
    {"CSI2_RGB888", vireo::CSI2_RGB888},
    {"CSI2_RAW6", vireo::CSI2_RAW6},
    {"CSI2_RAW7", vireo::CSI2_RAW7},
    {"CSI2_RAW8", vireo::CSI2_RAW8},
    {"CSI2_RAW10", vireo::CSI2_RAW10},
    {"CSI2_RAW12", vireo::CSI2_RAW12},
    {"CSI2_RAW14", vireo::CSI2_RAW14},
    {"CSI2_RAW16", vireo::CSI2_RAW16},
    {"CSI2_USER_DEFINED_1", vireo::CSI2_USER_DEFINED_1},
};

// A configuration field as a constructor or a setter takes it: the values
// the field can hold (mipi_rx: not negative), or the option toolkit's limits
// where they are the field's alone (a CSI-2 data type, a timeout of at least
// 1 ms). The toolkit's other limits (a stream's size and component width,
// the receiver, the virtual channel, the stream count) are its check of the
// whole configuration at creation (CheckConfig, ConfigurationError), where
// the configuration the user built step by step is complete.
struct Field {
  const char* name;
  int64_t min;
  int64_t max;
  bool hex;  // values said in hex, as data types are
};

constexpr int64_t kUint32Max = std::numeric_limits<uint32_t>::max();
constexpr Field kDataType{"CaptureStreamConfig.data_type", 0, talon_support::kMaxDataType, true};
constexpr Field kWidth{"CaptureStreamConfig.width", 0, kUint32Max, false};
constexpr Field kHeight{"CaptureStreamConfig.height", 0, kUint32Max, false};
constexpr Field kBits{"CaptureStreamConfig.bits_per_component", 0, kUint32Max, false};
constexpr const char* kPad = "CaptureStreamConfig.pad_row_to_64_bytes";
constexpr Field kTimeout{"CaptureConfig.timeout_ms", talon_support::kMinTimeoutMs,
                         talon_support::kMaxTimeoutMs, false};
constexpr Field kMipiRx{"CaptureConfig.mipi_rx", 0, std::numeric_limits<int32_t>::max(), false};
constexpr Field kVirtualChannel{"CaptureConfig.virtual_channel", 0, kUint32Max, false};
constexpr const char* kStreams = "CaptureConfig.stream_configs";

std::string Number(int64_t value, bool hex) {
  if (!hex || value < 0) return std::to_string(value);
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIX64, static_cast<uint64_t>(value));
  return text;
}

std::string TypeName(py::handle value) {
  return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

// `value` for a message: its repr on one line, cut short (by characters,
// not bytes, so that the text stays UTF-8) when long.
std::string Repr(py::handle value) {
  py::str repr = py::repr(value);
  constexpr py::ssize_t kMaxChars = 40;
  std::string text = py::len(repr) > kMaxChars
                         ? py::str(repr[py::slice(0, kMaxChars, 1)]).cast<std::string>() + "..."
                         : repr.cast<std::string>();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// "'640' (str)".
std::string Shown(py::handle value) { return Repr(value) + " (" + TypeName(value) + ")"; }

// `value` as `field` takes it: a TypeError for anything but an integer (an
// int, an enumerator, a NumPy integer; not a bool, a float, None or a
// string), a ValueError for one outside the field's range; each one line
// naming the field, the value and what is allowed.
int64_t Integer(py::handle value, const Field& field) {
  const std::string range = Number(field.min, field.hex) + " to " + Number(field.max, field.hex);
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(std::string(field.name) + ": " + Shown(value) + " is not an int (" +
                         range + ")");
  }
  py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || result < field.min || result > field.max) {
    const std::string shown =
        overflow != 0 ? std::string(py::str(number)) : Number(result, field.hex);
    throw py::value_error(std::string(field.name) + ": " + shown + " is not in " + range);
  }
  return result;
}

// `value` as a flag takes it: True, False, 0 or 1.
bool Flag(py::handle value, const char* field) {
  if (PyBool_Check(value.ptr())) return value.cast<bool>();
  if (!PyIndex_Check(value.ptr())) {
    throw py::type_error(std::string(field) + ": " + Shown(value) + " is not a bool");
  }
  py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  if (number.equal(py::int_(0)) || number.equal(py::int_(1))) return number.equal(py::int_(1));
  throw py::value_error(std::string(field) + ": " + py::str(number).cast<std::string>() +
                        " is not True, False, 0 or 1");
}

// An item of stream_configs: a CaptureStreamConfig, else a TypeError.
CaptureStreamConfig StreamItem(py::handle item) {
  if (!py::isinstance<CaptureStreamConfig>(item)) {
    throw py::type_error(std::string(kStreams) + " holds CaptureStreamConfig, not " +
                         TypeName(item) + " (" + Repr(item) + ")");
  }
  return item.cast<CaptureStreamConfig>();
}

// The streams given as a StreamConfigList, a list, a tuple or another
// iterable of CaptureStreamConfig (not a string).
StreamList Streams(py::handle value) {
  if (py::isinstance<StreamList>(value)) return value.cast<StreamList>();
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !py::isinstance<py::iterable>(value)) {
    throw py::type_error(std::string(kStreams) + ": " + Shown(value) +
                         " is not a list of CaptureStreamConfig");
  }
  StreamList streams;
  for (py::handle item : value) streams.push_back(StreamItem(item));
  return streams;
}

// The streams as a Python list of copies.
py::list Copies(const StreamList& streams) {
  py::list copies;
  for (const CaptureStreamConfig& s : streams) copies.append(py::cast(s));
  return copies;
}

CaptureStreamConfig MakeStreamOf(py::handle data_type, py::handle width, py::handle height,
                                 py::handle bits_per_component, py::handle pad_row_to_64_bytes) {
  return CaptureStreamConfig{static_cast<vireo::MipiDataTypeCsi2>(Integer(data_type, kDataType)),
                             static_cast<uint32_t>(Integer(width, kWidth)),
                             static_cast<uint32_t>(Integer(height, kHeight)),
                             static_cast<uint32_t>(Integer(bits_per_component, kBits)),
                             Flag(pad_row_to_64_bytes, kPad)};
}

CaptureConfig MakeConfigOf(py::handle stream_configs, py::handle timeout_ms, py::handle mipi_rx,
                           py::handle virtual_channel) {
  CaptureConfig config;
  config.stream_configs = Streams(stream_configs);
  config.timeout_ms = static_cast<uint32_t>(Integer(timeout_ms, kTimeout));
  config.mipi_rx = static_cast<int32_t>(Integer(mipi_rx, kMipiRx));
  config.virtual_channel = static_cast<uint32_t>(Integer(virtual_channel, kVirtualChannel));
  return config;
}

CaptureStreamConfig MakeStream(IntArg data_type, IntArg width, IntArg height,
                               IntArg bits_per_component, BoolArg pad_row_to_64_bytes) {
  return MakeStreamOf(data_type.value, width.value, height.value, bits_per_component.value,
                      pad_row_to_64_bytes.value);
}

CaptureConfig MakeConfig(StreamsArg stream_configs, IntArg timeout_ms, IntArg mipi_rx,
                         IntArg virtual_channel) {
  return MakeConfigOf(stream_configs.value, timeout_ms.value, mipi_rx.value, virtual_channel.value);
}

bool Equal(const CaptureStreamConfig& a, const CaptureStreamConfig& b) {
  return a.data_type == b.data_type && a.width == b.width && a.height == b.height &&
         a.bits_per_component == b.bits_per_component &&
         a.pad_row_to_64_bytes == b.pad_row_to_64_bytes;
}

bool Equal(const StreamList& a, const StreamList& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!Equal(a[i], b[i])) return false;
  }
  return true;
}

bool Equal(const CaptureConfig& a, const CaptureConfig& b) {
  return a.mipi_rx == b.mipi_rx && a.virtual_channel == b.virtual_channel &&
         a.timeout_ms == b.timeout_ms && Equal(a.stream_configs, b.stream_configs);
}

// __eq__ and __ne__ of `T`, field by field, against another `T` only.
template <typename T, typename Class>
void DefineEquality(Class& cls) {
  cls.def(
         "__eq__",
         [](const T& self, py::object other) -> py::object {
           if (!py::isinstance<T>(other))
             return py::reinterpret_borrow<py::object>(Py_NotImplemented);
           return py::bool_(Equal(self, other.cast<const T&>()));
         },
         py::arg("other"), "Equal when every field is.")
      .def(
          "__ne__",
          [](const T& self, py::object other) -> py::object {
            if (!py::isinstance<T>(other))
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(!Equal(self, other.cast<const T&>()));
          },
          py::arg("other"));
}

// "talon.CSI2_RAW10", or the number in hex for a data type without a name.
std::string DataTypeRepr(vireo::MipiDataTypeCsi2 data_type) {
  for (const auto& known : kDataTypes) {
    if (known.value == data_type) return std::string("talon.") + known.name;
  }
  return Number(data_type, true);
}

// As the constructor takes it, so that eval() after `import talon` gives an
// equal stream.
std::string StreamRepr(const CaptureStreamConfig& s) {
  return "talon.CaptureStreamConfig(data_type=" + DataTypeRepr(s.data_type) +
         ", width=" + std::to_string(s.width) + ", height=" + std::to_string(s.height) +
         ", bits_per_component=" + std::to_string(s.bits_per_component) +
         ", pad_row_to_64_bytes=" + (s.pad_row_to_64_bytes ? "True" : "False") + ")";
}

std::string StreamsRepr(const StreamList& streams) {
  std::string text;
  for (const CaptureStreamConfig& s : streams) text += (text.empty() ? "" : ", ") + StreamRepr(s);
  return "[" + text + "]";
}

// Sets `type` (CaptureException or a subclass) with .error and .description
// as the pending Python error.
void SetError(py::handle type, CaptureError error, const std::string& message) {
  py::object exception = type(message);
  exception.attr("error") = py::cast(error);
  exception.attr("description") = vireo::GetCaptureErrorDesc(error);
  PyErr_SetObject(type.ptr(), exception.ptr());
}

}  // namespace

// The bindings, one function per bound type, in the order the module
// registers them (a type is registered before the signatures that name it).

void BindMipiDataType(py::module_& m) {
  py::enum_<vireo::MipiDataTypeCsi2> data_type(
      m, "MipiDataTypeCsi2", py::arithmetic(),
      "MIPI CSI-2 data types; any int 0 to 0x3F is accepted where one is expected.");
  for (const auto& known : kDataTypes) data_type.value(known.name, known.value);
  data_type.export_values();
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

// CaptureFailure, thrown by the bindings, reaches Python as
// talon.CaptureException; ConfigurationFailure as talon.ConfigurationError.
void RegisterCaptureException(py::module_& m) {
  // A RuntimeError with .error (a CaptureError) and .description.
  static py::handle exception_type = PyErr_NewExceptionWithDoc(
      "talon.CaptureException",
      "A capture operation failed. The message says why (for a configuration: the field\n"
      "and its value); .error is the CaptureError, .description the library's text for it.",
      PyExc_RuntimeError, nullptr);
  m.add_object("CaptureException", exception_type);
  py::tuple bases = py::make_tuple(exception_type, py::handle(PyExc_ValueError));
  static py::handle configuration_type = PyErr_NewExceptionWithDoc(
      "talon.ConfigurationError",
      "The library or the runtime refuses a configuration: a CaptureException and a\n"
      "ValueError. The message is the reason, one line naming the field and the value\n"
      "(\"CaptureConfig.virtual_channel: 99 is not in 0 to 3\"); .error is the\n"
      "CaptureError (INVALID_CONFIG), .description the library's text for it.",
      bases.ptr(), nullptr);
  m.add_object("ConfigurationError", configuration_type);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const CaptureFailure& failure) {
      SetError(exception_type, failure.error, failure.message);
    } catch (const ConfigurationFailure& failure) {
      SetError(configuration_type, failure.error, failure.reason);
    }
  });
}

void BindCaptureStreamConfig(py::module_& m) {
  using S = CaptureStreamConfig;
  // A property whose setter takes what the constructor takes.
  auto number = [](uint32_t S::*member, const Field& field) {
    return [member, field](S& s, py::handle value) {
      s.*member = static_cast<uint32_t>(Integer(value, field));
    };
  };
  py::class_<S> stream(
      m, "CaptureStreamConfig",
      "One MIPI CSI-2 stream. Each field takes an int (pad_row_to_64_bytes a bool) and\n"
      "refuses anything else at once: TypeError for another type (None, a str, a float),\n"
      "ValueError for a value the field cannot hold (negative, over 32 bits, a data type\n"
      "over 0x3F); the message names the field. The other limits (width and height 1 to\n"
      "65536, bits 8, 10 or 16) are checked by create_instance. Streams compare equal field\n"
      "by field, pickle, and their repr is the constructor's call.");
  stream
      .def(py::init(&MakeStream), py::arg("data_type") = vireo::CSI2_RAW10, py::arg("width") = 0,
           py::arg("height") = 0, py::arg("bits_per_component") = 0,
           py::arg("pad_row_to_64_bytes") = false,
           "data_type: a MipiDataTypeCsi2 or an int 0 to 0x3F; width, height,\n"
           "bits_per_component: ints (create_instance wants width and height 1 to 65536,\n"
           "bits 8, 10 or 16); pad_row_to_64_bytes: a bool.")
      .def_property(
          "data_type", [](const S& s) { return s.data_type; },
          [](S& s, py::handle value) {
            s.data_type = static_cast<vireo::MipiDataTypeCsi2>(Integer(value, kDataType));
          },
          "the MIPI CSI-2 data type (0 to 0x3F), which identifies the stream")
      .def_property(
          "width", [](const S& s) { return s.width; }, number(&S::width, kWidth),
          "components per row")
      .def_property(
          "height", [](const S& s) { return s.height; }, number(&S::height, kHeight),
          "rows per frame")
      .def_property(
          "bits_per_component", [](const S& s) { return s.bits_per_component; },
          number(&S::bits_per_component, kBits), "8, 10 or 16")
      .def_property(
          "pad_row_to_64_bytes", [](const S& s) { return s.pad_row_to_64_bytes; },
          [](S& s, py::handle value) { s.pad_row_to_64_bytes = Flag(value, kPad); },
          "round the row stride up to 64 bytes")
      .def_property_readonly(
          "row_stride_bytes", [](const S& s) { return vireo::vireo_util::GetRowStrideBytes(s); },
          "bytes from one row to the next in a frame buffer")
      .def("__repr__", &StreamRepr)
      .def(py::pickle(
          [](const S& s) {
            return py::make_tuple(static_cast<int>(s.data_type), s.width, s.height,
                                  s.bits_per_component, s.pad_row_to_64_bytes);
          },
          [](const py::tuple& state) {
            if (state.size() != 5) throw py::value_error("CaptureStreamConfig: a bad pickle");
            return MakeStreamOf(state[0], state[1], state[2], state[3], state[4]);
          }));
  DefineEquality<S>(stream);
}

// The streams of a CaptureConfig, edited in place. Items read out are copies
// (a reference into the vector would dangle once an append moves it).
void BindStreamConfigList(py::module_& m) {
  using List = StreamList;
  // `index` as Python counts it, checked against `size` (+1 for insert).
  auto position = [](const List& list, py::ssize_t index, bool insert = false) {
    const auto size = static_cast<py::ssize_t>(list.size());
    if (index < 0) index += size;
    if (insert) return static_cast<size_t>(std::clamp<py::ssize_t>(index, 0, size));
    if (index < 0 || index >= size) throw py::index_error("stream index out of range");
    return static_cast<size_t>(index);
  };
  py::class_<List> list(m, "StreamConfigList",
                        "The streams of a CaptureConfig: a list that changes the configuration in\n"
                        "place. Items read out are copies; to change a stream, assign it again\n"
                        "(config.stream_configs[0] = stream). A list or tuple is taken wherever\n"
                        "one is expected. Compares equal to a StreamConfigList, list or tuple of\n"
                        "equal streams; pickles as a list of its own.");
  list.def(py::init<>())
      .def(py::init([](py::handle streams) { return Streams(streams); }), py::arg("streams"))
      .def(
          "append", [](List& l, py::handle s) { l.push_back(StreamItem(s)); }, py::arg("stream"),
          "Adds a stream at the end.")
      .def(
          "extend",
          [](List& l, py::handle items) {
            const List more = Streams(items);
            l.insert(l.end(), more.begin(), more.end());
          },
          py::arg("streams"), "Adds the streams at the end.")
      .def(
          "insert",
          [position](List& l, py::ssize_t i, py::handle s) {
            const CaptureStreamConfig value = StreamItem(s);
            l.insert(l.begin() + static_cast<std::ptrdiff_t>(position(l, i, true)), value);
          },
          py::arg("index"), py::arg("stream"), "Adds a stream before index.")
      .def(
          "pop",
          [position](List& l, py::ssize_t i) {
            const size_t at = position(l, i);
            CaptureStreamConfig value = l[at];
            l.erase(l.begin() + static_cast<std::ptrdiff_t>(at));
            return value;
          },
          py::arg("index") = -1, "Removes the stream at index and returns it.")
      .def(
          "clear", [](List& l) { l.clear(); }, "Removes every stream.")
      .def("__len__", [](const List& l) { return l.size(); })
      .def("__getitem__", [position](const List& l, py::ssize_t i) { return l[position(l, i)]; })
      .def("__setitem__",
           [position](List& l, py::ssize_t i, py::handle s) { l[position(l, i)] = StreamItem(s); })
      .def("__delitem__",
           [position](List& l, py::ssize_t i) {
             l.erase(l.begin() + static_cast<std::ptrdiff_t>(position(l, i)));
           })
      .def("__iter__", [](const List& l) { return py::iter(Copies(l)); })
      // Against a list or tuple too: config.stream_configs == [stream].
      .def(
          "__eq__",
          [](const List& l, py::handle other) -> py::object {
            if (!py::isinstance<List>(other) && !py::isinstance<py::list>(other) &&
                !py::isinstance<py::tuple>(other)) {
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            }
            for (py::handle item : other) {
              if (!py::isinstance<CaptureStreamConfig>(item)) return py::bool_(false);
            }
            return py::bool_(Equal(l, Streams(other)));
          },
          py::arg("other"), "Equal when the streams are, in order.")
      .def(
          "__ne__",
          [](py::object self, py::handle other) {
            py::object equal = self.attr("__eq__")(other);
            return equal.is(py::handle(Py_NotImplemented)) ? equal : py::bool_(!equal.cast<bool>());
          },
          py::arg("other"))
      .def("__repr__", &StreamsRepr)
      .def(py::pickle([](const List& l) { return py::make_tuple(Copies(l)); },
                      [](const py::tuple& state) {
                        if (state.size() != 1)
                          throw py::value_error("StreamConfigList: a bad pickle");
                        return Streams(state[0]);
                      }));
  py::implicitly_convertible<py::list, List>();
  py::implicitly_convertible<py::tuple, List>();
}

void BindCaptureConfig(py::module_& m) {
  using C = CaptureConfig;
  py::class_<C> config(
      m, "CaptureConfig",
      "What to capture: one to three streams. Each field takes an int and refuses anything\n"
      "else at once: TypeError for another type, ValueError for a value the field cannot\n"
      "hold (negative, over 32 bits, timeout_ms 0); the message names the field. What the\n"
      "library or the runtime refuses of the whole (the stream count, a stream's size,\n"
      "mipi_rx over 3, virtual_channel over 3) create_instance refuses with\n"
      "ConfigurationError. Configurations compare equal field by field, pickle, and their\n"
      "repr is the constructor's call.");
  config
      .def(py::init(&MakeConfig), py::arg("stream_configs") = py::list(),
           py::arg("timeout_ms") = 1000, py::arg("mipi_rx") = 0, py::arg("virtual_channel") = 0,
           "stream_configs: a list of CaptureStreamConfig; timeout_ms: an int 1 to\n"
           "4294967295; mipi_rx: an int, 0 to 3 at create_instance; virtual_channel: an int,\n"
           "0 to 3 at create_instance.")
      .def_property(
          "stream_configs",
          py::cpp_function([](C& c) -> StreamList& { return c.stream_configs; },
                           py::return_value_policy::reference_internal),
          [](C& c, py::handle value) { c.stream_configs = Streams(value); },
          "the streams, a StreamConfigList (append to it, or assign a list)")
      .def_property(
          "timeout_ms", [](const C& c) { return c.timeout_ms; },
          [](C& c, py::handle value) {
            c.timeout_ms = static_cast<uint32_t>(Integer(value, kTimeout));
          },
          "how long the capture waits for a frame, and for the next buffer (at least 1)")
      .def_property(
          "mipi_rx", [](const C& c) { return c.mipi_rx; },
          [](C& c, py::handle value) { c.mipi_rx = static_cast<int32_t>(Integer(value, kMipiRx)); },
          "the MIPI receiver of every stream, 0 to 3")
      .def_property(
          "virtual_channel", [](const C& c) { return c.virtual_channel; },
          [](C& c, py::handle value) {
            c.virtual_channel = static_cast<uint32_t>(Integer(value, kVirtualChannel));
          },
          "the MIPI CSI-2 virtual channel of the streams, 0 to 3")
      .def("__repr__",
           [](const C& c) {
             return "talon.CaptureConfig(stream_configs=" + StreamsRepr(c.stream_configs) +
                    ", timeout_ms=" + std::to_string(c.timeout_ms) +
                    ", mipi_rx=" + std::to_string(c.mipi_rx) +
                    ", virtual_channel=" + std::to_string(c.virtual_channel) + ")";
           })
      .def(py::pickle(
          [](const C& c) {
            return py::make_tuple(Copies(c.stream_configs), c.timeout_ms, c.mipi_rx,
                                  c.virtual_channel);
          },
          [](const py::tuple& state) {
            if (state.size() != 4) throw py::value_error("CaptureConfig: a bad pickle");
            return MakeConfigOf(state[0], state[1], state[2], state[3]);
          }));
  DefineEquality<C>(config);
}

}  // namespace talon_python
