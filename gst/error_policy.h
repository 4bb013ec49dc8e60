// What talonsrc does with frames that come back failed: each is dropped;
// the first failure of a stretch is one warning, later ones are counted and
// said once a second; `max-errors` failed frames in a row end the stream
// (the element then posts one ERROR naming the capture error and pushes
// EOS). A frame that succeeds ends the stretch.
//
// Threads: the element's streaming thread alone (reset while it is stopped).

#ifndef GST_ERROR_POLICY_H_
#define GST_ERROR_POLICY_H_

#include <cstdint>
#include <string>

#include "system/capture/capture_types.h"

namespace talon_gst {

// max-errors' default: a camera that fails this many frames in a row ends
// the stream rather than warn forever.
constexpr uint32_t kDefaultMaxErrors = 5;

// "TIMEOUT (5): <the library's description>", the name from
// support/capture_error_name.h.
std::string DescribeCaptureError(vireo::CaptureError error);

class ErrorPolicy {
 public:
  struct Verdict {
    std::string warning;  // empty: nothing to say for this frame
    std::string error;    // not empty: end the stream with this ERROR
  };

  // `max_errors` 0: never end the stream.
  explicit ErrorPolicy(uint32_t max_errors = kDefaultMaxErrors) : max_errors_(max_errors) {}

  // A failed frame at `now_ns` (any monotonic clock).
  Verdict Failed(vireo::CaptureError error, int64_t now_ns);
  void Succeeded() { in_row_ = 0; }

 private:
  static constexpr int64_t kWarnEveryNs = 1000000000;

  uint32_t max_errors_;
  uint32_t in_row_ = 0;
  int64_t last_warning_ns_ = 0;
  bool warned_ = false;
  uint64_t unsaid_ = 0;  // failed frames since the last warning
};

}  // namespace talon_gst

#endif  // GST_ERROR_POLICY_H_
