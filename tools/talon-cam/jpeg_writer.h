// JPEG files of developed pictures (--jpeg): 8-bit RGB encoded by
// libjpeg-turbo's TurboJPEG API (baseline, 4:2:0 chroma, the quality of
// --jpeg-quality) into memory kept between files, then written by one
// system call, replacing the file atomically (support/atomic_file.h), or
// kept in memory (the live view).
//
// Used by one thread at a time (the --jpeg output's); owns its TurboJPEG
// handle and its encoded-file memory; callers own the pictures they pass.

#ifndef TOOLS_TALON_CAM_JPEG_WRITER_H_
#define TOOLS_TALON_CAM_JPEG_WRITER_H_

#include <cstdint>
#include <string>

namespace talon_cam {

class JpegWriter {
 public:
  // The largest side a JPEG file may have (libjpeg's limit).
  static constexpr uint32_t kMaxSide = 65500;

  // `quality`: 1 to 100.
  explicit JpegWriter(int quality) : quality_(quality) {}
  ~JpegWriter();
  JpegWriter(const JpegWriter&) = delete;
  JpegWriter& operator=(const JpegWriter&) = delete;

  // Writes `width` x `height` RGB triplets, rows back to back, to `path`.
  // False with the reason in `error` ("cannot write f.jpg: No space left on
  // device"); `path` is then untouched.
  bool Write(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
             std::string* error);
  // Encodes the picture into memory of the writer's, valid until the next
  // call: `*data`, `*size` bytes. False with the reason in `error`, which
  // names the picture as `name`.
  bool Encode(const uint8_t* rgb, uint32_t width, uint32_t height, const std::string& name,
              const uint8_t** data, uint64_t* size, std::string* error);

 private:
  const int quality_;
  void* handle_ = nullptr;           // tjhandle, made by the first Write
  unsigned char* buffer_ = nullptr;  // tjAlloc'd room for the largest file so far
  unsigned long capacity_ = 0;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_JPEG_WRITER_H_
