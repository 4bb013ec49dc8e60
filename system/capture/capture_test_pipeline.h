// Test helper: builds the IPU objects of a capture pipeline with the
// transfer-graph helpers and releases them in the capture service's order
// (device first). Test-only; header-only.

#ifndef SYSTEM_CAPTURE_CAPTURE_TEST_PIPELINE_H_
#define SYSTEM_CAPTURE_CAPTURE_TEST_PIPELINE_H_

#include <cstring>

#include <gtest/gtest.h>

#include "system/capture/capture_ozy_helper.h"

namespace vireo {
namespace testing {

struct CapturePipeline {
  OzyDevice* device = nullptr;
  ozy::TransferNodes nodes;
  OzyGraph* graph = nullptr;
  OzyCompiledGraph* compiled = nullptr;
  OzyJob* job = nullptr;
  OzyTransferEventStatus sof{};
  OzyTransferEventStatus eof{};

  CapturePipeline() = default;
  CapturePipeline(const CapturePipeline&) = delete;
  CapturePipeline& operator=(const CapturePipeline&) = delete;

  ~CapturePipeline() {
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
    for (OzyNode* node : nodes.nodes) EXPECT_EQ(OzyDeleteNode(node), OZY_SUCCESS);
  }

  OzyCompileGraphInfo CompileInfo() const {
    OzyCompileGraphInfo info;
    std::memset(&info, 0, sizeof(info));
    info.device = device;
    return info;
  }

  // Device, nodes and compiled graph, as the capture service builds them.
  CaptureError Build(const CaptureConfig& config) {
    CaptureError error = ozy::GetDeviceFromConfig(config, &device, true);
    if (error != CaptureError::SUCCESS) return error;
    error = ozy::AppendMipiTransferNodes(config, &nodes);
    if (error != CaptureError::SUCCESS) return error;
    error = ozy::AppendDramTransferNodes(config, &nodes, true);
    if (error != CaptureError::SUCCESS) return error;
    return ozy::CreateMipiInputGraph(config, CompileInfo(), nodes, &graph, &compiled);
  }

  // Also the job and both monitors.
  CaptureError BuildWithJob(const CaptureConfig& config) {
    CaptureError error = Build(config);
    if (error != CaptureError::SUCCESS) return error;
    if (OzyCreateJob(compiled, &job) != OZY_SUCCESS) return CaptureError::GENERIC_FAILURE;
    const size_t n = nodes.nodes.size() / 2;
    if (OzySetTransferEventMonitor(job, nodes.nodes[0], &sof) != OZY_SUCCESS ||
        OzySetTransferEventMonitor(job, nodes.nodes[n], &eof) != OZY_SUCCESS) {
      return CaptureError::GENERIC_FAILURE;
    }
    return CaptureError::SUCCESS;
  }
};

}  // namespace testing
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_TEST_PIPELINE_H_
