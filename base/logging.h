// Logging and fatal checks of libtalon.
//
//   LOG(INFO) << "IPU initialized";
//   VLOG(1) << "verbose detail";
//   CHECK(frame_buffer != nullptr);
//   CHECK_EQ(OZY_SUCCESS, error) << "Could not load device config.";
//
// A statement records the base name of its source file and its line and
// collects the message from the streamed pieces. When the statement ends, the
// entry "<file>:<line> <message>\n" is written to the system log under the tag
// "native" (priority 7 fatal, 6 error, 5 warning, 4 info, 3 verbose level 1,
// 2 deeper levels) and, preceded by "native : ", to standard error. An
// application may take the entries and drop the standard-error copy with
// InstallLogHandler (public as vireo::SetLogHandler, system/log_handler.h); the
// system-log write never changes. A FATAL entry is followed by the
// system-log entry "terminating.\n" at fatal priority and the process aborts.
//
// A failed check logs "Check failed: <condition> <message>" at FATAL. The
// comparing checks put " (<a> vs. <b>)" right after the condition; a null
// pointer prints as "nullptr".
//
// Threading: every statement may be used from any thread; one entry is one
// write to each destination, so entries of different threads do not mix.
// The sink's state is guarded by a mutex of this unit that is never held
// while a sink runs or an entry is written.
// Internal to libtalon: nothing here is exported.

#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <cstddef>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>

namespace vireo {
namespace base {

using LogSeverity = int;
constexpr LogSeverity INFO = 0;
constexpr LogSeverity WARNING = 1;
constexpr LogSeverity ERROR = 2;
constexpr LogSeverity FATAL = 3;

// The deepest verbose level that is logged (0: none). The level is an atomic:
// any thread may change it while others log, and a statement running at that
// moment may still see the old level.
void SetVerboseLevel(int level);
int GetVerboseLevel();

// Receives each entry: severity, base name of the file, line, message
// without the newline (vireo::LogHandler).
using LogSink = void (*)(void* context, int severity, const char* file, int line,
                         const char* message);

// Installs `sink` (null: none) and whether the standard-error copy is
// written; on return the replaced sink runs nowhere, unless called from
// inside a sink (then it does not wait). Entries logged from inside a sink
// skip the sink. The contract: system/log_handler.h.
void InstallLogHandler(LogSink sink, void* context, bool write_stderr);
// Test seam: InstallLogHandler calls now waiting for replaced sinks to return.
int LogSinkSettersWaitingForTesting();

// The system-log priority of a severity (verbose level n is severity -n).
int SystemLogPriority(LogSeverity severity);

// "<base name>:<line> <message>\n", as written to the system log.
std::string FormatLogEntry(const char* file, int line, const std::string& message);

// Returns the part of `path` after its last '/'.
const char* BaseName(const char* path);

// Collects the messages of the ERROR and FATAL entries that the calling
// thread logs while it lives (and none of other threads): the reason an
// operation failed, for a caller that wants it as text rather than in the
// log. The entries are logged as ever. Collectors nest; the innermost
// collects. Thread-compatible: one thread uses it.
class ScopedErrorCollector {
 public:
  ScopedErrorCollector();
  ~ScopedErrorCollector();
  ScopedErrorCollector(const ScopedErrorCollector&) = delete;
  ScopedErrorCollector& operator=(const ScopedErrorCollector&) = delete;

  // The messages so far, joined by "; ", without file and line.
  const std::string& errors() const { return errors_; }

 private:
  friend class LogMessage;
  ScopedErrorCollector* const outer_;
  std::string errors_;
};

// One log statement; the entry is written when the object is destroyed.
class LogMessage {
 public:
  LogMessage(const char* file, int line, LogSeverity severity);
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  ~LogMessage();

  std::ostream& stream() { return stream_; }

 protected:
  void Flush();

  const char* file_;
  int line_;
  LogSeverity severity_;
  std::ostringstream stream_;
};

// A FATAL statement: writes its entry, then "terminating." and aborts.
class LogMessageFatal : public LogMessage {
 public:
  LogMessageFatal(const char* file, int line);
  LogMessageFatal(const char* file, int line, const std::string& check_text);
  [[noreturn]] ~LogMessageFatal();
};

// Turns a stream expression into void, for the conditional macros below.
struct LogMessageVoidify {
  void operator&(std::ostream&) {}
};

// Writes one value the way a failed comparing check prints it.
template <typename T>
void PrintCheckValue(std::ostream& os, const T& v) {
  if constexpr (std::is_same_v<T, std::nullptr_t>) {
    os << "nullptr";
  } else if constexpr (std::is_pointer_v<T>) {
    if (v == nullptr) {
      os << "nullptr";
    } else {
      os << static_cast<const void*>(v);
    }
  } else if constexpr (std::is_enum_v<T>) {
    os << static_cast<long long>(v);
  } else if constexpr (std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                       std::is_same_v<T, unsigned char>) {
    os << static_cast<int>(v);
  } else if constexpr (std::is_same_v<T, bool>) {
    os << (v ? "true" : "false");
  } else {
    os << v;
  }
}

// Builds the text "<expr> (<a> vs. <b>)" of a failed comparing check.
template <typename A, typename B>
std::unique_ptr<std::string> MakeCheckOpString(const A& a, const B& b, const char* expr) {
  std::ostringstream os;
  os << expr << " (";
  PrintCheckValue(os, a);
  os << " vs. ";
  PrintCheckValue(os, b);
  os << ")";
  return std::make_unique<std::string>(os.str());
}

#define TALON_DEFINE_CHECK_OP(name, op)                                                      \
  template <typename A, typename B>                                                          \
  std::unique_ptr<std::string> Check##name##Impl(const A& a, const B& b, const char* expr) { \
    if (a op b) return nullptr;                                                              \
    return MakeCheckOpString(a, b, expr);                                                    \
  }
TALON_DEFINE_CHECK_OP(EQ, ==)
TALON_DEFINE_CHECK_OP(NE, !=)
TALON_DEFINE_CHECK_OP(LE, <=)
TALON_DEFINE_CHECK_OP(LT, <)
TALON_DEFINE_CHECK_OP(GE, >=)
TALON_DEFINE_CHECK_OP(GT, >)
#undef TALON_DEFINE_CHECK_OP

}  // namespace base
}  // namespace vireo

#define TALON_LOG_INFO ::vireo::base::LogMessage(__FILE__, __LINE__, ::vireo::base::INFO)
#define TALON_LOG_WARNING ::vireo::base::LogMessage(__FILE__, __LINE__, ::vireo::base::WARNING)
#define TALON_LOG_ERROR ::vireo::base::LogMessage(__FILE__, __LINE__, ::vireo::base::ERROR)
#define TALON_LOG_FATAL ::vireo::base::LogMessageFatal(__FILE__, __LINE__)

#define LOG(severity) TALON_LOG_##severity.stream()

#define VLOG_IS_ON(level) ((level) <= ::vireo::base::GetVerboseLevel())
#define VLOG(level)                                         \
  !VLOG_IS_ON(level) ? (void)0                              \
                     : ::vireo::base::LogMessageVoidify() & \
                           ::vireo::base::LogMessage(__FILE__, __LINE__, -(level)).stream()

#define CHECK(condition)                             \
  (condition) ? (void)0                              \
              : ::vireo::base::LogMessageVoidify() & \
                    ::vireo::base::LogMessageFatal(__FILE__, __LINE__, #condition).stream()

#define TALON_CHECK_OP(name, op, a, b)                                      \
  while (std::unique_ptr<std::string> talon_check_result =                  \
             ::vireo::base::Check##name##Impl((a), (b), #a " " #op " " #b)) \
  ::vireo::base::LogMessageFatal(__FILE__, __LINE__, *talon_check_result).stream()

#define CHECK_EQ(a, b) TALON_CHECK_OP(EQ, ==, a, b)
#define CHECK_NE(a, b) TALON_CHECK_OP(NE, !=, a, b)
#define CHECK_LE(a, b) TALON_CHECK_OP(LE, <=, a, b)
#define CHECK_LT(a, b) TALON_CHECK_OP(LT, <, a, b)
#define CHECK_GE(a, b) TALON_CHECK_OP(GE, >=, a, b)
#define CHECK_GT(a, b) TALON_CHECK_OP(GT, >, a, b)

#endif  // BASE_LOGGING_H_
