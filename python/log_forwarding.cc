#include "python/log_forwarding.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "python/log_fold.h"
#include "python/log_queue.h"
#include "system/log_handler.h"

namespace py = pybind11;

namespace talon_python {
namespace {

// Never destroyed: libtalon's threads may log until the process ends. A
// forked child leaves its copy of the parent's queue (whose condition
// variable may count a waiter that did not survive the fork, so signalling
// it would block) and makes its own.
LogQueue* queue = nullptr;         // GIL
std::thread* forwarder = nullptr;  // GIL
bool draining = false;             // GIL: a Drain is emitting
LogFold* fold = nullptr;           // GIL
// fold->pending() as the last drain left it, for the forwarding thread,
// which reads it without the GIL.
std::atomic<bool> fold_pending{false};

void OnEntry(void* context, int severity, const char* file, int line, const char* message) {
  static_cast<LogQueue*>(context)->Push(severity, file, line, message);
  if (severity >= 3) std::fprintf(stderr, "native : %s:%d %s\n", file, line, message);
}

int Level(int severity) {
  switch (severity) {
    case 3:
      return 50;  // CRITICAL
    case 2:
      return 40;  // ERROR
    case 1:
      return 30;  // WARNING
    case 0:
      return 20;  // INFO
    default:
      return 10;  // DEBUG: every verbose level
  }
}

// Emits one record to the logger "talon"; standard error when Python's
// logging is gone (the interpreter's last moments).
void Emit(int level, const std::string& file, int line, const std::string& message) {
  try {
    py::object logger = py::module_::import("logging").attr("getLogger")("talon");
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
    logger.attr("handle")(logger.attr("makeRecord")(logger.attr("name"), level, file, line, message,
                                                    py::tuple(), py::none()));
  } catch (const std::exception&) {  // py::error_already_set among them
    std::fprintf(stderr, "native : %s:%d %s\n", file.c_str(), line, message.c_str());
  }
}

// Emits entries as they come, and a count of repeats that nothing else
// says within LogFold::kPeriod (the GIL is taken only then, not each period).
void Forward(LogQueue* from) {
  uint64_t seen = 0;
  while (true) {
    const uint64_t before = seen;
    if (!from->WaitForEntries(&seen, LogFold::kPeriod)) break;
    if (seen == before && !fold_pending.load()) continue;
    py::gil_scoped_acquire gil;
    LogForwarding::Drain();
  }
}

void EmitAll(const std::vector<LogQueue::Entry>& entries) {
  for (const LogQueue::Entry& e : entries) Emit(Level(e.severity), e.file, e.line, e.message);
}

// Installs the hook with a new queue and starts its forwarding thread.
void Begin() {
  queue = new LogQueue;
  fold = new LogFold;
  fold_pending = false;
  vireo::SetLogHandler(&OnEntry, queue, /*write_stderr=*/false);
  forwarder = new std::thread(&Forward, queue);
  draining = false;
}

}  // namespace

void LogForwarding::Start() {
  Begin();
  py::module_::import("atexit").attr("register")(py::cpp_function(&LogForwarding::Stop));
  // A forked child has neither the parent's thread nor a usable copy of its
  // queue: it begins anew (the parent's objects are left, not joined, since
  // their thread is not the child's). The parent forwards its own entries.
  py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") =
                                                         py::cpp_function(&Begin));
}

void LogForwarding::Drain() {
  if (draining) return;  // the drain under way emits these too, in order
  draining = true;
  while (true) {
    uint64_t lost = 0;
    std::vector<LogQueue::Entry> entries = queue->Take(&lost);
    const LogFold::Clock::time_point now = LogFold::Clock::now();
    const bool taken = !entries.empty();
    std::vector<LogQueue::Entry> said;
    for (LogQueue::Entry& e : entries) fold->Add(std::move(e), now, &said);
    fold->Tick(now, &said);
    EmitAll(said);
    if (!taken && lost == 0) break;
    if (lost != 0) {
      char text[160];
      std::snprintf(text, sizeof(text),
                    "%" PRIu64 " log entries of libtalon were lost: Python took none for too long",
                    lost);
      Emit(30, __FILE__, __LINE__, text);
    }
  }
  fold_pending = fold->pending();
  draining = false;
}

void LogForwarding::Flush() {
  Drain();
  if (draining) return;  // the drain under way says it
  std::vector<LogQueue::Entry> said;
  fold->Flush(&said);
  fold_pending = false;
  draining = true;
  EmitAll(said);
  draining = false;
}

void LogForwarding::Stop() {
  if (forwarder == nullptr) return;
  queue->Stop();
  {
    py::gil_scoped_release release;
    forwarder->join();
  }
  delete forwarder;
  forwarder = nullptr;
  Flush();
}

}  // namespace talon_python
