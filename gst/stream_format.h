// What one capture stream becomes in GStreamer: the caps it is offered as
// (best first), what a negotiated caps means for it (output layout and the
// conversion, if any), and the conversion itself.
//
//   RAW8  (0x2A, 8 bits)   video/x-bayer <cfa>                      as captured
//   RAW10 (0x2B, 10 bits)  video/x-raw GRAY16_LE                    unpacked, scaled to
//                                                                   the full 16 bits
//                          video/x-bayer <cfa>10le                  unpacked, as captured
//                          video/x-bayer <cfa>                      the top 8 bits
//   RAW16 (0x2E, 16 bits)  video/x-raw GRAY16_LE, video/x-bayer <cfa>16le
//                                                                   as captured
//                          video/x-bayer <cfa>                      the top 8 bits
//   YUV422 8-bit (0x1E)    video/x-raw UYVY (width = components / 2) as captured
//   RGB888 (0x24)          video/x-raw BGR  (width = components / 3) as captured
//
// GRAY16_LE spans 0-65535 as GStreamer means it: RAW10's samples are
// scaled (bit replication, 1023 -> 65535); the captured values stay
// available as video/x-bayer <cfa>10le.
//
// The Bayer caps are offered only for an even width and height (whole
// 2x2 cells of the mosaic: a demosaicker such as bayer2rgb reads past an
// odd row or column); an odd-sized Bayer stream keeps GRAY16_LE and its
// pictures, which the ISP develops at any size (OddBayerProblem).
//
// Bayer streams (RAW8, RAW10, RAW16) are also offered as pictures, after
// their raw caps: video/x-raw BGRx, RGBx, RGB, I420, NV12 and GRAY8,
// developed by the software ISP (isp/isp.h) at its output size (half the
// stream's at half size). A format the picture's size cannot hold (NV12 and
// I420 at an odd width or height) is still offered, so that a pipeline that
// asks for it links and then fails negotiation with the ISP's reason
// (OutputFromCaps). Downstream that takes no video/x-bayer caps
// (videoconvert, an encoder, a display) is given a picture rather than
// GRAY16_LE's grey samples (PreferPictures).
//
// The CSI-2 byte orders: YUV 4:2:2 8-bit is sent U0 Y0 V0 Y1 (GStreamer's
// UYVY), RGB888 blue first (B G R, GStreamer's BGR). Any other data type,
// or a bit depth that does not match the data type, has no caps: the
// element refuses it at negotiation with the reason.
//
// Pure functions; callable from any thread.

#ifndef GST_STREAM_FORMAT_H_
#define GST_STREAM_FORMAT_H_

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>
#include <string>

#include "isp/isp.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

// The Bayer order of the sensor's mosaic (element property cfa).
enum class Cfa { kRggb = 0, kGrbg = 1, kGbrg = 2, kBggr = 3 };
const char* CfaName(Cfa cfa);

enum class Conversion {
  kNone,      // the payload's bytes (rows copied only to change the stride)
  kUnpack16,  // packed RAW10 to one 16-bit little-endian sample each
  kScale16,   // as kUnpack16, scaled to the full 16 bits (GRAY16_LE)
  kTop8,      // the top 8 bits of every sample
  kDevelop,   // a picture developed by the ISP (gst/picture_output.h)
};

// One negotiated output of a stream.
struct OutputFormat {
  Conversion conversion = Conversion::kNone;
  uint32_t width = 0;  // pixels
  uint32_t height = 0;
  uint64_t row_bytes = 0;  // bytes of one output row's pixels
  uint64_t stride = 0;     // the caps' own row stride
  bool raw_video = false;  // video/x-raw: a GstVideoMeta may carry another stride
  GstVideoFormat video_format = GST_VIDEO_FORMAT_UNKNOWN;
  // kDevelop: the picture's format; width and height are the picture's, its
  // planes lie as GstVideoInfo lays out video_format.
  talon_isp::PixelFormat picture = talon_isp::PixelFormat::kRgb;
};

// The caps the stream can be offered as, in order of preference, with
// framerate fps_n/fps_d (0/1: unknown); `half_size` halves the pictures'.
// Null with `error` set when the stream has none.
GstCaps* StreamCaps(const vireo::CaptureStreamConfig& stream, Cfa cfa, bool half_size, int fps_n,
                    int fps_d, std::string* error);

// For a Bayer stream of odd width or height (no video/x-bayer caps), why:
// "video/x-bayer needs an even width and height (whole 2x2 cells of the
// mosaic), not 641x480"; empty otherwise.
std::string OddBayerProblem(const vireo::CaptureStreamConfig& stream);

// The ISP's raw format of a Bayer stream; false for other streams.
bool RawFormatOf(const vireo::CaptureStreamConfig& stream, talon_isp::RawFormat* format);
talon_isp::Cfa IspCfa(Cfa cfa);

// Checks `settings` against a development of the Bayer stream into
// `picture`, as the ISP's CheckDevelop does, touching no pixel.
bool CheckPicture(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
                  talon_isp::PixelFormat picture, talon_isp::Error* error);

// Downstream's answer `caps` (taken) with the pictures first when it takes
// no video/x-bayer caps; otherwise as it is.
GstCaps* PreferPictures(GstCaps* caps);

// The output that fixed caps `caps` (one of StreamCaps) stands for.
bool OutputFromCaps(const vireo::CaptureStreamConfig& stream, const GstCaps* caps, bool half_size,
                    OutputFormat* format, std::string* error);

// Writes one frame's payload (rows `stride` bytes apart) into `out` in the
// output format, rows `out_stride` bytes apart; one pass over the data.
// Not for kDevelop.
void ConvertFrame(const vireo::CaptureStreamConfig& stream, const uint8_t* data, uint64_t stride,
                  const OutputFormat& format, uint8_t* out, uint64_t out_stride);

}  // namespace talon_gst

#endif  // GST_STREAM_FORMAT_H_
