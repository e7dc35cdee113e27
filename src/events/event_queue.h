// The event queue: every accepted event, in arrival order, waiting for the
// delivery loop on the main thread.
//
// The queue lock guards the incoming records and is also the lock of the
// stop request and the start-up wait, so that a wake-up can never fall
// between the loop's test of the stop flag and its wait.
//
// The loop takes records in batches: when its private batch is used up it
// swaps the whole incoming vector for it under one lock, so a busy queue
// costs one lock per batch on the loop's side, and neither side allocates
// once the vectors have grown (they shrink again after a burst).
//
// Wake-ups: the loop marks itself waiting (under the lock) before it waits
// for records. An append wakes it only when that mark is set, and clears
// the mark as it does, so a burst of appends costs one wake-up, and appends
// to a loop that is busy delivering cost none.
//
// Thread safety: Append, Notify, RequestStop, stopRequested and size may be
// called from any thread that holds no queue lock. Take and WaitOnce are
// called by the main thread only. No plugin code ever runs under the lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

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

  // Appends a copy of `record` whose payload is `data` / `len` (in place of
  // the record's own) and wakes the loop if it waits. Refuses (returns
  // false) once a stop was requested, checked under the queue lock, so
  // nothing is ever appended after the loop has drained the queue and
  // returned.
  bool Append(const _EventParmsIn& record, void* data, uint32_t len);

  // Wakes the delivery loop once (read and close requests use it).
  void Notify();

  // Sets the stop flag under the queue lock and wakes the loop.
  void RequestStop();
  bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

  // Blocks until a record is available and returns it. The record stays
  // valid until the next Take. Returns null instead once a stop was
  // requested and the queue is empty.
  // REQUIRES: main thread.
  const _EventParmsIn* Take();

  // Waits under the queue lock, at most `timeout`, until `done` (called
  // with the lock held) or a stop request; used by start-up.
  template <typename Done>
  void WaitUntil(Done done, std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, std::chrono::steady_clock::now() + timeout,
                   [&] { return done() || stopRequested_.load(std::memory_order_relaxed); });
  }

  // The queue lock, for the few other strings it guards (parent identity).
  std::mutex& mutex() { return mu_; }

  // Records queued and not yet taken. The taken count is read first: both
  // only grow, and never more are taken than were appended.
  size_t size() const {
    const size_t taken = taken_.load(std::memory_order_acquire);
    return appended_.load(std::memory_order_relaxed) - taken;
  }

 private:
  bool Refill();  // REQUIRES: main thread

  // What producers touch, apart from what the delivery loop touches for
  // every record, so that a busy queue does not move one cache line to and
  // fro between them for each event.
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<_EventParmsIn> incoming_;     // GUARDED_BY(mu_)
  bool loopWaiting_ = false;                // GUARDED_BY(mu_)
  std::atomic<bool> stopRequested_{false};  // written under mu_
  std::atomic<size_t> appended_{0};         // written under mu_

  // The delivery loop's own (main thread only); taken_ is read by size().
  alignas(64) std::vector<_EventParmsIn> batch_;
  size_t next_ = 0;            // next record of batch_
  uint32_t quietBatches_ = 0;  // see Refill
  std::atomic<size_t> taken_{0};
};

}  // namespace dv
