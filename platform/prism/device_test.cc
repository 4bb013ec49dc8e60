// Tests of device opening and transfer-node records: what is accepted, what
// is refused, and what the trace shows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/ipu_pipeline.h"
#include "testing/prism_trace.h"

namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedPrismTrace;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Lists live as long as the test.
struct DeviceRecord {
  int32_t cores[3] = {0, 1, 2};
  int32_t dma[3] = {12, 13, 14};
  int32_t mipi[3] = {4, 5, 6};
  OzyGetDeviceInfo info;
  DeviceRecord() {
    std::memset(&info, 0, sizeof(info));
    info.device_kind = 3;
    info.core_ids = cores;
    info.dma_channels = dma;
    info.stream_kind = 3;
    info.mipi_streams = mipi;
    info.mipi_stream_count = 3;
  }
};

// Catches the capture service's own record (lists A and B allocated with count
// 0) being refused, and a trace line that misprints the lists.
TEST(Device, AcceptsServiceRecordAndTracesIt) {
  ScopedPrismTrace trace;
  DeviceRecord r;
  OzyDevice* device = nullptr;
  ASSERT_EQ(OzyGetDevice(&r.info, &device), OZY_SUCCESS);
  ASSERT_NE(device, nullptr);
  std::vector<std::string> calls = trace.Calls("OzyGetDevice");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0], StartsWith("OzyGetDevice({kind=3, regions=null/0, cores=[]/0, dma=[]/0, "
                                   "stream_kind=3, mipi=[4,5,6]/3, extra=null/0}, ->0x"));
  EXPECT_THAT(calls[0], ::testing::EndsWith(") = 0"));
  EXPECT_EQ(OzyDeleteDevice(device), OZY_SUCCESS);

  r.info.core_id_count = 3;
  r.info.dma_channel_count = 3;
  ASSERT_EQ(OzyGetDevice(&r.info, &device), OZY_SUCCESS);
  EXPECT_THAT(trace.Calls("OzyGetDevice").back(), HasSubstr("cores=[0,1,2]/3, dma=[12,13,14]/3"));
  EXPECT_EQ(OzyDeleteDevice(device), OZY_SUCCESS);
}

// Catches each kind of malformed device record being accepted.
TEST(Device, RefusesMalformedRecords) {
  static int32_t spare[1] = {0};
  const std::vector<std::pair<const char*, std::function<void(DeviceRecord&)>>> cases = {
      {"device kind", [](DeviceRecord& r) { r.info.device_kind = 2; }},
      {"stream kind", [](DeviceRecord& r) { r.info.stream_kind = 0; }},
      {"memory regions", [](DeviceRecord& r) { r.info.memory_regions = spare; }},
      {"memory region count", [](DeviceRecord& r) { r.info.memory_region_count = 1; }},
      {"extra list", [](DeviceRecord& r) { r.info.extra = spare; }},
      {"extra count", [](DeviceRecord& r) { r.info.extra_count = 1; }},
      {"no mipi streams", [](DeviceRecord& r) { r.info.mipi_stream_count = 0; }},
      {"too many mipi streams", [](DeviceRecord& r) { r.info.mipi_stream_count = 4; }},
      {"null mipi list", [](DeviceRecord& r) { r.info.mipi_streams = nullptr; }},
      {"stream out of range", [](DeviceRecord& r) { r.mipi[1] = 16; }},
      {"negative stream", [](DeviceRecord& r) { r.mipi[0] = -1; }},
      {"duplicate stream", [](DeviceRecord& r) { r.mipi[2] = 4; }},
      {"core count", [](DeviceRecord& r) { r.info.core_id_count = 4; }},
      {"negative core count", [](DeviceRecord& r) { r.info.core_id_count = -1; }},
      {"null core list",
       [](DeviceRecord& r) {
         r.info.core_ids = nullptr;
         r.info.core_id_count = 1;
       }},
      {"core out of range",
       [](DeviceRecord& r) {
         r.cores[0] = 12;
         r.info.core_id_count = 3;
       }},
      {"duplicate core",
       [](DeviceRecord& r) {
         r.cores[1] = 0;
         r.info.core_id_count = 2;
       }},
      {"dma out of range",
       [](DeviceRecord& r) {
         r.dma[0] = 11;
         r.info.dma_channel_count = 1;
       }},
      {"duplicate dma",
       [](DeviceRecord& r) {
         r.dma[1] = 12;
         r.info.dma_channel_count = 2;
       }},
  };
  const size_t live = PrismSimLiveHandleCount();
  for (const auto& [name, mutate] : cases) {
    DeviceRecord r;
    mutate(r);
    OzyDevice* device = nullptr;
    EXPECT_EQ(OzyGetDevice(&r.info, &device), OZY_ERROR_INVALID_REQUEST) << name;
    EXPECT_EQ(device, nullptr) << name;
  }
  DeviceRecord r;
  EXPECT_EQ(OzyGetDevice(nullptr, nullptr), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(PrismSimLiveHandleCount(), live);
}

// Catches an injected failure that still creates a device, and deleting or
// resetting a handle twice being accepted.
TEST(Device, InjectedFailureAndDoubleDelete) {
  DeviceRecord r;
  OzyDevice* device = nullptr;
  const size_t live = PrismSimLiveHandleCount();
  {
    ScopedFailpoints fail("OzyGetDevice:3");
    EXPECT_EQ(OzyGetDevice(&r.info, &device), 3);
  }
  EXPECT_EQ(PrismSimLiveHandleCount(), live);
  ASSERT_EQ(OzyGetDevice(&r.info, &device), OZY_SUCCESS);
  EXPECT_EQ(OzyResetDevice(device), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteDevice(device), OZY_SUCCESS);
  EXPECT_EQ(OzyDeleteDevice(device), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyResetDevice(device), OZY_ERROR_INVALID_REQUEST);
}

// Catches defaults that look like a configured record (accepted as is), and
// a caller's overwritten fields being indistinguishable from defaults.
TEST(Node, DefaultsAreRecognisableAndNotConfigured) {
  OzyCreateTransferNodeInfo info = OzyDefaultCreateTransferNodeInfo();
  const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  for (size_t i = 0; i < sizeof(info); ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
  OzyNode* node = nullptr;
  EXPECT_EQ(OzyCreateTransferNode(&info, &node), OZY_ERROR_INVALID_REQUEST);
}

// Catches the node not keeping the exact record it was made from (the DRAM
// node keeps the defaults at 144..152 as the capture service leaves them).
TEST(Node, KeepsItsRecordBytes) {
  talon_testing::TestStream s;
  OzyCreateTransferNodeInfo info = talon_testing::DramInfo(s);
  OzyNode* node = nullptr;
  ASSERT_EQ(OzyCreateTransferNode(&info, &node), OZY_SUCCESS);
  OzyCreateTransferNodeInfo out;
  std::memset(&out, 0, sizeof(out));
  ASSERT_EQ(PrismSimGetNodeInfo(node, &out), 0);
  EXPECT_EQ(std::memcmp(&out, &info, sizeof(info)), 0);
  EXPECT_EQ(out.mipi_rx, static_cast<int32_t>(0xA5A5A5A5));
  EXPECT_EQ(OzyDeleteNode(node), OZY_SUCCESS);
  EXPECT_EQ(PrismSimGetNodeInfo(node, &out), -1);
  EXPECT_EQ(OzyDeleteNode(node), OZY_ERROR_INVALID_REQUEST);
}

// Catches each malformed node record being accepted, and the record formats
// the capture service sends (8, 10 with and without code, 16 bits) refused.
TEST(Node, ChecksRecords) {
  using Mutation = std::function<void(OzyCreateTransferNodeInfo&)>;
  const std::vector<std::pair<const char*, Mutation>> bad = {
      {"use none", [](auto& i) { i.use = 0; }},
      {"use 3", [](auto& i) { i.use = 3; }},
      {"dimension count", [](auto& i) { i.dimension_count = 3; }},
      {"begin", [](auto& i) { i.dimensions[1].begin = 1; }},
      {"stride", [](auto& i) { i.dimensions[0].stride = 128; }},
      {"zero width", [](auto& i) { i.dimensions[0].extent = 0; }},
      {"zero height", [](auto& i) { i.dimensions[1].extent = 0; }},
      {"huge width", [](auto& i) { i.dimensions[0].extent = uint64_t{1} << 40; }},
      {"depth", [](auto& i) { i.dimensions[2].extent = 2; }},
      {"fourth dimension", [](auto& i) { i.dimensions[3].extent = 0; }},
      {"component kind", [](auto& i) { i.component_kind = 2; }},
      {"component layout", [](auto& i) { i.component_layout = 3; }},
      {"component code", [](auto& i) { i.component_code = 1; }},
      {"unpacked 10-bit", [](auto& i) { i.component_packed = 0; }},
      {"component flags", [](auto& i) { i.component_flags = 1; }},
      {"receiver", [](auto& i) { i.mipi_rx = 4; }},
      {"negative receiver", [](auto& i) { i.mipi_rx = -1; }},
      {"virtual channel", [](auto& i) { i.mipi_virtual_channel = 4; }},
      {"data type", [](auto& i) { i.mipi_data_type = 0x40; }},
      {"mipi flags", [](auto& i) { i.mipi_flags = 2; }},
  };
  talon_testing::TestStream s;
  for (const auto& [name, mutate] : bad) {
    OzyCreateTransferNodeInfo info = talon_testing::MipiInfo(s, 1);
    mutate(info);
    OzyNode* node = nullptr;
    EXPECT_EQ(OzyCreateTransferNode(&info, &node), OZY_ERROR_INVALID_REQUEST) << name;
  }
  std::vector<OzyCreateTransferNodeInfo> good;
  for (uint32_t bits : {8u, 10u, 16u}) {
    s.bits = bits;
    good.push_back(talon_testing::MipiInfo(s, 3));
    good.push_back(talon_testing::NodeInfo(OZY_PARAMETER_USE_DRAM, 4, 1, bits));
  }
  s.bits = 10;
  good.push_back(talon_testing::MipiInfo(s, 0));
  good.back().component_code = 0;
  good.back().mipi_virtual_channel = 3;
  good.back().mipi_data_type = 0x3F;
  for (const OzyCreateTransferNodeInfo& info : good) {
    OzyNode* node = nullptr;
    ASSERT_EQ(OzyCreateTransferNode(&info, &node), OZY_SUCCESS);
    EXPECT_EQ(OzyDeleteNode(node), OZY_SUCCESS);
  }
}

// Catches a node trace without the fields a reader needs.
TEST(Node, TracesKeyFields) {
  ScopedPrismTrace trace;
  talon_testing::TestStream s;
  s.data_type = 43;
  s.virtual_channel = 2;
  OzyCreateTransferNodeInfo info = talon_testing::MipiInfo(s, 1);
  OzyNode* node = nullptr;
  ASSERT_EQ(OzyCreateTransferNode(&info, &node), OZY_SUCCESS);
  ASSERT_EQ(trace.Calls("OzyCreateTransferNode").size(), 1u);
  EXPECT_THAT(trace.Calls("OzyCreateTransferNode")[0],
              StartsWith("OzyCreateTransferNode({use=2, dims=4:64x4x1x1, components=(3,8,3,1), "
                         "rx=1, vc=2, dt=43}, ->0x"));
  EXPECT_EQ(OzyDeleteNode(node), OZY_SUCCESS);
}

}  // namespace
