// Host build of warden-provision: the property store's stand-in must be able
// to read its file, or every property would read as unset without a word.
#include "platform/cutils/properties_sim.h"
#include "tools/warden-provision/platform_check.h"

namespace warden_provision {

bool CheckPlatform(std::string* error) {
  *error = cutils_sim::SimPropertiesProblem();
  return error->empty();
}

}  // namespace warden_provision
