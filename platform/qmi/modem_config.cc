#include "platform/qmi/modem_config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/qmi/qmi_sim.h"

namespace qmi_sim {
namespace {

bool ParseInt(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

ModemConfig ParseModemConfig(const char* setting) {
  ModemConfig config;
  if (setting == nullptr) {
    config.imei = QMI_SIM_DEFAULT_IMEI;
    return config;
  }
  const std::string text(setting);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    if (entry == "unavailable") {
      config.unavailable = true;
      continue;
    }
    const size_t equals = entry.find('=');
    const std::string key = entry.substr(0, equals);
    const std::string value =
        equals == std::string::npos ? std::string() : entry.substr(equals + 1);
    bool ok = equals != std::string::npos;
    if (ok && key == "imei") {
      config.imei = value;
    } else if (ok && key == "meid") {
      config.meid = value;
    } else if (ok && key == "init_error") {
      ok = ParseInt(value, &config.init_error);
    } else if (ok && key == "send_error") {
      ok = ParseInt(value, &config.send_error);
    } else {
      ok = false;
    }
    if (!ok) {
      config.valid = false;
      config.error = "bad entry '" + entry + "'";
      return config;
    }
  }
  return config;
}

ModemConfig ReadModemConfig() { return ParseModemConfig(std::getenv("SIM_MODEM")); }

}  // namespace qmi_sim
