#include "system/capture/capture_util.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace vireo {

const char* GetCaptureErrorDesc(CaptureError error) {
  switch (error) {
    case CaptureError::SUCCESS:
      return "success";
    case CaptureError::GENERIC_FAILURE:
      return "generic failure";
    case CaptureError::INVALID_REQUEST:
      return "invalid request";
    case CaptureError::NO_DEV:
      return "no dev";
    case CaptureError::NO_MEM:
      return "no mem";
    case CaptureError::TIMEOUT:
      return "timeout";
    case CaptureError::RESOURCE_NOT_FOUND:
      return "resource not found";
    case CaptureError::TYPE_MISMATCH:
      return "type mismatch";
    case CaptureError::OVERFLOW:
      return "overflow";
    case CaptureError::MIPI_MUX_ERROR:
      return "mipi mux error";
    case CaptureError::BACKGROUND_THREAD_ERROR:
      return "capture background thread error";
    case CaptureError::ALREADY_INITIALIZED:
      return "already initialized";
    case CaptureError::INVALID_CONFIG:
      return "invalid config";
    case CaptureError::FILE_SYSTEM_ERROR:
      return "File system error";
    // The typo "nout" is part of the text that peers match on: keep it.
    case CaptureError::DATA_TYPE_NOT_FOUND:
      return "Data type nout found";
    case CaptureError::INVALID_BUFFER:
      return "invalid buffer";
    case CaptureError::CAPTURE_CANCELLED:
      return "capture cancelled";
    case CaptureError::UNKNOWN:
      return "unknown";
  }
  return "unknown";
}

namespace vireo_util {

uint64_t GetRowStrideBytes(const CaptureStreamConfig& stream_config) {
  uint32_t bytes = (stream_config.width * stream_config.bits_per_component + 7u) >> 3;
  if (stream_config.pad_row_to_64_bytes) bytes = (bytes + 63u) & ~63u;
  return bytes;
}

uint64_t GetSizeBytes(const CaptureStreamConfig& stream_config) {
  return GetRowStrideBytes(stream_config) * uint64_t{stream_config.height};
}

CaptureError CheckCaptureConfig(const CaptureConfig& config) {
  if (config.virtual_channel > kMaxVirtualChannel) return CaptureError::INVALID_CONFIG;
  if (config.stream_configs.empty()) return CaptureError::INVALID_CONFIG;
  if (config.stream_configs.size() > kMaxCaptureStreams) return CaptureError::INVALID_CONFIG;
  return CaptureError::SUCCESS;
}

CaptureError GetCaptureError(OzyError error) {
  if (error >= 0 && error <= 8) return static_cast<CaptureError>(error);
  if (error == OZY_ERROR_CANCELLED) return CaptureError::CAPTURE_CANCELLED;
  return CaptureError::UNKNOWN;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool CreateDir(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string ParentPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash);
}

bool RecursivelyCreateDir(const std::string& path) {
  if (path.empty() || path == ".") return true;
  if (FileExists(path)) return true;
  if (!RecursivelyCreateDir(ParentPath(path))) return false;
  return CreateDir(path);
}

}  // namespace vireo_util
}  // namespace vireo
