// The test pipeline builder: the IPU objects of one capture, made as the
// capture service makes them, for the suites and fuzzers that drive the
// simulated runtime. A pipeline holds the device, one MIPI input node per
// stream, one DRAM node per stream that stores the stream's rows as 16-bit
// units, the graph and its compiled graph, and optionally a job (monitors on
// the first MIPI node for the start of frame and the first DRAM node for the
// end of frame) with sets of device buffers.
//
// Two ways to build it, into the same members:
// - BuildNodes, BuildGraph, BuildJob (or Build for all three): through the
//   runtime's C API, with node records written from libtalon's component
//   table; for the runtime's own tests and the fuzzers, which do not link
//   libtalon (these functions need only the runtime);
// - BuildWithHelpers, BuildWithHelpersAndJob: through libtalon's
//   transfer-graph helpers, the code that libtalon's tests test.
//
// Header-only and free of GoogleTest, so that a fuzzer compiles it with its
// own instrumentation; test_pipeline.h reports failures to GoogleTest.
//
// Threading: one thread builds and releases; the job may be waited for from
// another. Ownership: the pipeline owns every handle it holds and deletes
// those still set when it is released or destroyed, in the capture service's
// order (device first).

#ifndef TESTING_IPU_PIPELINE_H_
#define TESTING_IPU_PIPELINE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_component_format.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/ipu_runtime/prism.h"

namespace talon_testing {

struct TestStream {
  int32_t data_type = 43;  // MIPI CSI-2 data type (RAW10)
  uint32_t width = 64;
  uint32_t height = 4;
  uint32_t bits = 10;  // per component
  int32_t virtual_channel = 0;
};

// Bytes per row, unpadded.
inline uint64_t RowStride(const TestStream& s) { return (uint64_t{s.width} * s.bits + 7) / 8; }

// The runtime's default record with the use, dimensions and component words
// written over it, as the capture service writes them. A width outside the
// component table keeps the default component words, which the runtime
// refuses.
inline OzyCreateTransferNodeInfo NodeInfo(OzyParameterUse use, uint32_t width, uint32_t height,
                                          uint32_t bits) {
  OzyCreateTransferNodeInfo info = OzyDefaultCreateTransferNodeInfo();
  info.use = use;
  info.dimension_count = 4;
  const uint64_t extents[4] = {width, height, 1, 1};
  for (int d = 0; d < 4; ++d) {
    info.dimensions[d].begin = 0;
    info.dimensions[d].extent = extents[d];
    info.dimensions[d].stride = 0;
  }
  if (const vireo::ozy::ComponentFormat* format = vireo::ozy::FindComponentFormat(bits)) {
    info.component_kind = format->kind;
    info.component_layout = format->layout;
    info.component_code = format->code;
    info.component_packed = format->packed;
  }
  info.component_flags = 0;
  info.mipi_flags = 0;
  return info;
}

inline OzyCreateTransferNodeInfo MipiInfo(const TestStream& s, int32_t rx) {
  OzyCreateTransferNodeInfo info =
      NodeInfo(OZY_PARAMETER_USE_MIPI_INPUT, s.width, s.height, s.bits);
  info.mipi_rx = rx;
  info.mipi_virtual_channel = s.virtual_channel;
  info.mipi_data_type = s.data_type;
  return info;
}

// The DRAM node stores the stream's rows as 16-bit units.
inline OzyCreateTransferNodeInfo DramInfo(const TestStream& s) {
  return NodeInfo(OZY_PARAMETER_USE_DRAM, (s.width * s.bits) >> 4, s.height, 16);
}

inline std::string NodeName(int32_t data_type) {
  return "__mipi_in_dt_" + std::to_string(data_type);
}

class IpuPipeline {
 public:
  // Told of each failed runtime call of the C-API builders, of Release and
  // of the buffer readers, in words ("OzyGetDevice returned 3").
  using FailureReporter = void (*)(const std::string& what);

  explicit IpuPipeline(FailureReporter on_failure = nullptr) : on_failure_(on_failure) {}
  ~IpuPipeline() { Release(); }
  IpuPipeline(const IpuPipeline&) = delete;
  IpuPipeline& operator=(const IpuPipeline&) = delete;

  // Each returns OZY_SUCCESS or the first failing call's error, and stops
  // there; what was made stays in the members.

  // The device for `streams` on MIPI receiver `rx`, then the MIPI input
  // nodes and the DRAM nodes with their names and finalize entries.
  OzyError BuildNodes(std::vector<TestStream> streams, int32_t rx = 0) {
    streams_ = std::move(streams);
    const size_t n = streams_.size();
    std::vector<int32_t> list_a(n, 0), list_b(n, 0), list_m(n, 0);
    for (size_t i = 0; i < n; ++i) list_m[i] = 4 * rx + static_cast<int32_t>(i);
    OzyGetDeviceInfo info;
    std::memset(&info, 0, sizeof(info));
    info.device_kind = OZY_DEVICE_KIND_IPU;
    info.core_ids = list_a.data();
    info.dma_channels = list_b.data();
    info.stream_kind = OZY_STREAM_KIND_MIPI;
    info.mipi_streams = list_m.data();
    info.mipi_stream_count = static_cast<int32_t>(n);
    OzyError error = Check("OzyGetDevice", OzyGetDevice(&info, &device));
    for (const TestStream& s : streams_) {
      if (error != OZY_SUCCESS) return error;
      error = AddNode(MipiInfo(s, rx), s, OZY_BUFFER_KIND_NONE, 0xDEADBEEF);
    }
    for (const TestStream& s : streams_) {
      if (error != OZY_SUCCESS) return error;
      error = AddNode(DramInfo(s), s, OZY_BUFFER_KIND_DEVICE_BUFFER, 0);
    }
    return error;
  }

  // The graph of the nodes and its compiled graph.
  OzyError BuildGraph() {
    OzyError error =
        Check("OzyCreateGraph", OzyCreateGraph("mipi_capture", nullptr, nodes.nodes.data(),
                                               NamePointers().data(), nodes.nodes.size(), &graph));
    if (error != OZY_SUCCESS) return error;
    const OzyCompileGraphInfo info = CompileInfo();
    return Check("OzyCompileGraph", OzyCompileGraph(graph, &info, &compiled));
  }

  // The job and its monitors, `buffer_sets` sets of one device buffer per
  // stream, and the job's device configuration loaded.
  OzyError BuildJob(int buffer_sets = 2) {
    const size_t n = streams_.size();
    OzyError error = Check("OzyCreateJob", OzyCreateJob(compiled, &job));
    if (error == OZY_SUCCESS) {
      error = Check("OzySetTransferEventMonitor",
                    OzySetTransferEventMonitor(job, nodes.nodes[0], &sof));
    }
    if (error == OZY_SUCCESS) {
      error = Check("OzySetTransferEventMonitor",
                    OzySetTransferEventMonitor(job, nodes.nodes[n], &eof));
    }
    if (error == OZY_SUCCESS) {
      error = Check("OzyGetMemoryAllocator",
                    OzyGetMemoryAllocator(OZY_MEMORY_ALLOCATOR_ION, &allocator));
    }
    for (int set = 0; set < buffer_sets && error == OZY_SUCCESS; ++set) {
      buffers.emplace_back();
      for (const TestStream& s : streams_) {
        buffers.back().push_back(nullptr);
        error = Check("OzyCreateDeviceBufferManaged",
                      OzyCreateDeviceBufferManaged(allocator, RowStride(s) * s.height, 64, 0, 0,
                                                   &buffers.back().back()));
        if (error != OZY_SUCCESS) break;
      }
    }
    if (error != OZY_SUCCESS) return error;
    return Check("OzyLoadDeviceConfig", OzyLoadDeviceConfig(job));
  }

  // All three.
  OzyError Build(std::vector<TestStream> streams, int32_t rx = 0, int buffer_sets = 2) {
    OzyError error = BuildNodes(std::move(streams), rx);
    if (error == OZY_SUCCESS) error = BuildGraph();
    if (error == OZY_SUCCESS) error = BuildJob(buffer_sets);
    return error;
  }

  // Device, nodes and compiled graph, by libtalon's helpers (the compiled
  // graph is cached as the helpers cache it); their result, unreported.
  vireo::CaptureError BuildWithHelpers(const vireo::CaptureConfig& config) {
    vireo::CaptureError error = vireo::ozy::GetDeviceFromConfig(config, &device, true);
    if (error != vireo::CaptureError::SUCCESS) return error;
    error = vireo::ozy::AppendMipiTransferNodes(config, &nodes);
    if (error != vireo::CaptureError::SUCCESS) return error;
    error = vireo::ozy::AppendDramTransferNodes(config, &nodes, true);
    if (error != vireo::CaptureError::SUCCESS) return error;
    return vireo::ozy::CreateMipiInputGraph(config, CompileInfo(), nodes, &graph, &compiled);
  }

  // Also the job and both monitors; GENERIC_FAILURE when one of those fails.
  vireo::CaptureError BuildWithHelpersAndJob(const vireo::CaptureConfig& config) {
    vireo::CaptureError error = BuildWithHelpers(config);
    if (error != vireo::CaptureError::SUCCESS) return error;
    if (OzyCreateJob(compiled, &job) != OZY_SUCCESS) return vireo::CaptureError::GENERIC_FAILURE;
    const size_t n = nodes.nodes.size() / 2;
    if (OzySetTransferEventMonitor(job, nodes.nodes[0], &sof) != OZY_SUCCESS ||
        OzySetTransferEventMonitor(job, nodes.nodes[n], &eof) != OZY_SUCCESS) {
      return vireo::CaptureError::GENERIC_FAILURE;
    }
    return vireo::CaptureError::SUCCESS;
  }

  std::vector<const char*> NamePointers() const {
    std::vector<const char*> pointers;
    for (const std::string& name : nodes.names) pointers.push_back(name.c_str());
    return pointers;
  }

  OzyCompileGraphInfo CompileInfo() const {
    OzyCompileGraphInfo info;
    std::memset(&info, 0, sizeof(info));
    info.device = device;
    return info;
  }

  // The entries the capture service passes for buffer set `set` of
  // BuildJob's buffers.
  std::vector<OzyFinalizeBufferInfo> Entries(int set) const {
    const size_t n = nodes.finalize_infos.size() / 2;
    std::vector<OzyFinalizeBufferInfo> entries;
    for (const auto& [data_type, entry] : nodes.finalize_infos) entries.push_back(entry);
    for (size_t i = 0; i < n; ++i) {
      entries[n + i].buffer = reinterpret_cast<uint64_t>(buffers[set][i]);
    }
    return entries;
  }

  OzyError Finalize(int set) {
    const std::vector<OzyFinalizeBufferInfo> entries = Entries(set);
    return OzyFinalizeBuffers(job, entries.data(), static_cast<int32_t>(entries.size()));
  }

  OzyError FinalizeAndEnqueue(int set) {
    const OzyError error = Finalize(set);
    return error != OZY_SUCCESS ? error : OzyEnqueueJob(job);
  }

  // The bytes of buffer `set` of stream `stream` (locks and unlocks it);
  // empty when it cannot be locked.
  std::vector<uint8_t> Bytes(int set, size_t stream) {
    void* data = nullptr;
    const TestStream& s = streams_[stream];
    if (Check("OzyLockDeviceBuffer", OzyLockDeviceBuffer(buffers[set][stream], &data)) !=
        OZY_SUCCESS) {
      return {};
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(bytes, bytes + RowStride(s) * s.height);
    Check("OzyUnlockDeviceBuffer", OzyUnlockDeviceBuffer(buffers[set][stream]));
    return copy;
  }

  // The frame sequence stamped in buffer `set` of stream `stream`; 0 when
  // it cannot be read.
  uint32_t Sequence(int set, size_t stream) {
    const std::vector<uint8_t> bytes = Bytes(set, stream);
    if (bytes.empty()) return 0;
    const TestStream& s = streams_[stream];
    uint32_t sequence = 0;
    const int result = PrismSimDecodeFrameSequence(bytes.data(), RowStride(s), s.width, s.height,
                                                   s.bits, &sequence);
    if (result != 0) Report("PrismSimDecodeFrameSequence returned " + std::to_string(result));
    return sequence;
  }

  // Deletes every handle still held, in the capture service's order (device
  // first), and forgets it.
  void Release() {
    if (device != nullptr) Check("OzyDeleteDevice", OzyDeleteDevice(device));
    if (compiled != nullptr) Check("OzyDeleteCompiledGraph", OzyDeleteCompiledGraph(compiled));
    if (graph != nullptr) Check("OzyDeleteGraph", OzyDeleteGraph(graph));
    if (job != nullptr) Check("OzyDeleteJob", OzyDeleteJob(job));
    for (OzyNode* node : nodes.nodes) {
      if (node != nullptr) Check("OzyDeleteNode", OzyDeleteNode(node));
    }
    for (const std::vector<OzyDeviceBuffer*>& set : buffers) {
      for (OzyDeviceBuffer* buffer : set) {
        if (buffer != nullptr) Check("OzyDeleteDeviceBuffer", OzyDeleteDeviceBuffer(buffer));
      }
    }
    if (allocator != nullptr) {
      Check("OzyDeleteMemoryAllocator", OzyDeleteMemoryAllocator(allocator));
    }
    device = nullptr;
    nodes = vireo::ozy::TransferNodes();
    graph = nullptr;
    compiled = nullptr;
    job = nullptr;
    allocator = nullptr;
    buffers.clear();
    streams_.clear();
  }

  OzyDevice* device = nullptr;
  // MIPI input nodes in stream order, then DRAM nodes in stream order, with
  // their names and the finalize entries the capture service keeps (device
  // buffers left 0).
  vireo::ozy::TransferNodes nodes;
  OzyGraph* graph = nullptr;  // null after the helpers' cache hit
  OzyCompiledGraph* compiled = nullptr;
  OzyJob* job = nullptr;
  OzyMemoryAllocator* allocator = nullptr;
  std::vector<std::vector<OzyDeviceBuffer*>> buffers;  // [set][stream]
  OzyTransferEventStatus sof{};
  OzyTransferEventStatus eof{};

 private:
  OzyError Check(const char* call, OzyError error) {
    if (error != OZY_SUCCESS) Report(std::string(call) + " returned " + std::to_string(error));
    return error;
  }

  void Report(const std::string& what) {
    if (on_failure_ != nullptr) on_failure_(what);
  }

  OzyError AddNode(const OzyCreateTransferNodeInfo& info, const TestStream& s, int32_t buffer_kind,
                   uint64_t buffer) {
    OzyNode* node = nullptr;
    const OzyError error = Check("OzyCreateTransferNode", OzyCreateTransferNode(&info, &node));
    if (error != OZY_SUCCESS) return error;
    OzyFinalizeBufferInfo entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.node = node;
    entry.buffer_kind = buffer_kind;
    entry.buffer = buffer;
    entry.row_stride_bytes = RowStride(s);
    nodes.nodes.push_back(node);
    nodes.names.push_back(NodeName(s.data_type));
    nodes.finalize_infos.emplace_back(s.data_type, entry);
    return OZY_SUCCESS;
  }

  const FailureReporter on_failure_;
  std::vector<TestStream> streams_;
};

}  // namespace talon_testing

#endif  // TESTING_IPU_PIPELINE_H_
