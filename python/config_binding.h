// The Python module's configurations and enumerations: MipiDataTypeCsi2,
// CaptureStatus, CaptureError, talon.CaptureException, CaptureStreamConfig,
// the in-place list of stream_configs and CaptureConfig.
//
// Threading: registered with the GIL held.

#ifndef PYTHON_CONFIG_BINDING_H_
#define PYTHON_CONFIG_BINDING_H_

#include "python/binding_common.h"

namespace talon_python {

// In the order the module registers them (a type before the signatures
// that name it).
void BindMipiDataType(py::module_& m);
void BindCaptureStatus(py::module_& m);
void BindCaptureError(py::module_& m);
void RegisterCaptureException(py::module_& m);
void BindCaptureStreamConfig(py::module_& m);
void BindStreamConfigList(py::module_& m);
void BindCaptureConfig(py::module_& m);

}  // namespace talon_python

#endif  // PYTHON_CONFIG_BINDING_H_
