#include "python/log_forwarding.h"

#include <pybind11/pybind11.h>

#include <cinttypes>
#include <cstdio>
#include <vector>
#include <string>
#include <thread>

#include "python/log_queue.h"
#include "system/log_handler.h"

namespace py = pybind11;

namespace talon_python {
namespace {

// Never destroyed: libtalon's threads may log until the process ends.
LogQueue& Queue() {
  static LogQueue* queue = new LogQueue;
  return *queue;
}

std::thread* forwarder = nullptr;  // GIL
bool draining = false;             // GIL: a Drain is emitting

void OnEntry(void* context, int severity, const char* file, int line, const char* message) {
  static_cast<LogQueue*>(context)->Push(severity, file, line, message);
  if (severity >= 3) std::fprintf(stderr, "native : %s:%d %s\n", file, line, message);
}

int Level(int severity) {
  switch (severity) {
    case 3: return 50;  // CRITICAL
    case 2: return 40;  // ERROR
    case 1: return 30;  // WARNING
    case 0: return 20;  // INFO
    default: return 10;  // DEBUG: every verbose level
  }
}

// Emits one record to the logger "talon"; standard error when Python's
// logging is gone (the interpreter's last moments).
void Emit(int level, const std::string& file, int line, const std::string& message) {
  try {
    py::object logger = py::module_::import("logging").attr("getLogger")("talon");
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
    logger.attr("handle")(logger.attr("makeRecord")(logger.attr("name"), level, file, line,
                                                    message, py::tuple(), py::none()));
  } catch (const std::exception&) {  // py::error_already_set among them
    std::fprintf(stderr, "native : %s:%d %s\n", file.c_str(), line, message.c_str());
  }
}

void Forward() {
  uint64_t seen = 0;
  while (Queue().WaitForEntries(&seen)) {
    py::gil_scoped_acquire gil;
    LogForwarding::Drain();
  }
}

}  // namespace

void LogForwarding::Start() {
  vireo::SetLogHandler(&OnEntry, &Queue(), /*write_stderr=*/false);
  forwarder = new std::thread(&Forward);
  py::module_::import("atexit").attr("register")(py::cpp_function(&LogForwarding::Stop));
  // A forked child has the queue but not the thread: it gets one of its own
  // (the parent's object is left, not joined: Stop would wait for it forever).
  py::module_::import("os").attr("register_at_fork")(
      py::arg("after_in_child") = py::cpp_function([] {
        draining = false;
        forwarder = new std::thread(&Forward);
      }));
}

void LogForwarding::Drain() {
  if (draining) return;  // the drain under way emits these too, in order
  draining = true;
  while (true) {
    uint64_t lost = 0;
    std::vector<LogQueue::Entry> entries = Queue().Take(&lost);
    if (entries.empty() && lost == 0) break;
    for (const LogQueue::Entry& e : entries) Emit(Level(e.severity), e.file, e.line, e.message);
    if (lost != 0) {
      char text[160];
      std::snprintf(text, sizeof(text),
                    "%" PRIu64 " log entries of libtalon were lost: Python took none for too long",
                    lost);
      Emit(30, __FILE__, __LINE__, text);
    }
  }
  draining = false;
}

void LogForwarding::Stop() {
  if (forwarder == nullptr) return;
  Queue().Stop();
  {
    py::gil_scoped_release release;
    forwarder->join();
  }
  delete forwarder;
  forwarder = nullptr;
  Drain();
}

}  // namespace talon_python
