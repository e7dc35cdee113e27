// The event queue: every accepted event, in arrival order, waiting for the
// delivery loop on the main thread.
//
// Appends take no lock. The queue is an intrusive list of records, pushed
// newest first onto one atomic head by compare-and-swap; the loop takes the
// whole list with one exchange and reverses it, so it delivers in the order
// the pushes took effect: each producer's events in the order it raised
// them, and an event raised after another one was accepted (on any thread)
// after it. The queue stays unbounded.
//
// A record with a payload lives in the payload's own block, after the
// payload (the entry's blocks have kRecordRoom to spare); a record without
// one gets a block of its own. Until the loop takes it, the record's first bytes
// (its size and version words, which nothing reads after the entry) hold
// the link to the next record; Take sets them back.
//
// Wake-ups: the loop sleeps on a futex word (platform/wake_word.h), not
// under the queue lock. It arms the word, looks at the list once more and
// sleeps only if the list is still empty (the arming, the look and the
// push are sequentially consistent, so either the loop sees the push or
// the pusher sees the armed word). The append that finds the word armed
// disarms it and wakes the loop with one system call; an append to a busy
// loop only loads the word. An append never takes a lock and never blocks
// on the loop, and a burst of appends costs one wake-up.
//
// Heavy traffic: when events come faster than the loop's wake-ups pay off,
// the loop is told to sleep behind the threads that raise them
// (SleepBehindRaisers): a hook runs with true just before it sleeps and
// with false once it is awake again, so that the thread that wakes it
// finishes its work first and the loop takes what it raised in one go.
// The hook never runs around plugin code.
//
// Stop: the stop flag is written under the queue lock, then the loop is
// woken; the loop looks at the flag after arming its word, so the wake-up
// cannot fall between its look and its sleep. Once a stop was requested,
// Append refuses. The loop, finding the list empty after a stop request,
// closes it (a compare-and-swap from empty to a closed mark) before it
// returns, so an append that raced with the stop request is either
// delivered or refused, never left behind.
//
// Thread safety: Append, Notify, RequestStop, stopRequested and size may be
// called from any thread that holds no queue lock. Take is called by the
// main thread only. The queue lock is taken by the stop request alone, and
// no plugin code ever runs under it. Its place in the lock order:
// events/event_router.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/mutex.h"
#include "platform/wake_word.h"
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

  // The room a queued payload's block has after the payload, rounded up to
  // 16 bytes, for the queue's copy of the event's record.
  static constexpr size_t kRecordRoom = sizeof(_EventParmsIn);

  // Appends a copy of `record` whose payload is `data` / `len` (in place of
  // the record's own) and wakes the loop if it waits. A non-null `data`
  // must be a block with kRecordRoom bytes after len rounded up to 16; the
  // copy goes into it.
  // Refuses (returns false) once a stop was requested, and always once the
  // loop has closed the queue, so nothing is ever appended after the loop
  // has drained the queue and returned. Throws std::bad_alloc when a record
  // without a payload finds no memory.
  bool Append(const _EventParmsIn& record, void* data, uint32_t len) EXCLUDES(mu_);
  // Wakes the delivery loop once if it sleeps (read and close requests
  // use it).
  void Notify() { loopWake_.Wake(); }

  // Sets the stop flag under the queue lock and wakes the loop.
  void RequestStop() EXCLUDES(mu_);
  bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

  // Blocks until a record is available and returns it. The record stays
  // valid until the next Take, or until its payload's block is freed (the
  // record lives in it), whichever comes first. Returns null instead once a stop was
  // requested and the queue is empty. `newBatch`, when given, is set to
  // whether this record opens a new batch (the loop has just taken what
  // was queued, possibly after a wait).
  // REQUIRES: main thread.
  const _EventParmsIn* Take(bool* newBatch = nullptr);

  // While `hook` is set, each sleep of Take runs hook(true) before it and
  // hook(false) after it; null ends that. The hook must outlive its use.
  // REQUIRES: main thread.
  void SleepBehindRaisers(const std::function<void(bool)>* hook) { sleepHook_ = hook; }

  // Records queued and not yet taken. An append is counted just before its
  // push (and uncounted if the closed queue refuses it), so never more are
  // taken than were counted; the taken count is read first.
  size_t size() const {
    const size_t taken = taken_.load(std::memory_order_acquire);
    return appended_.load(std::memory_order_relaxed) - taken;
  }

 private:
  static size_t RecordOffset(uint32_t len) {
    return (size_t(len) + alignof(_EventParmsIn) - 1) & ~(alignof(_EventParmsIn) - 1);
  }
  static _EventParmsIn* Next(const _EventParmsIn* record);
  static void SetNext(_EventParmsIn* record, _EventParmsIn* next);
  static _EventParmsIn* Closed();  // the head's mark once the loop is done
  static void Free(_EventParmsIn* record);
  static void FreeList(_EventParmsIn* newestOrOldest);
  _EventParmsIn* TakeAll();  // REQUIRES: main thread
  bool Refill();  // REQUIRES: main thread
  bool CloseIfEmpty();  // REQUIRES: main thread

  Mutex mu_;  // the queue lock
  std::atomic<bool> stopRequested_{false};  // written under mu_
  WakeWord loopWake_;  // the delivery loop sleeps here

  // What producers touch, apart from what the delivery loop touches for
  // every record, so that a busy queue moves one cache line per append.
  alignas(64) std::atomic<_EventParmsIn*> head_{nullptr};  // newest first
  std::atomic<size_t> appended_{0};

  // The delivery loop's own (main thread only); taken_ is read by size().
  alignas(64) _EventParmsIn* pending_ = nullptr;  // taken records, oldest first
  _EventParmsIn* finished_ = nullptr;             // a taken record without a payload
  const std::function<void(bool)>* sleepHook_ = nullptr;
  std::atomic<size_t> taken_{0};
};

}  // namespace dv
