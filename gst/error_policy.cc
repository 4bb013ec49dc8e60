#include "gst/error_policy.h"

#include "absl/strings/str_cat.h"
#include "support/capture_error_name.h"

namespace talon_gst {

std::string DescribeCaptureError(vireo::CaptureError error) {
  return absl::StrCat(talon_support::CaptureErrorName(error), " (", static_cast<int>(error),
                      "): ", vireo::GetCaptureErrorDesc(error));
}

ErrorPolicy::Verdict ErrorPolicy::Failed(vireo::CaptureError error, int64_t now_ns) {
  Verdict verdict;
  ++in_row_;
  ++unsaid_;
  if (!warned_) {
    verdict.warning = absl::StrCat("frame dropped: capture error ", DescribeCaptureError(error));
  } else if (now_ns - last_warning_ns_ >= kWarnEveryNs) {
    verdict.warning = absl::StrCat(unsaid_, " frames dropped since the last warning, the last: ",
                                   "capture error ", DescribeCaptureError(error));
  }
  if (!verdict.warning.empty()) {
    warned_ = true;
    last_warning_ns_ = now_ns;
    unsaid_ = 0;
  }
  if (max_errors_ > 0 && in_row_ >= max_errors_) {
    verdict.error =
        absl::StrCat(in_row_, " capture errors in a row, the last ", DescribeCaptureError(error));
  }
  return verdict;
}

}  // namespace talon_gst
