// A client built for the device against the published declarations alone:
// this file includes no header of the project, declares the capture classes
// exactly as clients see them (virtual slots in their published order, the
// published members and so sizes) and links the shared library. It catches
// a virtual slot that moved (a client calling Pause would reach another
// operation) and a class that grew (a client constructing it in its own
// memory would have that memory overrun).
//
// Run with the simulated sensor unthrottled (PRISM_SIM_FPS=0, set by CTest).

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

extern "C" {
typedef struct OzyDevice OzyDevice;
typedef struct OzyGraph OzyGraph;
typedef struct OzyCompiledGraph OzyCompiledGraph;
typedef struct OzyJob OzyJob;
typedef struct OzyNode OzyNode;
typedef struct OzyDeviceBuffer OzyDeviceBuffer;
typedef struct OzyTransferEventStatus {
  int64_t time_ns;
  uint32_t sequence;
  uint32_t reserved;
} OzyTransferEventStatus;
typedef struct OzyFinalizeBufferInfo {
  unsigned char bytes[48];
} OzyFinalizeBufferInfo;
}

namespace vireo {

enum MipiDataTypeCsi2 : int32_t { CSI2_RAW10 = 0x2B };
enum class CaptureStatus : int32_t { IDLE = 0, ENQUEUED = 1, RUNNING = 2, COMPLETED = 3 };
enum class CaptureError : int32_t { SUCCESS = 0, INVALID_BUFFER = 15 };

struct CaptureStreamConfig {
  MipiDataTypeCsi2 data_type;
  uint32_t width;
  uint32_t height;
  uint32_t bits_per_component;
  bool pad_row_to_64_bytes;
};
struct CaptureConfig {
  int32_t mipi_rx;
  uint32_t virtual_channel;
  uint32_t timeout_ms;
  std::vector<CaptureStreamConfig> stream_configs;
};

class CaptureFrameBuffer {
 public:
  virtual ~CaptureFrameBuffer();
  virtual OzyDeviceBuffer* GetBufferHandle(int data_type) const = 0;
  virtual CaptureStatus GetStatus() const = 0;
  virtual int64_t GetTimestampStartNs() const = 0;
  virtual int64_t GetTimestampEndNs() const = 0;
  virtual CaptureError GetError() const = 0;
  virtual std::vector<int> GetDataTypeList() const = 0;
  virtual CaptureError LockFrameData(int data_type, void** data) const = 0;
  virtual CaptureError UnlockFrameData(int data_type) const = 0;
  virtual uint64_t GetRowStrideBytes(int data_type) const = 0;
};

class CaptureFrameBufferFactory {
 public:
  virtual ~CaptureFrameBufferFactory();
  virtual std::unique_ptr<CaptureFrameBuffer> Create() = 0;
  static std::unique_ptr<CaptureFrameBufferFactory> CreateInstance(const CaptureConfig& config);
};

class CaptureService {
 public:
  virtual ~CaptureService();
  virtual CaptureError EnqueueRequest(CaptureFrameBuffer* frame_buffer) = 0;
  virtual CaptureFrameBuffer* DequeueCompletedRequest() = 0;
  virtual void ClearPendingRequests() = 0;
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  static std::unique_ptr<CaptureService> CreateInstance(const CaptureConfig& config);
};

class CaptureJobThread;
namespace ozy {
struct TransferNodes {
  std::vector<OzyNode*> nodes;
  std::vector<std::string> names;
  std::vector<std::pair<int, OzyFinalizeBufferInfo>> finalize_infos;
};
}  // namespace ozy

class DramCaptureService : public CaptureService {
 public:
  explicit DramCaptureService(const CaptureConfig& config);
  ~DramCaptureService() override;
  CaptureError EnqueueRequest(CaptureFrameBuffer* frame_buffer) override;
  CaptureFrameBuffer* DequeueCompletedRequest() override;
  void ClearPendingRequests() override;
  void Pause() override;
  void Resume() override;
  CaptureError Initialize();

 private:
  CaptureConfig config_;
  std::unique_ptr<CaptureJobThread> capture_job_thread_;
  OzyDevice* device_;
  OzyGraph* graph_;
  OzyCompiledGraph* compiled_graph_;
  OzyJob* job_;
  ozy::TransferNodes transfer_nodes_;
  OzyTransferEventStatus sof_status_;
  OzyTransferEventStatus eof_status_;
};

class CaptureFrameBufferImpl : public CaptureFrameBuffer {
 public:
  using EntryMap = std::unordered_map<int, std::pair<CaptureStreamConfig, OzyDeviceBuffer*>>;
  explicit CaptureFrameBufferImpl(const EntryMap& entries);
  ~CaptureFrameBufferImpl() override;
  OzyDeviceBuffer* GetBufferHandle(int data_type) const override;
  CaptureStatus GetStatus() const override;
  int64_t GetTimestampStartNs() const override;
  int64_t GetTimestampEndNs() const override;
  CaptureError GetError() const override;
  std::vector<int> GetDataTypeList() const override;
  CaptureError LockFrameData(int data_type, void** data) const override;
  CaptureError UnlockFrameData(int data_type) const override;
  uint64_t GetRowStrideBytes(int data_type) const override;

 private:
  EntryMap entries_;
  CaptureStatus status_;
  int64_t timestamp_start_ns_;
  int64_t timestamp_end_ns_;
  CaptureError error_;
};

}  // namespace vireo

namespace {

using vireo::CaptureError;
using vireo::CaptureStatus;

int g_failures = 0;

void Expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAIL %s\n", what);
    ++g_failures;
  }
}

vireo::CaptureConfig Config() {
  return vireo::CaptureConfig{0, 0, 3000, {{vireo::CSI2_RAW10, 64, 8, 10, false}}};
}

// Guard bytes after an object constructed in the client's own memory.
constexpr size_t kGuard = 256;
constexpr unsigned char kPattern = 0xA5;

template <typename T>
struct Placed {
  alignas(T) unsigned char storage[sizeof(T) + kGuard];
  Placed() { std::memset(storage, kPattern, sizeof(storage)); }
  bool GuardIntact() const {
    for (size_t i = sizeof(T); i < sizeof(storage); ++i) {
      if (storage[i] != kPattern) return false;
    }
    return true;
  }
};

// Pause, clear, enqueue while paused, resume and capture, through the
// published slots.
void Drive(vireo::CaptureService* service, vireo::CaptureFrameBufferFactory* factory) {
  auto a = factory->Create();
  auto b = factory->Create();
  Expect(a != nullptr && b != nullptr, "the factory makes frame buffers");
  if (a == nullptr || b == nullptr) return;
  service->Pause();
  Expect(service->EnqueueRequest(a.get()) == CaptureError::SUCCESS, "enqueue while paused");
  Expect(service->EnqueueRequest(b.get()) == CaptureError::SUCCESS, "enqueue while paused");
  service->ClearPendingRequests();
  Expect(service->DequeueCompletedRequest() == nullptr, "a paused service returns null");
  // Cleared: the buffers are the client's again and may be enqueued anew.
  Expect(service->EnqueueRequest(a.get()) == CaptureError::SUCCESS, "enqueue after the clear");
  Expect(service->EnqueueRequest(b.get()) == CaptureError::SUCCESS, "enqueue after the clear");
  service->Resume();
  const auto start = std::chrono::steady_clock::now();
  int delivered = 0;
  for (int i = 0; i < 6; ++i) {
    vireo::CaptureFrameBuffer* done = service->DequeueCompletedRequest();
    Expect(done == a.get() || done == b.get(), "resumed: a buffer comes back");
    if (done == nullptr) break;
    Expect(done->GetStatus() == CaptureStatus::COMPLETED, "completed");
    if (done->GetError() == CaptureError::SUCCESS) ++delivered;
    // Always handed back: with one buffer pending the worker would wait a
    // whole timeout_ms for a second before it captures.
    service->EnqueueRequest(done);
  }
  Expect(delivered >= 5, "resumed: frames delivered");
  Expect(std::chrono::steady_clock::now() - start < std::chrono::seconds(3),
         "resumed: frames within 3 s");
  service->Pause();
  while (service->DequeueCompletedRequest() != nullptr) {
  }
  // The buffers still waiting are the client's again before they go.
  service->ClearPendingRequests();
}

}  // namespace

int main() {
  static_assert(sizeof(vireo::DramCaptureService) == 192, "the published size");
  static_assert(sizeof(vireo::CaptureFrameBufferImpl) == 96, "the published size");

  auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(Config());
  Expect(factory != nullptr, "CaptureFrameBufferFactory::CreateInstance");
  if (factory == nullptr) return 1;

  {
    auto service = vireo::CaptureService::CreateInstance(Config());
    Expect(service != nullptr, "CaptureService::CreateInstance");
    if (service != nullptr) Drive(service.get(), factory.get());
  }
  {
    Placed<vireo::DramCaptureService> placed;
    auto* service = new (placed.storage) vireo::DramCaptureService(Config());
    Expect(service->Initialize() == CaptureError::SUCCESS, "DramCaptureService::Initialize");
    Drive(service, factory.get());
    service->~DramCaptureService();
    Expect(placed.GuardIntact(), "DramCaptureService wrote past its published size");
  }
  {
    Placed<vireo::CaptureFrameBufferImpl> placed;
    auto* buffer = new (placed.storage)
        vireo::CaptureFrameBufferImpl(vireo::CaptureFrameBufferImpl::EntryMap{});
    Expect(buffer->GetStatus() == CaptureStatus::IDLE, "a new buffer is IDLE");
    Expect(buffer->GetDataTypeList().empty(), "no data types");
    auto service = vireo::CaptureService::CreateInstance(Config());
    Expect(service != nullptr && service->EnqueueRequest(buffer) == CaptureError::INVALID_BUFFER,
           "a buffer not made by a factory is refused");
    service.reset();
    buffer->~CaptureFrameBufferImpl();
    Expect(placed.GuardIntact(), "CaptureFrameBufferImpl wrote past its published size");
  }
  if (g_failures == 0) std::printf("published layout: slots and sizes hold\n");
  return g_failures == 0 ? 0 : 1;
}
