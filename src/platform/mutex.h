// The core's lock types: std::mutex, std::shared_mutex and
// std::condition_variable with the annotations of thread_annotations.h,
// which the standard library's own types lack, so that clang can check
// every guarded member and every lock order of the core.
//
// Each wrapper is inline and holds only the standard type it wraps: a lock
// costs exactly what std::lock_guard on the standard mutex costs, and a
// wait what std::condition_variable's costs.
//
// Any thread may use them. A condition variable is waited on with the
// mutex held, in a loop over the waited-for condition, which the analysis
// then checks like any other access under the lock:
//
//   MutexLock lock(mu_);
//   while (!ready_) changed_.Wait(mu_);
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace dv {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for its scope, like std::lock_guard.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() { mu_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// A reader/writer lock: one writer, or any number of readers.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a SharedMutex exclusively for its scope, like std::unique_lock.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~WriterLock() RELEASE() { mu_.Unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// Holds a SharedMutex shared for its scope, like std::shared_lock.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.LockShared(); }
  ~ReaderLock() RELEASE() { mu_.UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
};

// A condition variable waited on with a Mutex held. Every wait may also
// return without a notification, as std::condition_variable's may.
class CondVar {
 public:
  // Releases `mu` while it waits and holds it again when it returns.
  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // the caller's lock goes on holding it
  }

  // As Wait, but at most until `deadline`; false once it has passed.
  bool WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const bool notified = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }

  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace dv
