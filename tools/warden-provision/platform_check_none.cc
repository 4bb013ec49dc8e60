// The device build: the platform's libraries need no setup of the tool's.
#include "tools/warden-provision/platform_check.h"

namespace warden_provision {

bool CheckPlatform(std::string* /*error*/) { return true; }

}  // namespace warden_provision
