// The option toolkit of every capture tool: the numbers and the command-line
// parser of support/command_line.h, the capture stream syntax
// "dt,width,height,bits[,pad]" with the limits the library and the IPU
// runtime really have, and a check of a whole capture configuration.
//
// Every refusal is one line that names the option, the bad value and what is
// allowed, e.g. "--virtual-channel: 99 is not in 0 to 3". Tools print
// "<tool>: <error>" on standard error and exit 2 before they open anything.
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

// The largest data type the options take (data types are non-negative 32-bit
// values; the library passes them to the receiver unchanged).
inline constexpr uint32_t kMaxDataType = 0x7FFFFFFF;

// A capture's timeout_ms as the tools take it (--timeout-ms): at least 1 ms,
// since with 0 no frame would ever be waited for and every one would time
// out; at most what the configuration holds.
inline constexpr uint32_t kMinTimeoutMs = 1;
inline constexpr uint32_t kMaxTimeoutMs = UINT32_MAX;

// "dt,width,height,bits[,pad]": dt decimal or 0x hex (0 to kMaxDataType),
// width and height 1 to kMaxFrameExtent (a row holds at least
// kCaptureRowUnitBits, so 8- and 10-bit streams are at least 2 wide), bits
// one of kCaptureComponentBits, pad 0 or 1.
bool ParseStream(std::string_view option, std::string_view text,
                 vireo::CaptureStreamConfig* stream, std::string* error);

// What the library or the runtime would refuse about a whole configuration,
// said before anything is opened: 1 to kMaxCaptureStreams streams (blamed on
// "--stream"), each stream within ParseStream's limits, no data type twice,
// the virtual channel 0 to kMaxVirtualChannel ("--virtual-channel"), the
// receiver 0 to kMipiReceivers - 1 ("--mipi-rx").
bool CheckConfig(const vireo::CaptureConfig& config, std::string* error);
// The same with another name for the streams' option ("stream_configs").
bool CheckConfig(const vireo::CaptureConfig& config, std::string_view stream_option,
                 std::string* error);

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
