// libtalon's log entries in Python's logging: the module installs the
// library's log hook (system/log_handler.h) with the standard-error copy off,
// and every entry becomes a record of the logger "talon" (severity to level:
// fatal CRITICAL, error ERROR, warning WARNING, info INFO, verbose DEBUG;
// the record's file and line are the C++ source's). With nothing configured,
// Python's usual handling shows warnings and worse on standard error.
//
// The hook runs on libtalon's threads, possibly while the library holds its
// locks and while a Python thread that holds the GIL waits for the library,
// so it never takes the GIL: it only queues the entry (LogQueue). A
// forwarding thread emits queued entries as they come, and the module's
// calls that may log drain the queue as they return, so that a script sees
// a call's entries before its result. One drain at a time: entries keep
// their order. A fatal entry, which aborts the process right after the hook,
// is also written to standard error at once.
//
// An entry that repeats is said once and then counted (LogFold): the count
// is said as "<message> (repeated N times)" when a different entry comes,
// when the capture stops or closes (Flush), and at the latest LogFold::kPeriod
// after the first repeat counted, by the forwarding thread if nothing else
// comes.
//
// Threading: Start, Drain, Flush and Stop with the GIL held. Start once, at
// import; Stop at the interpreter's exit (atexit), which joins the
// forwarding thread; after it the calls' drains still emit what comes. A
// forked child begins anew with a queue, a fold and a forwarding thread of
// its own. Ownership: the queue and the thread live for the process (the
// hook may be called until libtalon's threads end).

#ifndef PYTHON_LOG_FORWARDING_H_
#define PYTHON_LOG_FORWARDING_H_

namespace talon_python {

class LogForwarding {
 public:
  static void Start();
  static void Drain();
  // Drains, then says the count of the repeats folded so far: for the
  // service's pause and close, where the entries of a capture end.
  static void Flush();
  static void Stop();
};

}  // namespace talon_python

#endif  // PYTHON_LOG_FORWARDING_H_
