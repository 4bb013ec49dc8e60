#include "support/capture_error_name.h"

namespace talon_support {

// The compiler (-Wswitch) sees that no enumerator is missing.
const char* CaptureErrorName(vireo::CaptureError error) {
  switch (error) {
    case vireo::CaptureError::SUCCESS:
      return "SUCCESS";
    case vireo::CaptureError::GENERIC_FAILURE:
      return "GENERIC_FAILURE";
    case vireo::CaptureError::INVALID_REQUEST:
      return "INVALID_REQUEST";
    case vireo::CaptureError::NO_DEV:
      return "NO_DEV";
    case vireo::CaptureError::NO_MEM:
      return "NO_MEM";
    case vireo::CaptureError::TIMEOUT:
      return "TIMEOUT";
    case vireo::CaptureError::RESOURCE_NOT_FOUND:
      return "RESOURCE_NOT_FOUND";
    case vireo::CaptureError::TYPE_MISMATCH:
      return "TYPE_MISMATCH";
    case vireo::CaptureError::OVERFLOW:
      return "OVERFLOW";
    case vireo::CaptureError::MIPI_MUX_ERROR:
      return "MIPI_MUX_ERROR";
    case vireo::CaptureError::BACKGROUND_THREAD_ERROR:
      return "BACKGROUND_THREAD_ERROR";
    case vireo::CaptureError::ALREADY_INITIALIZED:
      return "ALREADY_INITIALIZED";
    case vireo::CaptureError::INVALID_CONFIG:
      return "INVALID_CONFIG";
    case vireo::CaptureError::FILE_SYSTEM_ERROR:
      return "FILE_SYSTEM_ERROR";
    case vireo::CaptureError::DATA_TYPE_NOT_FOUND:
      return "DATA_TYPE_NOT_FOUND";
    case vireo::CaptureError::INVALID_BUFFER:
      return "INVALID_BUFFER";
    case vireo::CaptureError::CAPTURE_CANCELLED:
      return "CAPTURE_CANCELLED";
    case vireo::CaptureError::UNKNOWN:
      return "UNKNOWN";
  }
  return "UNKNOWN";
}

}  // namespace talon_support
