// Control interface of the property store's stand-in, for host tools and
// tests. The device's store has none of this; clients never include it.
//
// The stand-in reads the file named by the environment variable
// SIM_PROPERTIES (cutils/properties.h says how). property_get cannot report
// errors, so a file that cannot be read reads as an empty store;
// SimPropertiesProblem lets a host tool say so instead.
//
// Threading: reads the environment; call it before other threads change it.

#ifndef PLATFORM_CUTILS_PROPERTIES_SIM_H_
#define PLATFORM_CUTILS_PROPERTIES_SIM_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cutils_sim {

// The environment variable that names the store's file.
inline constexpr char kPropertiesVariable[] = "SIM_PROPERTIES";

// "" when SIM_PROPERTIES is unset or empty (no properties at all) or names a
// file the stand-in can read; else "SIM_PROPERTIES: cannot read <path>:
// <reason>".
inline std::string SimPropertiesProblem() {
  const char* path = std::getenv(kPropertiesVariable);
  if (path == nullptr || *path == '\0') return "";
  // O_NONBLOCK only keeps the open of a FIFO from waiting for a writer.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  int error = fd < 0 ? errno : 0;
  struct stat status;
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) error = EISDIR;
  if (fd >= 0) close(fd);
  if (error == 0) return "";
  return std::string(kPropertiesVariable) + ": cannot read " + path + ": " + std::strerror(error);
}

}  // namespace cutils_sim

#endif  // PLATFORM_CUTILS_PROPERTIES_SIM_H_
