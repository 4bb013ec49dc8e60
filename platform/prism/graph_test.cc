// Tests of graphs: stream pairing, compilation, and the compiled-graph file
// (round trip, sharing across selector-only differences, damage).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "testing/test_pipeline.h"

namespace {

using talon_testing::TempDir;
using talon_testing::TestPipeline;
using talon_testing::TestStream;

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrismSimSetCompileTimeMs(0);
    PrismSimSetFrameRate(0);
  }
  void TearDown() override { PrismSimSetCompileTimeMs(20); }
};

// Nodes made for a graph, deleted with the fixture.
struct Nodes {
  std::vector<OzyNode*> nodes;
  std::vector<const char*> names;
  void Add(const OzyCreateTransferNodeInfo& info, const char* name) {
    OzyNode* node = nullptr;
    EXPECT_EQ(OzyCreateTransferNode(&info, &node), OZY_SUCCESS);
    nodes.push_back(node);
    names.push_back(name);
  }
  OzyError CreateGraph(OzyGraph** graph) {
    return OzyCreateGraph("mipi_capture", nullptr, nodes.data(), names.data(), nodes.size(), graph);
  }
  ~Nodes() {
    for (OzyNode* node : nodes) OzyDeleteNode(node);
  }
};

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Catches DRAM nodes paired by position instead of by name, and pairs whose
// shapes disagree being accepted.
TEST_F(GraphTest, PairsStreamsByName) {
  TestStream a{43, 64, 4, 10, 0};
  TestStream b{18, 32, 8, 8, 0};
  {
    Nodes n;  // DRAM nodes in the opposite order of their MIPI nodes
    n.Add(talon_testing::MipiInfo(a, 0), "__mipi_in_dt_43");
    n.Add(talon_testing::MipiInfo(b, 0), "__mipi_in_dt_18");
    n.Add(talon_testing::DramInfo(b), "__mipi_in_dt_18");
    n.Add(talon_testing::DramInfo(a), "__mipi_in_dt_43");
    OzyGraph* graph = nullptr;
    ASSERT_EQ(n.CreateGraph(&graph), OZY_SUCCESS);
    EXPECT_EQ(OzyDeleteGraph(graph), OZY_SUCCESS);
  }
  {
    Nodes n;  // names swapped: the shapes no longer agree
    n.Add(talon_testing::MipiInfo(a, 0), "__mipi_in_dt_43");
    n.Add(talon_testing::MipiInfo(b, 0), "__mipi_in_dt_18");
    n.Add(talon_testing::DramInfo(a), "__mipi_in_dt_18");
    n.Add(talon_testing::DramInfo(b), "__mipi_in_dt_43");
    OzyGraph* graph = nullptr;
    EXPECT_EQ(n.CreateGraph(&graph), OZY_ERROR_TYPE_MISMATCH);
  }
  {
    Nodes n;  // a DRAM row one 16-bit unit short
    n.Add(talon_testing::MipiInfo(a, 0), "__mipi_in_dt_43");
    n.Add(talon_testing::NodeInfo(OZY_PARAMETER_USE_DRAM, 39, 4, 16), "__mipi_in_dt_43");
    OzyGraph* graph = nullptr;
    EXPECT_EQ(n.CreateGraph(&graph), OZY_ERROR_TYPE_MISMATCH);
  }
  {
    Nodes n;  // heights differ
    n.Add(talon_testing::MipiInfo(a, 0), "__mipi_in_dt_43");
    n.Add(talon_testing::NodeInfo(OZY_PARAMETER_USE_DRAM, 40, 5, 16), "__mipi_in_dt_43");
    OzyGraph* graph = nullptr;
    EXPECT_EQ(n.CreateGraph(&graph), OZY_ERROR_TYPE_MISMATCH);
  }
  {
    Nodes n;  // a DRAM node in the stream's own format: equal row bytes
    n.Add(talon_testing::MipiInfo(a, 0), "x");
    n.Add(talon_testing::NodeInfo(OZY_PARAMETER_USE_DRAM, 64, 4, 10), "x");
    OzyGraph* graph = nullptr;
    ASSERT_EQ(n.CreateGraph(&graph), OZY_SUCCESS);
    EXPECT_EQ(OzyDeleteGraph(graph), OZY_SUCCESS);
  }
  {
    Nodes n;  // two MIPI nodes, no DRAM node
    n.Add(talon_testing::MipiInfo(a, 0), "x");
    n.Add(talon_testing::MipiInfo(a, 0), "x");
    OzyGraph* graph = nullptr;
    EXPECT_EQ(n.CreateGraph(&graph), OZY_ERROR_TYPE_MISMATCH);
  }
}

// Catches bad arguments to OzyCreateGraph being accepted.
TEST_F(GraphTest, CreateGraphChecksArguments) {
  TestStream a;
  Nodes n;
  n.Add(talon_testing::MipiInfo(a, 0), "s");
  n.Add(talon_testing::DramInfo(a), "s");
  n.Add(talon_testing::MipiInfo(a, 0), "t");
  OzyGraph* graph = nullptr;
  int reserved = 0;
  EXPECT_EQ(OzyCreateGraph("g", &reserved, n.nodes.data(), n.names.data(), 2, &graph),
            OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateGraph("g", nullptr, n.nodes.data(), n.names.data(), 3, &graph),
            OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateGraph("g", nullptr, n.nodes.data(), n.names.data(), 0, &graph),
            OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateGraph("g", nullptr, n.nodes.data(), nullptr, 2, &graph),
            OZY_ERROR_INVALID_REQUEST);
  const char* null_name[2] = {"s", nullptr};
  EXPECT_EQ(OzyCreateGraph("g", nullptr, n.nodes.data(), null_name, 2, &graph),
            OZY_ERROR_INVALID_REQUEST);
  OzyNode* dead[2] = {n.nodes[0], reinterpret_cast<OzyNode*>(&reserved)};
  EXPECT_EQ(OzyCreateGraph("g", nullptr, dead, n.names.data(), 2, &graph),
            OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(graph, nullptr);
}

// Catches compilation for a device without the nodes' receiver, and a compile
// counter that does not count.
TEST_F(GraphTest, CompileChecksDeviceReceivers) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}, 2), OZY_SUCCESS);
  TestStream s;
  Nodes other;  // receiver 1: not on the device
  other.Add(talon_testing::MipiInfo(s, 1), "s");
  other.Add(talon_testing::DramInfo(s), "s");
  OzyGraph* graph = nullptr;
  ASSERT_EQ(other.CreateGraph(&graph), OZY_SUCCESS);
  OzyCompileGraphInfo info;
  std::memset(&info, 0, sizeof(info));
  info.device = p.device;
  OzyCompiledGraph* compiled = nullptr;
  EXPECT_EQ(OzyCompileGraph(graph, &info, &compiled), OZY_ERROR_RESOURCE_NOT_FOUND);
  const uint64_t before = PrismSimCompileCount();
  ASSERT_EQ(OzyCompileGraph(p.graph, &info, &compiled), OZY_SUCCESS);
  EXPECT_EQ(PrismSimCompileCount(), before + 1);
  info.device = nullptr;
  OzyCompiledGraph* none = nullptr;
  EXPECT_EQ(OzyCompileGraph(p.graph, &info, &none), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyDeleteCompiledGraph(compiled), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteGraph(graph), OZY_SUCCESS);
}

// Catches a saved graph that does not load, a load that is not bound to the
// new nodes, and configurations differing only in virtual channel not
// sharing one compiled graph.
TEST_F(GraphTest, SaveLoadRoundTripSharedAcrossVirtualChannels) {
  TempDir dir;
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{43, 64, 4, 10, 0}, TestStream{18, 16, 4, 8, 0}}, 1), OZY_SUCCESS);
  ASSERT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled), OZY_SUCCESS);

  TestPipeline q;

  ASSERT_EQ(q.Build({TestStream{43, 64, 4, 10, 3}, TestStream{18, 16, 4, 8, 3}}, 1), OZY_SUCCESS);
  OzyCompileGraphInfo info;
  std::memset(&info, 0, sizeof(info));
  info.device = q.device;
  OzyCompiledGraph* loaded = nullptr;
  const uint64_t loads = PrismSimLoadCount();
  ASSERT_EQ(OzyLoadPrecompiledGraph(dir.path().c_str(), "graph", q.nodes.nodes.data(),
                                    q.NamePointers().data(), q.nodes.nodes.size(), &info, &loaded),
            OZY_SUCCESS);
  EXPECT_EQ(PrismSimLoadCount(), loads + 1);
  // The loaded graph runs with q's nodes.
  OzyJob* job = nullptr;
  ASSERT_EQ(OzyCreateJob(loaded, &job), OZY_SUCCESS);
  OzyTransferEventStatus sof{};
  EXPECT_EQ(OzySetTransferEventMonitor(job, q.nodes.nodes[0], &sof), OZY_SUCCESS);
  EXPECT_EQ(OzySetTransferEventMonitor(job, p.nodes.nodes[0], &sof), OZY_ERROR_INVALID_REQUEST);
  ASSERT_EQ(OzyLoadDeviceConfig(job), OZY_SUCCESS);
  std::vector<OzyFinalizeBufferInfo> entries = q.Entries(0);
  ASSERT_EQ(OzyFinalizeBuffers(job, entries.data(), 4), OZY_SUCCESS);
  ASSERT_EQ(OzyEnqueueJob(job), OZY_SUCCESS);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(job, 10'000'000'000), OZY_SUCCESS);
  EXPECT_EQ(q.Sequence(0, 0), sof.sequence);
  EXPECT_EQ(OzyUnloadDeviceConfig(job), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteJob(job), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteCompiledGraph(loaded), OZY_SUCCESS);
}

// Catches a graph bound to nodes of another structure (size, format, use,
// count) being loaded.
TEST_F(GraphTest, LoadRefusesStructureMismatch) {
  TempDir dir;
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{43, 64, 4, 10, 0}}), OZY_SUCCESS);
  ASSERT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled), OZY_SUCCESS);
  const std::vector<std::vector<TestStream>> others = {
      {TestStream{43, 64, 8, 10, 0}},                                // height
      {TestStream{43, 32, 4, 10, 0}},                                // width
      {TestStream{43, 80, 4, 8, 0}},                                 // width and bits
      {TestStream{43, 64, 4, 10, 0}, TestStream{18, 64, 4, 10, 0}},  // count
  };
  for (const auto& streams : others) {
    TestPipeline q;
    ASSERT_EQ(q.Build(streams), OZY_SUCCESS);
    OzyCompileGraphInfo info;
    std::memset(&info, 0, sizeof(info));
    info.device = q.device;
    OzyCompiledGraph* loaded = nullptr;
    EXPECT_EQ(
        OzyLoadPrecompiledGraph(dir.path().c_str(), "graph", q.nodes.nodes.data(),
                                q.NamePointers().data(), q.nodes.nodes.size(), &info, &loaded),
        OZY_ERROR_TYPE_MISMATCH)
        << streams[0].width << "x" << streams[0].height;
    EXPECT_EQ(loaded, nullptr);
  }
}

// Catches damaged files (truncated at any length, any bit flipped, random
// bytes) loading, crashing or reading out of bounds, and a missing file or
// directory not reported as such.
TEST_F(GraphTest, DamagedFilesFailCleanly) {
  TempDir dir;
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{43, 64, 4, 10, 0}, TestStream{18, 16, 4, 8, 0}}), OZY_SUCCESS);
  ASSERT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled), OZY_SUCCESS);
  const std::string path = dir.path() + "/graph";
  const std::string good = talon_testing::ReadFile(path);
  ASSERT_GT(good.size(), 16u);
  OzyCompileGraphInfo info;
  std::memset(&info, 0, sizeof(info));
  info.device = p.device;
  auto load = [&]() {
    OzyCompiledGraph* loaded = nullptr;
    OzyError e =
        OzyLoadPrecompiledGraph(dir.path().c_str(), "graph", p.nodes.nodes.data(),
                                p.NamePointers().data(), p.nodes.nodes.size(), &info, &loaded);
    if (loaded != nullptr) OzyDeleteCompiledGraph(loaded);
    return e;
  };
  ASSERT_EQ(load(), OZY_SUCCESS);
  for (size_t length = 0; length < good.size(); ++length) {
    WriteAll(path, good.substr(0, length));
    ASSERT_NE(load(), OZY_SUCCESS) << "truncated to " << length;
  }
  WriteAll(path, good + "x");
  EXPECT_NE(load(), OZY_SUCCESS);
  for (size_t bit = 0; bit < good.size() * 8; ++bit) {
    std::string flipped = good;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    WriteAll(path, flipped);
    ASSERT_NE(load(), OZY_SUCCESS) << "bit " << bit;
  }
  std::mt19937 random(1234);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(random() % 400, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    if (i % 2 == 0 && bytes.size() >= 8) bytes.replace(0, 8, good.substr(0, 8));  // keep magic
    WriteAll(path, bytes);
    ASSERT_NE(load(), OZY_SUCCESS);
  }
  std::remove(path.c_str());
  EXPECT_EQ(load(), OZY_ERROR_RESOURCE_NOT_FOUND);
  EXPECT_EQ(OzySaveCompiledGraph((dir.path() + "/missing").c_str(), "graph", p.compiled),
            OZY_ERROR_RESOURCE_NOT_FOUND);
}

// Catches a save that writes the file in place (a reader, or a write that
// fails part-way, would leave a partial file) or that leaves a temporary
// file behind.
TEST_F(GraphTest, SaveReplacesAtomically) {
  TempDir dir;
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  const std::string path = dir.path() + "/graph";
  WriteAll(path, "stale");
  // A second name of the old file: replacing the file leaves it as it was,
  // writing in place would not.
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/old").c_str()), 0);
  ASSERT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled), OZY_SUCCESS);
  const std::string first = talon_testing::ReadFile(path);
  EXPECT_NE(first, "stale");
  EXPECT_EQ(talon_testing::ReadFile(dir.path() + "/old"), "stale");
  // A write that fails part-way (at the file size limit) keeps the old file.
  WriteAll(path, "stale");
  struct rlimit limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const struct rlimit small = {first.size() / 2, limit.rlim_max};
  auto* previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const OzyError failed = OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  signal(SIGXFSZ, previous);
  EXPECT_NE(failed, OZY_SUCCESS);
  EXPECT_EQ(talon_testing::ReadFile(path), "stale");
  ASSERT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", p.compiled), OZY_SUCCESS);
  EXPECT_EQ(talon_testing::ReadFile(path), first);
  // Only the final files are in the directory.
  std::set<std::string> listing;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    listing.insert(entry.path().filename().string());
  }
  EXPECT_EQ(listing, (std::set<std::string>{"graph", "old"}));
  EXPECT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "a/b", p.compiled), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzySaveCompiledGraph(dir.path().c_str(), "graph", nullptr), OZY_ERROR_INVALID_REQUEST);
}

}  // namespace
