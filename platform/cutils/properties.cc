// Host stand-in of the property store: a key=value file named by
// SIM_PROPERTIES, read afresh on every call.

#include "cutils/properties.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/cutils/properties_sim.h"

namespace {

std::string Trim(const std::string& text) {
  const char* kBlanks = " \t\r";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Looks `key` up in the SIM_PROPERTIES file; true when it is set there.
bool Lookup(const char* key, std::string* result) {
  const char* path = std::getenv(cutils_sim::kPropertiesVariable);
  if (path == nullptr || *path == '\0') return false;
  std::ifstream file(path);
  if (!file) return false;
  bool found = false;
  std::string line;
  while (std::getline(file, line)) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    if (Trim(trimmed.substr(0, equals)) != key) continue;
    *result = Trim(trimmed.substr(equals + 1));
    found = true;  // a later line for the same key overrides this one
  }
  return found;
}

int CopyOut(const char* text, size_t length, char* value) {
  if (length > PROPERTY_VALUE_MAX - 1) length = PROPERTY_VALUE_MAX - 1;
  std::memcpy(value, text, length);
  value[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace

extern "C" int property_get(const char* key, char* value, const char* default_value) {
  if (value == nullptr) return 0;
  std::string found;
  if (key != nullptr && Lookup(key, &found) && !found.empty()) {
    return CopyOut(found.data(), found.size(), value);
  }
  if (default_value == nullptr) default_value = "";
  return CopyOut(default_value, std::strlen(default_value), value);
}
