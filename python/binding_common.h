// What the bindings of the Python module talon share: the failure every call
// raises as talon.CaptureException, the refusal of a configuration raised as
// talon.ConfigurationError, the check of a configuration before the library
// sees it, the texts of streams, and the wait slice after which a blocked
// call runs Python's signal handlers.
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

// A configuration the library or the runtime refuses, raised as
// talon.ConfigurationError (a talon.CaptureException and a ValueError) with
// `reason` as its whole message. Thrown by RaiseConfigurationError.
struct ConfigurationFailure {
  CaptureError error;
  std::string reason;
};

// A failure only the library knows the reason of: its description.
[[noreturn]] void Fail(CaptureError error, const std::string& call);
void Check(CaptureError error, const std::string& call);
std::string Hex(int value);
// Raises talon.ConfigurationError carrying `error` (.error) with `reason`, the
// one line the library or the option toolkit gave, unchanged: a creation
// call that refuses its configuration (INVALID_CONFIG and the reason from
// vireo::CreateCaptureService) raises it as it is.
[[noreturn]] void RaiseConfigurationError(CaptureError error, const std::string& reason);
// Raises ConfigurationError (INVALID_CONFIG) naming the field and its value
// ("CaptureConfig.virtual_channel: 99 is not in 0 to 3") when the library or
// the runtime would refuse `config`.
void CheckConfig(const CaptureConfig& config);
// "0x2B 64x8 10-bit, ...": the streams of a configuration, for messages.
std::string StreamsText(const CaptureConfig& config);
// Whether frame buffers made for `a` have the layout that `b` captures.
bool SameStreams(const CaptureConfig& a, const CaptureConfig& b);
// Points libtalon at a compiled-graph cache this process can use; raises
// FILE_SYSTEM_ERROR when none can be made.
void ChooseGraphCache(const std::string& call);

}  // namespace talon_python

#endif  // PYTHON_BINDING_COMMON_H_
