#include "gst/stream_format.h"

#include <cstring>

#include "absl/strings/str_cat.h"
#include "support/csi2_unpack.h"

namespace talon_gst {
namespace {

struct Layout {
  uint32_t bits;               // the bits per component the data type carries
  uint32_t components_per_px;  // 1 for Bayer data, 2 for YUV 4:2:2, 3 for RGB888
  const char* name;
};

bool LayoutOf(vireo::MipiDataTypeCsi2 data_type, Layout* layout) {
  switch (data_type) {
    case vireo::CSI2_RAW8:
      *layout = {8, 1, "RAW8"};
      return true;
    case vireo::CSI2_RAW10:
      *layout = {10, 1, "RAW10"};
      return true;
    case vireo::CSI2_RAW16:
      *layout = {16, 1, "RAW16"};
      return true;
    case vireo::CSI2_YUV422_8BIT:
      *layout = {8, 2, "YUV422 8-bit"};
      return true;
    case vireo::CSI2_RGB888:
      *layout = {8, 3, "RGB888"};
      return true;
    default:
      return false;
  }
}

std::string DataTypeText(int32_t data_type) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(data_type));
  return hex;
}

GstStructure* Bayer(const char* format, uint32_t width, uint32_t height) {
  return gst_structure_new("video/x-bayer", "format", G_TYPE_STRING, format, "width", G_TYPE_INT,
                           static_cast<int>(width), "height", G_TYPE_INT, static_cast<int>(height),
                           nullptr);
}

GstStructure* Raw(GstVideoFormat format, uint32_t width, uint32_t height) {
  return gst_structure_new(
      "video/x-raw", "format", G_TYPE_STRING, gst_video_format_to_string(format), "width",
      G_TYPE_INT, static_cast<int>(width), "height", G_TYPE_INT, static_cast<int>(height), nullptr);
}

// The pictures of a Bayer stream, in order of preference: the 32-bit RGB
// layouts first (what displays take without conversion), then what encoders
// take, then grey.
constexpr struct {
  GstVideoFormat video;
  talon_isp::PixelFormat isp;
} kPictures[] = {
    {GST_VIDEO_FORMAT_BGRx, talon_isp::PixelFormat::kBgrx},
    {GST_VIDEO_FORMAT_RGBx, talon_isp::PixelFormat::kRgbx},
    {GST_VIDEO_FORMAT_RGB, talon_isp::PixelFormat::kRgb},
    {GST_VIDEO_FORMAT_I420, talon_isp::PixelFormat::kI420},
    {GST_VIDEO_FORMAT_NV12, talon_isp::PixelFormat::kNv12},
    {GST_VIDEO_FORMAT_GRAY8, talon_isp::PixelFormat::kGray8},
};

bool PictureOf(GstVideoFormat video, talon_isp::PixelFormat* isp) {
  for (const auto& picture : kPictures) {
    if (picture.video == video) {
      *isp = picture.isp;
      return true;
    }
  }
  return false;
}

GstStructure* Picture(GstVideoFormat format, uint32_t width, uint32_t height) {
  GstStructure* s = Raw(format, width, height);
  // The ISP's Y'CbCr is BT.601 limited range (GStreamer's default for HD
  // sizes would be BT.709).
  if (format == GST_VIDEO_FORMAT_I420 || format == GST_VIDEO_FORMAT_NV12) {
    gst_structure_set(s, "colorimetry", G_TYPE_STRING, "bt601", nullptr);
  }
  return s;
}

// The ISP's problem as one phrase: its reason alone where it names the
// output itself ("NV12 needs an even width and height, ..."), else after
// the argument's name.
std::string Phrase(const talon_isp::Error& error) {
  return error.argument == "out" ? error.reason : absl::StrCat(error.argument, " ", error.reason);
}

// Rows of 8-bit Bayer and of the 16-bit formats at 4-byte alignment, as
// GstVideoInfo lays out video/x-raw and as bayer2rgb reads its input.
uint64_t AlignedStride(uint64_t row_bytes) { return (row_bytes + 3) & ~uint64_t{3}; }

// 10-bit samples to 16 bits in place, sixteen at a time in the compiler's
// portable vectors (one AVX2 register where the CPU has it, else two SSE2
// or NEON ones), the rest one by one. The AVX2 copy is chosen at run time
// by hand rather than through an ifunc: a resolver runs before the
// sanitizers' runtimes are up and crashes an instrumented binary.
inline __attribute__((always_inline)) void ScaleRaw10Body(uint16_t* samples, uint32_t count) {
  typedef uint16_t Lanes __attribute__((vector_size(32)));
  uint32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    Lanes v;
    memcpy(&v, samples + i, sizeof v);
    v = (v << 6) | (v >> 4);
    memcpy(samples + i, &v, sizeof v);
  }
  for (; i < count; ++i) {
    samples[i] = static_cast<uint16_t>(samples[i] << 6 | samples[i] >> 4);
  }
}

void ScaleRaw10Portable(uint16_t* samples, uint32_t count) { ScaleRaw10Body(samples, count); }

#if defined(__x86_64__)
__attribute__((target("avx2"))) void ScaleRaw10Avx2(uint16_t* samples, uint32_t count) {
  ScaleRaw10Body(samples, count);
}
#endif

void ScaleRaw10(uint16_t* samples, uint32_t count) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return ScaleRaw10Avx2(samples, count);
#endif
  ScaleRaw10Portable(samples, count);
}

}  // namespace

const char* CfaName(Cfa cfa) {
  static const char* const kNames[] = {"rggb", "grbg", "gbrg", "bggr"};
  return kNames[static_cast<int>(cfa)];
}

std::string OddBayerProblem(const vireo::CaptureStreamConfig& stream) {
  talon_isp::RawFormat unused;
  if (!RawFormatOf(stream, &unused) || (stream.width % 2 == 0 && stream.height % 2 == 0)) {
    return "";
  }
  return absl::StrCat(
      "video/x-bayer needs an even width and height (whole 2x2 cells of the "
      "mosaic), not ",
      stream.width, "x", stream.height);
}

bool RawFormatOf(const vireo::CaptureStreamConfig& stream, talon_isp::RawFormat* format) {
  Layout layout;
  if (!LayoutOf(stream.data_type, &layout) || stream.bits_per_component != layout.bits) {
    return false;
  }
  switch (stream.data_type) {
    case vireo::CSI2_RAW8:
      *format = talon_isp::RawFormat::kRaw8;
      return true;
    case vireo::CSI2_RAW10:
      *format = talon_isp::RawFormat::kRaw10;
      return true;
    case vireo::CSI2_RAW16:
      *format = talon_isp::RawFormat::kRaw16;
      return true;
    default:
      return false;
  }
}

talon_isp::Cfa IspCfa(Cfa cfa) {
  switch (cfa) {
    case Cfa::kGrbg:
      return talon_isp::Cfa::kGrbg;
    case Cfa::kGbrg:
      return talon_isp::Cfa::kGbrg;
    case Cfa::kBggr:
      return talon_isp::Cfa::kBggr;
    default:
      return talon_isp::Cfa::kRggb;
  }
}

bool CheckPicture(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
                  talon_isp::PixelFormat picture, talon_isp::Error* error) {
  talon_isp::RawImage raw;
  if (!RawFormatOf(stream, &raw.format)) {
    *error = {"stream", "is no Bayer stream (RAW8, RAW10 or RAW16)"};
    return false;
  }
  // Checked, never read: any address will do.
  static uint8_t no_pixel = 0;
  raw.data = &no_pixel;
  raw.stride = talon_support::PayloadRowBytes(stream.width, stream.bits_per_component);
  raw.width = stream.width;
  raw.height = stream.height;
  talon_isp::Image out;
  out.format = picture;
  talon_isp::OutputSize(stream.width, stream.height, settings.half_size, &out.width, &out.height);
  out.strides = talon_isp::PlaneStrides(picture, out.width);
  for (size_t i = 0; i < out.planes.size(); ++i) {
    if (out.strides[i] != 0) out.planes[i] = &no_pixel;
  }
  return talon_isp::CheckDevelop(raw, settings, out, error);
}

GstCaps* PreferPictures(GstCaps* caps) {
  GstCaps* pictures = gst_caps_new_empty();
  GstCaps* rest = gst_caps_new_empty();
  bool bayer = false;
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    const GstStructure* s = gst_caps_get_structure(caps, i);
    bayer |= gst_structure_has_name(s, "video/x-bayer");
    const char* name = gst_structure_get_string(s, "format");
    talon_isp::PixelFormat unused;
    const bool picture = gst_structure_has_name(s, "video/x-raw") && name != nullptr &&
                         PictureOf(gst_video_format_from_string(name), &unused);
    gst_caps_append(picture ? pictures : rest, gst_caps_copy_nth(caps, i));
  }
  if (bayer || gst_caps_is_empty(pictures)) {
    gst_caps_unref(pictures);
    gst_caps_unref(rest);
    return caps;
  }
  gst_caps_unref(caps);
  gst_caps_append(pictures, rest);
  return pictures;
}

GstCaps* StreamCaps(const vireo::CaptureStreamConfig& stream, Cfa cfa, bool half_size, int fps_n,
                    int fps_d, std::string* error) {
  Layout layout;
  if (!LayoutOf(stream.data_type, &layout)) {
    *error = absl::StrCat("data type ", DataTypeText(stream.data_type),
                          " has no GStreamer caps (RAW8 0x2A, RAW10 0x2B, RAW16 0x2E, "
                          "YUV422 8-bit 0x1E and RGB888 0x24 have)");
    return nullptr;
  }
  if (stream.bits_per_component != layout.bits) {
    *error =
        absl::StrCat("data type ", DataTypeText(stream.data_type), " (", layout.name, ") carries ",
                     layout.bits, " bits per component, not ", stream.bits_per_component);
    return nullptr;
  }
  const uint32_t group = layout.components_per_px == 2 ? 4 : layout.components_per_px;
  if (stream.width % group != 0 || stream.width == 0 || stream.height == 0) {
    *error =
        absl::StrCat("data type ", DataTypeText(stream.data_type), " (", layout.name,
                     ") needs a width that is a non-zero multiple of ", group,
                     " components and a non-zero height, not ", stream.width, "x", stream.height);
    return nullptr;
  }
  const uint32_t width = stream.width / layout.components_per_px;
  const uint32_t height = stream.height;
  const std::string cfa_name = CfaName(cfa);
  const bool mosaic = OddBayerProblem(stream).empty();
  GstCaps* caps = gst_caps_new_empty();
  switch (stream.data_type) {
    case vireo::CSI2_RAW8:
      if (mosaic) gst_caps_append_structure(caps, Bayer(cfa_name.c_str(), width, height));
      break;
    case vireo::CSI2_RAW10:
    case vireo::CSI2_RAW16: {
      const std::string wide = cfa_name + (stream.data_type == vireo::CSI2_RAW10 ? "10le" : "16le");
      gst_caps_append_structure(caps, Raw(GST_VIDEO_FORMAT_GRAY16_LE, width, height));
      if (mosaic) {
        gst_caps_append_structure(caps, Bayer(wide.c_str(), width, height));
        gst_caps_append_structure(caps, Bayer(cfa_name.c_str(), width, height));
      }
      break;
    }
    case vireo::CSI2_YUV422_8BIT:
      gst_caps_append_structure(caps, Raw(GST_VIDEO_FORMAT_UYVY, width, height));
      break;
    default:  // CSI2_RGB888
      gst_caps_append_structure(caps, Raw(GST_VIDEO_FORMAT_BGR, width, height));
      break;
  }
  talon_isp::RawFormat raw_format;
  if (RawFormatOf(stream, &raw_format)) {
    uint32_t picture_width = 0, picture_height = 0;
    talon_isp::OutputSize(width, height, half_size, &picture_width, &picture_height);
    for (const auto& picture : kPictures) {
      if (picture_width == 0 || picture_height == 0) break;
      gst_caps_append_structure(caps, Picture(picture.video, picture_width, picture_height));
    }
  }
  gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, fps_n, fps_d, nullptr);
  return caps;
}

bool OutputFromCaps(const vireo::CaptureStreamConfig& stream, const GstCaps* caps, bool half_size,
                    OutputFormat* format, std::string* error) {
  Layout layout;
  if (!LayoutOf(stream.data_type, &layout) || gst_caps_get_size(caps) != 1) {
    *error = "caps not offered by this stream";
    return false;
  }
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const char* name = gst_structure_get_string(s, "format");
  if (name == nullptr) {
    *error = "caps without a format";
    return false;
  }
  OutputFormat out;
  out.width = stream.width / layout.components_per_px;
  out.height = stream.height;
  uint32_t bytes_per_px = 0;
  if (gst_structure_has_name(s, "video/x-raw")) {
    out.raw_video = true;
    out.video_format = gst_video_format_from_string(name);
    switch (out.video_format) {
      case GST_VIDEO_FORMAT_GRAY16_LE:
        bytes_per_px = 2;
        out.conversion =
            stream.data_type == vireo::CSI2_RAW10 ? Conversion::kScale16 : Conversion::kNone;
        break;
      case GST_VIDEO_FORMAT_UYVY:
        bytes_per_px = 2;
        break;
      case GST_VIDEO_FORMAT_BGR:
        bytes_per_px = 3;
        break;
      default: {
        talon_isp::Settings settings;
        settings.half_size = half_size;
        talon_isp::Error problem;
        if (!PictureOf(out.video_format, &out.picture)) {
          *error = absl::StrCat("format ", name, " not offered by this stream");
          return false;
        }
        if (!CheckPicture(stream, settings, out.picture, &problem)) {
          *error = Phrase(problem);
          return false;
        }
        talon_isp::OutputSize(stream.width, stream.height, half_size, &out.width, &out.height);
        GstVideoInfo info;
        gst_video_info_set_format(&info, out.video_format, out.width, out.height);
        out.conversion = Conversion::kDevelop;
        out.row_bytes = uint64_t{out.width} * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
        out.stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
        *format = out;
        return true;
      }
    }
  } else {
    const std::string odd = OddBayerProblem(stream);
    if (!odd.empty()) {
      *error = odd;
      return false;
    }
    const size_t length = strlen(name);
    bytes_per_px = length == 4 ? 1 : 2;
    if (bytes_per_px == 1) {
      out.conversion = stream.bits_per_component == 8 ? Conversion::kNone : Conversion::kTop8;
    } else {
      out.conversion =
          stream.data_type == vireo::CSI2_RAW10 ? Conversion::kUnpack16 : Conversion::kNone;
    }
  }
  out.row_bytes = uint64_t{out.width} * bytes_per_px;
  out.stride = AlignedStride(out.row_bytes);
  *format = out;
  return true;
}

void ConvertFrame(const vireo::CaptureStreamConfig& stream, const uint8_t* data, uint64_t stride,
                  const OutputFormat& format, uint8_t* out, uint64_t out_stride) {
  // The whole plane in one call (the unpacker's vector kernels), rows kept
  // apart by the output's own stride; samples are little-endian like the
  // host's.
  switch (format.conversion) {
    case Conversion::kNone:
      for (uint32_t y = 0; y < format.height; ++y) {
        memcpy(out + y * out_stride, data + y * stride, format.row_bytes);
      }
      break;
    case Conversion::kUnpack16:
      talon_support::UnpackCsi2(data, stride, format.width, format.height,
                                stream.bits_per_component, reinterpret_cast<uint16_t*>(out),
                                out_stride);
      break;
    case Conversion::kScale16:
      // RAW10 row by row, each scaled while it is in the cache: 10 bits to
      // 16 by bit replication (0 -> 0, 1023 -> 65535), as GRAY16_LE spans.
      for (uint32_t y = 0; y < format.height; ++y) {
        uint16_t* row = reinterpret_cast<uint16_t*>(out + y * out_stride);
        talon_support::UnpackCsi2(data + y * stride, stride, format.width, 1,
                                  stream.bits_per_component, row, out_stride);
        ScaleRaw10(row, format.width);
      }
      break;
    case Conversion::kTop8:
      talon_support::UnpackCsi2To8(data, stride, format.width, format.height,
                                   stream.bits_per_component, out, out_stride);
      break;
    case Conversion::kDevelop:  // the ISP's (gst/picture_output.h)
      break;
  }
}

}  // namespace talon_gst
