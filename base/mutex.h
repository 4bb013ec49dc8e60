// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with
// the capability annotations that clang's -Wthread-safety checks, so that
// "guarded by" is a proof, not a comment.
//
//   Mutex mutex_;
//   CondVar changed_{&mutex_};
//   int count_ ABSL_GUARDED_BY(mutex_) = 0;
//
//   void Add() {
//     MutexLock lock(&mutex_);
//     ++count_;
//     changed_.SignalAll();
//   }
//   void AwaitPositive() {
//     MutexLock lock(&mutex_);
//     while (count_ <= 0) changed_.Wait();
//   }
//
// Header-only and free of libtalon's symbols, so the host stand-ins and the
// tests use it as well. Threading: as std::mutex and std::condition_variable;
// a CondVar is tied to one Mutex for its lifetime and is waited on with that
// mutex held.

#ifndef BASE_MUTEX_H_
#define BASE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "absl/base/thread_annotations.h"

namespace vireo {

class CondVar;

// A std::mutex that the analysis knows as a capability: members annotated
// ABSL_GUARDED_BY(mutex_) may be touched only while it is held. Not
// recursive; prefer MutexLock to the explicit Lock and Unlock.
class ABSL_LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Blocks until the calling thread holds the mutex. The caller must not
  // hold it already.
  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  // Releases the mutex; the caller holds it.
  void Unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }
  // Tells the analysis that the caller holds the mutex (no run-time check).
  void AssertHeld() const ABSL_ASSERT_EXCLUSIVE_LOCK() {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for the enclosing scope.
class ABSL_SCOPED_LOCKABLE MutexLock {
 public:
  // Locks `mutex`, which must outlive this object; the destructor unlocks it.
  explicit MutexLock(Mutex* mutex) ABSL_EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~MutexLock() ABSL_UNLOCK_FUNCTION() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable bound to one Mutex. Waits may wake spuriously: wait
// in a loop over the condition.
//
// The waits carry no lock annotation: the analysis cannot tell that the
// CondVar's Mutex is the one the caller holds, so it would reject every
// correct call. The caller's hold is checked where it counts, on the guarded
// state the wait loop reads.
class CondVar {
 public:
  // Binds the variable to `mutex`, which must outlive it.
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases the mutex while waiting and holds it again on return. The
  // caller holds the mutex.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }

  // As Wait, until `deadline` at the latest. False when the deadline passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    const bool woken = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }

  // As Wait, for `timeout` at most. False when the time was up.
  template <typename Rep, typename Period>
  bool WaitFor(const std::chrono::duration<Rep, Period>& timeout) {
    return WaitUntil(std::chrono::steady_clock::now() + timeout);
  }

  // Wakes one waiting thread, if any. May be called with or without the
  // mutex held; change the condition under the mutex first.
  void Signal() { condition_.notify_one(); }
  // Wakes every waiting thread; as Signal otherwise.
  void SignalAll() { condition_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable condition_;
};

}  // namespace vireo

#endif  // BASE_MUTEX_H_
