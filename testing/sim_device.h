// Test helper: the stand-ins' test device. Writes its property file into a
// directory and points SIM_PROPERTIES at it, and sets SIM_MODEM (unset for
// an empty `modem`: the default modem); the destructor unsets both.
//
// Threading: the environment is the process's, so one object at a time and
// no other thread reading it meanwhile. Ownership: the caller owns the
// directory (a TempDir); the object owns the two variables while it lives.

#ifndef TESTING_SIM_DEVICE_H_
#define TESTING_SIM_DEVICE_H_

#include <cstdlib>
#include <fstream>
#include <string>

namespace talon_testing {

class SimDevice {
 public:
  // The properties: brand acme, device falcon, product falcon_eu, serial
  // SN0001, manufacturer "Acme Inc", model "Falcon 2" (a comment line first).
  static constexpr char kProperties[] =
      "# test device\nro.product.brand=acme\nro.product.device=falcon\n"
      "ro.product.name=falcon_eu\nro.serialno=SN0001\nro.product.manufacturer=Acme Inc\n"
      "ro.product.model=Falcon 2\n";

  SimDevice(const std::string& dir, const std::string& modem) : properties_path_(dir + "/props") {
    std::ofstream(properties_path_) << kProperties;
    setenv("SIM_PROPERTIES", properties_path_.c_str(), 1);
    if (modem.empty()) {
      unsetenv("SIM_MODEM");
    } else {
      setenv("SIM_MODEM", modem.c_str(), 1);
    }
  }
  ~SimDevice() {
    unsetenv("SIM_PROPERTIES");
    unsetenv("SIM_MODEM");
  }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const std::string& properties_path() const { return properties_path_; }

 private:
  std::string properties_path_;
};

}  // namespace talon_testing

#endif  // TESTING_SIM_DEVICE_H_
