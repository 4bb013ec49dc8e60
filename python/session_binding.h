// The client session of Camera: _Session binds talon_support::CaptureSession
// (one capture, its frame buffers, the frames lent out) and _SessionFrame
// one frame taken from it, whose NumPy arrays view the frame buffer through
// its lease, or a copy when lending would leave the capture short.
//
// Threading: used with the GIL held. A take waits with the GIL released, in
// the session's slices, and runs Python's signal handlers between them
// (Ctrl-C ends it with KeyboardInterrupt; the capture goes on). Takes come
// from one reader at a time (Camera's reader role); start, stop and close
// may come from any thread, also while a take waits, which they end.
// Ownership: _Session holds the session; every lease (a frame in hand, an
// array that views one) holds it too, so buffers and service outlive the
// close until the last array goes.

#ifndef PYTHON_SESSION_BINDING_H_
#define PYTHON_SESSION_BINDING_H_

#include "python/binding_common.h"

namespace talon_python {

void BindSession(py::module_& m);

}  // namespace talon_python

#endif  // PYTHON_SESSION_BINDING_H_
