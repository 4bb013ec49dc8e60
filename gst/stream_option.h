// The one place where talonsrc reaches the shared option toolkit: the
// `stream` syntax "dt,width,height,bits[,pad]", the check of a whole
// configuration before the library sees it, and the default stream, all in
// the words the tools use (the option named in each refusal is the
// element's property, e.g. "stream: ...").
//
// Pure functions; callable from any thread.

#ifndef GST_STREAM_OPTION_H_
#define GST_STREAM_OPTION_H_

#include <string>
#include <string_view>

#include "system/capture/capture_types.h"

namespace talon_gst {

bool ParseStreamOption(std::string_view option, std::string_view text,
                       vireo::CaptureStreamConfig* stream, std::string* error);
bool CheckCaptureConfigOption(const vireo::CaptureConfig& config, std::string* error);
// The default stream as `stream` text, "0x2B,640,480,10".
std::string DefaultStreamText();

// What `stream` takes, for the properties' descriptions: the syntax, the
// data types with caps, and the limit of streams per element.
const char* StreamSyntaxText();

}  // namespace talon_gst

#endif  // GST_STREAM_OPTION_H_
