// CaptureService of the Python module: a running service that holds the
// Python frame buffers it was given until they are dequeued, cleared or the
// service is closed; every blocking call answers Ctrl-C.
//
// Threading: see service_binding.cc.

#ifndef PYTHON_SERVICE_BINDING_H_
#define PYTHON_SERVICE_BINDING_H_

#include "python/binding_common.h"

namespace talon_python {

void BindService(py::module_& m);

}  // namespace talon_python

#endif  // PYTHON_SERVICE_BINDING_H_
