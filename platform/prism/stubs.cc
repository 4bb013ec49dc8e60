// Runtime functions that the simulator does not model yet: each refuses with
// OZY_ERROR_RESOURCE_NOT_FOUND and says so in the trace.

#include "platform/prism/runtime.h"

using prism_sim::Call;

namespace {
OzyError NotSimulated(const char* function) {
  Call call(function);
  call.Raw("not simulated");
  if (auto e = call.Injected()) return call.Return(*e);
  return call.Return(OZY_ERROR_RESOURCE_NOT_FOUND);
}
}  // namespace

extern "C" {

OzyError OzyGetDevice(const OzyGetDeviceInfo*, OzyDevice**) { return NotSimulated("OzyGetDevice"); }
OzyError OzyResetDevice(OzyDevice*) { return NotSimulated("OzyResetDevice"); }
OzyError OzyDeleteDevice(OzyDevice*) { return NotSimulated("OzyDeleteDevice"); }
OzyCreateTransferNodeInfo OzyDefaultCreateTransferNodeInfo(void) {
  NotSimulated("OzyDefaultCreateTransferNodeInfo");
  return OzyCreateTransferNodeInfo{};
}
OzyError OzyCreateTransferNode(const OzyCreateTransferNodeInfo*, OzyNode**) {
  return NotSimulated("OzyCreateTransferNode");
}
OzyError OzyDeleteNode(OzyNode*) { return NotSimulated("OzyDeleteNode"); }
OzyError OzyCreateGraph(const char*, const void*, OzyNode* const*, const char* const*,
                        uint64_t, OzyGraph**) {
  return NotSimulated("OzyCreateGraph");
}
OzyError OzyDeleteGraph(OzyGraph*) { return NotSimulated("OzyDeleteGraph"); }
OzyError OzyCompileGraph(OzyGraph*, const OzyCompileGraphInfo*, OzyCompiledGraph**) {
  return NotSimulated("OzyCompileGraph");
}
OzyError OzySaveCompiledGraph(const char*, const char*, const OzyCompiledGraph*) {
  return NotSimulated("OzySaveCompiledGraph");
}
OzyError OzyLoadPrecompiledGraph(const char*, const char*, OzyNode* const*, const char* const*,
                                 uint64_t, const OzyCompileGraphInfo*, OzyCompiledGraph**) {
  return NotSimulated("OzyLoadPrecompiledGraph");
}
OzyError OzyDeleteCompiledGraph(OzyCompiledGraph*) { return NotSimulated("OzyDeleteCompiledGraph"); }
OzyError OzyCreateJob(OzyCompiledGraph*, OzyJob**) { return NotSimulated("OzyCreateJob"); }
OzyError OzyDeleteJob(OzyJob*) { return NotSimulated("OzyDeleteJob"); }
OzyError OzySetTransferEventMonitor(OzyJob*, OzyNode*, OzyTransferEventStatus*) {
  return NotSimulated("OzySetTransferEventMonitor");
}
OzyError OzyLoadDeviceConfig(OzyJob*) { return NotSimulated("OzyLoadDeviceConfig"); }
OzyError OzyUnloadDeviceConfig(OzyJob*) { return NotSimulated("OzyUnloadDeviceConfig"); }
OzyError OzyFinalizeBuffers(OzyJob*, const OzyFinalizeBufferInfo*, int32_t) {
  return NotSimulated("OzyFinalizeBuffers");
}
OzyError OzyEnqueueJob(OzyJob*) { return NotSimulated("OzyEnqueueJob"); }
OzyError OzyWaitForCompletionWithTimeout(OzyJob*, uint64_t) {
  return NotSimulated("OzyWaitForCompletionWithTimeout");
}

}  // extern "C"
