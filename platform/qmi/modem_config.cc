#include "platform/qmi/modem_config.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"
#include "platform/qmi/qmi_sim.h"

namespace qmi_sim {
namespace {

// An error number: decimal, or hexadecimal after "0x", optionally signed.
// `*out` is left as it was when `text` is not one.
bool ParseInt(absl::string_view text, int* out) {
  int value = 0;
  const bool parsed = text.find_first_of("xX") != absl::string_view::npos
                          ? absl::SimpleHexAtoi(text, &value)
                          : absl::SimpleAtoi(text, &value);
  if (parsed) *out = value;
  return parsed;
}

}  // namespace

ModemConfig ParseModemConfig(const char* setting) {
  ModemConfig config;
  if (setting == nullptr) {
    config.imei = QMI_SIM_DEFAULT_IMEI;
    return config;
  }
  for (absl::string_view entry : absl::StrSplit(setting, ';', absl::SkipEmpty())) {
    if (entry == "unavailable") {
      config.unavailable = true;
      continue;
    }
    const std::pair<absl::string_view, absl::string_view> key_value =
        absl::StrSplit(entry, absl::MaxSplits('=', 1));
    const absl::string_view key = key_value.first;
    const absl::string_view value = key_value.second;
    bool ok = absl::StrContains(entry, '=');
    if (ok && key == "imei") {
      config.imei = std::string(value);
    } else if (ok && key == "meid") {
      config.meid = std::string(value);
    } else if (ok && key == "init_error") {
      ok = ParseInt(value, &config.init_error);
    } else if (ok && key == "send_error") {
      ok = ParseInt(value, &config.send_error);
    } else {
      ok = false;
    }
    if (!ok) {
      config.valid = false;
      config.error = "bad entry '" + std::string(entry) + "'";
      return config;
    }
  }
  return config;
}

ModemConfig ReadModemConfig() { return ParseModemConfig(std::getenv("SIM_MODEM")); }

}  // namespace qmi_sim
