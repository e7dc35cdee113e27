#include "events/event_queue.h"

#include <cstdlib>

namespace dv {

EventQueue::~EventQueue() {
  for (const _EventParmsIn& record : records_) std::free(record.data);
}

bool EventQueue::Append(const _EventParmsIn& record) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopRequested_.load(std::memory_order_relaxed)) return false;
    records_.push_back(record);
  }
  cv_.notify_one();
  return true;
}

void EventQueue::Notify() { cv_.notify_one(); }

void EventQueue::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopRequested_.store(true, std::memory_order_release);
  }
  cv_.notify_one();
}

bool EventQueue::Take(_EventParmsIn* record, size_t* left) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!records_.empty()) break;
    if (stopRequested_.load(std::memory_order_relaxed)) return false;
    cv_.wait(lock);
  }
  *record = records_.front();
  records_.pop_front();
  *left = records_.size();
  return true;
}

void EventQueue::WaitOnce(std::chrono::nanoseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_until(lock, std::chrono::steady_clock::now() + timeout);
}

size_t EventQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_.size();
}

}  // namespace dv
