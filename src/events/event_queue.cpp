#include "events/event_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace dv {

static_assert(alignof(_EventParmsIn) <= 16, "a record sits after its payload rounded up to 16");

// The link overlays the record's size and version words.
static_assert(sizeof(_EventParmsIn*) <= offsetof(_EventParmsIn, len),
              "the queue's link must fit before the record's len");

_EventParmsIn* EventQueue::Next(const _EventParmsIn* record) {
  _EventParmsIn* next;
  std::memcpy(&next, record, sizeof next);
  return next;
}

void EventQueue::SetNext(_EventParmsIn* record, _EventParmsIn* next) {
  std::memcpy(record, &next, sizeof next);
}

_EventParmsIn* EventQueue::Closed() {
  static _EventParmsIn mark;
  return &mark;
}

// A record with a payload lives in the payload's block and goes with it.
void EventQueue::Free(_EventParmsIn* record) {
  if (record->data != nullptr) {
    std::free(record->data);
  } else {
    delete record;
  }
}

void EventQueue::FreeList(_EventParmsIn* record) {
  while (record != nullptr && record != Closed()) {
    _EventParmsIn* const next = Next(record);
    Free(record);
    record = next;
  }
}

EventQueue::~EventQueue() {
  delete finished_;
  FreeList(pending_);
  FreeList(head_.load(std::memory_order_acquire));
}

bool EventQueue::Append(const _EventParmsIn& record, void* data, uint32_t len) {
  if (stopRequested_.load(std::memory_order_acquire)) return false;
  _EventParmsIn* const queued =
      data != nullptr
          ? reinterpret_cast<_EventParmsIn*>(static_cast<char*>(data) + RecordOffset(len))
          : new _EventParmsIn;
  std::memcpy(queued, &record, sizeof record);
  queued->data = data;
  queued->len = len;
  appended_.fetch_add(1, std::memory_order_relaxed);
  _EventParmsIn* head = head_.load(std::memory_order_relaxed);
  do {
    if (head == Closed()) {
      appended_.fetch_sub(1, std::memory_order_relaxed);
      if (data == nullptr) delete queued;  // a payload's block stays the caller's
      return false;
    }
    SetNext(queued, head);
    // Sequentially consistent, paired with the loop's mark (see the header);
    // it also releases the record to the loop's exchange.
  } while (!head_.compare_exchange_weak(head, queued, std::memory_order_seq_cst,
                                        std::memory_order_relaxed));
  // Only the append that finds the loop's word armed wakes it.
  loopWake_.Wake();
  return true;
}

void EventQueue::RequestStop() {
  {
    MutexLock lock(mu_);
    stopRequested_.store(true, std::memory_order_seq_cst);
  }
  loopWake_.Wake();
}

const _EventParmsIn* EventQueue::Take(bool* newBatch) {
  const bool refill = pending_ == nullptr;
  if (refill && !Refill()) return nullptr;
  if (newBatch != nullptr) *newBatch = refill;
  delete finished_;
  finished_ = nullptr;
  _EventParmsIn* const record = pending_;
  pending_ = Next(record);
  record->size = sizeof *record;
  record->version = DV_EVENT_VERSION;
  // A payload's block, and the record in it, goes with its delivery; a
  // record of its own goes at the next Take.
  if (record->data == nullptr) finished_ = record;
  // The loop is the only writer. Release: whoever sees this count also sees
  // the appends it counts.
  taken_.store(taken_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return record;
}

// Closes the empty queue for good; false when an append came first.
bool EventQueue::CloseIfEmpty() {
  _EventParmsIn* empty = nullptr;
  return head_.compare_exchange_strong(empty, Closed(), std::memory_order_acq_rel) ||
         empty == Closed();
}

// Everything pushed so far, newest first; null when nothing is queued.
_EventParmsIn* EventQueue::TakeAll() {
  _EventParmsIn* const head = head_.load(std::memory_order_acquire);
  if (head == nullptr || head == Closed()) return nullptr;
  // Only the loop empties or closes the head: it is still not empty.
  return head_.exchange(nullptr, std::memory_order_acquire);
}

// The stop flag is looked at after the word is armed (both sequentially
// consistent, as is RequestStop's store before its wake-up), so a stop
// request either is seen here or wakes the sleep that follows.
bool EventQueue::Refill() {
  _EventParmsIn* newest;
  while ((newest = TakeAll()) == nullptr) {
    if (stopRequested_.load(std::memory_order_seq_cst)) {
      if (CloseIfEmpty()) return false;
      continue;  // an append came first: it is delivered too
    }
    loopWake_.Arm();
    if (head_.load(std::memory_order_seq_cst) == nullptr &&
        !stopRequested_.load(std::memory_order_seq_cst)) {
      if (sleepHook_ != nullptr) (*sleepHook_)(true);
      loopWake_.Sleep();
      if (sleepHook_ != nullptr) (*sleepHook_)(false);
    }
    loopWake_.Disarm();
  }
  // Oldest first.
  _EventParmsIn* oldest = nullptr;
  while (newest != nullptr) {
    _EventParmsIn* const next = Next(newest);
    SetNext(newest, oldest);
    oldest = newest;
    newest = next;
  }
  pending_ = oldest;
  return true;
}

}  // namespace dv
