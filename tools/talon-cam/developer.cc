#include "tools/talon-cam/developer.h"

#include <cstdio>
#include <new>

#include "support/csi2_unpack.h"
#include "tools/talon-cam/dng_writer.h"

namespace talon_cam {
namespace {

talon_isp::RawFormat RawFormatOf(const vireo::CaptureStreamConfig& stream) {
  return stream.bits_per_component == 8    ? talon_isp::RawFormat::kRaw8
         : stream.bits_per_component == 10 ? talon_isp::RawFormat::kRaw10
                                           : talon_isp::RawFormat::kRaw16;
}

// The ISP's check of `settings` against a frame of `stream`, on stand-in
// buffers: no pixel is touched.
bool Check(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
           talon_isp::Error* error) {
  uint8_t stand_in = 0;
  const uint32_t bits = stream.bits_per_component;
  const talon_isp::RawImage raw{&stand_in, talon_support::PayloadRowBytes(stream.width, bits),
                                stream.width, stream.height, RawFormatOf(stream)};
  talon_isp::Image out;
  out.format = talon_isp::PixelFormat::kRgb;
  talon_isp::OutputSize(stream.width, stream.height, settings.half_size, &out.width, &out.height);
  out.planes[0] = &stand_in;
  out.strides[0] = talon_isp::PlaneStrides(out.format, out.width)[0];
  return talon_isp::CheckDevelop(raw, settings, out, error);
}

}  // namespace

std::string DevelopProblem(const vireo::CaptureStreamConfig& stream,
                           const talon_isp::Settings& settings, const char* output) {
  const std::string problem = RawBayerProblem(stream, output);
  if (!problem.empty()) return std::string(output) + ": " + problem;
  char name[48];
  std::snprintf(name, sizeof(name), "stream 0x%X", static_cast<unsigned>(stream.data_type));
  talon_isp::Error error;
  if (Check(stream, settings, &error)) return "";
  if (error.argument == "black_level") {
    const uint32_t white = (1u << stream.bits_per_component) - 1;
    return "--black-level: " + std::to_string(settings.black_level) +
           " is not below the white level of " + name + ", " + std::to_string(white) + " for " +
           std::to_string(stream.bits_per_component) + "-bit samples";
  }
  // The options parse the other settings into what the ISP takes; what is
  // left is the stream's size (the picture of --half-size included).
  const char* option = error.argument == "cfa"        ? "--cfa"
                       : error.argument == "wb_gains" ? "--white-balance"
                       : error.argument == "ccm"      ? "--color-matrix"
                       : error.argument == "out"      ? "--half-size"
                                                      : "--stream";
  return std::string(option) + ": " + name + " cannot be developed: " + error.argument + " " +
         error.reason;
}

StreamDeveloper::StreamDeveloper(const vireo::CaptureStreamConfig& stream,
                                 const talon_isp::Settings& settings, int threads)
    : stream_(stream), settings_(settings), isp_(threads) {
  talon_isp::OutputSize(stream.width, stream.height, settings.half_size, &width_, &height_);
}

bool StreamDeveloper::Develop(const void* data, uint64_t stride, std::vector<uint8_t>* rgb,
                              std::string* error) {
  const uint64_t row = talon_isp::PlaneStrides(talon_isp::PixelFormat::kRgb, width_)[0];
  try {
    rgb->resize(row * height_);
  } catch (const std::bad_alloc&) {
    *error = "no memory for a picture of " + std::to_string(width_) + "x" + std::to_string(height_);
    return false;
  }
  const talon_isp::RawImage raw{data, stride, stream_.width, stream_.height, RawFormatOf(stream_)};
  const talon_isp::Image out{talon_isp::PixelFormat::kRgb, width_, height_, {rgb->data()}, {row}};
  talon_isp::Error isp_error;
  if (isp_.Develop(raw, settings_, out, nullptr, &isp_error)) return true;
  char name[16];
  std::snprintf(name, sizeof(name), "0x%X", static_cast<unsigned>(stream_.data_type));
  *error = std::string("cannot develop stream ") + name + ": " + isp_error.argument + " " +
           isp_error.reason;
  return false;
}

}  // namespace talon_cam
