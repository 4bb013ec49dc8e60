#include "platform/prism/runtime.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "absl/strings/ascii.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"

namespace prism_sim {

std::optional<std::vector<Failpoint>> ParseFailpoints(const std::string& settings) {
  std::vector<Failpoint> failpoints;
  for (absl::string_view raw : absl::StrSplit(settings, ',')) {
    const absl::string_view entry = absl::StripAsciiWhitespace(raw);
    if (entry.empty()) continue;
    const std::vector<absl::string_view> fields = absl::StrSplit(entry, ':');
    if (fields.size() < 2 || fields.size() > 3 || fields[0].empty()) return std::nullopt;
    int32_t error = 0;
    int64_t nth = 0;
    if (!absl::SimpleAtoi(fields[1], &error)) return std::nullopt;
    if (fields.size() == 3 && (!absl::SimpleAtoi(fields[2], &nth) || nth < 1)) return std::nullopt;
    failpoints.push_back(Failpoint{std::string(fields[0]), static_cast<OzyError>(error),
                                   static_cast<uint64_t>(nth)});
  }
  return failpoints;
}

Runtime& Runtime::Get() {
  // Never destroyed: runs may still be finishing while the process exits.
  static Runtime* runtime = new Runtime();
  return *runtime;
}

Runtime::Runtime() {
  if (const char* fail = std::getenv("PRISM_SIM_FAIL")) {
    if (!SetFailpoints(fail)) {
      std::fprintf(stderr, "prism-sim: ignoring malformed PRISM_SIM_FAIL \"%s\"\n", fail);
    }
  }
  if (const char* trace = std::getenv("PRISM_SIM_TRACE")) {
    if (*trace != '\0' && !SetTrace(trace)) {
      std::fprintf(stderr, "prism-sim: cannot open PRISM_SIM_TRACE \"%s\": %s\n", trace,
                   std::strerror(errno));
    }
  }
  if (const char* fps = std::getenv("PRISM_SIM_FPS")) {
    char* end = nullptr;
    double value = std::strtod(fps, &end);
    if (end != fps && *end == '\0' && value >= 0 && value <= 1e6) {
      fps_.store(value);
    } else {
      std::fprintf(stderr, "prism-sim: ignoring malformed PRISM_SIM_FPS \"%s\"\n", fps);
    }
  }
  if (const char* skip = std::getenv("PRISM_SIM_SKIP")) {
    unsigned after = 0, count = 0;
    char tail = 0;
    if (std::sscanf(skip, "%u:%u%c", &after, &count, &tail) == 2) {
      set_skip({after, count});
    } else {
      std::fprintf(stderr, "prism-sim: ignoring malformed PRISM_SIM_SKIP \"%s\"\n", skip);
    }
  }
}

bool Runtime::SetFailpoints(const std::string& settings) {
  std::optional<std::vector<Failpoint>> parsed = ParseFailpoints(settings);
  if (!parsed) return false;
  vireo::MutexLock lock(&fail_mutex_);
  failpoints_ = std::move(*parsed);
  call_counts_.clear();
  has_failpoints_.store(!failpoints_.empty());
  return true;
}

std::optional<OzyError> Runtime::NextFailure(const char* function) {
  if (!has_failpoints_.load(std::memory_order_acquire)) return std::nullopt;
  vireo::MutexLock lock(&fail_mutex_);
  bool named = false;
  for (const Failpoint& f : failpoints_) named = named || f.function == function;
  if (!named) return std::nullopt;
  uint64_t call = ++call_counts_[function];
  for (const Failpoint& f : failpoints_) {
    if (f.function == function && (f.nth == 0 || f.nth == call)) return f.error;
  }
  return std::nullopt;
}

bool Runtime::SetTrace(const std::string& target) {
  FILE* file = nullptr;
  bool owned = false;
  if (target == "stderr") {
    file = stderr;
  } else if (!target.empty()) {
    file = std::fopen(target.c_str(), "a");
    if (file == nullptr) return false;
    owned = true;
  }
  vireo::MutexLock lock(&trace_mutex_);
  if (trace_owned_ && trace_file_ != nullptr) std::fclose(trace_file_);
  trace_file_ = file;
  trace_owned_ = owned;
  tracing_.store(trace_file_ != nullptr || trace_sink_ != nullptr);
  return true;
}

void Runtime::SetTraceSink(PrismSimTraceSink sink, void* context) {
  vireo::MutexLock lock(&trace_mutex_);
  trace_sink_ = sink;
  trace_sink_context_ = context;
  tracing_.store(trace_file_ != nullptr || trace_sink_ != nullptr);
}

void Runtime::Trace(const std::string& line) {
  vireo::MutexLock lock(&trace_mutex_);
  if (trace_file_ != nullptr) {
    std::fprintf(trace_file_, "%s\n", line.c_str());
    std::fflush(trace_file_);
  }
  if (trace_sink_ != nullptr) trace_sink_(trace_sink_context_, line.c_str());
}

void Runtime::Register(std::shared_ptr<Object> object) {
  vireo::MutexLock lock(&registry_mutex_);
  const void* handle = object.get();
  registry_.emplace(handle, std::move(object));
}

size_t Runtime::LiveHandleCount() {
  vireo::MutexLock lock(&registry_mutex_);
  return registry_.size();
}

std::string Runtime::LiveHandleReport() {
  std::map<std::string, std::string> lines;  // sorted for a stable report
  {
    vireo::MutexLock lock(&registry_mutex_);
    for (const auto& [handle, object] : registry_) {
      lines.emplace(std::string(object->kind()) + " " + PointerText(handle), "");
    }
  }
  std::string report;
  for (const auto& [line, unused] : lines) report += line + "\n";
  return report;
}

std::string PointerText(const void* pointer) {
  if (pointer == nullptr) return "null";
  char text[32];
  std::snprintf(text, sizeof(text), "%p", pointer);
  return text;
}

Call::Call(const char* function)
    : function_(function),
      tracing_(Runtime::Get().tracing()),
      injected_(Runtime::Get().NextFailure(function)) {}

void Call::Separator() {
  if (!first_) args_ += ", ";
  first_ = false;
}

Call& Call::Arg(const void* pointer) {
  if (tracing_) {
    Separator();
    args_ += PointerText(pointer);
  }
  return *this;
}

Call& Call::Arg(int64_t value) {
  if (tracing_) {
    Separator();
    args_ += std::to_string(value);
  }
  return *this;
}

Call& Call::Arg(uint64_t value) {
  if (tracing_) {
    Separator();
    args_ += std::to_string(value);
  }
  return *this;
}

Call& Call::Str(const char* text) {
  if (tracing_) {
    Separator();
    if (text == nullptr) {
      args_ += "null";
    } else {
      args_ += "\"";
      args_ += text;
      args_ += "\"";
    }
  }
  return *this;
}

Call& Call::Raw(const std::string& text) {
  if (tracing_) {
    Separator();
    args_ += text;
  }
  return *this;
}

Call& Call::Out(const void* pointer) {
  if (tracing_) {
    Separator();
    args_ += "->" + PointerText(pointer);
  }
  return *this;
}

OzyError Call::Return(OzyError result) {
  if (tracing_) {
    Runtime::Get().Trace(std::string(function_) + "(" + args_ + ") = " + std::to_string(result));
  }
  return result;
}

}  // namespace prism_sim

extern "C" {

int PrismSimSetFailpoints(const char* settings) {
  return prism_sim::Runtime::Get().SetFailpoints(settings == nullptr ? "" : settings) ? 0 : -1;
}

int PrismSimSetTrace(const char* target) {
  return prism_sim::Runtime::Get().SetTrace(target == nullptr ? "" : target) ? 0 : -1;
}

void PrismSimSetTraceSink(PrismSimTraceSink sink, void* context) {
  prism_sim::Runtime::Get().SetTraceSink(sink, context);
}

size_t PrismSimLiveHandleCount(void) { return prism_sim::Runtime::Get().LiveHandleCount(); }

size_t PrismSimLiveHandleReport(char* out, size_t size) {
  std::string report = prism_sim::Runtime::Get().LiveHandleReport();
  if (out != nullptr && size > 0) {
    size_t n = report.size() < size - 1 ? report.size() : size - 1;
    std::memcpy(out, report.data(), n);
    out[n] = '\0';
  }
  return report.size();
}

uint64_t PrismSimLockedBufferWrites(void) {
  return prism_sim::Runtime::Get().locked_buffer_writes.load();
}

}  // extern "C"
