// talonsrc's element properties: the settings they hold, their param specs
// (ranges equal to what is accepted), when each may be set, and the wait
// the capture service is given. The ISP's settings of the pictures
// (black-level, white-balance, color-matrix, gamma, half-size, and cfa)
// are spelt as support/isp_text.h spells them; bad text is refused with a
// g_warning naming what is allowed, and the value stays; isp-threads sets
// the ISP's threads per pad. `stream` lives on the pads
// (gst/talon_src_pad.h); the element forwards its own to the pad `src`.
//
// Settings is a plain value, copied under the element's mutex; the
// functions are pure and callable from any thread.

#ifndef GST_SRC_SETTINGS_H_
#define GST_SRC_SETTINGS_H_

#include <gst/gst.h>

#include <cstdint>
#include <string>

#include "gst/error_policy.h"
#include "gst/stream_format.h"
#include "isp/isp.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

enum SettingId : guint {
  kPropStream = 1,
  kPropMipiRx,
  kPropVirtualChannel,
  kPropTimeoutMs,
  kPropBuffers,
  kPropCfa,
  kPropMaxErrors,
  kPropNumBuffers,
  kPropFramerate,
  kPropBlackLevel,
  kPropWhiteBalance,
  kPropColorMatrix,
  kPropGamma,
  kPropHalfSize,
  kPropIspThreads,
};

constexpr uint32_t kMaxFrameBuffers = 32;

struct Settings {
  int mipi_rx = 0;
  guint virtual_channel = 0;
  guint timeout_ms = 0;  // 0: from the frame rate (FrameWaitMs)
  guint buffers = 4;
  Cfa cfa = Cfa::kRggb;
  guint max_errors = kDefaultMaxErrors;
  int num_buffers = -1;
  int fps_n = 0;  // 0/1: any rate downstream fixates
  int fps_d = 1;
  // The pictures' development; its cfa is unused (IspSettings takes `cfa`).
  talon_isp::Settings isp;
  guint isp_threads = 0;  // per pad; 0: the ISP chooses
};

// Installs every property of the element on `klass`.
void InstallSettings(GObjectClass* klass);
GType CfaEnumType();
GType GammaEnumType();

// The property `id` from or into `settings`; false for an id not here
// (kPropStream included). Text the property does not take leaves
// `settings` as it is, with what is allowed in `refused`.
bool SetSetting(Settings* settings, guint id, const GValue* value, std::string* refused);
bool GetSetting(const Settings& settings, guint id, GValue* value);

// Properties are read at NULL→READY or READY→PAUSED (a change in READY
// makes the service again): later a value would be ignored. True, with a
// warning naming `what`, when `element` is past READY and the value must
// stay. Any thread.
bool RefusedAfterReady(GstElement* element, const char* what);

// The ISP's settings of the pictures, `cfa` included.
talon_isp::Settings IspSettings(const Settings& settings);

// Checks the ISP's settings against a Bayer stream (true for other
// streams): false with the reason naming the property, e.g. "black-level
// must be below white_level (1023), not 1023". Sizes the pictures cannot
// take only leave those pictures out of the caps (gst/stream_format.h).
bool CheckIspSettings(const Settings& settings, const vireo::CaptureStreamConfig& stream,
                      std::string* error);

// The settings the capture service is made from, as text to compare.
std::string OpenedSettingsKey(const Settings& settings);

// The wait for a frame: timeout-ms, or when 0 three periods and 500 ms for
// the host, of the measured period (`measured_period_ns`, 0 while unknown)
// or else of framerate, or 5000 ms (two periods of a 0.5 fps sensor, with
// that room) while the rate is unknown. The capture service is made with
// FrameWaitMs(settings, 0); the element waits for each frame with the
// period it measured.
uint32_t FrameWaitMs(const Settings& settings, int64_t measured_period_ns);

}  // namespace talon_gst

#endif  // GST_SRC_SETTINGS_H_
