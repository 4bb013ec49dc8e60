#include "system/capture/dram_capture_service.h"

#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "system/capture/capture_frame_buffer_impl.h"
#include "system/capture/capture_stream_check.h"
#include "system/capture/capture_util.h"
#include "system/capture/held_buffers.h"

namespace vireo {

CaptureService::~CaptureService() {}

std::unique_ptr<CaptureService> CaptureService::CreateInstance(const CaptureConfig& config) {
  auto service = std::make_unique<DramCaptureService>(config);
  if (service->Initialize() != CaptureError::SUCCESS) return nullptr;
  return service;
}

CaptureFrameBuffer* TryDequeueCompletedRequest(CaptureService* service, uint32_t timeout_ms) {
  auto* dram_service = dynamic_cast<DramCaptureService*>(service);
  if (dram_service == nullptr) return nullptr;
  return dram_service->TryDequeueCompletedRequest(timeout_ms);
}

DramCaptureService::DramCaptureService(const CaptureConfig& config) : config_(config) {}

DramCaptureService::~DramCaptureService() {
  if (capture_job_thread_ != nullptr) {
    Pause();
    // No IPU object goes while a client call that the stop released is
    // still inside the worker.
    capture_job_thread_->AwaitClientCallsLeft();
  }
  ReleaseIpu();
  transfer_nodes_.finalize_infos.clear();
  transfer_nodes_.names.clear();
  transfer_nodes_.nodes.clear();
  capture_job_thread_.reset();
}

CaptureError DramCaptureService::Initialize() {
  CaptureError error = vireo_util::CheckCaptureConfig(config_);
  if (error != CaptureError::SUCCESS) return error;
  error = InitializeIpu();
  if (error != CaptureError::SUCCESS) return error;
  LOG(INFO) << "IPU initialized";
  error = InitializeThread();
  LOG(INFO) << "Thread initialized";
  return error;
}

CaptureError DramCaptureService::InitializeIpu() {
  if (device_ != nullptr || graph_ != nullptr || compiled_graph_ != nullptr || job_ != nullptr ||
      capture_job_thread_ != nullptr) {
    return CaptureError::ALREADY_INITIALIZED;
  }
  if (!stream_check::StreamsCanBeBuilt(config_)) return CaptureError::INVALID_CONFIG;

  CaptureError error = ozy::GetDeviceFromConfig(config_, &device_, true);
  if (error != CaptureError::SUCCESS) {
    LOG(ERROR) << "Could not get device from config.";
    return error;
  }
  error = ozy::AppendMipiTransferNodes(config_, &transfer_nodes_);
  if (error != CaptureError::SUCCESS) {
    LOG(ERROR) << "Could not create MIPI transfer nodes.";
    return error;
  }
  const size_t mipi_node_size = transfer_nodes_.nodes.size();
  error = ozy::AppendDramTransferNodes(config_, &transfer_nodes_, true);
  if (error != CaptureError::SUCCESS) {
    LOG(ERROR) << "Could not create DRAM transfer nodes.";
    return error;
  }
  CHECK_EQ(mipi_node_size * 2, transfer_nodes_.nodes.size());

  OzyCompileGraphInfo compile_info;
  std::memset(&compile_info, 0, sizeof(compile_info));
  compile_info.device = device_;
  error =
      ozy::CreateMipiInputGraph(config_, compile_info, transfer_nodes_, &graph_, &compiled_graph_);
  if (error != CaptureError::SUCCESS) {
    LOG(ERROR) << "Could not create MIPI input graph.";
    return error;
  }

  OzyError ozy_error = OzyCreateJob(compiled_graph_, &job_);
  if (ozy_error != OZY_SUCCESS) {
    LOG(ERROR) << "Could not create job.";
    return vireo_util::GetCaptureError(ozy_error);
  }
  sof_status_.time_ns = 0;
  ozy_error = OzySetTransferEventMonitor(job_, transfer_nodes_.nodes[0], &sof_status_);
  if (ozy_error != OZY_SUCCESS) {
    LOG(ERROR) << "Could not set SOF event monitor.";
    return vireo_util::GetCaptureError(ozy_error);
  }
  eof_status_.time_ns = 0;
  ozy_error = OzySetTransferEventMonitor(job_, transfer_nodes_.nodes[mipi_node_size], &eof_status_);
  if (ozy_error != OZY_SUCCESS) {
    LOG(ERROR) << "Could not set EOF event monitor.";
    return vireo_util::GetCaptureError(ozy_error);
  }
  LOG(INFO) << "InitializeIpu"
            << " success";
  return CaptureError::SUCCESS;
}

CaptureError DramCaptureService::InitializeThread() {
  if (capture_job_thread_ != nullptr) return CaptureError::ALREADY_INITIALIZED;
  if (job_ == nullptr) {
    LOG(ERROR) << "InitializeThread without the IPU objects of InitializeIpu";
    return CaptureError::INVALID_REQUEST;
  }
  capture_job_thread_ = std::make_unique<CaptureJobThread>(
      device_, job_, &transfer_nodes_, &sof_status_, &eof_status_, config_.timeout_ms);
  capture_job_thread_->SetStreams(config_.stream_configs);
  try {
    capture_job_thread_->Start();
  } catch (const std::system_error& e) {
    LOG(ERROR) << "Could not start the capture thread: " << e.what();
    return CaptureError::BACKGROUND_THREAD_ERROR;
  }
  return CaptureError::SUCCESS;
}

void DramCaptureService::ReleaseIpu() {
  if (capture_job_thread_ != nullptr) {
    if (capture_job_thread_->ipu_released()) return;
    // Called before the destructor: the worker must not use what goes now.
    Pause();
    capture_job_thread_->MarkIpuReleased();
  }
  OzyError error = OZY_SUCCESS;
  if (device_ != nullptr) {
    error = OzyDeleteDevice(device_);
    CHECK_EQ(OZY_SUCCESS, error);
  }
  if (compiled_graph_ != nullptr) {
    error = OzyDeleteCompiledGraph(compiled_graph_);
    CHECK_EQ(OZY_SUCCESS, error);
  }
  if (graph_ != nullptr) {
    error = OzyDeleteGraph(graph_);
    CHECK_EQ(OZY_SUCCESS, error);
  }
  if (job_ != nullptr) {
    error = OzyDeleteJob(job_);
    CHECK_EQ(OZY_SUCCESS, error);
  }
  for (OzyNode* node : transfer_nodes_.nodes) {
    error = OzyDeleteNode(node);
    CHECK_EQ(OZY_SUCCESS, error);
  }
  // Gone: a later call must not delete them again.
  device_ = nullptr;
  compiled_graph_ = nullptr;
  graph_ = nullptr;
  job_ = nullptr;
  transfer_nodes_.nodes.clear();
  LOG(INFO) << "ReleaseIpu"
            << " success";
}

CaptureError DramCaptureService::EnqueueRequest(CaptureFrameBuffer* frame_buffer) {
  if (frame_buffer == nullptr) return CaptureError::INVALID_BUFFER;
  auto* impl = dynamic_cast<CaptureFrameBufferImpl*>(frame_buffer);
  if (impl == nullptr) return CaptureError::INVALID_BUFFER;
  // Only a factory's buffer tells the truth about its device buffers; one
  // built by hand (or a subclass) could claim rows its memory does not have.
  if (!held_buffers::MadeByFactory(impl)) {
    LOG(ERROR) << "EnqueueRequest refused: the frame buffer was not made by a "
               << "CaptureFrameBufferFactory";
    return CaptureError::INVALID_BUFFER;
  }
  if (capture_job_thread_ == nullptr) {
    LOG(ERROR) << "EnqueueRequest on a capture service that is not initialized";
    return CaptureError::INVALID_REQUEST;
  }
  return capture_job_thread_->EnqueueRequestUnlessHeld(impl) == held_buffers::Hold::kTaken
             ? CaptureError::SUCCESS
             : CaptureError::INVALID_BUFFER;
}

CaptureFrameBuffer* DramCaptureService::DequeueCompletedRequest() {
  if (capture_job_thread_ == nullptr) return nullptr;
  return capture_job_thread_->DequeueCompletedRequest();
}

CaptureFrameBuffer* DramCaptureService::TryDequeueCompletedRequest(uint32_t timeout_ms) {
  if (capture_job_thread_ == nullptr) return nullptr;
  return capture_job_thread_->TryDequeueCompletedRequest(timeout_ms);
}

int DramCaptureService::BlockedClientCount() {
  if (capture_job_thread_ == nullptr) return 0;
  return capture_job_thread_->BlockedClientCount();
}

void DramCaptureService::ClearPendingRequests() {
  if (capture_job_thread_ == nullptr) return;
  capture_job_thread_->ClearPendingRequests();
}

void DramCaptureService::Pause() {
  if (capture_job_thread_ == nullptr) return;
  capture_job_thread_->Finish();
}

void DramCaptureService::Resume() {
  if (capture_job_thread_ == nullptr) {
    LOG(ERROR) << "Resume on a capture service that is not initialized";
    return;
  }
  if (capture_job_thread_->ipu_released()) {
    LOG(ERROR) << "Resume on a capture service whose IPU objects are released";
    return;
  }
  if (capture_job_thread_->running()) {
    LOG(WARNING) << "Resume ignored: the capture is running";
    return;
  }
  try {
    capture_job_thread_->Start();
  } catch (const std::system_error& e) {
    LOG(ERROR) << "Could not start the capture thread: " << e.what();
  }
}

}  // namespace vireo
