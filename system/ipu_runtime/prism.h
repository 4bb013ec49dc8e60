// The IPU runtime's C interface (libprism, symbol version LIBPRISM_1.0).
//
// The runtime owns every IPU object; callers hold opaque handles and release
// each one with its delete call. Every function but
// OzyDefaultCreateTransferNodeInfo returns an OzyError, OZY_SUCCESS (0) on
// success. The records exchanged with the runtime have fixed byte layouts
// (little-endian, 64-bit pointers), pinned below.
//
// libtalon calls them in this order: set-up (device, nodes, graph, job, event
// monitors); capture (load the device configuration; per frame finalize the
// buffers, enqueue, wait; reset; unload); release (device, compiled graph,
// graph, job, nodes), relying on each delete call to succeed.
//
// Threading: the runtime is thread-safe; a job's runs are enqueued and waited
// for by one thread at a time, and OzyResetDevice may be called from another
// thread while a wait is under way.

#ifndef SYSTEM_IPU_RUNTIME_PRISM_H_
#define SYSTEM_IPU_RUNTIME_PRISM_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Opaque handles: the runtime owns each object until its delete call.
typedef struct OzyDevice OzyDevice;                // an opened IPU with its MIPI streams
typedef struct OzyNode OzyNode;                    // a transfer node: one MIPI input or DRAM output
typedef struct OzyGraph OzyGraph;                  // named transfer nodes, before compilation
typedef struct OzyCompiledGraph OzyCompiledGraph;  // a graph ready to run, or loaded
typedef struct OzyJob OzyJob;                      // the runs of one compiled graph
typedef struct OzyDeviceBuffer OzyDeviceBuffer;    // memory the IPU writes, the CPU locks
typedef struct OzyMemoryAllocator OzyMemoryAllocator;  // makes device buffers of one kind

// The result of every call but OzyDefaultCreateTransferNodeInfo: OZY_SUCCESS
// or one of the OZY_ERROR_* values below (the runtime may return others).
typedef int32_t OzyError;
enum {
  OZY_SUCCESS = 0,
  OZY_ERROR_GENERIC = 1,
  OZY_ERROR_INVALID_REQUEST = 2,
  OZY_ERROR_NO_DEV = 3,
  OZY_ERROR_NO_MEM = 4,
  OZY_ERROR_TIMEOUT = 5,
  OZY_ERROR_RESOURCE_NOT_FOUND = 6,
  OZY_ERROR_TYPE_MISMATCH = 7,
  OZY_ERROR_OVERFLOW = 8,
  OZY_ERROR_CANCELLED = 9,
};

// Memory allocator kinds.
enum { OZY_MEMORY_ALLOCATOR_ION = 3 };

// How a transfer node's parameter is used.
typedef int32_t OzyParameterUse;
enum {
  OZY_PARAMETER_USE_NONE = 0,
  OZY_PARAMETER_USE_DRAM = 1,
  OZY_PARAMETER_USE_MIPI_INPUT = 2,
};

// Buffer kinds of an OzyFinalizeBufferInfo entry.
enum {
  OZY_BUFFER_KIND_DEVICE_BUFFER = 0,  // a device buffer supplied per run
  OZY_BUFFER_KIND_NONE = 1,           // no buffer (MIPI input)
};

// Device kinds in OzyGetDeviceInfo.
enum { OZY_DEVICE_KIND_IPU = 3, OZY_STREAM_KIND_MIPI = 3 };

// Describes the device to open: the units and streams it must provide.
typedef struct OzyGetDeviceInfo {
  int32_t device_kind;            // 0: OZY_DEVICE_KIND_IPU
  int32_t reserved0;              // 4
  const int32_t* memory_regions;  // 8: unused, null
  int32_t memory_region_count;    // 16
  int32_t reserved1;              // 20
  const int32_t* core_ids;        // 24: list A
  int32_t core_id_count;          // 32
  int32_t reserved2;              // 36
  const int32_t* dma_channels;    // 40: list B
  int32_t dma_channel_count;      // 48
  int32_t reserved3;              // 52
  int32_t stream_kind;            // 56: OZY_STREAM_KIND_MIPI
  int32_t reserved4;              // 60
  const int32_t* mipi_streams;    // 64: list M, 4 * receiver + stream index
  int32_t mipi_stream_count;      // 72
  int32_t reserved5;              // 76
  const int32_t* extra;           // 80: unused, null
  int32_t extra_count;            // 88
  uint8_t reserved6[36];          // 92..127
} OzyGetDeviceInfo;

// One dimension of a transfer node.
typedef struct OzyTransferDimension {
  int32_t begin;     // +0
  int32_t reserved;  // +4
  uint64_t extent;   // +8: elements in this dimension
  uint64_t stride;   // +16: 0 lets the runtime choose
} OzyTransferDimension;

// Describes one transfer node; start from OzyDefaultCreateTransferNodeInfo.
typedef struct OzyCreateTransferNodeInfo {
  OzyParameterUse use;                 // 0
  int32_t reserved0;                   // 4
  int32_t dimension_count;             // 8
  int32_t reserved1;                   // 12
  OzyTransferDimension dimensions[4];  // 16..111
  int32_t component_kind;              // 112: 1 for 8-bit, 3 for 10/16-bit
  int32_t reserved2;                   // 116
  int32_t component_layout;            // 120: 1 (8-bit), 8 (10-bit), 3 (16-bit)
  int32_t component_code;              // 124: 3 for 10-bit with code, else 0
  int32_t component_packed;            // 128: 1 for packed 10-bit, else 0
  int32_t component_flags;             // 132: 0
  uint8_t reserved3[8];                // 136..143
  int32_t mipi_rx;                     // 144: MIPI input nodes only
  int32_t mipi_virtual_channel;        // 148: MIPI input nodes only
  int32_t mipi_data_type;              // 152: MIPI input nodes only
  int32_t mipi_flags;                  // 156: 0
  uint8_t reserved4[16];               // 160..175
} OzyCreateTransferNodeInfo;

// Binds one node's buffer for the job's next run.
typedef struct OzyFinalizeBufferInfo {
  OzyNode* node;              // 0
  int32_t buffer_kind;        // 8: OZY_BUFFER_KIND_*
  int32_t reserved0;          // 12
  uint64_t buffer;            // 16: OzyDeviceBuffer* or a placeholder
  uint64_t reserved1[2];      // 24, 32
  uint64_t row_stride_bytes;  // 40
  uint8_t reserved2[20456];   // 48..20503
} OzyFinalizeBufferInfo;

// Compilation parameters.
typedef struct OzyCompileGraphInfo {
  OzyDevice* device;     // 0
  uint8_t reserved[32];  // 8..39
} OzyCompileGraphInfo;

// Updated by the runtime for a monitored node after each run.
typedef struct OzyTransferEventStatus {
  int64_t time_ns;    // 0: CLOCK_BOOTTIME of the node's event
  uint32_t sequence;  // 8: sensor frame sequence of the event
  uint32_t reserved;  // 12
} OzyTransferEventStatus;

// Marks the runtime's functions as the library's interface (default
// visibility).
#define OZY_EXPORT __attribute__((visibility("default")))

// Opens the IPU with the units and MIPI streams that `info` lists; on success
// *device is the new device.
OZY_EXPORT OzyError OzyGetDevice(const OzyGetDeviceInfo* info, OzyDevice** device);
// Ends every run of the device's jobs: a wait under way, and a later wait for
// a run the reset ended, return OZY_ERROR_CANCELLED. Callable from another
// thread while a wait is under way.
OZY_EXPORT OzyError OzyResetDevice(OzyDevice* device);
// Closes the device; its nodes, graphs and job are deleted by their own calls.
OZY_EXPORT OzyError OzyDeleteDevice(OzyDevice* device);

// The default node record, by value: the starting point for
// OzyCreateTransferNode.
OZY_EXPORT OzyCreateTransferNodeInfo OzyDefaultCreateTransferNodeInfo(void);
// Creates the transfer node that `info` describes; on success *node is the
// new node.
OZY_EXPORT OzyError OzyCreateTransferNode(const OzyCreateTransferNodeInfo* info, OzyNode** node);
// Deletes a node.
OZY_EXPORT OzyError OzyDeleteNode(OzyNode* node);

// Creates a graph of `count` nodes with their names; `reserved` is null.
OZY_EXPORT OzyError OzyCreateGraph(const char* name, const void* reserved, OzyNode* const* nodes,
                                   const char* const* names, uint64_t count, OzyGraph** graph);
// Deletes a graph made by OzyCreateGraph.
OZY_EXPORT OzyError OzyDeleteGraph(OzyGraph* graph);
// Compiles `graph` for the device in `info`; takes measurable time (the
// reason for the cache that OzySaveCompiledGraph and OzyLoadPrecompiledGraph
// make possible).
OZY_EXPORT OzyError OzyCompileGraph(OzyGraph* graph, const OzyCompileGraphInfo* info,
                                    OzyCompiledGraph** compiled_graph);
// Saves the compiled graph as the file `file_name` in the existing directory
// `directory`.
OZY_EXPORT OzyError OzySaveCompiledGraph(const char* directory, const char* file_name,
                                         const OzyCompiledGraph* compiled_graph);
// Loads a saved compiled graph and binds it to `count` new nodes of the same
// structure; fails cleanly when the file is missing, damaged or does not match
// the nodes. The MIPI selectors come from the nodes.
OZY_EXPORT OzyError OzyLoadPrecompiledGraph(const char* directory, const char* file_name,
                                            OzyNode* const* nodes, const char* const* names,
                                            uint64_t count, const OzyCompileGraphInfo* info,
                                            OzyCompiledGraph** compiled_graph);
// Deletes a compiled or loaded graph.
OZY_EXPORT OzyError OzyDeleteCompiledGraph(OzyCompiledGraph* compiled_graph);

// Creates the job that runs `compiled_graph`.
OZY_EXPORT OzyError OzyCreateJob(OzyCompiledGraph* compiled_graph, OzyJob** job);
// Deletes a job.
OZY_EXPORT OzyError OzyDeleteJob(OzyJob* job);
// Makes each run of `job` store the event time of `node` in `*status` (start
// of frame for a MIPI input node, end of frame for a DRAM node), written
// before the run's successful wait returns. `*status` is the caller's and
// must outlive the job.
OZY_EXPORT OzyError OzySetTransferEventMonitor(OzyJob* job, OzyNode* node,
                                               OzyTransferEventStatus* status);
// Sets the device up for the job's runs; before the first enqueue.
OZY_EXPORT OzyError OzyLoadDeviceConfig(OzyJob* job);
// Tears down what OzyLoadDeviceConfig set up, after the last run.
OZY_EXPORT OzyError OzyUnloadDeviceConfig(OzyJob* job);
// Binds `count` buffers (one entry per node) for the job's next enqueue.
OZY_EXPORT OzyError OzyFinalizeBuffers(OzyJob* job, const OzyFinalizeBufferInfo* infos,
                                       int32_t count);
// Queues a run with the buffers bound last and returns at once. A second run
// may be queued while one runs; runs complete in order.
OZY_EXPORT OzyError OzyEnqueueJob(OzyJob* job);
// Waits at most `timeout_ns` nanoseconds for the oldest run not yet waited
// for: OZY_SUCCESS when it completed (its event times are then in the
// monitored records), else an error: OZY_ERROR_TIMEOUT when the time ran out,
// OZY_ERROR_CANCELLED after a reset. One thread at a time waits for a job.
OZY_EXPORT OzyError OzyWaitForCompletionWithTimeout(OzyJob* job, uint64_t timeout_ns);

// The allocator of `kind` (OZY_MEMORY_ALLOCATOR_ION).
OZY_EXPORT OzyError OzyGetMemoryAllocator(int32_t kind, OzyMemoryAllocator** allocator);
// Deletes an allocator; the buffers it made stay valid.
OZY_EXPORT OzyError OzyDeleteMemoryAllocator(OzyMemoryAllocator* allocator);
// A device buffer of `size_bytes` bytes; libtalon passes alignment 64, flags
// 0 and heap 0.
OZY_EXPORT OzyError OzyCreateDeviceBufferManaged(OzyMemoryAllocator* allocator, uint64_t size_bytes,
                                                 uint64_t alignment, uint32_t flags, uint32_t heap,
                                                 OzyDeviceBuffer** buffer);
// Frees a device buffer that no pending run has bound.
OZY_EXPORT OzyError OzyDeleteDeviceBuffer(OzyDeviceBuffer* buffer);
// Locks the buffer for the CPU; *data is the address of its first byte.
OZY_EXPORT OzyError OzyLockDeviceBuffer(OzyDeviceBuffer* buffer, void** data);
// Ends the CPU's access; succeeds on an unlocked buffer too.
OZY_EXPORT OzyError OzyUnlockDeviceBuffer(OzyDeviceBuffer* buffer);

#ifdef __cplusplus
}  // extern "C"
#endif

// The compile-time checks of the record layouts below, in C and C++ alike.
#ifdef __cplusplus
#define OZY_STATIC_ASSERT static_assert
#else
#define OZY_STATIC_ASSERT _Static_assert
#endif

OZY_STATIC_ASSERT(sizeof(void*) == 8, "the runtime records assume 64-bit pointers");
OZY_STATIC_ASSERT(sizeof(OzyGetDeviceInfo) == 128, "OzyGetDeviceInfo layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, memory_regions) == 8, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, memory_region_count) == 16, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, core_ids) == 24, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, core_id_count) == 32, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, dma_channels) == 40, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, dma_channel_count) == 48, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, stream_kind) == 56, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, mipi_streams) == 64, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, mipi_stream_count) == 72, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, extra) == 80, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, extra_count) == 88, "layout");
OZY_STATIC_ASSERT(offsetof(OzyGetDeviceInfo, reserved6) == 92, "layout");

OZY_STATIC_ASSERT(sizeof(OzyTransferDimension) == 24, "OzyTransferDimension layout");
OZY_STATIC_ASSERT(sizeof(OzyCreateTransferNodeInfo) == 176, "OzyCreateTransferNodeInfo layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, use) == 0, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimension_count) == 8, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimensions) == 16, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimensions[1].begin) == 40, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimensions[0].extent) == 24, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimensions[0].stride) == 32, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, dimensions[3].stride) == 104, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, component_kind) == 112, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, component_layout) == 120, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, component_code) == 124, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, component_packed) == 128, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, component_flags) == 132, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, mipi_rx) == 144, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, mipi_virtual_channel) == 148, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, mipi_data_type) == 152, "layout");
OZY_STATIC_ASSERT(offsetof(OzyCreateTransferNodeInfo, mipi_flags) == 156, "layout");

OZY_STATIC_ASSERT(sizeof(OzyFinalizeBufferInfo) == 20504, "OzyFinalizeBufferInfo layout");
OZY_STATIC_ASSERT(offsetof(OzyFinalizeBufferInfo, node) == 0, "layout");
OZY_STATIC_ASSERT(offsetof(OzyFinalizeBufferInfo, buffer_kind) == 8, "layout");
OZY_STATIC_ASSERT(offsetof(OzyFinalizeBufferInfo, buffer) == 16, "layout");
OZY_STATIC_ASSERT(offsetof(OzyFinalizeBufferInfo, row_stride_bytes) == 40, "layout");

OZY_STATIC_ASSERT(sizeof(OzyCompileGraphInfo) == 40, "OzyCompileGraphInfo layout");
OZY_STATIC_ASSERT(offsetof(OzyCompileGraphInfo, device) == 0, "layout");

OZY_STATIC_ASSERT(sizeof(OzyTransferEventStatus) == 16, "OzyTransferEventStatus layout");
OZY_STATIC_ASSERT(offsetof(OzyTransferEventStatus, time_ns) == 0, "layout");

#undef OZY_STATIC_ASSERT

#endif  // SYSTEM_IPU_RUNTIME_PRISM_H_
