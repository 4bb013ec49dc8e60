// talon.develop: raw Bayer frames developed into 8-bit RGB NumPy arrays by
// the software ISP (isp/isp.h), from an array of samples (uint16 or uint8,
// any view or crop) or from a frame's CSI-2 payload with its data type.
// Frame.rgb (talon/__init__.py) calls it with the frame's stream.
//
// Bad arguments raise ValueError naming the keyword ("black_level: must be
// below white_level (1023), not 1023"), with the ISP's own check
// (CheckDevelop) for what the ISP decides. The GIL is released while the ISP
// develops; each call has an ISP of its own, so threads may develop at once.

#ifndef PYTHON_DEVELOP_BINDING_H_
#define PYTHON_DEVELOP_BINDING_H_

#include <pybind11/pybind11.h>

namespace talon_python {

// Adds develop() to the module.
void BindDevelop(pybind11::module_& m);

}  // namespace talon_python

#endif  // PYTHON_DEVELOP_BINDING_H_
