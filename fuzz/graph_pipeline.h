// The IPU objects that a two-stream capture binds a compiled graph to, built
// with the runtime's C API exactly as the capture service's transfer-graph
// helpers build them: a device for MIPI receiver 0 and its streams 0 and 1,
// then one MIPI input node per stream, then one DRAM node per stream that
// moves the stream's rows as 16-bit units. Shared by graph_loader_fuzzer and
// graph_seed_writer, so that the seed files match the fuzzer's nodes.
//
// Threading: one thread. Ownership: a GraphPipeline owns its device and nodes
// and deletes them (device first, as the service does) when destroyed.

#ifndef FUZZ_GRAPH_PIPELINE_H_
#define FUZZ_GRAPH_PIPELINE_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "system/ipu_runtime/prism.h"

namespace fuzz {

struct GraphStream {
  int32_t data_type;  // MIPI CSI-2 data type
  uint32_t width, height, bits;
};

// The capture configuration of the seed files: RAW10 64 x 8 and RAW8 32 x 4.
inline const std::vector<GraphStream>& DefaultStreams() {
  static const std::vector<GraphStream> streams = {{0x2B, 64, 8, 10}, {0x2A, 32, 4, 8}};
  return streams;
}

class GraphPipeline {
 public:
  GraphPipeline() = default;
  GraphPipeline(const GraphPipeline&) = delete;
  GraphPipeline& operator=(const GraphPipeline&) = delete;
  ~GraphPipeline() {
    if (device_ != nullptr) OzyDeleteDevice(device_);
    for (OzyNode* node : nodes_) OzyDeleteNode(node);
  }

  // OZY_SUCCESS, or the first failing runtime call's error.
  OzyError Build(const std::vector<GraphStream>& streams) {
    std::vector<int32_t> mipi_streams;
    for (size_t i = 0; i < streams.size(); ++i) mipi_streams.push_back(static_cast<int32_t>(i));
    OzyGetDeviceInfo device_info;
    std::memset(&device_info, 0, sizeof(device_info));
    device_info.device_kind = OZY_DEVICE_KIND_IPU;
    device_info.stream_kind = OZY_STREAM_KIND_MIPI;
    device_info.mipi_streams = mipi_streams.data();
    device_info.mipi_stream_count = static_cast<int32_t>(mipi_streams.size());
    if (OzyError e = OzyGetDevice(&device_info, &device_); e != OZY_SUCCESS) return e;
    for (const GraphStream& stream : streams) {
      OzyCreateTransferNodeInfo info = NodeInfo(OZY_PARAMETER_USE_MIPI_INPUT, stream.width,
                                                stream.height, stream.bits, true);
      info.mipi_rx = 0;
      info.mipi_virtual_channel = 0;
      info.mipi_data_type = stream.data_type;
      if (OzyError e = Add(info, stream); e != OZY_SUCCESS) return e;
    }
    for (const GraphStream& stream : streams) {
      const OzyCreateTransferNodeInfo info = NodeInfo(
          OZY_PARAMETER_USE_DRAM, (stream.width * stream.bits) >> 4, stream.height, 16, false);
      if (OzyError e = Add(info, stream); e != OZY_SUCCESS) return e;
    }
    for (const std::string& name : names_) name_pointers_.push_back(name.c_str());
    return OZY_SUCCESS;
  }

  OzyCompileGraphInfo CompileInfo() const {
    OzyCompileGraphInfo info;
    std::memset(&info, 0, sizeof(info));
    info.device = device_;
    return info;
  }
  OzyNode* const* nodes() const { return nodes_.data(); }
  const char* const* names() const { return name_pointers_.data(); }
  uint64_t count() const { return nodes_.size(); }

 private:
  static OzyCreateTransferNodeInfo NodeInfo(OzyParameterUse use, uint32_t width, uint32_t height,
                                            uint32_t bits, bool with_10_bit_code) {
    OzyCreateTransferNodeInfo info = OzyDefaultCreateTransferNodeInfo();
    info.use = use;
    info.dimension_count = 4;
    const uint64_t extents[4] = {width, height, 1, 1};
    for (int d = 0; d < 4; ++d) {
      info.dimensions[d].begin = 0;
      info.dimensions[d].extent = extents[d];
      info.dimensions[d].stride = 0;
    }
    info.component_kind = bits == 8 ? 1 : 3;
    info.component_layout = bits == 8 ? 1 : bits == 10 ? 8 : 3;
    info.component_code = bits == 10 && with_10_bit_code ? 3 : 0;
    info.component_packed = bits == 10 ? 1 : 0;
    info.component_flags = 0;
    info.mipi_flags = 0;
    return info;
  }

  OzyError Add(const OzyCreateTransferNodeInfo& info, const GraphStream& stream) {
    OzyNode* node = nullptr;
    if (OzyError e = OzyCreateTransferNode(&info, &node); e != OZY_SUCCESS) return e;
    nodes_.push_back(node);
    names_.push_back("__mipi_in_dt_" + std::to_string(stream.data_type));
    return OZY_SUCCESS;
  }

  OzyDevice* device_ = nullptr;
  std::vector<OzyNode*> nodes_;
  std::vector<std::string> names_;
  std::vector<const char*> name_pointers_;
};

}  // namespace fuzz

#endif  // FUZZ_GRAPH_PIPELINE_H_
