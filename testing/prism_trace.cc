#include "testing/prism_trace.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include "platform/prism/prism_sim.h"

namespace talon_testing {

ScopedPrismTrace::ScopedPrismTrace() { PrismSimSetTraceSink(&ScopedPrismTrace::Sink, this); }

ScopedPrismTrace::~ScopedPrismTrace() { PrismSimSetTraceSink(nullptr, nullptr); }

void ScopedPrismTrace::Sink(void* context, const char* line) {
  auto* self = static_cast<ScopedPrismTrace*>(context);
  vireo::MutexLock lock(&self->mutex_);
  self->lines_.emplace_back(line);
}

std::vector<std::string> ScopedPrismTrace::Lines() const {
  vireo::MutexLock lock(&mutex_);
  return lines_;
}

std::vector<std::string> ScopedPrismTrace::Calls(const std::string& function) const {
  std::vector<std::string> out;
  for (const std::string& line : Lines()) {
    if (line.rfind(function + "(", 0) == 0) out.push_back(line);
  }
  return out;
}

std::vector<std::string> ScopedPrismTrace::Functions() const {
  std::vector<std::string> out;
  for (const std::string& line : Lines()) out.push_back(line.substr(0, line.find('(')));
  return out;
}

std::string ScopedPrismTrace::Pointer(const void* pointer) {
  if (pointer == nullptr) return "null";
  char text[32];
  std::snprintf(text, sizeof(text), "%p", pointer);
  return text;
}

void ScopedPrismTrace::Clear() {
  vireo::MutexLock lock(&mutex_);
  lines_.clear();
}

ScopedFailpoints::ScopedFailpoints(const std::string& settings) {
  if (PrismSimSetFailpoints(settings.c_str()) != 0) std::abort();
}

ScopedFailpoints::~ScopedFailpoints() { PrismSimSetFailpoints(""); }

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

void SingleBufferCycleCounter::Add(std::string_view line) {
  if (StartsWith(line, "OzyEnqueueJob(")) {
    const std::string_view success = " = 0";
    if (line.size() >= success.size() && line.substr(line.size() - success.size()) == success) {
      ++queued_;
    }
  } else if (StartsWith(line, "OzyWaitForCompletionWithTimeout(")) {
    if (queued_ == 1) ++cycles_;
    if (queued_ > 0) --queued_;
  } else if (StartsWith(line, "OzyResetDevice(")) {
    queued_ = 0;
  }
}

ScopedSingleBufferCycleCount::ScopedSingleBufferCycleCount() {
  PrismSimSetTraceSink(&ScopedSingleBufferCycleCount::Sink, this);
}

ScopedSingleBufferCycleCount::~ScopedSingleBufferCycleCount() {
  PrismSimSetTraceSink(nullptr, nullptr);
}

void ScopedSingleBufferCycleCount::Sink(void* context, const char* line) {
  auto* self = static_cast<ScopedSingleBufferCycleCount*>(context);
  vireo::MutexLock lock(&self->mutex_);
  self->counter_.Add(line);
}

uint64_t ScopedSingleBufferCycleCount::cycles() const {
  vireo::MutexLock lock(&mutex_);
  return counter_.cycles();
}

uint64_t CountSingleBufferCycles(const std::string& trace_path) {
  std::ifstream in(trace_path);
  SingleBufferCycleCounter counter;
  std::string line;
  while (std::getline(in, line)) counter.Add(line);
  return counter.cycles();
}

}  // namespace talon_testing
