#include "platform/prism/node.h"

#include <cstring>
#include <memory>

#include "platform/prism/payload.h"

namespace prism_sim {

uint32_t ComponentBits(const OzyCreateTransferNodeInfo& info) {
  const int32_t kind = info.component_kind;
  const int32_t layout = info.component_layout;
  const int32_t code = info.component_code;
  const int32_t packed = info.component_packed;
  if (kind == 1 && layout == 1 && code == 0 && packed == 0) return 8;
  if (kind == 3 && layout == 8 && (code == 3 || code == 0) && packed == 1) return 10;
  if (kind == 3 && layout == 3 && code == 0 && packed == 0) return 16;
  return 0;
}

OzyError CheckNodeInfo(const OzyCreateTransferNodeInfo& info) {
  if (info.use != OZY_PARAMETER_USE_DRAM && info.use != OZY_PARAMETER_USE_MIPI_INPUT) {
    return OZY_ERROR_INVALID_REQUEST;
  }
  if (info.dimension_count != 4) return OZY_ERROR_INVALID_REQUEST;
  for (int d = 0; d < 4; ++d) {
    const OzyTransferDimension& dim = info.dimensions[d];
    if (dim.begin != 0 || dim.stride != 0) return OZY_ERROR_INVALID_REQUEST;
    if (d < 2 && (dim.extent == 0 || dim.extent > kMaxExtent)) return OZY_ERROR_INVALID_REQUEST;
    if (d >= 2 && dim.extent != 1) return OZY_ERROR_INVALID_REQUEST;
  }
  if (ComponentBits(info) == 0 || info.component_flags != 0) return OZY_ERROR_INVALID_REQUEST;
  if (info.use == OZY_PARAMETER_USE_MIPI_INPUT) {
    if (info.mipi_rx < 0 || info.mipi_rx >= 4) return OZY_ERROR_INVALID_REQUEST;
    if (info.mipi_virtual_channel < 0 || info.mipi_virtual_channel >= 4) {
      return OZY_ERROR_INVALID_REQUEST;
    }
    if (info.mipi_data_type < 0 || info.mipi_data_type > 0x3F) return OZY_ERROR_INVALID_REQUEST;
    if (info.mipi_flags != 0) return OZY_ERROR_INVALID_REQUEST;
  }
  return OZY_SUCCESS;
}

std::string NodeInfoText(const OzyCreateTransferNodeInfo& info) {
  std::string text =
      "{use=" + std::to_string(info.use) + ", dims=" + std::to_string(info.dimension_count) + ":";
  for (int d = 0; d < 4; ++d) {
    if (d > 0) text += "x";
    text += std::to_string(info.dimensions[d].extent);
  }
  text += ", components=(" + std::to_string(info.component_kind) + "," +
          std::to_string(info.component_layout) + "," + std::to_string(info.component_code) + "," +
          std::to_string(info.component_packed) + ")";
  if (info.use == OZY_PARAMETER_USE_MIPI_INPUT) {
    text += ", rx=" + std::to_string(info.mipi_rx) +
            ", vc=" + std::to_string(info.mipi_virtual_channel) +
            ", dt=" + std::to_string(info.mipi_data_type);
  }
  return text + "}";
}

Node::Node(const OzyCreateTransferNodeInfo& info)
    : Object("OzyNode"), info_(info), bits_(ComponentBits(info)) {}

uint64_t Node::row_bytes() const { return PayloadRowBytes(width(), bits_); }

}  // namespace prism_sim

using prism_sim::Call;
using prism_sim::Node;
using prism_sim::Runtime;

extern "C" {

OzyCreateTransferNodeInfo OzyDefaultCreateTransferNodeInfo(void) {
  // Every byte 0xA5: the use word then names no use, so a record that the
  // caller did not fill in is refused, and a test can tell defaults from
  // overwritten fields. The call cannot fail; a failpoint on it is ignored.
  Call call("OzyDefaultCreateTransferNodeInfo");
  OzyCreateTransferNodeInfo info;
  std::memset(&info, 0xA5, sizeof(info));
  call.Return(OZY_SUCCESS);
  return info;
}

OzyError OzyCreateTransferNode(const OzyCreateTransferNodeInfo* info, OzyNode** node) {
  Call call("OzyCreateTransferNode");
  if (call.tracing()) call.Raw(info == nullptr ? "null" : prism_sim::NodeInfoText(*info));
  if (info == nullptr || node == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  if (OzyError e = prism_sim::CheckNodeInfo(*info); e != OZY_SUCCESS) return call.Return(e);
  auto object = std::make_shared<Node>(*info);
  *node = reinterpret_cast<OzyNode*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*node);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteNode(OzyNode* node) {
  Call call("OzyDeleteNode");
  call.Arg(node);
  if (auto e = call.Injected()) return call.Return(*e);
  if (Runtime::Get().Unregister<Node>(node) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  return call.Return(OZY_SUCCESS);
}

int PrismSimGetNodeInfo(const OzyNode* node, OzyCreateTransferNodeInfo* out) {
  auto object = Runtime::Get().Find<Node>(node);
  if (object == nullptr || out == nullptr) return -1;
  *out = object->info();
  return 0;
}

}  // extern "C"
