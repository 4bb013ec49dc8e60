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
// says why. A configuration's fields are checked as they are given (TypeError
// or ValueError naming the field); the whole is checked at creation before
// the library sees it, and a refusal raises talon.ConfigurationError (also a
// ValueError) naming the field and the value. Misuse of a closed service or
// of a buffer the service holds raises ValueError.
//
// The bindings live in units by the classes they bind: binding_common.h (the
// failure and the checks every call shares), config_binding.h (enumerations
// and configurations), frame_buffer_binding.h (factory, frame buffers and
// their arrays, Camera's records), service_binding.h (CaptureService, its
// threading and Ctrl-C), session_binding.h (Camera's capture session),
// develop_binding.h (the ISP). libtalon's log entries
// go to Python's logging (log_forwarding.h); the calls that may log drain
// them as they return.

#include "python/binding_common.h"
#include "python/config_binding.h"
#include "python/develop_binding.h"
#include "python/frame_buffer_binding.h"
#include "python/log_forwarding.h"
#include "python/service_binding.h"
#include "python/session_binding.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_setup.h"
#include "system/capture/capture_util.h"

namespace talon_python {
namespace {

void BindFunctions(py::module_& m) {
  // Each docstring opens with the function's signature in Python's own form
  // ("name(...)\n--\n\n"), which inspect.signature reads; the types are in
  // the stubs (_talon.pyi).
  py::options options;
  options.disable_function_signatures();
  m.def("unpack", &Unpack, py::arg("array"), py::arg("width"), py::arg("bits"),
        py::arg("out") = py::none(),
        "unpack(array, width, bits, out=None)\n--\n\n"
        "Unpacks CSI-2 payload (uint8, height × row stride; RAW8, packed RAW10 or\n"
        "RAW16 little-endian) to a new uint16 array (height, width), or into out (a\n"
        "writable uint16 array of that shape, its rows' samples side by side), which\n"
        "it returns. Large frames are unpacked with the GIL released.");
  m.def("error_description", &vireo::GetCaptureErrorDesc, py::arg("error"),
        "error_description(error)\n--\n\n"
        "The library's fixed description of a CaptureError.");
  m.def("_set_compiled_graph_dir", &vireo::SetCompiledGraphDir, py::arg("dir"),
        "_set_compiled_graph_dir(dir)\n--\n\n"
        "Sets the process's compiled-graph cache directory (\"\": the default place).");
  m.def("_compiled_graph_dir", &vireo::GetCompiledGraphDir,
        "_compiled_graph_dir()\n--\n\n"
        "The process's compiled-graph cache directory.");
  m.attr("GRAPH_CACHE_VARIABLE") = vireo::ozy::kCompiledGraphDirVariable;
  m.attr("DEFAULT_GRAPH_CACHE_DIR") = vireo::ozy::kDefaultCompiledGraphDir;
  m.attr("__version__") = TALON_VERSION;
}

}  // namespace
}  // namespace talon_python

PYBIND11_MODULE(_talon, m) {
  m.doc() = "Binding of libtalon's capture API; use the package talon.";
  talon_python::LogForwarding::Start();
  talon_python::BindMipiDataType(m);
  talon_python::BindCaptureStatus(m);
  talon_python::BindCaptureError(m);
  talon_python::RegisterCaptureException(m);
  talon_python::BindCaptureStreamConfig(m);
  talon_python::BindStreamConfigList(m);
  talon_python::BindCaptureConfig(m);
  talon_python::BindFrameBuffer(m);
  talon_python::BindFrameRecorder(m);
  talon_python::BindFactory(m);
  talon_python::BindService(m);
  talon_python::BindSession(m);
  talon_python::BindFunctions(m);
  talon_python::BindDevelop(m);
}
