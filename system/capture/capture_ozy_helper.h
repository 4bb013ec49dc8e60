// Turns one CaptureConfig into the IPU objects of a capture pipeline and binds
// frame buffers to it: the device, one MIPI input and one DRAM transfer node
// per stream, the compiled transfer graph (loaded from an on-disk cache keyed
// by the configuration, or compiled and saved), and the per-run buffer
// binding.
//
// Threading: no locks. The first four functions run on the thread that
// initialises a capture service, before its worker starts; FinalizeBuffers
// runs on the worker and only reads `finalize_infos`.
// Ownership: the runtime owns the objects; handles written through the out
// arguments, and nodes recorded in a TransferNodes, belong to the caller
// (the capture service), also when a function fails part-way.

#ifndef SYSTEM_CAPTURE_CAPTURE_OZY_HELPER_H_
#define SYSTEM_CAPTURE_CAPTURE_OZY_HELPER_H_

#include <string>
#include <utility>
#include <vector>

#include "base/export.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_types.h"
#include "system/ipu_runtime/prism.h"

namespace vireo {
namespace ozy {

// Three parallel lists, entry k of each describing node k: after a service's
// initialisation with n streams, the n MIPI input nodes in stream order, then
// the n DRAM nodes in stream order.
struct TransferNodes {
  // The nodes, in graph order; the caller deletes each.
  std::vector<OzyNode*> nodes;
  // Each node's name in the graph, formed from its stream's data type.
  std::vector<std::string> names;
  // Each node's stream data type and the binding FinalizeBuffers passes for
  // it: a DRAM node's buffer field is filled from the frame buffer per run.
  std::vector<std::pair<int, OzyFinalizeBufferInfo>> finalize_infos;
};

// Obtains the IPU device for the configuration's MIPI streams.
TALON_EXPORT CaptureError GetDeviceFromConfig(const CaptureConfig& config, OzyDevice** device,
                                              bool mipi_streams_only);

// Creates one MIPI input node per stream and records it.
TALON_EXPORT CaptureError AppendMipiTransferNodes(const CaptureConfig& config,
                                                  TransferNodes* transfer_nodes);

// Creates one DRAM node per stream and records it; with `store_as_16_bit`
// each node moves the stream's rows as 16-bit units.
TALON_EXPORT CaptureError AppendDramTransferNodes(const CaptureConfig& config,
                                                  TransferNodes* transfer_nodes,
                                                  bool store_as_16_bit);

// Loads the compiled graph from the cache, or creates, compiles and saves it.
// After a cache hit *graph is null.
TALON_EXPORT CaptureError CreateMipiInputGraph(const CaptureConfig& config,
                                               const OzyCompileGraphInfo& compile_info,
                                               const TransferNodes& transfer_nodes,
                                               OzyGraph** graph, OzyCompiledGraph** compiled_graph);

// Binds the frame buffer's device buffers to the job for its next run.
TALON_EXPORT CaptureError
FinalizeBuffers(CaptureFrameBuffer* frame_buffer,
                std::vector<std::pair<int, OzyFinalizeBufferInfo>>* finalize_infos, OzyJob* job);

// Where compiled graphs are cached: this base directory, or the value of
// kCompiledGraphDirVariable when that is set and not empty (each
// configuration has its folder below it), unless the application chose
// another with SetCompiledGraphDir (capture_setup.h).
inline constexpr char kDefaultCompiledGraphDir[] = "/data/vireo/compiled_graph";
inline constexpr char kCompiledGraphDirVariable[] = "TEST_UNDECLARED_OUTPUTS_DIR";

namespace internal {
// Test seam, not exported: the compiled-graph cache directory of `config`,
// under GetCompiledGraphDir() (capture_setup.h).
std::string CompiledGraphDir(const CaptureConfig& config);
}  // namespace internal

}  // namespace ozy
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_OZY_HELPER_H_
