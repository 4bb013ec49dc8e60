#include "python/helper_threads.h"

#include <utility>

namespace talon_python {

HelperThreads::~HelperThreads() {
  std::vector<std::thread> threads;
  {
    vireo::MutexLock lock(&mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  work_cv_.SignalAll();
  for (std::thread& thread : threads) thread.join();
}

std::shared_ptr<HelperThreads::Task> HelperThreads::Run(std::function<void()> work) {
  auto task = std::make_shared<Task>(std::move(work));
  {
    vireo::MutexLock lock(&mutex_);
    // Every helper takes queued tasks before it waits, so a task finds a
    // helper as long as the queue is no longer than the idle helpers.
    if (queue_.size() + 1 > idle_) threads_.emplace_back(&HelperThreads::Loop, this);
    queue_.push_back(task);
  }
  work_cv_.SignalAll();
  return task;
}

bool HelperThreads::WaitFor(Task& task, std::chrono::milliseconds period) {
  vireo::MutexLock lock(&task.mutex_);
  if (!task.done_) task.done_cv_.WaitFor(period);
  return task.done_;
}

size_t HelperThreads::size() {
  vireo::MutexLock lock(&mutex_);
  return threads_.size();
}

void HelperThreads::Loop() {
  std::shared_ptr<Task> task;
  while (true) {
    {
      vireo::MutexLock lock(&mutex_);
      // Idle before the task is seen done, so that the caller's next task
      // finds this helper rather than starting another.
      ++idle_;
      if (task != nullptr) {
        vireo::MutexLock done(&task->mutex_);
        task->done_ = true;
        task->done_cv_.SignalAll();
      }
      task.reset();
      while (queue_.empty() && !stopping_) work_cv_.Wait();
      --idle_;
      if (queue_.empty()) return;  // stopping, and every task has run
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task->work_();
  }
}

}  // namespace talon_python
