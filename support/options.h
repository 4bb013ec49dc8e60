// The option toolkit of every capture tool: the numbers and the command-line
// parser of support/command_line.h, the capture stream syntax
// "dt,width,height,bits[,pad]" with the limits the library and the IPU
// runtime really have, and a check of a whole capture configuration.
//
// Every refusal is one line that names the option, the bad value and what is
// allowed, e.g. "--virtual-channel: 99 is not in 0 to 3". Tools print
// "<tool>: <error>" on standard error and exit 2 before they open anything.
// A configuration's check also gives its problem as data (ConfigProblem),
// which the Python module and the GStreamer element word with their own
// names, never by rewriting the tools' text.
//
// Plain functions; no state, callable from any thread. The limits of libtalon
// come from its public header (system/capture/capture_types.h) and its own
// check (vireo_util::CheckCaptureConfig); the runtime's limits, which its
// interface does not state, are kept here.

#ifndef SUPPORT_OPTIONS_H_
#define SUPPORT_OPTIONS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/command_line.h"
#include "system/capture/capture_types.h"

namespace talon_support {

// The IPU runtime's limits that prism.h does not state: a frame's width and
// height (a transfer node's extent) and the number of MIPI receivers (0 to 3).
inline constexpr uint32_t kMaxFrameExtent = 65536;
inline constexpr int32_t kMipiReceivers = 4;

// The largest data type the options take: a MIPI CSI-2 data type is the 6
// low bits of a packet's data identifier, which the IPU's MIPI receiver
// selects streams by; it refuses larger values when the capture opens
// ("Could not create MIPI transfer nodes."), so they are refused here first.
inline constexpr uint32_t kMaxDataType = 0x3F;

// A capture's timeout_ms as the tools take it (--timeout-ms): at least 1 ms,
// since with 0 no frame would ever be waited for and every one would time
// out; at most what the configuration holds.
inline constexpr uint32_t kMinTimeoutMs = 1;
inline constexpr uint32_t kMaxTimeoutMs = UINT32_MAX;

// "dt,width,height,bits[,pad]": dt decimal or 0x hex (0 to kMaxDataType),
// width and height 1 to kMaxFrameExtent (a row holds at least
// kCaptureRowUnitBits, so 8- and 10-bit streams are at least 2 wide), bits
// one of kCaptureComponentBits, pad 0 or 1.
bool ParseStream(std::string_view option, std::string_view text, vireo::CaptureStreamConfig* stream,
                 std::string* error);

// A configuration's problem as data, for each surface to word in its own
// names (a tool's option, a property, a Python field): the setting at fault,
// the value given, and what is wrong with it and what is allowed.
struct ConfigProblem {
  enum class Setting {
    kStreams,         // CaptureConfig::stream_configs ("--stream")
    kVirtualChannel,  // CaptureConfig::virtual_channel ("--virtual-channel")
    kMipiRx,          // CaptureConfig::mipi_rx ("--mipi-rx")
    kWhole,           // the configuration as a whole: the library's own check
  };
  Setting setting = Setting::kWhole;
  std::string value;  // the value at fault as text: "4", "0x2B,640,480,12"
  // The rest of the sentence after the setting's name, which names the value
  // and what is allowed: "4 is not in 0 to 3", "bits 12 in
  // \"0x2B,640,480,12\" is not 8, 10 or 16".
  std::string detail;
};

// The tools' option of a setting ("--stream"); empty for kWhole.
std::string_view SettingOption(ConfigProblem::Setting setting);
// "<name>: <detail>", or the detail alone for an empty name.
std::string ProblemText(std::string_view name, const ConfigProblem& problem);

// What the library or the runtime would refuse about a whole configuration,
// said before anything is opened: 1 to kMaxCaptureStreams streams, each
// stream within ParseStream's limits, no data type twice, the virtual channel
// 0 to kMaxVirtualChannel, the receiver 0 to kMipiReceivers - 1; false with
// the problem.
bool CheckConfig(const vireo::CaptureConfig& config, ConfigProblem* problem);
// The same in the tools' words: "--virtual-channel: 99 is not in 0 to 3".
bool CheckConfig(const vireo::CaptureConfig& config, std::string* error);

// The default stream of every tool: one 640x480 RAW10 stream, data type 0x2B
// ("0x2B,640,480,10").
vireo::CaptureStreamConfig DefaultStream();

// The lines of --help that describe --stream and its limits, and those of
// --mipi-rx and --virtual-channel (MipiRxOption, VirtualChannelOption); each
// line ends in a newline.
std::string StreamHelp();
std::string ReceiverHelp();

// "--stream" given up to kMaxCaptureStreams times, appended to `streams`.
OptionSpec StreamOption(std::vector<vireo::CaptureStreamConfig>* streams);
// "--mipi-rx" 0 to kMipiReceivers - 1 and "--virtual-channel" 0 to
// kMaxVirtualChannel into `config`.
OptionSpec MipiRxOption(vireo::CaptureConfig* config);
OptionSpec VirtualChannelOption(vireo::CaptureConfig* config);
// "--timeout-ms" kMinTimeoutMs to kMaxTimeoutMs into `timeout_ms`.
OptionSpec TimeoutOption(uint32_t* timeout_ms);

}  // namespace talon_support

#endif  // SUPPORT_OPTIONS_H_
