#include "tools/talon-cam/jpeg_writer.h"

#include <turbojpeg.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "support/atomic_file.h"

namespace talon_cam {

JpegWriter::~JpegWriter() {
  if (buffer_ != nullptr) tjFree(buffer_);
  if (handle_ != nullptr) tjDestroy(handle_);
}

bool JpegWriter::Encode(const uint8_t* rgb, uint32_t width, uint32_t height,
                        const std::string& name, const uint8_t** data, uint64_t* size,
                        std::string* error) {
  if (handle_ == nullptr && (handle_ = tjInitCompress()) == nullptr) {
    *error = std::string("TurboJPEG cannot start: ") + tjGetErrorStr2(nullptr);
    return false;
  }
  // Room for the worst case, so that the encoder never reallocates it.
  const unsigned long need =
      tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_420);
  if (need == static_cast<unsigned long>(-1) || need > INT_MAX) {
    *error = "a JPEG cannot hold " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  if (need > capacity_) {
    if (buffer_ != nullptr) tjFree(buffer_);
    capacity_ = 0;
    if ((buffer_ = tjAlloc(static_cast<int>(need))) == nullptr) {
      *error = "no memory to encode " + name;
      return false;
    }
    capacity_ = need;
  }
  unsigned long encoded = capacity_;
  if (tjCompress2(handle_, rgb, static_cast<int>(width), 0, static_cast<int>(height), TJPF_RGB,
                  &buffer_, &encoded, TJSAMP_420, quality_, TJFLAG_NOREALLOC) != 0) {
    *error = "cannot encode " + name + ": " + tjGetErrorStr2(handle_);
    return false;
  }
  *data = buffer_;
  *size = encoded;
  return true;
}

bool JpegWriter::Write(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
                       std::string* error) {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  if (!Encode(rgb, width, height, path, &data, &size, error)) return false;
  talon_support::AtomicFile file;
  // A file per frame, at frame rate: not flushed one by one.
  if (file.Create(path, nullptr) &&
      file.Write(std::string_view(reinterpret_cast<const char*>(data), size), nullptr) &&
      file.Commit(nullptr, talon_support::AtomicFile::Sync::kOnRename)) {
    return true;
  }
  *error = "cannot write " + path + ": " + std::strerror(file.error_number());
  return false;
}

}  // namespace talon_cam
