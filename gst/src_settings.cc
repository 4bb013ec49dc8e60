#include "gst/src_settings.h"

#include <algorithm>

#include "absl/strings/str_cat.h"
#include "gst/frame_rate.h"
#include "gst/stream_option.h"
#include "support/isp_text.h"
#include "support/options.h"
#include "system/capture/capture_types.h"

namespace talon_gst {
namespace {

constexpr uint32_t kUnknownRateWaitMs = 5000;
constexpr uint32_t kHostMarginMs = 500;
constexpr uint32_t kMaxTimeoutMs = 3600000;
// Below RAW16's full scale; each stream's own is checked at READY.
constexpr guint kMaxBlackLevel = 65534;
constexpr guint kMaxIspThreads = 16;

std::string_view Text(const GValue* value) {
  const char* text = g_value_get_string(value);
  return text != nullptr ? text : "";
}

// The default colour matrix as the property spells it.
const std::string& IdentityText() {
  static const std::string text = talon_support::ColorMatrixText(talon_isp::Settings().ccm);
  return text;
}

const char* StreamBlurb() {
  static const std::string text =
      absl::StrCat("The stream of the always pad src: ", StreamSyntaxText());
  return text.c_str();
}

// FrameWaitMs in words, from its own constants.
const char* TimeoutBlurb() {
  static const std::string text = absl::StrCat(
      "Milliseconds the capture waits for a frame (0: three frame periods and ", kHostMarginMs,
      " ms, of the period measured from the first two frames, else of framerate, or ",
      kUnknownRateWaitMs, " ms while the rate is unknown; set in NULL or READY)");
  return text.c_str();
}

}  // namespace

GType CfaEnumType() {
  static GType type = 0;
  static const GEnumValue kValues[] = {{static_cast<int>(Cfa::kRggb), "RGGB", "rggb"},
                                       {static_cast<int>(Cfa::kGrbg), "GRBG", "grbg"},
                                       {static_cast<int>(Cfa::kGbrg), "GBRG", "gbrg"},
                                       {static_cast<int>(Cfa::kBggr), "BGGR", "bggr"},
                                       {0, nullptr, nullptr}};
  if (g_once_init_enter(&type)) {
    g_once_init_leave(&type, g_enum_register_static("GstTalonSrcCfa", kValues));
  }
  return type;
}

GType GammaEnumType() {
  static GType type = 0;
  if (g_once_init_enter(&type)) {
    static const GEnumValue kValues[] = {
        {static_cast<int>(talon_isp::Transfer::kSrgb), "the sRGB curve",
         talon_support::TransferName(talon_isp::Transfer::kSrgb)},
        {static_cast<int>(talon_isp::Transfer::kLinear), "linear light",
         talon_support::TransferName(talon_isp::Transfer::kLinear)},
        {0, nullptr, nullptr}};
    g_once_init_leave(&type, g_enum_register_static("GstTalonSrcGamma", kValues));
  }
  return type;
}

void InstallSettings(GObjectClass* klass) {
  const GParamFlags flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      klass, kPropStream,
      g_param_spec_string("stream", "Stream", StreamBlurb(), DefaultStreamText().c_str(), flags));
  g_object_class_install_property(
      klass, kPropMipiRx,
      g_param_spec_int("mipi-rx", "MIPI receiver",
                       "The IPU's MIPI receiver of every stream (set in NULL or READY)", 0,
                       talon_support::kMipiReceivers - 1, 0, flags));
  g_object_class_install_property(
      klass, kPropVirtualChannel,
      g_param_spec_uint("virtual-channel", "Virtual channel",
                        "The MIPI CSI-2 virtual channel of the streams (set in NULL or "
                        "READY)",
                        0, vireo::kMaxVirtualChannel, 0, flags));
  g_object_class_install_property(
      klass, kPropTimeoutMs,
      g_param_spec_uint("timeout-ms", "Timeout", TimeoutBlurb(), 0, kMaxTimeoutMs, 0, flags));
  g_object_class_install_property(
      klass, kPropBuffers,
      g_param_spec_uint("buffers", "Buffers",
                        "Frame buffers in flight, shared by the capture and downstream (made "
                        "more when downstream holds them; set in NULL or READY)",
                        2, kMaxFrameBuffers, 4, flags));
  g_object_class_install_property(
      klass, kPropCfa,
      g_param_spec_enum("cfa", "Colour filter array",
                        "The sensor's Bayer order: RGGB, GRBG, GBRG or BGGR (or in lower "
                        "case), for video/x-bayer caps and the developed pictures (set in NULL "
                        "or READY)",
                        CfaEnumType(), static_cast<int>(Cfa::kRggb), flags));
  g_object_class_install_property(
      klass, kPropMaxErrors,
      g_param_spec_uint("max-errors", "Max errors",
                        "Failed frames in a row that end the stream with an error and EOS (0: "
                        "never); failed frames are dropped, warned of once a second",
                        0, G_MAXUINT, kDefaultMaxErrors, flags));
  g_object_class_install_property(
      klass, kPropNumBuffers,
      g_param_spec_int("num-buffers", "Number of buffers",
                       "Frames to push before EOS (-1: unlimited, 0: EOS at once)", -1, G_MAXINT,
                       -1, flags));
  g_object_class_install_property(
      klass, kPropFramerate,
      gst_param_spec_fraction("framerate", "Frame rate",
                              "The sensor's frame rate for the caps (0/1: any rate downstream "
                              "fixates; gaps follow the rate measured from the first two frames; "
                              "set in NULL or READY)",
                              0, 1, G_MAXINT, 1, 0, 1, flags));
  // The developed pictures (video/x-raw BGRx, RGBx, RGB, I420, NV12, GRAY8
  // of Bayer streams).
  g_object_class_install_property(
      klass, kPropBlackLevel,
      g_param_spec_uint("black-level", "Black level",
                        "Subtracted from every sample before a picture is developed, in the "
                        "units of each Bayer stream's samples (below its full scale: 255 RAW8, "
                        "1023 RAW10, 65535 RAW16, checked at READY)",
                        0, kMaxBlackLevel, 0, flags));
  g_object_class_install_property(
      klass, kPropWhiteBalance,
      g_param_spec_string("white-balance", "White balance",
                          "The pictures' white balance: \"auto\" (grey world, smoothed across "
                          "each stream's frames) or gains \"R,G,B\", each positive and finite "
                          "(e.g. \"1.9,1,1.6\")",
                          "auto", flags));
  g_object_class_install_property(
      klass, kPropColorMatrix,
      g_param_spec_string("color-matrix", "Colour matrix",
                          "Camera RGB (white balanced) to linear sRGB for the pictures: nine "
                          "finite numbers \"m00,m01,...,m22\", row major (default the "
                          "identity)",
                          IdentityText().c_str(), flags));
  g_object_class_install_property(
      klass, kPropGamma,
      g_param_spec_enum("gamma", "Gamma", "The pictures' transfer: srgb (the sRGB curve) or linear",
                        GammaEnumType(), static_cast<int>(talon_isp::Transfer::kSrgb), flags));
  g_object_class_install_property(
      klass, kPropHalfSize,
      g_param_spec_boolean("half-size", "Half size",
                           "Pictures 2x2-binned: half the stream's width and height (rounded "
                           "down); the raw caps keep the stream's size",
                           FALSE, flags));
  g_object_class_install_property(
      klass, kPropIspThreads,
      g_param_spec_uint("isp-threads", "ISP threads",
                        "Threads that develop each picture of a pad, the streaming thread "
                        "included (0: the ISP chooses from the picture's size and the CPUs)",
                        0, kMaxIspThreads, 0, flags));
}

bool SetSetting(Settings* s, guint id, const GValue* value, std::string* refused) {
  switch (id) {
    case kPropMipiRx:
      s->mipi_rx = g_value_get_int(value);
      return true;
    case kPropVirtualChannel:
      s->virtual_channel = g_value_get_uint(value);
      return true;
    case kPropTimeoutMs:
      s->timeout_ms = g_value_get_uint(value);
      return true;
    case kPropBuffers:
      s->buffers = g_value_get_uint(value);
      return true;
    case kPropCfa:
      s->cfa = static_cast<Cfa>(g_value_get_enum(value));
      return true;
    case kPropMaxErrors:
      s->max_errors = g_value_get_uint(value);
      return true;
    case kPropNumBuffers:
      s->num_buffers = g_value_get_int(value);
      return true;
    case kPropFramerate:
      s->fps_n = gst_value_get_fraction_numerator(value);
      s->fps_d = gst_value_get_fraction_denominator(value);
      return true;
    case kPropBlackLevel:
      s->isp.black_level = g_value_get_uint(value);
      return true;
    case kPropWhiteBalance: {
      talon_isp::Settings isp = s->isp;
      *refused = talon_support::ParseWhiteBalance(Text(value), &isp);
      if (refused->empty()) s->isp = isp;
      return true;
    }
    case kPropColorMatrix: {
      std::array<float, 9> matrix;
      *refused = talon_support::ParseColorMatrix(Text(value), &matrix);
      if (refused->empty()) s->isp.ccm = matrix;
      return true;
    }
    case kPropGamma:
      s->isp.transfer = static_cast<talon_isp::Transfer>(g_value_get_enum(value));
      return true;
    case kPropHalfSize:
      s->isp.half_size = g_value_get_boolean(value);
      return true;
    case kPropIspThreads:
      s->isp_threads = g_value_get_uint(value);
      return true;
    default:
      return false;
  }
}

bool GetSetting(const Settings& s, guint id, GValue* value) {
  switch (id) {
    case kPropMipiRx:
      g_value_set_int(value, s.mipi_rx);
      return true;
    case kPropVirtualChannel:
      g_value_set_uint(value, s.virtual_channel);
      return true;
    case kPropTimeoutMs:
      g_value_set_uint(value, s.timeout_ms);
      return true;
    case kPropBuffers:
      g_value_set_uint(value, s.buffers);
      return true;
    case kPropCfa:
      g_value_set_enum(value, static_cast<int>(s.cfa));
      return true;
    case kPropMaxErrors:
      g_value_set_uint(value, s.max_errors);
      return true;
    case kPropNumBuffers:
      g_value_set_int(value, s.num_buffers);
      return true;
    case kPropFramerate:
      gst_value_set_fraction(value, s.fps_n, s.fps_d);
      return true;
    case kPropBlackLevel:
      g_value_set_uint(value, s.isp.black_level);
      return true;
    case kPropWhiteBalance:
      g_value_set_string(value, talon_support::WhiteBalanceText(s.isp).c_str());
      return true;
    case kPropColorMatrix:
      g_value_set_string(value, talon_support::ColorMatrixText(s.isp.ccm).c_str());
      return true;
    case kPropGamma:
      g_value_set_enum(value, static_cast<int>(s.isp.transfer));
      return true;
    case kPropHalfSize:
      g_value_set_boolean(value, s.isp.half_size);
      return true;
    case kPropIspThreads:
      g_value_set_uint(value, s.isp_threads);
      return true;
    default:
      return false;
  }
}

talon_isp::Settings IspSettings(const Settings& s) {
  talon_isp::Settings isp = s.isp;
  isp.cfa = IspCfa(s.cfa);
  return isp;
}

bool CheckIspSettings(const Settings& s, const vireo::CaptureStreamConfig& stream,
                      std::string* error) {
  talon_isp::RawFormat format;
  if (!RawFormatOf(stream, &format)) return true;
  talon_isp::Error problem;
  if (CheckPicture(stream, IspSettings(s), talon_isp::PixelFormat::kRgb, &problem)) return true;
  static const struct {
    const char* argument;  // the ISP's name
    const char* property;
  } kProperties[] = {{"cfa", "cfa"},
                     {"black_level", "black-level"},
                     {"wb_gains", "white-balance"},
                     {"ccm", "color-matrix"},
                     {"transfer", "gamma"}};
  for (const auto& entry : kProperties) {
    if (problem.argument == entry.argument) {
      *error = absl::StrCat(entry.property, " ", problem.reason);
      return false;
    }
  }
  return true;
}

std::string OpenedSettingsKey(const Settings& s) {
  return absl::StrCat(s.mipi_rx, " ", s.virtual_channel, " ", s.timeout_ms, " ", s.buffers, " ",
                      s.fps_n, "/", s.fps_d);
}

bool RefusedAfterReady(GstElement* element, const char* what) {
  GST_OBJECT_LOCK(element);
  const GstState state = GST_STATE(element);
  GST_OBJECT_UNLOCK(element);
  if (state <= GST_STATE_READY) return false;
  GST_ELEMENT_WARNING(element, CORE, STATE_CHANGE,
                      ("%s is set in NULL or READY, not in %s: the value stays", what,
                       gst_element_state_get_name(state)),
                      (nullptr));
  return true;
}

uint32_t FrameWaitMs(const Settings& s, int64_t measured_period_ns) {
  if (s.timeout_ms != 0) return s.timeout_ms;
  const int64_t period_ns =
      measured_period_ns >= kMinPeriodNs ? measured_period_ns : PeriodOfFraction(s.fps_n, s.fps_d);
  if (period_ns <= 0) return kUnknownRateWaitMs;
  return static_cast<uint32_t>(
      std::min<int64_t>(3 * period_ns / 1000000 + kHostMarginMs, kMaxTimeoutMs));
}

}  // namespace talon_gst
