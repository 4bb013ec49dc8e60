// What the platform under warden-provision must provide before the tool asks
// it anything, checked once at the start so that a broken setup fails
// naming its cause instead of reading as an empty identity.
//
// A link-time seam: the build links exactly one definition,
// platform_check_none.cc on the device (the platform's own libraries report
// nothing to check) or host/warden_provision_platform_check.cc with the
// stand-ins (their configuration files).
//
// Threading: called from the tool's main thread, before anything else runs.

#ifndef TOOLS_WARDEN_PROVISION_PLATFORM_CHECK_H_
#define TOOLS_WARDEN_PROVISION_PLATFORM_CHECK_H_

#include <string>

namespace warden_provision {

// True when the platform can be used; else false with a one-line reason
// naming what is wrong in `error`.
bool CheckPlatform(std::string* error);

}  // namespace warden_provision

#endif  // TOOLS_WARDEN_PROVISION_PLATFORM_CHECK_H_
