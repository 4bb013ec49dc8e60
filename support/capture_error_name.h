// The name of each CaptureError as the code spells it ("SUCCESS",
// "TIMEOUT", "CAPTURE_CANCELLED", ...): the one spelling that talon-cam's
// lines, summary, metadata and trace and the Python module show. The
// library's descriptions (vireo::GetCaptureErrorDesc) stay the texts that
// explain an error.
//
// Pure function; callable from any thread.

#ifndef SUPPORT_CAPTURE_ERROR_NAME_H_
#define SUPPORT_CAPTURE_ERROR_NAME_H_

#include "system/capture/capture_types.h"

namespace talon_support {

// The enumerator's name; "UNKNOWN" for a value outside the enumeration.
// Never null; the text is static.
const char* CaptureErrorName(vireo::CaptureError error);

}  // namespace talon_support

#endif  // SUPPORT_CAPTURE_ERROR_NAME_H_
