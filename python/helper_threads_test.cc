#include "python/helper_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "base/mutex.h"

namespace talon_python {
namespace {

using std::chrono::milliseconds;

// A gate a task blocks on until the test opens it.
class Gate {
 public:
  void Open() {
    vireo::MutexLock lock(&mutex_);
    open_ = true;
    opened_.SignalAll();
  }
  void Pass() {
    vireo::MutexLock lock(&mutex_);
    while (!open_) opened_.Wait();
  }

 private:
  vireo::Mutex mutex_;
  vireo::CondVar opened_{&mutex_};
  bool open_ ABSL_GUARDED_BY(mutex_) = false;
};

// Catches a task queued behind a blocked one (the pause that would release a
// blocked dequeue never running), and a wait that returns before its task has
// run or does not return while it runs.
TEST(python_helper_threads, ABlockedTaskHoldsUpNoOther) {
  HelperThreads helpers;
  Gate gate;
  std::shared_ptr<HelperThreads::Task> blocked = helpers.Run([&] { gate.Pass(); });
  EXPECT_FALSE(helpers.WaitFor(*blocked, milliseconds(1)));
  std::shared_ptr<HelperThreads::Task> release = helpers.Run([&] { gate.Open(); });
  while (!helpers.WaitFor(*release, milliseconds(10))) {
  }
  while (!helpers.WaitFor(*blocked, milliseconds(10))) {
  }
  EXPECT_TRUE(blocked->done());
  EXPECT_EQ(helpers.size(), 2u);

  // Idle helpers are used again: tasks one after another need no new one.
  for (int i = 0; i < 20; ++i) {
    std::shared_ptr<HelperThreads::Task> task = helpers.Run([] {});
    while (!helpers.WaitFor(*task, milliseconds(10))) {
    }
  }
  EXPECT_EQ(helpers.size(), 2u);
}

// Catches a destructor that joins its helpers before their tasks have run
// (work abandoned, or a join that never returns).
TEST(python_helper_threads, DestructionRunsEveryTask) {
  std::atomic<int> ran{0};
  {
    HelperThreads helpers;
    for (int i = 0; i < 5; ++i) helpers.Run([&] { ran.fetch_add(1); });
  }
  EXPECT_EQ(ran.load(), 5);
}

}  // namespace
}  // namespace talon_python
