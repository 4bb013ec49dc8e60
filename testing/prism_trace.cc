#include "testing/prism_trace.h"

#include <cstdio>
#include <cstdlib>

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

}  // namespace talon_testing
