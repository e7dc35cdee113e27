// The event queue: every accepted event, in arrival order, waiting for the
// delivery loop on the main thread.
//
// The queue lock guards the records and is also the lock of the stop
// request and the start-up wait, so that a wake-up can never fall between
// the loop's test of the stop flag and its wait.
//
// Thread safety: Append, Notify, RequestStop and stopRequested may be called
// from any thread that holds no queue lock. Take and WaitOnce are called by
// the main thread only. No plugin code ever runs under the queue lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "plugin_api/event.h"

namespace dv {

class EventQueue {
 public:
  EventQueue() = default;
  // Frees the payload blocks of records that were never delivered (a core
  // destroyed without running its delivery loop).
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Appends a copy of `record` and wakes the loop. Refuses (returns false)
  // once a stop was requested, checked under the queue lock, so nothing is
  // ever appended after the loop has drained the queue and returned.
  bool Append(const _EventParmsIn& record);

  // Wakes the delivery loop once (read and close requests use it).
  void Notify();

  // Sets the stop flag under the queue lock and wakes the loop.
  void RequestStop();
  bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

  // Blocks until a record is available and moves it into `record`, with the
  // number of records left in `left`. Returns false instead once a stop was
  // requested and the queue is empty.
  bool Take(_EventParmsIn* record, size_t* left);

  // Waits once for any notification, at most `timeout`; used by start-up.
  void WaitOnce(std::chrono::nanoseconds timeout);

  // The queue lock, for the few other strings it guards (parent identity).
  std::mutex& mutex() { return mu_; }

  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<_EventParmsIn> records_;   // GUARDED_BY(mu_)
  std::atomic<bool> stopRequested_{false};  // written under mu_
};

}  // namespace dv
