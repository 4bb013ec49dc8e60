// Setting up captures beyond what CaptureService::CreateInstance offers: a
// creation call that says why a service was refused, and the directory of
// compiled transfer graphs chosen for the process without touching its
// environment.
//
//   std::unique_ptr<vireo::CaptureService> service;
//   std::string reason;
//   vireo::CaptureError error = vireo::CreateCaptureService(config, &service, &reason);
//   if (error != vireo::CaptureError::SUCCESS) {
//     fprintf(stderr, "no capture: %s (%s)\n", reason.c_str(), GetCaptureErrorDesc(error));
//   }
//
//   vireo::SetCompiledGraphDir("/var/cache/myapp/graphs");  // any thread, any time
//
// Threading: both calls may be made from any thread, also while other
// threads create services; a service reads the directory once, while it is
// created.

#ifndef SYSTEM_CAPTURE_CAPTURE_SETUP_H_
#define SYSTEM_CAPTURE_CAPTURE_SETUP_H_

#include <memory>
#include <string>

#include "base/export.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_types.h"

namespace vireo {

// As CaptureService::CreateInstance, with the error and the reason: SUCCESS
// and a running service in *service; or the error of the step that failed,
// *service empty, and in *reason (when not null) one line saying why: the
// configuration's fault ("virtual_channel: 7 is not in 0 to 3"), or the
// error entries libtalon logged on this thread while it tried, joined by
// "; " ("Could not get device from config."), or else the error's
// description. The log gets the same entries as with CreateInstance.
TALON_EXPORT CaptureError CreateCaptureService(const CaptureConfig& config,
                                               std::unique_ptr<CaptureService>* service,
                                               std::string* reason);

// Where services created from now on cache compiled transfer graphs: below
// `dir`, or, for an empty `dir` (the default), below the directory that the
// environment variable TEST_UNDECLARED_OUTPUTS_DIR names when set and not
// empty, else below /data/vireo/compiled_graph. libtalon makes the
// directories it needs.
TALON_EXPORT void SetCompiledGraphDir(const std::string& dir);

// The base directory that a service created now would use, by the rule above.
TALON_EXPORT std::string GetCompiledGraphDir();

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_SETUP_H_
