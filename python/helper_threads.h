// Helper threads of the Python module: they run the calls that can block
// (a dequeue, a pause, a close) so that the thread that asked for one can
// wait for it in short periods and do something between them: the module
// checks for signals there, so that Ctrl-C reaches a script within one
// period even while the call is still under way.
//
//   HelperThreads helpers;
//   std::shared_ptr<HelperThreads::Task> task = helpers.Run([&] { service->Pause(); });
//   while (!helpers.WaitFor(*task, std::chrono::milliseconds(20))) CheckSomething();
//
// A task runs on an idle helper, or on a new one when none is idle, so calls
// that wait for each other (a dequeue and the pause that releases it) never
// queue behind one another. Helpers stay for the next task until the object
// is destroyed; the number of helpers is the most tasks ever under way at
// once.
//
// Threading: Run, WaitFor and Task::done from any thread; destruction by the
// owner once no other thread calls Run. Locks: mutex_ guards the queue, the
// helpers and the idle count; each Task's mutex guards its done flag; lock
// order mutex_ before a Task's mutex (a helper marks its task done as it
// goes idle). Ownership: the helpers hold the tasks they run
// and the caller holds its task; the object owns its threads and joins them
// when destroyed, after every task has run.

#ifndef PYTHON_HELPER_THREADS_H_
#define PYTHON_HELPER_THREADS_H_

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"

namespace talon_python {

class HelperThreads {
 public:
  class Task {
   public:
    explicit Task(std::function<void()> work) : work_(std::move(work)) {}
    bool done() {
      vireo::MutexLock lock(&mutex_);
      return done_;
    }

   private:
    friend class HelperThreads;
    std::function<void()> work_;  // the helper's only
    // Taken after HelperThreads::mutex_ when both are held (a helper marks
    // its task done before it waits for the next).
    vireo::Mutex mutex_;
    vireo::CondVar done_cv_{&mutex_};
    bool done_ ABSL_GUARDED_BY(mutex_) = false;
  };

  HelperThreads() = default;
  // Waits for every task to run to its end, then joins the helpers.
  ~HelperThreads();
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;

  // Runs `work`, which must not throw, on a helper. Throws std::system_error
  // when no helper is idle and the system refuses a new thread; the work is
  // then not run.
  std::shared_ptr<Task> Run(std::function<void()> work);

  // Waits until `task` has run, `period` at most; true once it has.
  bool WaitFor(Task& task, std::chrono::milliseconds period);

  // Helpers started so far, for tests.
  size_t size();

 private:
  void Loop();

  vireo::Mutex mutex_;
  vireo::CondVar work_cv_{&mutex_};  // a task was queued, or the destructor runs
  std::deque<std::shared_ptr<Task>> queue_ ABSL_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ ABSL_GUARDED_BY(mutex_);
  size_t idle_ ABSL_GUARDED_BY(mutex_) = 0;  // helpers without a task
  bool stopping_ ABSL_GUARDED_BY(mutex_) = false;
};

}  // namespace talon_python

#endif  // PYTHON_HELPER_THREADS_H_
