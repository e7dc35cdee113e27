#include "events/event_queue.h"

#include <cstdlib>

namespace dv {
namespace {

// A batch vector keeps its capacity between batches, unless a burst made it
// much larger than what is now flowing through it: more than kKeptCapacity
// records while kQuietBatches batches in a row used less than a quarter of
// it. Shrinking at the first small batch would make bursty traffic free
// and fault in the same large vectors again and again.
constexpr size_t kKeptCapacity = 4096;
constexpr uint32_t kQuietBatches = 64;

}  // namespace

EventQueue::~EventQueue() {
  for (size_t i = next_; i < batch_.size(); ++i) std::free(batch_[i].data);
  for (const _EventParmsIn& record : incoming_) std::free(record.data);
}

bool EventQueue::Append(const _EventParmsIn& record, void* data, uint32_t len) {
  bool wake;
  {
    MutexLock lock(mu_);
    if (stopRequested_.load(std::memory_order_relaxed)) return false;
    _EventParmsIn& queued = incoming_.emplace_back(record);
    queued.data = data;
    queued.len = len;
    appended_.store(appended_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // Only the append that finds the loop waiting wakes it; the loop takes
    // everything appended until then in one batch.
    wake = loopWaiting_;
    loopWaiting_ = false;
  }
  if (wake) cv_.NotifyOne();
  return true;
}

void EventQueue::Notify() { cv_.NotifyOne(); }

void EventQueue::RequestStop() {
  {
    MutexLock lock(mu_);
    stopRequested_.store(true, std::memory_order_release);
  }
  cv_.NotifyOne();
}

const _EventParmsIn* EventQueue::Take(bool* newBatch) {
  const bool refill = next_ == batch_.size();
  if (refill && !Refill()) return nullptr;
  if (newBatch != nullptr) *newBatch = refill;
  // The loop is the only writer. Release: whoever sees this count also sees
  // the appends it counts (they came before the lock the loop took).
  taken_.store(taken_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return &batch_[next_++];
}

bool EventQueue::Refill() {
  const size_t used = batch_.size();
  batch_.clear();
  if (batch_.capacity() > kKeptCapacity && used < batch_.capacity() / 4) {
    if (++quietBatches_ >= kQuietBatches) {
      batch_.shrink_to_fit();
      quietBatches_ = 0;
    }
  } else {
    quietBatches_ = 0;
  }
  next_ = 0;
  MutexLock lock(mu_);
  for (;;) {
    if (!incoming_.empty()) break;
    if (stopRequested_.load(std::memory_order_relaxed)) return false;
    loopWaiting_ = true;
    cv_.Wait(mu_);
    loopWaiting_ = false;
  }
  batch_.swap(incoming_);
  return true;
}
}  // namespace dv
