// The simulated modem's settings, parsed from SIM_MODEM (format in qmi_sim.h).
// Internal to the QMI stand-ins.

#ifndef PLATFORM_QMI_MODEM_CONFIG_H_
#define PLATFORM_QMI_MODEM_CONFIG_H_

#include <string>

namespace qmi_sim {

struct ModemConfig {
  bool valid = true;
  std::string error;  // why it is not valid
  bool unavailable = false;
  int init_error = 0;
  int send_error = 0;
  std::string imei;
  std::string meid;
};

// Parses `setting`; null means SIM_MODEM is unset.
ModemConfig ParseModemConfig(const char* setting);

// Parses the current SIM_MODEM.
ModemConfig ReadModemConfig();

}  // namespace qmi_sim

#endif  // PLATFORM_QMI_MODEM_CONFIG_H_
