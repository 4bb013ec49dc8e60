// Transfer graphs: the nodes of a capture, paired into streams (a MIPI input
// node and the DRAM node of the same name), before and after compilation.
//
// Threading: Graph and CompiledGraph are immutable after creation; any thread
// may read them. The compile and load counters are atomic.
// Ownership: the registry owns each while its handle lives. Both share their
// nodes; a compiled graph also shares the device it was compiled for, so
// deleting the device, the graph or the nodes first keeps it usable.

#ifndef PLATFORM_PRISM_GRAPH_H_
#define PLATFORM_PRISM_GRAPH_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/prism/device.h"
#include "platform/prism/node.h"
#include "platform/prism/runtime.h"

namespace prism_sim {

// One stream: the indices of its MIPI and DRAM nodes in the node list.
struct StreamPair {
  size_t mipi = 0;
  size_t dram = 0;
};

// Checked nodes of a graph, their names and their pairing.
struct Topology {
  std::vector<std::shared_ptr<Node>> nodes;
  std::vector<std::string> names;
  std::vector<StreamPair> streams;
  std::vector<size_t> stream_of;  // per node: its stream's index

  // Index of the node behind `handle`, or -1.
  int IndexOf(const void* handle) const;
};

// Resolves and checks a node list: OZY_ERROR_INVALID_REQUEST for missing or
// dead handles, names or a bad count, OZY_ERROR_TYPE_MISMATCH when the nodes
// do not pair into streams whose shapes agree.
OzyError BuildTopology(OzyNode* const* nodes, const char* const* names, uint64_t count,
                       Topology* topology);

class Graph : public Object {
 public:
  Graph(std::string name, Topology topology)
      : Object("OzyGraph"), name_(std::move(name)), topology_(std::move(topology)) {}
  const Topology& topology() const { return topology_; }

 private:
  const std::string name_;
  const Topology topology_;
};

class CompiledGraph : public Object {
 public:
  CompiledGraph(std::shared_ptr<Device> device, Topology topology)
      : Object("OzyCompiledGraph"), device_(std::move(device)), topology_(std::move(topology)) {}
  const std::shared_ptr<Device>& device() const { return device_; }
  const Topology& topology() const { return topology_; }

 private:
  const std::shared_ptr<Device> device_;
  const Topology topology_;
};

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_GRAPH_H_
