#include "tools/talon-cam/dng_writer.h"

#include <sys/uio.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "support/atomic_file.h"
#include "support/csi2_unpack.h"

namespace talon_cam {
namespace {

// CFAPattern colours: 0 red, 1 green, 2 blue.
constexpr uint8_t kCfaColours[4][4] = {
    {0, 1, 1, 2},  // RGGB
    {1, 0, 2, 1},  // GRBG
    {1, 2, 0, 1},  // GBRG
    {2, 1, 1, 0},  // BGGR
};

// XYZ (D65) to linear sRGB: with it a developer shows the sensor's RGB as
// sRGB primaries.
constexpr float kXyzToSrgb[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                 0.0415f, 0.0557f,  -0.2040f, 1.0570f};
constexpr uint16_t kIlluminantD65 = 21;

// libtiff writes into memory through these procedures: its small pieces
// (header, tags, directory) are copied, and the strip, which it hands over
// from the caller's samples (TIFFWriteRawStrip), is only referred to.
// WriteOut then writes the whole file by one system call into the
// AtomicFile's descriptor, and keeps the errno of a failure for the report.
// libtiff's messages are collected instead of printed (its default handlers
// write to stderr).
struct TiffSink {
  const void* samples = nullptr;  // the strip that is referred to, not copied
  uint64_t samples_size = 0;
  std::string bytes;  // the file less the strip
  uint64_t strip_offset = 0;
  uint64_t strip_size = 0;  // 0 until libtiff wrote the strip
  uint64_t position = 0;
  int error_number = 0;  // of the failed system call
  std::string message;   // libtiff's first error message

  uint64_t size() const { return bytes.size() + strip_size; }
  // Where the file's bytes from `offset` on, `count` of them, lie in
  // `bytes`; false when they touch the strip.
  bool Owned(uint64_t offset, uint64_t count, uint64_t* index) const {
    if (strip_size == 0 || offset + count <= strip_offset) {
      *index = offset;
      return true;
    }
    if (offset < strip_offset + strip_size) return false;
    *index = offset - strip_size;
    return true;
  }
};

TiffSink* Sink(thandle_t handle) { return static_cast<TiffSink*>(handle); }

tmsize_t TiffRead(thandle_t handle, void* data, tmsize_t size) {
  TiffSink* sink = Sink(handle);
  uint64_t index = 0;
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size),
                                            sink->size() - std::min(sink->position, sink->size()));
  if (!sink->Owned(sink->position, count, &index)) return -1;
  std::memcpy(data, sink->bytes.data() + index, count);
  sink->position += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t TiffWrite(thandle_t handle, void* data, tmsize_t size) {
  TiffSink* sink = Sink(handle);
  const uint64_t count = static_cast<uint64_t>(size);
  if (data == sink->samples && count == sink->samples_size && sink->strip_size == 0 &&
      sink->position == sink->bytes.size()) {
    sink->strip_offset = sink->position;
    sink->strip_size = count;
    sink->position += count;
    return size;
  }
  uint64_t index = 0;
  if (!sink->Owned(sink->position, count, &index)) return -1;
  if (index + count > sink->bytes.size()) sink->bytes.resize(index + count);
  std::memcpy(sink->bytes.data() + index, data, count);
  sink->position += count;
  return size;
}

toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
  TiffSink* sink = Sink(handle);
  const uint64_t base = whence == SEEK_CUR ? sink->position : whence == SEEK_END ? sink->size() : 0;
  sink->position = base + offset;
  return sink->position;
}

int TiffClose(thandle_t) { return 0; }  // the AtomicFile closes the descriptor

toff_t TiffSize(thandle_t handle) { return Sink(handle)->size(); }

// Writes the file into `fd` by one system call (more only when the system
// takes part of it); false with the errno in sink.error_number.
bool WriteOut(TiffSink* sink, int fd) {
  iovec parts[3] = {
      {sink->bytes.data(), sink->strip_offset},
      {const_cast<void*>(sink->samples), sink->strip_size},
      {sink->bytes.data() + sink->strip_offset, sink->bytes.size() - sink->strip_offset}};
  if (sink->strip_size == 0) {
    parts[0].iov_len = sink->bytes.size();
    parts[2].iov_len = 0;
  }
  iovec* part = parts;
  int count = 3;
  while (count > 0) {
    if (part->iov_len == 0) {
      ++part;
      --count;
      continue;
    }
    const ssize_t n = writev(fd, part, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->error_number = n == 0 ? ENOSPC : errno;
      return false;
    }
    for (size_t done = static_cast<size_t>(n); done > 0;) {
      const size_t step = std::min(done, part->iov_len);
      part->iov_base = static_cast<char*>(part->iov_base) + step;
      part->iov_len -= step;
      done -= step;
      if (part->iov_len == 0 && count > 0) {
        ++part;
        --count;
      }
    }
  }
  return true;
}

int TiffMap(thandle_t, void**, toff_t*) { return 0; }  // no mapping: plain reads
void TiffUnmap(thandle_t, void*, toff_t) {}

int KeepTiffMessage(TIFF*, void* user_data, const char* module, const char* format, va_list args) {
  TiffSink* sink = static_cast<TiffSink*>(user_data);
  if (sink->message.empty()) {
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    sink->message = std::string(module != nullptr ? module : "libtiff") + ": " + text;
  }
  return 1;  // handled: libtiff's global handler stays silent
}

int DropTiffMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Sets the tags and writes the samples, one strip; false when libtiff
// refuses.
bool WriteImage(TIFF* tif, const DngImage& image, uint16_t* samples) {
  static const uint8_t kDngVersion[4] = {1, 4, 0, 0};
  static const uint8_t kDngBackwardVersion[4] = {1, 1, 0, 0};
  static const uint16_t kCfaRepeat[2] = {2, 2};
  static const float kNeutral[3] = {1.f, 1.f, 1.f};
  const float black[1] = {0.f};
  const uint32_t white[1] = {(1u << image.bits) - 1};
  char date_time[20] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) {
    strftime(date_time, sizeof(date_time), "%Y:%m:%d %H:%M:%S", &local);
  }
  bool ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0) &&
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, image.height) &&
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, 72.0) &&
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, 72.0) &&
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
            TIFFSetField(tif, TIFFTAG_MAKE, "talon") &&
            TIFFSetField(tif, TIFFTAG_MODEL, "talon-cam") &&
            TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "talon talon-cam") &&
            TIFFSetField(tif, TIFFTAG_SOFTWARE, "talon-cam") &&
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, image.description.c_str()) &&
            TIFFSetField(tif, TIFFTAG_DNGVERSION, kDngVersion) &&
            TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, kDngBackwardVersion) &&
            TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, kCfaRepeat) &&
            TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, kCfaColours[static_cast<int>(image.cfa)]) &&
            TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, black) &&
            TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, white) &&
            TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, kXyzToSrgb) &&
            TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, kIlluminantD65) &&
            TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral);
  if (ok && date_time[0] != '\0') ok = TIFFSetField(tif, TIFFTAG_DATETIME, date_time);
  // Raw, with no copy into libtiff's buffer: the file is in the host's
  // byte order ("w"), as the samples are.
  const tmsize_t size =
      static_cast<tmsize_t>(uint64_t{image.width} * image.height * sizeof(uint16_t));
  ok = ok && TIFFWriteRawStrip(tif, 0, samples, size) == size;
  return ok && TIFFWriteDirectory(tif) == 1;
}

}  // namespace

std::string RawBayerProblem(const vireo::CaptureStreamConfig& stream, const char* taker) {
  char data_type[16];
  std::snprintf(data_type, sizeof(data_type), "0x%X", static_cast<unsigned>(stream.data_type));
  if (stream.data_type < vireo::CSI2_RAW6 || stream.data_type > vireo::CSI2_RAW16) {
    // The CSI-2 data type ranges.
    const int dt = stream.data_type;
    const char* kind = dt >= 0x10 && dt <= 0x17   ? "embedded or generic data"
                       : dt >= 0x18 && dt <= 0x1F ? "YUV"
                       : dt >= 0x20 && dt <= 0x27 ? "RGB"
                       : dt >= 0x30 && dt <= 0x37 ? "user-defined data"
                                                  : "not a RAW data type";
    return std::string("stream ") + data_type + " (" + kind + ") is not raw Bayer (" + taker +
           " takes the RAW data types 0x28 to 0x2E)";
  }
  const uint32_t bits = stream.bits_per_component;
  if (bits != 8 && bits != 10 && bits != 16) {
    return std::string("stream ") + data_type + " has " + std::to_string(bits) +
           " bits per component (" + taker + " takes 8, 10 or 16)";
  }
  return "";
}

bool WriteDng(const std::string& path, const DngImage& image, std::string* error,
              SampleBuffer* samples) {
  if (image.width == 0 || image.height == 0) {
    *error = "no samples";
    return false;
  }
  SampleBuffer own;
  if (samples == nullptr) samples = &own;
  const uint64_t count = uint64_t{image.width} * image.height;
  uint16_t* unpacked = samples->Reserve(count);
  if (unpacked == nullptr) {
    *error = "no memory for " + std::to_string(count) + " samples";
    return false;
  }
  if (!talon_support::UnpackCsi2(image.data, image.stride, image.width, image.height, image.bits,
                                 unpacked)) {
    *error = "cannot unpack " + std::to_string(image.bits) + "-bit samples";
    return false;
  }
  talon_support::AtomicFile file;
  if (!file.Create(path, error)) return false;
  TiffSink sink;
  sink.samples = unpacked;
  sink.samples_size = count * sizeof(uint16_t);
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) {
    *error = "libtiff cannot allocate";
    return false;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, KeepTiffMessage, &sink);
  TIFFOpenOptionsSetWarningHandlerExtR(options, DropTiffMessage, nullptr);
  TIFF* tif = TIFFClientOpenExt(file.temporary_path().c_str(), "w", &sink, TiffRead, TiffWrite,
                                TiffSeek, TiffClose, TiffSize, TiffMap, TiffUnmap, options);
  TIFFOpenOptionsFree(options);
  bool written = tif != nullptr && WriteImage(tif, image, unpacked);
  if (tif != nullptr) TIFFClose(tif);  // writes nothing more after TIFFWriteDirectory
  written = written && sink.message.empty() && WriteOut(&sink, file.fd());
  if (!written) {
    // The system's reason where a write failed, else libtiff's own.
    *error = "cannot write " + path + ": " +
             (sink.error_number != 0 ? std::strerror(sink.error_number)
              : sink.message.empty() ? std::string("libtiff failed")
                                     : sink.message);
    return false;  // the temporary goes with `file`
  }
  return file.Commit(error, talon_support::AtomicFile::Sync::kOnRename);  // one per frame
}

}  // namespace talon_cam
