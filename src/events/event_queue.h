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
// called from any thread that holds no queue lock. Take is called by the
// main thread only. No plugin code ever runs under the lock. Its place in
// the lock order: events/event_router.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/mutex.h"
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
  bool Append(const _EventParmsIn& record, void* data, uint32_t len) EXCLUDES(mu_);

  // Wakes the delivery loop once (read and close requests use it).
  void Notify();

  // Sets the stop flag under the queue lock and wakes the loop.
  void RequestStop() EXCLUDES(mu_);
  bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

  // Blocks until a record is available and returns it. The record stays
  // valid until the next Take. Returns null instead once a stop was
  // requested and the queue is empty. `newBatch`, when given, is set to
  // whether this record opens a new batch (the loop has just taken what
  // was queued, possibly after a wait).
  // REQUIRES: main thread.
  const _EventParmsIn* Take(bool* newBatch = nullptr);

  // With the queue lock held: waits for the next wake-up (an append to a
  // waiting loop, Notify, RequestStop) or `deadline`, whichever comes first;
  // false once the deadline has passed. Start-up waits in a loop on what it
  // needs under the lock, the stop request included.
  bool WaitLocked(std::chrono::steady_clock::time_point deadline) REQUIRES(mu_) {
    return cv_.WaitUntil(mu_, deadline);
  }

  // The queue lock, for the few other strings it guards (parent identity).
  Mutex& mutex() RETURN_CAPABILITY(mu_) { return mu_; }

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
  Mutex mu_{Mutex::SpinFirst()};  // the queue lock
  CondVar cv_;
  std::vector<_EventParmsIn> incoming_ GUARDED_BY(mu_);
  bool loopWaiting_ GUARDED_BY(mu_) = false;
  std::atomic<bool> stopRequested_{false};  // written under mu_
  std::atomic<size_t> appended_{0};         // written under mu_

  // The delivery loop's own (main thread only); taken_ is read by size().
  alignas(64) std::vector<_EventParmsIn> batch_;
  size_t next_ = 0;            // next record of batch_
  uint32_t quietBatches_ = 0;  // see Refill
  std::atomic<size_t> taken_{0};
};

}  // namespace dv
