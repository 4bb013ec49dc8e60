// Test helper: builds the IPU objects of a capture as the capture service
// does (device, MIPI and DRAM nodes, graph, compiled graph, job, monitors,
// device buffers) and releases them in the service's order.
//
// Threading: one test thread builds and releases; the job may be waited for
// from another thread. Ownership: the pipeline owns every handle it holds
// and deletes those still set when it goes.

#ifndef PLATFORM_PRISM_TEST_PIPELINE_H_
#define PLATFORM_PRISM_TEST_PIPELINE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"

namespace prism_test {

struct TestStream {
  int32_t data_type = 43;
  uint32_t width = 64;
  uint32_t height = 4;
  uint32_t bits = 10;
  int32_t virtual_channel = 0;
};

inline uint64_t RowStride(const TestStream& s) { return (uint64_t{s.width} * s.bits + 7) / 8; }

inline void SetComponents(OzyCreateTransferNodeInfo* info, uint32_t bits) {
  info->component_kind = bits == 8 ? 1 : 3;
  info->component_layout = bits == 8 ? 1 : bits == 10 ? 8 : 3;
  info->component_code = bits == 10 ? 3 : 0;
  info->component_packed = bits == 10 ? 1 : 0;
  info->component_flags = 0;
}

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
  SetComponents(&info, bits);
  info.mipi_flags = 0;
  return info;
}

inline OzyCreateTransferNodeInfo MipiInfo(const TestStream& s, int32_t rx) {
  OzyCreateTransferNodeInfo info = NodeInfo(OZY_PARAMETER_USE_MIPI_INPUT, s.width, s.height, s.bits);
  info.mipi_rx = rx;
  info.mipi_virtual_channel = s.virtual_channel;
  info.mipi_data_type = s.data_type;
  return info;
}

// The DRAM node stores the stream's rows as 16-bit units.
inline OzyCreateTransferNodeInfo DramInfo(const TestStream& s) {
  return NodeInfo(OZY_PARAMETER_USE_DRAM, (s.width * s.bits) >> 4, s.height, 16);
}

class Pipeline {
 public:
  // Builds everything up to a job with a loaded config and one set of
  // buffers per slot; failures are reported through gtest (check ok()).
  explicit Pipeline(std::vector<TestStream> streams, int32_t rx = 0, int buffer_sets = 2)
      : streams_(std::move(streams)) {
    const int32_t n = static_cast<int32_t>(streams_.size());
    std::vector<int32_t> list_a(n), list_b(n), list_m(n);
    for (int32_t i = 0; i < n; ++i) list_m[i] = 4 * rx + i;
    OzyGetDeviceInfo dinfo;
    std::memset(&dinfo, 0, sizeof(dinfo));
    dinfo.device_kind = 3;
    dinfo.core_ids = list_a.data();
    dinfo.dma_channels = list_b.data();
    dinfo.stream_kind = 3;
    dinfo.mipi_streams = list_m.data();
    dinfo.mipi_stream_count = n;
    Expect(OzyGetDevice(&dinfo, &device));
    for (const TestStream& s : streams_) {
      OzyCreateTransferNodeInfo info = MipiInfo(s, rx);
      nodes.push_back(nullptr);
      Expect(OzyCreateTransferNode(&info, &nodes.back()));
      names.push_back("__mipi_in_dt_" + std::to_string(s.data_type));
    }
    for (const TestStream& s : streams_) {
      OzyCreateTransferNodeInfo info = DramInfo(s);
      nodes.push_back(nullptr);
      Expect(OzyCreateTransferNode(&info, &nodes.back()));
      names.push_back("__mipi_in_dt_" + std::to_string(s.data_type));
    }
    Expect(OzyCreateGraph("mipi_capture", nullptr, nodes.data(), NamePointers().data(),
                          nodes.size(), &graph));
    OzyCompileGraphInfo cinfo;
    std::memset(&cinfo, 0, sizeof(cinfo));
    cinfo.device = device;
    Expect(OzyCompileGraph(graph, &cinfo, &compiled));
    Expect(OzyCreateJob(compiled, &job));
    Expect(OzySetTransferEventMonitor(job, nodes[0], &sof));
    Expect(OzySetTransferEventMonitor(job, nodes[n], &eof));
    Expect(OzyGetMemoryAllocator(3, &allocator));
    buffers.resize(buffer_sets);
    for (auto& set : buffers) {
      for (const TestStream& s : streams_) {
        set.push_back(nullptr);
        Expect(OzyCreateDeviceBufferManaged(allocator, RowStride(s) * s.height, 64, 0, 0,
                                            &set.back()));
      }
    }
    Expect(OzyLoadDeviceConfig(job));
  }

  ~Pipeline() { Release(); }

  bool ok() const { return ok_; }

  std::vector<const char*> NamePointers() const {
    std::vector<const char*> p;
    for (const std::string& name : names) p.push_back(name.c_str());
    return p;
  }

  // The entries the capture service passes for buffer set `set`.
  std::vector<OzyFinalizeBufferInfo> Entries(int set) const {
    const size_t n = streams_.size();
    std::vector<OzyFinalizeBufferInfo> entries(2 * n);
    for (auto& e : entries) std::memset(&e, 0, sizeof(e));
    for (size_t i = 0; i < n; ++i) {
      entries[i].node = nodes[i];
      entries[i].buffer_kind = OZY_BUFFER_KIND_NONE;
      entries[i].buffer = 0xDEADBEEF;
      entries[i].row_stride_bytes = RowStride(streams_[i]);
      entries[n + i].node = nodes[n + i];
      entries[n + i].buffer_kind = OZY_BUFFER_KIND_DEVICE_BUFFER;
      entries[n + i].buffer = reinterpret_cast<uint64_t>(buffers[set][i]);
      entries[n + i].row_stride_bytes = RowStride(streams_[i]);
    }
    return entries;
  }

  OzyError Finalize(int set) {
    std::vector<OzyFinalizeBufferInfo> entries = Entries(set);
    return OzyFinalizeBuffers(job, entries.data(), static_cast<int32_t>(entries.size()));
  }

  OzyError FinalizeAndEnqueue(int set) {
    OzyError e = Finalize(set);
    return e != OZY_SUCCESS ? e : OzyEnqueueJob(job);
  }

  // The bytes of buffer `set` of stream `stream` (locks and unlocks it).
  std::vector<uint8_t> Bytes(int set, size_t stream) {
    void* data = nullptr;
    const TestStream& s = streams_[stream];
    EXPECT_EQ(OzyLockDeviceBuffer(buffers[set][stream], &data), OZY_SUCCESS);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(data),
                               static_cast<uint8_t*>(data) + RowStride(s) * s.height);
    EXPECT_EQ(OzyUnlockDeviceBuffer(buffers[set][stream]), OZY_SUCCESS);
    return bytes;
  }

  // The sequence stamped in buffer `set` of stream `stream`.
  uint32_t Sequence(int set, size_t stream) {
    std::vector<uint8_t> bytes = Bytes(set, stream);
    const TestStream& s = streams_[stream];
    uint32_t sequence = 0;
    EXPECT_EQ(PrismSimDecodeFrameSequence(bytes.data(), RowStride(s), s.width, s.height, s.bits,
                                          &sequence),
              0);
    return sequence;
  }

  // Releases in the capture service's order: device first.
  void Release() {
    if (device != nullptr) {
      EXPECT_EQ(OzyDeleteDevice(device), OZY_SUCCESS);
    }
    if (compiled != nullptr) {
      EXPECT_EQ(OzyDeleteCompiledGraph(compiled), OZY_SUCCESS);
    }
    if (graph != nullptr) {
      EXPECT_EQ(OzyDeleteGraph(graph), OZY_SUCCESS);
    }
    if (job != nullptr) {
      EXPECT_EQ(OzyDeleteJob(job), OZY_SUCCESS);
    }
    for (OzyNode* node : nodes) {
      if (node != nullptr) {
        EXPECT_EQ(OzyDeleteNode(node), OZY_SUCCESS);
      }
    }
    for (auto& set : buffers) {
      for (OzyDeviceBuffer* b : set) {
        if (b != nullptr) {
          EXPECT_EQ(OzyDeleteDeviceBuffer(b), OZY_SUCCESS);
        }
      }
    }
    if (allocator != nullptr) {
      EXPECT_EQ(OzyDeleteMemoryAllocator(allocator), OZY_SUCCESS);
    }
    device = nullptr;
    compiled = nullptr;
    graph = nullptr;
    job = nullptr;
    nodes.clear();
    buffers.clear();
    allocator = nullptr;
  }

  OzyDevice* device = nullptr;
  std::vector<OzyNode*> nodes;
  std::vector<std::string> names;
  OzyGraph* graph = nullptr;
  OzyCompiledGraph* compiled = nullptr;
  OzyJob* job = nullptr;
  OzyMemoryAllocator* allocator = nullptr;
  std::vector<std::vector<OzyDeviceBuffer*>> buffers;  // [set][stream]
  OzyTransferEventStatus sof{};
  OzyTransferEventStatus eof{};

 private:
  void Expect(OzyError e) {
    EXPECT_EQ(e, OZY_SUCCESS);
    ok_ = ok_ && e == OZY_SUCCESS;
  }

  std::vector<TestStream> streams_;
  bool ok_ = true;
};

}  // namespace prism_test

#endif  // PLATFORM_PRISM_TEST_PIPELINE_H_
