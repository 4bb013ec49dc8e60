#include "tools/talon-cam/trace_writer.h"

#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "support/capture_error_name.h"

namespace talon_cam {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kClientTid = 1;
constexpr int kFirstStreamTid = 2;  // then one per stream, in --stream order

// CLOCK_BOOTTIME nanoseconds as the format's microseconds, exact to the
// nanosecond (the shortest decimal that reads back as the same double).
double Micros(int64_t ns) { return static_cast<double>(ns) / 1e3; }

std::string Dump(const Json& event) {
  return event.dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
}

Json Metadata(int pid, int tid, const char* what, const Json& args) {
  return {{"ph", "M"}, {"pid", pid}, {"tid", tid}, {"name", what}, {"args", args}};
}

Json Instant(int pid, int tid, const char* name, int64_t ns, Json args) {
  return {{"ph", "i"},
          {"s", "t"},
          {"pid", pid},
          {"tid", tid},
          {"name", name},
          {"ts", Micros(ns)},
          {"args", std::move(args)}};
}

}  // namespace

bool TraceWriter::Begin(const std::string& path, const vireo::CaptureConfig& config,
                        std::string* error) {
  pid_ = static_cast<int>(getpid());
  streams_ = static_cast<int>(config.stream_configs.size());
  std::string head = "{\"traceEvents\":[\n";
  head += Dump(Metadata(pid_, kClientTid, "process_name", {{"name", "talon-cam"}}));
  head += ",\n" + Dump(Metadata(pid_, kClientTid, "thread_name", {{"name", "client"}}));
  head += ",\n" + Dump(Metadata(pid_, kClientTid, "thread_sort_index", {{"sort_index", 0}}));
  for (int i = 0; i < streams_; ++i) {
    const vireo::CaptureStreamConfig& s = config.stream_configs[static_cast<size_t>(i)];
    char name[64];
    std::snprintf(name, sizeof(name), "stream 0x%X %ux%u", static_cast<unsigned>(s.data_type),
                  s.width, s.height);
    head += ",\n" + Dump(Metadata(pid_, kFirstStreamTid + i, "thread_name", {{"name", name}}));
    head += ",\n" +
            Dump(Metadata(pid_, kFirstStreamTid + i, "thread_sort_index", {{"sort_index", i + 1}}));
  }
  return file_.Create(path, head, "\n]}\n", error);
}

bool TraceWriter::Append(const std::string& event) { return file_.Append(",\n" + event); }

bool TraceWriter::Frame(uint64_t frame, int64_t sequence, int64_t sof_ns, int64_t eof_ns,
                        vireo::CaptureError error, int64_t dequeue_ns) {
  std::string events = Dump(Instant(pid_, kClientTid, "dequeue", dequeue_ns, {{"frame", frame}}));
  if (error != vireo::CaptureError::SUCCESS) {
    events +=
        ",\n" + Dump(Instant(pid_, kClientTid, talon_support::CaptureErrorName(error), dequeue_ns,
                             {{"frame", frame},
                              {"error", static_cast<int>(error)},
                              {"name", talon_support::CaptureErrorName(error)}}));
    return Append(events);
  }
  const int64_t missed =
      last_sequence_ >= 0 && sequence > last_sequence_ + 1 ? sequence - last_sequence_ - 1 : 0;
  if (sequence >= 0) last_sequence_ = sequence;
  const Json sequence_json = sequence >= 0 ? Json(sequence) : Json(nullptr);
  for (int i = 0; i < streams_; ++i) {
    const int tid = kFirstStreamTid + i;
    if (missed > 0) {
      events +=
          ",\n" + Dump(Instant(pid_, tid, "sequence gap", sof_ns,
                               {{"frame", frame}, {"sequence", sequence}, {"missed", missed}}));
    }
    char name[32];
    std::snprintf(name, sizeof(name), "frame %llu", static_cast<unsigned long long>(frame));
    events += ",\n" + Dump({{"ph", "X"},
                            {"pid", pid_},
                            {"tid", tid},
                            {"name", name},
                            {"ts", Micros(sof_ns)},
                            {"dur", Micros(eof_ns - sof_ns)},
                            {"args", {{"frame", frame}, {"sequence", sequence_json}}}});
  }
  return Append(events);
}

bool TraceWriter::Enqueued(uint64_t frame, int64_t enqueue_ns) {
  return Append(Dump(Instant(pid_, kClientTid, "enqueue", enqueue_ns, {{"frame", frame}})));
}

}  // namespace talon_cam
