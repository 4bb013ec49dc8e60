#include "platform/prism/graph.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/prism/graph_file.h"

namespace prism_sim {
namespace {

std::atomic<uint64_t> compile_count{0};
std::atomic<uint64_t> load_count{0};

uint32_t InitialCompileMs() {
  if (const char* text = std::getenv("PRISM_SIM_COMPILE_MS")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && value <= 60000) return static_cast<uint32_t>(value);
    std::fprintf(stderr, "prism-sim: ignoring malformed PRISM_SIM_COMPILE_MS \"%s\"\n", text);
  }
  return 20;
}

std::atomic<uint32_t>& CompileMs() {
  static std::atomic<uint32_t> ms{InitialCompileMs()};
  return ms;
}

// Row bytes a DRAM node must have to hold a row of `mipi`.
bool RowsAgree(const Node& mipi, const Node& dram) {
  if (dram.bits() == 16) {
    return dram.width() == (uint64_t{mipi.width()} * mipi.bits()) >> 4;
  }
  return dram.row_bytes() == mipi.row_bytes();
}

// Every MIPI node reads a receiver the device has streams on.
bool ReceiversPresent(const Device& device, const Topology& topology) {
  for (const StreamPair& stream : topology.streams) {
    if (!device.HasReceiver(topology.nodes[stream.mipi]->info().mipi_rx)) return false;
  }
  return true;
}

std::string NodeListText(OzyNode* const* nodes, const char* const* names, uint64_t count) {
  if (nodes == nullptr || names == nullptr || count > 6) {
    return PointerText(nodes) + ", " + PointerText(names) + ", " + std::to_string(count);
  }
  std::string text = "[";
  for (uint64_t i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += PointerText(nodes[i]) + ":" + (names[i] == nullptr ? "null" : names[i]);
  }
  return text + "]/" + std::to_string(count);
}

}  // namespace

int Topology::IndexOf(const void* handle) const {
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].get() == handle) return static_cast<int>(i);
  }
  return -1;
}

OzyError BuildTopology(OzyNode* const* nodes, const char* const* names, uint64_t count,
                       Topology* topology) {
  if (nodes == nullptr || names == nullptr || count < 2 || count > 6 || count % 2 != 0) {
    return OZY_ERROR_INVALID_REQUEST;
  }
  Topology t;
  for (uint64_t i = 0; i < count; ++i) {
    auto node = Runtime::Get().Find<Node>(nodes[i]);
    if (node == nullptr || names[i] == nullptr) return OZY_ERROR_INVALID_REQUEST;
    size_t length = strnlen(names[i], kMaxNameBytes + 1);
    if (length == 0 || length > kMaxNameBytes) return OZY_ERROR_INVALID_REQUEST;
    if (t.IndexOf(node.get()) >= 0) return OZY_ERROR_INVALID_REQUEST;
    t.nodes.push_back(std::move(node));
    t.names.emplace_back(names[i], length);
  }
  t.stream_of.assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (!t.nodes[i]->is_mipi()) continue;
    int dram = -1;
    for (size_t j = 0; j < count; ++j) {
      if (t.nodes[j]->is_mipi() || t.names[j] != t.names[i]) continue;
      if (dram >= 0) return OZY_ERROR_TYPE_MISMATCH;  // two DRAM nodes of one name
      dram = static_cast<int>(j);
    }
    if (dram < 0) return OZY_ERROR_TYPE_MISMATCH;
    for (const StreamPair& s : t.streams) {
      if (t.names[s.mipi] == t.names[i]) return OZY_ERROR_TYPE_MISMATCH;  // two MIPI nodes
    }
    const Node& mipi_node = *t.nodes[i];
    const Node& dram_node = *t.nodes[dram];
    if (mipi_node.height() != dram_node.height() || !RowsAgree(mipi_node, dram_node)) {
      return OZY_ERROR_TYPE_MISMATCH;
    }
    t.stream_of[i] = t.streams.size();
    t.stream_of[dram] = t.streams.size();
    t.streams.push_back(StreamPair{i, static_cast<size_t>(dram)});
  }
  if (t.streams.size() * 2 != count) return OZY_ERROR_TYPE_MISMATCH;  // unpaired DRAM nodes
  *topology = std::move(t);
  return OZY_SUCCESS;
}

}  // namespace prism_sim

using prism_sim::Call;
using prism_sim::CompiledGraph;
using prism_sim::Device;
using prism_sim::Graph;
using prism_sim::Runtime;
using prism_sim::SavedNode;
using prism_sim::Topology;

namespace {

bool ValidFileName(const char* name) {
  return name != nullptr && *name != '\0' && std::strchr(name, '/') == nullptr &&
         std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

}  // namespace

extern "C" {

OzyError OzyCreateGraph(const char* name, const void* reserved, OzyNode* const* nodes,
                        const char* const* names, uint64_t count, OzyGraph** graph) {
  Call call("OzyCreateGraph");
  if (call.tracing()) {
    call.Str(name).Arg(reserved).Raw(prism_sim::NodeListText(nodes, names, count));
  }
  if (name == nullptr || reserved != nullptr || graph == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  if (auto e = call.Injected()) return call.Return(*e);
  Topology topology;
  if (OzyError e = prism_sim::BuildTopology(nodes, names, count, &topology); e != OZY_SUCCESS) {
    return call.Return(e);
  }
  auto object = std::make_shared<Graph>(name, std::move(topology));
  *graph = reinterpret_cast<OzyGraph*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*graph);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteGraph(OzyGraph* graph) {
  Call call("OzyDeleteGraph");
  call.Arg(graph);
  if (auto e = call.Injected()) return call.Return(*e);
  if (Runtime::Get().Unregister<Graph>(graph) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  return call.Return(OZY_SUCCESS);
}

OzyError OzyCompileGraph(OzyGraph* graph, const OzyCompileGraphInfo* info,
                         OzyCompiledGraph** compiled_graph) {
  Call call("OzyCompileGraph");
  call.Arg(graph).Arg(info == nullptr ? nullptr : static_cast<const void*>(info->device));
  if (info == nullptr || compiled_graph == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  auto source = Runtime::Get().Find<Graph>(graph);
  auto device = Runtime::Get().Find<Device>(info->device);
  if (source == nullptr || device == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (!prism_sim::ReceiversPresent(*device, source->topology())) {
    return call.Return(OZY_ERROR_RESOURCE_NOT_FOUND);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(prism_sim::CompileMs().load()));
  auto object = std::make_shared<CompiledGraph>(std::move(device), source->topology());
  *compiled_graph = reinterpret_cast<OzyCompiledGraph*>(object.get());
  Runtime::Get().Register(std::move(object));
  prism_sim::compile_count.fetch_add(1);
  call.Out(*compiled_graph);
  return call.Return(OZY_SUCCESS);
}

OzyError OzySaveCompiledGraph(const char* directory, const char* file_name,
                              const OzyCompiledGraph* compiled_graph) {
  Call call("OzySaveCompiledGraph");
  call.Str(directory).Str(file_name).Arg(compiled_graph);
  if (directory == nullptr || !ValidFileName(file_name)) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  if (auto e = call.Injected()) return call.Return(*e);
  auto compiled = Runtime::Get().Find<CompiledGraph>(compiled_graph);
  if (compiled == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  const Topology& topology = compiled->topology();
  std::vector<SavedNode> saved(topology.nodes.size());
  for (size_t i = 0; i < saved.size(); ++i) {
    const OzyCreateTransferNodeInfo& info = topology.nodes[i]->info();
    saved[i].use = info.use;
    for (int d = 0; d < 4; ++d) saved[i].extents[d] = info.dimensions[d].extent;
    saved[i].components[0] = info.component_kind;
    saved[i].components[1] = info.component_layout;
    saved[i].components[2] = info.component_code;
    saved[i].components[3] = info.component_packed;
    saved[i].name = topology.names[i];
  }
  return call.Return(
      prism_sim::WriteFileAtomically(directory, file_name, prism_sim::EncodeGraphFile(saved)));
}

OzyError OzyLoadPrecompiledGraph(const char* directory, const char* file_name,
                                 OzyNode* const* nodes, const char* const* names, uint64_t count,
                                 const OzyCompileGraphInfo* info,
                                 OzyCompiledGraph** compiled_graph) {
  Call call("OzyLoadPrecompiledGraph");
  if (call.tracing()) {
    call.Str(directory).Str(file_name).Raw(prism_sim::NodeListText(nodes, names, count));
    call.Arg(info == nullptr ? nullptr : static_cast<const void*>(info->device));
  }
  if (directory == nullptr || !ValidFileName(file_name) || info == nullptr ||
      compiled_graph == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  if (auto e = call.Injected()) return call.Return(*e);
  auto device = Runtime::Get().Find<Device>(info->device);
  if (device == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  Topology topology;
  if (OzyError e = prism_sim::BuildTopology(nodes, names, count, &topology); e != OZY_SUCCESS) {
    return call.Return(e);
  }
  std::string bytes;
  const std::string path = std::string(directory) + "/" + file_name;
  if (OzyError e = prism_sim::ReadSmallFile(path, prism_sim::kMaxGraphFileBytes, &bytes);
      e != OZY_SUCCESS) {
    return call.Return(e);
  }
  std::vector<SavedNode> saved;
  if (OzyError e = prism_sim::DecodeGraphFile(bytes, &saved); e != OZY_SUCCESS) {
    return call.Return(e);
  }
  // The saved graph must have the structure of the nodes it is bound to; the
  // MIPI selectors and names come from the bound nodes.
  if (saved.size() != topology.nodes.size()) return call.Return(OZY_ERROR_TYPE_MISMATCH);
  for (size_t i = 0; i < saved.size(); ++i) {
    const OzyCreateTransferNodeInfo& bound = topology.nodes[i]->info();
    const int32_t components[4] = {bound.component_kind, bound.component_layout,
                                   bound.component_code, bound.component_packed};
    bool same = saved[i].use == bound.use &&
                std::memcmp(saved[i].components, components, sizeof(components)) == 0;
    for (int d = 0; d < 4; ++d) same = same && saved[i].extents[d] == bound.dimensions[d].extent;
    if (!same) return call.Return(OZY_ERROR_TYPE_MISMATCH);
  }
  if (!prism_sim::ReceiversPresent(*device, topology)) {
    return call.Return(OZY_ERROR_RESOURCE_NOT_FOUND);
  }
  auto object = std::make_shared<CompiledGraph>(std::move(device), std::move(topology));
  *compiled_graph = reinterpret_cast<OzyCompiledGraph*>(object.get());
  Runtime::Get().Register(std::move(object));
  prism_sim::load_count.fetch_add(1);
  call.Out(*compiled_graph);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteCompiledGraph(OzyCompiledGraph* compiled_graph) {
  Call call("OzyDeleteCompiledGraph");
  call.Arg(compiled_graph);
  if (auto e = call.Injected()) return call.Return(*e);
  if (Runtime::Get().Unregister<CompiledGraph>(compiled_graph) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  return call.Return(OZY_SUCCESS);
}

void PrismSimSetCompileTimeMs(uint32_t milliseconds) { prism_sim::CompileMs().store(milliseconds); }

uint64_t PrismSimCompileCount(void) { return prism_sim::compile_count.load(); }
uint64_t PrismSimLoadCount(void) { return prism_sim::load_count.load(); }

}  // extern "C"
