// What the bindings of the Python module talon share: the failure every call
// raises as talon.CaptureException, the check of a configuration before the
// library sees it, the texts of streams, and the wait slice after which a
// blocked call runs Python's signal handlers.
//
// Threading: called with the GIL held, unless said otherwise.

#ifndef PYTHON_BINDING_COMMON_H_
#define PYTHON_BINDING_COMMON_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/capture_session.h"
#include "system/capture/capture_types.h"

// CaptureConfig.stream_configs is bound as a list of its own that edits the
// configuration in place (append, item assignment), not a copy; every unit
// that converts it sees this.
PYBIND11_MAKE_OPAQUE(std::vector<vireo::CaptureStreamConfig>)

namespace py = pybind11;

namespace talon_python {

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
[[noreturn]] void Fail(CaptureError error, const std::string& call);
void Check(CaptureError error, const std::string& call);
std::string Hex(int value);
// Raises INVALID_CONFIG naming the field and its value when the library or
// the runtime would refuse `config`.
void CheckConfig(const CaptureConfig& config, const std::string& call);
// "0x2B 64x8 10-bit, ...": the streams of a configuration, for messages.
std::string StreamsText(const CaptureConfig& config);
// Whether frame buffers made for `a` have the layout that `b` captures.
bool SameStreams(const CaptureConfig& a, const CaptureConfig& b);
// Points libtalon at a compiled-graph cache this process can use; raises
// FILE_SYSTEM_ERROR when none can be made.
void ChooseGraphCache(const std::string& call);

}  // namespace talon_python

#endif  // PYTHON_BINDING_COMMON_H_
