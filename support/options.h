// The option toolkit of every tool: strict numbers, the capture stream syntax
// "dt,width,height,bits[,pad]" with the limits the library and the IPU
// runtime really have, a check of a whole capture configuration, and a
// table-driven command-line parser.
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
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "system/capture/capture_types.h"

namespace talon_support {

// The IPU runtime's limits that prism.h does not state: a frame's width and
// height (a transfer node's extent) and the number of MIPI receivers (0 to 3).
inline constexpr uint32_t kMaxFrameExtent = 65536;
inline constexpr int32_t kMipiReceivers = 4;

// The largest data type the options take (data types are non-negative 32-bit
// values; the library passes them to the receiver unchanged).
inline constexpr uint32_t kMaxDataType = 0x7FFFFFFF;

// Strict numbers: decimal or 0x hex, the whole text, in [min, max]; no sign
// for unsigned, an optional '-' for signed. On refusal `error` reads
// "<option>: \"<text>\" is not a number in <min> to <max>" or
// "<option>: <text> is not in <min> to <max>".
bool ParseUnsigned(std::string_view option, std::string_view text, uint64_t min, uint64_t max,
                   uint64_t* value, std::string* error);
bool ParseSigned(std::string_view option, std::string_view text, int64_t min, int64_t max,
                 int64_t* value, std::string* error);

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

// The default stream of every tool: one 640x480 RAW10 stream, data type 0x2B
// ("0x2B,640,480,10").
vireo::CaptureStreamConfig DefaultStream();

// The lines of --help that describe --stream and its limits, and those of
// --mipi-rx and --virtual-channel (MipiRxOption, VirtualChannelOption); each
// line ends in a newline.
std::string StreamHelp();
std::string ReceiverHelp();

// One option of a command line. `apply` gets the value ("" for a flag
// without one) and refuses it with a one-line error.
struct OptionSpec {
  const char* name;   // "--frames"
  const char* alias;  // "-n" or nullptr
  bool takes_value;
  std::function<bool(std::string_view value, std::string* error)> apply;
};

// Parses argv[1..argc-1]: "--name value", "--name=value", aliases, flags.
// Refusals: "unknown option --x (see --help)", "--stream needs a value",
// "--quiet takes no value", or the error of an `apply`. Other arguments are
// refused ("unexpected argument \"x\"") unless `positional` is given, which
// receives them in order; after "--" every argument is positional.
bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::string* error);
bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::vector<std::string>* positional, std::string* error);

// Ready-made specs. The field is written only when the value is accepted.
OptionSpec FlagOption(const char* name, const char* alias, bool* field);
OptionSpec StringOption(const char* name, std::string* field);
template <typename T>
OptionSpec UnsignedOption(const char* name, uint64_t min, uint64_t max, T* field) {
  return {name, nullptr, true, [name, min, max, field](std::string_view text, std::string* e) {
            uint64_t value = 0;
            if (!ParseUnsigned(name, text, min, max, &value, e)) return false;
            *field = static_cast<T>(value);
            return true;
          }};
}
// "--stream" given up to kMaxCaptureStreams times, appended to `streams`.
OptionSpec StreamOption(std::vector<vireo::CaptureStreamConfig>* streams);
// "--mipi-rx" 0 to kMipiReceivers - 1 and "--virtual-channel" 0 to
// kMaxVirtualChannel into `config`.
OptionSpec MipiRxOption(vireo::CaptureConfig* config);
OptionSpec VirtualChannelOption(vireo::CaptureConfig* config);

}  // namespace talon_support

#endif  // SUPPORT_OPTIONS_H_
