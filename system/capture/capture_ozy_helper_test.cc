#include "system/capture/capture_ozy_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <utility>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_frame_buffer_factory_impl.h"
#include "system/capture/capture_util.h"
#include "testing/log_capture.h"
#include "testing/prism_trace.h"
#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "testing/test_pipeline.h"

namespace vireo {
namespace ozy {
namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedLogCapture;
using talon_testing::ScopedPrismTrace;
using talon_testing::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint8_t kDefaultByte = 0xA5;

CaptureConfig TwoStreams(bool pad = false) {
  CaptureConfig config;
  config.mipi_rx = 0;
  config.virtual_channel = 2;
  config.timeout_ms = 100;
  config.stream_configs = {{CSI2_RAW10, 64, 4, 10, pad}, {CSI2_EMBEDDED_8BIT, 64, 2, 8, pad}};
  return config;
}

OzyCreateTransferNodeInfo InfoOf(OzyNode* node) {
  OzyCreateTransferNodeInfo info;
  EXPECT_EQ(PrismSimGetNodeInfo(node, &info), 0);
  return info;
}

const uint8_t* Bytes(const OzyCreateTransferNodeInfo& info) {
  return reinterpret_cast<const uint8_t*>(&info);
}

using Pipeline = talon_testing::TestPipeline;

class OzyHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TEST_UNDECLARED_OUTPUTS_DIR", dir_.path().c_str(), 1);
    PrismSimSetCompileTimeMs(0);
    live_ = PrismSimLiveHandleCount();
  }
  void TearDown() override {
    unsetenv("TEST_UNDECLARED_OUTPUTS_DIR");
    // Nothing the helpers made outlives the pipeline that released it.
    EXPECT_EQ(PrismSimLiveHandleCount(), live_);
  }
  std::string GraphPath(const std::string& key) const {
    return dir_.path() + "/capture" + key + "/graph";
  }

  TempDir dir_;
  size_t live_ = 0;
};

// Catches wrong device lists or counts, with and without mipi_streams_only.
TEST_F(OzyHelperTest, DeviceListsForThreeStreams) {
  CaptureConfig config;
  config.mipi_rx = 1;
  config.stream_configs = {
      {CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW8, 8, 8, 8, false}, {CSI2_RAW16, 8, 8, 16, false}};
  ScopedPrismTrace trace;
  OzyDevice* all = nullptr;
  OzyDevice* mipi_only = nullptr;
  ASSERT_EQ(GetDeviceFromConfig(config, &all, false), CaptureError::SUCCESS);
  ASSERT_EQ(GetDeviceFromConfig(config, &mipi_only, true), CaptureError::SUCCESS);
  auto calls = trace.Calls("OzyGetDevice");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_THAT(calls[0], HasSubstr("kind=3, regions=null/0, cores=[0,1,2]/3, dma=[12,13,14]/3, "
                                  "stream_kind=3, mipi=[4,5,6]/3, extra=null/0"));
  EXPECT_THAT(calls[1], HasSubstr("cores=[]/0, dma=[]/0, stream_kind=3, mipi=[4,5,6]/3"));
  EXPECT_EQ(OzyDeleteDevice(all), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteDevice(mipi_only), OZY_SUCCESS);
}

// Catches the stream numbers of a huge or negative receiver overflowing
// (undefined behaviour, reported under UndefinedBehaviorSanitizer) instead
// of wrapping to the record's 32 bits.
TEST_F(OzyHelperTest, StreamNumbersOfAnyReceiver) {
  const std::pair<int32_t, const char*> cases[] = {
      {INT32_MAX, "mipi=[-4,-3]/2"},
      {INT32_MIN, "mipi=[0,1]/2"},
      {0x20000000, "mipi=[-2147483648,-2147483647]/2"},
      {-1, "mipi=[-4,-3]/2"},
  };
  for (const auto& [rx, lists] : cases) {
    CaptureConfig config = TwoStreams();
    config.mipi_rx = rx;
    ScopedPrismTrace trace;
    OzyDevice* device = nullptr;
    if (GetDeviceFromConfig(config, &device, true) == CaptureError::SUCCESS) {
      EXPECT_EQ(OzyDeleteDevice(device), OZY_SUCCESS);
    }
    ASSERT_EQ(trace.Calls("OzyGetDevice").size(), 1u);
    EXPECT_THAT(trace.Calls("OzyGetDevice")[0], HasSubstr(lists)) << rx;
  }
}

// Catches a refused device being reported as success.
TEST_F(OzyHelperTest, DeviceRefusalIsTranslated) {
  ScopedFailpoints fail("OzyGetDevice:3");
  OzyDevice* device = nullptr;
  EXPECT_EQ(GetDeviceFromConfig(TwoStreams(), &device, true), CaptureError::NO_DEV);
}

// Catches wrong names, kinds, strides or order of the node lists.
TEST_F(OzyHelperTest, NodeListsForTwoStreams) {
  for (bool pad : {false, true}) {
    Pipeline p;
    ASSERT_EQ(p.BuildWithHelpers(TwoStreams(pad)), CaptureError::SUCCESS);
    EXPECT_THAT(p.nodes.names, ElementsAre("__mipi_in_dt_43", "__mipi_in_dt_18", "__mipi_in_dt_43",
                                           "__mipi_in_dt_18"));
    ASSERT_EQ(p.nodes.finalize_infos.size(), 4u);
    const int kinds[] = {1, 1, 0, 0};
    const int types[] = {43, 18, 43, 18};
    const uint64_t strides[] = {pad ? 128u : 80u, 64u, pad ? 128u : 80u, 64u};
    for (size_t k = 0; k < 4; ++k) {
      const auto& [data_type, entry] = p.nodes.finalize_infos[k];
      EXPECT_EQ(data_type, types[k]);
      EXPECT_EQ(entry.node, p.nodes.nodes[k]);
      EXPECT_EQ(entry.buffer_kind, kinds[k]);
      EXPECT_EQ(entry.buffer, kinds[k] == 1 ? 0xDEADBEEFu : 0u);
      EXPECT_EQ(entry.row_stride_bytes, strides[k]);
      const uint8_t* raw = reinterpret_cast<const uint8_t*>(&entry);
      for (size_t b = 48; b < sizeof(entry); ++b) ASSERT_EQ(raw[b], 0) << b;
      EXPECT_EQ(entry.reserved0, 0);
      EXPECT_EQ(entry.reserved1[0], 0u);
    }
  }
}

// Catches record fields written wrongly or default bytes overwritten.
TEST_F(OzyHelperTest, NodeRecordsOverTheRuntimeDefaults) {
  Pipeline p;
  CaptureConfig config = TwoStreams();
  config.mipi_rx = 1;
  ASSERT_EQ(p.BuildWithHelpers(config), CaptureError::SUCCESS);

  // MIPI node of the 10-bit stream.
  OzyCreateTransferNodeInfo mipi = InfoOf(p.nodes.nodes[0]);
  EXPECT_EQ(mipi.use, OZY_PARAMETER_USE_MIPI_INPUT);
  EXPECT_EQ(mipi.dimension_count, 4);
  const uint64_t extents[4] = {64, 4, 1, 1};
  for (int d = 0; d < 4; ++d) {
    EXPECT_EQ(mipi.dimensions[d].begin, 0);
    EXPECT_EQ(mipi.dimensions[d].extent, extents[d]);
    EXPECT_EQ(mipi.dimensions[d].stride, 0u);
    EXPECT_EQ(mipi.dimensions[d].reserved, static_cast<int32_t>(0xA5A5A5A5));
  }
  EXPECT_EQ(mipi.component_kind, 3);
  EXPECT_EQ(mipi.component_layout, 8);
  EXPECT_EQ(mipi.component_code, 3);
  EXPECT_EQ(mipi.component_packed, 1);
  EXPECT_EQ(mipi.component_flags, 0);
  EXPECT_EQ(mipi.mipi_rx, 1);
  EXPECT_EQ(mipi.mipi_virtual_channel, 2);
  EXPECT_EQ(mipi.mipi_data_type, 43);
  EXPECT_EQ(mipi.mipi_flags, 0);
  for (size_t b : {4, 5, 6, 7, 12, 15, 116, 119, 136, 143, 160, 175}) {
    EXPECT_EQ(Bytes(mipi)[b], kDefaultByte) << "byte " << b;
  }

  // MIPI node of the 8-bit stream.
  OzyCreateTransferNodeInfo mipi8 = InfoOf(p.nodes.nodes[1]);
  EXPECT_EQ(mipi8.component_kind, 1);
  EXPECT_EQ(mipi8.component_layout, 1);
  EXPECT_EQ(mipi8.component_code, 0);
  EXPECT_EQ(mipi8.component_packed, 0);
  EXPECT_EQ(mipi8.mipi_data_type, 18);

  // DRAM nodes store 16-bit units: 64 ten-bit components take 40 units,
  // 64 eight-bit components 32.
  OzyCreateTransferNodeInfo dram = InfoOf(p.nodes.nodes[2]);
  EXPECT_EQ(dram.use, OZY_PARAMETER_USE_DRAM);
  EXPECT_EQ(dram.dimensions[0].extent, 40u);
  EXPECT_EQ(dram.dimensions[1].extent, 4u);
  EXPECT_EQ(dram.component_kind, 3);
  EXPECT_EQ(dram.component_layout, 3);
  EXPECT_EQ(dram.component_code, 0);
  EXPECT_EQ(dram.component_packed, 0);
  EXPECT_EQ(dram.component_flags, 0);
  EXPECT_EQ(dram.mipi_flags, 0);
  for (size_t b = 144; b < 156; ++b) EXPECT_EQ(Bytes(dram)[b], kDefaultByte) << "byte " << b;
  EXPECT_EQ(InfoOf(p.nodes.nodes[3]).dimensions[0].extent, 32u);
}

// Catches the 16-bit width computed in 64 bits or rounded up, and the
// entry taking the 16-bit copy's stride.
TEST_F(OzyHelperTest, SixteenBitStorageRoundsDown) {
  CaptureConfig config;
  config.stream_configs = {{CSI2_RAW10, 100, 2, 10, true}};
  TransferNodes nodes;
  ASSERT_EQ(AppendDramTransferNodes(config, &nodes, true), CaptureError::SUCCESS);
  EXPECT_EQ(InfoOf(nodes.nodes[0]).dimensions[0].extent, 62u);  // 1000 >> 4
  EXPECT_EQ(nodes.finalize_infos[0].second.row_stride_bytes, 128u);
  TransferNodes plain;
  ASSERT_EQ(AppendDramTransferNodes(config, &plain, false), CaptureError::SUCCESS);
  OzyCreateTransferNodeInfo info = InfoOf(plain.nodes[0]);
  EXPECT_EQ(info.dimensions[0].extent, 100u);
  EXPECT_EQ(info.component_code, 3);
  EXPECT_EQ(info.component_packed, 1);
  for (OzyNode* n : nodes.nodes) OzyDeleteNode(n);
  for (OzyNode* n : plain.nodes) OzyDeleteNode(n);
}

// Catches an unsupported width reaching the runtime or aborting.
TEST_F(OzyHelperTest, UnsupportedBitsRefusedBeforeAnyNode) {
  CaptureConfig config;
  config.stream_configs = {{CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW12, 8, 8, 12, false}};
  ScopedLogCapture log;
  ScopedPrismTrace trace;
  TransferNodes nodes;
  EXPECT_EQ(AppendMipiTransferNodes(config, &nodes), CaptureError::INVALID_CONFIG);
  EXPECT_EQ(AppendDramTransferNodes(config, &nodes, true), CaptureError::INVALID_CONFIG);
  EXPECT_TRUE(nodes.nodes.empty());
  EXPECT_TRUE(trace.Calls("OzyCreateTransferNode").empty());
  EXPECT_EQ(log.Count("bits_per_component could only be 8, 10 or 16."), 2);
}

// Catches lists that stop being parallel when a node cannot be made.
TEST_F(OzyHelperTest, NodeFailureKeepsEarlierNodes) {
  ScopedFailpoints fail("OzyCreateTransferNode:4:2");
  TransferNodes nodes;
  EXPECT_EQ(AppendMipiTransferNodes(TwoStreams(), &nodes), CaptureError::NO_MEM);
  EXPECT_EQ(nodes.nodes.size(), 1u);
  EXPECT_EQ(nodes.names.size(), 1u);
  EXPECT_EQ(nodes.finalize_infos.size(), 1u);
  for (OzyNode* n : nodes.nodes) OzyDeleteNode(n);
}

// Catches a wrong cache key, a cache that is not used, or a compile on a hit.
TEST_F(OzyHelperTest, CompiledGraphCache) {
  CaptureConfig config;
  config.stream_configs = {{CSI2_RAW10, 640, 480, 10, false}};
  const std::string path = GraphPath("rx0dt43w640h480b10");
  {
    ScopedPrismTrace trace;
    Pipeline p;
    ASSERT_EQ(p.BuildWithHelpers(config), CaptureError::SUCCESS);
    EXPECT_NE(p.graph, nullptr);
    EXPECT_NE(p.compiled, nullptr);
    EXPECT_TRUE(vireo_util::FileExists(path));
    EXPECT_EQ(trace.Calls("OzyCompileGraph").size(), 1u);
    EXPECT_TRUE(trace.Calls("OzyLoadPrecompiledGraph").empty());
  }
  // A hit: no graph object, nothing created or compiled; also for a
  // configuration that differs only in virtual channel or padding.
  for (auto change : {0, 1, 2}) {
    CaptureConfig other = config;
    if (change == 1) other.virtual_channel = 3;
    if (change == 2) other.stream_configs[0].pad_row_to_64_bytes = true;
    ScopedPrismTrace trace;
    Pipeline p;
    ASSERT_EQ(p.BuildWithHelpers(other), CaptureError::SUCCESS);
    EXPECT_EQ(p.graph, nullptr);
    EXPECT_NE(p.compiled, nullptr);
    EXPECT_TRUE(trace.Calls("OzyCreateGraph").empty());
    EXPECT_TRUE(trace.Calls("OzyCompileGraph").empty());
    EXPECT_EQ(trace.Calls("OzyLoadPrecompiledGraph").size(), 1u);
  }
}

// Catches a damaged cache file that crashes or is kept instead of replaced.
TEST_F(OzyHelperTest, DamagedCacheFileIsRecompiledAndReplaced) {
  CaptureConfig config = TwoStreams();
  {
    Pipeline p;
    ASSERT_EQ(p.BuildWithHelpers(config), CaptureError::SUCCESS);
  }
  const std::string path = GraphPath("rx0dt43w64h4b10dt18w64h2b8");
  const std::string good = talon_testing::ReadFile(path);
  ASSERT_FALSE(good.empty());
  std::mt19937 rng(7);
  std::vector<std::string> damaged = {std::string(), good.substr(0, good.size() / 2),
                                      good.substr(0, good.size() - 1), "garbage"};
  for (int i = 0; i < 6; ++i) {
    std::string flipped = good;
    flipped[rng() % flipped.size()] ^= static_cast<char>(1u << (rng() % 8));
    damaged.push_back(flipped);
  }
  for (const std::string& bytes : damaged) {
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }
    ScopedLogCapture log;
    Pipeline p;
    ASSERT_EQ(p.BuildWithHelpers(config), CaptureError::SUCCESS);
    EXPECT_NE(p.graph, nullptr);
    EXPECT_THAT(log.Messages(), ElementsAre("Could not load compiled graph from " + path +
                                            " try compiling the graph."));
    EXPECT_EQ(talon_testing::ReadFile(path), good);
  }
}

// Catches a directory failure that is not reported, or handles that are
// lost on the failure paths.
TEST_F(OzyHelperTest, DirectoryAndSaveFailures) {
  CaptureConfig config = TwoStreams();
  // A regular file where the cache directory's parent should be.
  std::ofstream(dir_.path() + "/blocker") << "x";
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", (dir_.path() + "/blocker").c_str(), 1);
  {
    ScopedLogCapture log;
    Pipeline p;
    EXPECT_EQ(p.BuildWithHelpers(config), CaptureError::FILE_SYSTEM_ERROR);
    EXPECT_NE(p.graph, nullptr);
    EXPECT_NE(p.compiled, nullptr);
    EXPECT_THAT(log.Messages(), ElementsAre("Could not make directory " + dir_.path() +
                                            "/blocker/capturerx0dt43w64h4b10dt18w64h2b8"));
  }
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", dir_.path().c_str(), 1);
  {
    ScopedFailpoints fail("OzySaveCompiledGraph:8");
    ScopedLogCapture log;
    Pipeline p;
    EXPECT_EQ(p.BuildWithHelpers(config), CaptureError::OVERFLOW);
    EXPECT_NE(p.graph, nullptr);
    EXPECT_NE(p.compiled, nullptr);
    EXPECT_THAT(log.Messages(), ElementsAre("Could not save compiled graph to " +
                                            GraphPath("rx0dt43w64h4b10dt18w64h2b8")));
  }
}

// Catches an empty variable being used as the base directory. The directory
// is checked as computed: a capture would create it outside the test's own.
TEST_F(OzyHelperTest, EmptyBaseDirectoryMeansTheDefault) {
  const std::string expected = "/data/vireo/compiled_graph/capturerx0dt43w64h4b10dt18w64h2b8";
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", "", 1);
  EXPECT_EQ(internal::CompiledGraphDir(TwoStreams()), expected);
  unsetenv("TEST_UNDECLARED_OUTPUTS_DIR");
  EXPECT_EQ(internal::CompiledGraphDir(TwoStreams()), expected);
}

class FinalizeBuffersTest : public OzyHelperTest {
 protected:
  void SetUp() override {
    OzyHelperTest::SetUp();
    pipeline_ = std::make_unique<Pipeline>();
    ASSERT_EQ(pipeline_->BuildWithHelpers(TwoStreams()), CaptureError::SUCCESS);
    ASSERT_EQ(OzyCreateJob(pipeline_->compiled, &pipeline_->job), OZY_SUCCESS);
    factory_ = std::make_unique<CaptureFrameBufferFactoryImpl>(TwoStreams());
    ASSERT_EQ(factory_->Initialize(), CaptureError::SUCCESS);
    frame_buffer_ = factory_->Create();
    ASSERT_NE(frame_buffer_, nullptr);
  }
  void TearDown() override {
    frame_buffer_.reset();
    factory_.reset();
    pipeline_.reset();
    OzyHelperTest::TearDown();
  }
  std::unique_ptr<Pipeline> pipeline_;
  std::unique_ptr<CaptureFrameBufferFactoryImpl> factory_;
  std::unique_ptr<CaptureFrameBuffer> frame_buffer_;
};

// Catches buffers bound to the wrong node or the entries being modified.
TEST_F(FinalizeBuffersTest, BindsEachStreamsBuffer) {
  auto before = pipeline_->nodes.finalize_infos;
  ScopedPrismTrace trace;
  EXPECT_EQ(FinalizeBuffers(frame_buffer_.get(), &pipeline_->nodes.finalize_infos, pipeline_->job),
            CaptureError::SUCCESS);
  EXPECT_THAT(trace.Functions(),
              ElementsAre("OzyUnlockDeviceBuffer", "OzyUnlockDeviceBuffer", "OzyFinalizeBuffers"));
  const std::string finalize = trace.Calls("OzyFinalizeBuffers")[0];
  EXPECT_THAT(finalize, HasSubstr(talon_testing::ScopedPrismTrace::Pointer(
                            frame_buffer_->GetBufferHandle(CSI2_RAW10))));
  EXPECT_THAT(finalize, HasSubstr(talon_testing::ScopedPrismTrace::Pointer(
                            frame_buffer_->GetBufferHandle(CSI2_EMBEDDED_8BIT))));
  for (size_t k = 0; k < before.size(); ++k) {
    EXPECT_EQ(std::memcmp(&before[k].second, &pipeline_->nodes.finalize_infos[k].second,
                          sizeof(OzyFinalizeBufferInfo)),
              0);
  }
}

// Catches a half-bound job when an unlock fails.
TEST_F(FinalizeBuffersTest, UnlockFailureStopsBeforeTheRuntimeBinds) {
  void* data = nullptr;
  ASSERT_EQ(frame_buffer_->LockFrameData(CSI2_RAW10, &data), CaptureError::SUCCESS);
  ASSERT_EQ(frame_buffer_->LockFrameData(CSI2_EMBEDDED_8BIT, &data), CaptureError::SUCCESS);
  ScopedPrismTrace trace;
  {
    ScopedFailpoints fail("OzyUnlockDeviceBuffer:6:2");
    EXPECT_EQ(
        FinalizeBuffers(frame_buffer_.get(), &pipeline_->nodes.finalize_infos, pipeline_->job),
        CaptureError::RESOURCE_NOT_FOUND);
  }
  EXPECT_THAT(trace.Functions(), ElementsAre("OzyUnlockDeviceBuffer", "OzyUnlockDeviceBuffer"));
}

// Catches an abort, or a runtime call, for a buffer of another configuration.
TEST_F(FinalizeBuffersTest, MissingDataTypeIsAPerFrameError) {
  CaptureConfig other;
  other.stream_configs = {{CSI2_RAW10, 64, 4, 10, false}};
  CaptureFrameBufferFactoryImpl factory(other);
  ASSERT_EQ(factory.Initialize(), CaptureError::SUCCESS);
  auto foreign = factory.Create();
  ScopedPrismTrace trace;
  EXPECT_EQ(FinalizeBuffers(foreign.get(), &pipeline_->nodes.finalize_infos, pipeline_->job),
            CaptureError::DATA_TYPE_NOT_FOUND);
  EXPECT_TRUE(trace.Calls("OzyFinalizeBuffers").empty());
}

}  // namespace
}  // namespace ozy
}  // namespace vireo
