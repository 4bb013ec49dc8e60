#include "system/capture/capture_ozy_helper.h"

#include <cstdlib>
#include <cstring>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "system/capture/capture_setup.h"
#include "system/capture/capture_stream_check.h"
#include "system/capture/capture_util.h"

namespace vireo {
namespace ozy {
namespace {

constexpr char kCompiledGraphFile[] = "graph";
constexpr char kNodeNamePrefix[] = "__mipi_in_dt_";
constexpr uint64_t kNoBufferPlaceholder = 0xDEADBEEF;

// The runtime's default record with the stream's use, dimensions and
// component words written over it. Callers have checked the bits.
OzyCreateTransferNodeInfo BuildTransferNodeInfo(const CaptureStreamConfig& stream,
                                                OzyParameterUse use, bool with_10_bit_code) {
  OzyCreateTransferNodeInfo info = OzyDefaultCreateTransferNodeInfo();
  info.use = use;
  info.dimension_count = 4;
  const uint64_t extents[4] = {stream.width, stream.height, 1, 1};
  for (int d = 0; d < 4; ++d) {
    info.dimensions[d].begin = 0;
    info.dimensions[d].extent = extents[d];
    info.dimensions[d].stride = 0;
  }
  const ComponentFormat& format = stream_check::ComponentFormatOf(stream.bits_per_component);
  info.component_kind = format.kind;
  info.component_layout = format.layout;
  info.component_code = with_10_bit_code ? format.code : 0;
  info.component_packed = format.packed;
  info.component_flags = 0;
  info.mipi_flags = 0;
  return info;
}

std::string NodeName(MipiDataTypeCsi2 data_type) {
  return absl::StrCat(kNodeNamePrefix, static_cast<int32_t>(data_type));
}

void AppendNode(OzyNode* node, MipiDataTypeCsi2 data_type, int32_t buffer_kind, uint64_t buffer,
                uint64_t row_stride_bytes, TransferNodes* transfer_nodes) {
  transfer_nodes->nodes.push_back(node);
  transfer_nodes->names.push_back(NodeName(data_type));
  OzyFinalizeBufferInfo entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.node = node;
  entry.buffer_kind = buffer_kind;
  entry.buffer = buffer;
  entry.row_stride_bytes = row_stride_bytes;
  transfer_nodes->finalize_infos.emplace_back(static_cast<int>(data_type), entry);
}

// The device record's MIPI stream number, 4 * receiver + stream index. The
// receiver is not range-checked: the number is formed in 64 bits and then
// wrapped to the record's 32 bits, which leaves every valid one unchanged.
int32_t MipiStreamNumber(int32_t mipi_rx, size_t index) {
  const int64_t number = int64_t{4} * mipi_rx + static_cast<int64_t>(index);
  return static_cast<int32_t>(static_cast<uint32_t>(number));
}

}  // namespace

namespace internal {

std::string CompiledGraphDir(const CaptureConfig& config) {
  std::string dir = absl::StrCat(GetCompiledGraphDir(), "/capture", "rx", config.mipi_rx);
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    absl::StrAppend(&dir, "dt", static_cast<int32_t>(stream.data_type), "w", stream.width, "h",
                    stream.height, "b", stream.bits_per_component);
  }
  return dir;
}

}  // namespace internal

CaptureError GetDeviceFromConfig(const CaptureConfig& config, OzyDevice** device,
                                 bool mipi_streams_only) {
  const size_t n = config.stream_configs.size();
  std::vector<int32_t> list_a(n, 0);
  std::vector<int32_t> list_b(n, 0);
  std::vector<int32_t> list_m(n, 0);
  for (size_t i = 0; i < n; ++i) {
    list_m[i] = MipiStreamNumber(config.mipi_rx, i);
    if (!mipi_streams_only) {
      list_a[i] = static_cast<int32_t>(i);
      list_b[i] = 12 + static_cast<int32_t>(i);
    }
  }
  OzyGetDeviceInfo info;
  std::memset(&info, 0, sizeof(info));
  info.device_kind = OZY_DEVICE_KIND_IPU;
  info.memory_regions = nullptr;
  info.memory_region_count = 0;
  info.core_ids = list_a.data();
  info.core_id_count = mipi_streams_only ? 0 : static_cast<int32_t>(n);
  info.dma_channels = list_b.data();
  info.dma_channel_count = mipi_streams_only ? 0 : static_cast<int32_t>(n);
  info.stream_kind = OZY_STREAM_KIND_MIPI;
  info.mipi_streams = list_m.data();
  info.mipi_stream_count = static_cast<int32_t>(n);
  info.extra = nullptr;
  info.extra_count = 0;
  return vireo_util::GetCaptureError(OzyGetDevice(&info, device));
}

CaptureError AppendMipiTransferNodes(const CaptureConfig& config, TransferNodes* transfer_nodes) {
  // Streams are refused as a whole before any node is made for them.
  if (!stream_check::AllComponentWidthsSupported(config)) return CaptureError::INVALID_CONFIG;
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    OzyCreateTransferNodeInfo info =
        BuildTransferNodeInfo(stream, OZY_PARAMETER_USE_MIPI_INPUT, true);
    info.mipi_rx = config.mipi_rx;
    info.mipi_virtual_channel = static_cast<int32_t>(config.virtual_channel);
    info.mipi_data_type = static_cast<int32_t>(stream.data_type);
    OzyNode* node = nullptr;
    OzyError error = OzyCreateTransferNode(&info, &node);
    if (error != OZY_SUCCESS) return vireo_util::GetCaptureError(error);
    AppendNode(node, stream.data_type, OZY_BUFFER_KIND_NONE, kNoBufferPlaceholder,
               vireo_util::GetRowStrideBytes(stream), transfer_nodes);
  }
  return CaptureError::SUCCESS;
}

CaptureError AppendDramTransferNodes(const CaptureConfig& config, TransferNodes* transfer_nodes,
                                     bool store_as_16_bit) {
  if (!stream_check::AllComponentWidthsSupported(config)) return CaptureError::INVALID_CONFIG;
  for (const CaptureStreamConfig& stream : config.stream_configs) {
    OzyCreateTransferNodeInfo info;
    if (store_as_16_bit) {
      CaptureStreamConfig as_16_bit = stream;
      as_16_bit.bits_per_component = kCaptureRowUnitBits;
      as_16_bit.width = stream.width * stream.bits_per_component / kCaptureRowUnitBits;
      info = BuildTransferNodeInfo(as_16_bit, OZY_PARAMETER_USE_DRAM, false);
    } else {
      info = BuildTransferNodeInfo(stream, OZY_PARAMETER_USE_DRAM, true);
    }
    OzyNode* node = nullptr;
    OzyError error = OzyCreateTransferNode(&info, &node);
    if (error != OZY_SUCCESS) return vireo_util::GetCaptureError(error);
    AppendNode(node, stream.data_type, OZY_BUFFER_KIND_DEVICE_BUFFER, 0,
               vireo_util::GetRowStrideBytes(stream), transfer_nodes);
  }
  return CaptureError::SUCCESS;
}

CaptureError CreateMipiInputGraph(const CaptureConfig& config,
                                  const OzyCompileGraphInfo& compile_info,
                                  const TransferNodes& transfer_nodes, OzyGraph** graph,
                                  OzyCompiledGraph** compiled_graph) {
  std::vector<const char*> names;
  names.reserve(transfer_nodes.names.size());
  for (const std::string& name : transfer_nodes.names) names.push_back(name.c_str());
  const uint64_t count = transfer_nodes.nodes.size();
  const std::string capture_dir = internal::CompiledGraphDir(config);
  const std::string path = absl::StrCat(capture_dir, "/", kCompiledGraphFile);

  if (vireo_util::FileExists(path)) {
    OzyError error = OzyLoadPrecompiledGraph(capture_dir.c_str(), kCompiledGraphFile,
                                             transfer_nodes.nodes.data(), names.data(), count,
                                             &compile_info, compiled_graph);
    if (error == OZY_SUCCESS) {
      *graph = nullptr;
      return CaptureError::SUCCESS;
    }
    LOG(WARNING) << "Could not load compiled graph from " << path << " try compiling the graph.";
  }

  OzyError error = OzyCreateGraph("mipi_capture", nullptr, transfer_nodes.nodes.data(),
                                  names.data(), count, graph);
  if (error != OZY_SUCCESS) return vireo_util::GetCaptureError(error);
  error = OzyCompileGraph(*graph, &compile_info, compiled_graph);
  if (error != OZY_SUCCESS) return vireo_util::GetCaptureError(error);
  if (!vireo_util::RecursivelyCreateDir(capture_dir)) {
    LOG(ERROR) << "Could not make directory " << capture_dir;
    return CaptureError::FILE_SYSTEM_ERROR;
  }
  error = OzySaveCompiledGraph(capture_dir.c_str(), kCompiledGraphFile, *compiled_graph);
  if (error != OZY_SUCCESS) {
    LOG(WARNING) << "Could not save compiled graph to " << path;
  }
  return vireo_util::GetCaptureError(error);
}

CaptureError FinalizeBuffers(CaptureFrameBuffer* frame_buffer,
                             std::vector<std::pair<int, OzyFinalizeBufferInfo>>* finalize_infos,
                             OzyJob* job) {
  // The entries are large; the worker reuses one array instead of allocating
  // it for every frame.
  thread_local std::vector<OzyFinalizeBufferInfo> infos;
  infos.clear();
  infos.reserve(finalize_infos->size());
  for (const auto& [data_type, entry] : *finalize_infos) {
    infos.push_back(entry);
    if (entry.buffer_kind != OZY_BUFFER_KIND_DEVICE_BUFFER) continue;
    OzyDeviceBuffer* buffer_handle = frame_buffer->GetBufferHandle(data_type);
    if (buffer_handle == nullptr) {
      // A frame buffer made for another configuration: a per-frame error.
      LOG(ERROR) << "Frame buffer holds no data type " << data_type;
      return CaptureError::DATA_TYPE_NOT_FOUND;
    }
    infos.back().buffer = reinterpret_cast<uint64_t>(buffer_handle);
    OzyError error = OzyUnlockDeviceBuffer(buffer_handle);
    if (error != OZY_SUCCESS) return vireo_util::GetCaptureError(error);
  }
  return vireo_util::GetCaptureError(
      OzyFinalizeBuffers(job, infos.data(), static_cast<int32_t>(infos.size())));
}

}  // namespace ozy
}  // namespace vireo
