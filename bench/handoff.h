// The bare handoff that the core is measured against, in-process
// (bench_routing) and end to end (bench_e2e): a producer copies each event
// into a block of its own (malloc + memcpy) and queues it under a mutex,
// one event per lock, waking the consumer through a condition variable;
// the consumer takes one event per lock (or, with `drain`, the whole
// queue), calls its plugins with the lock released, and frees the block.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace dvbench {

class Handoff {
 public:
  using Event = std::pair<void*, uint32_t>;

  void Send(const void* data, uint32_t len) {
    void* block = std::malloc(len);
    std::memcpy(block, data, len);
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.emplace_back(block, len);
    }
    cv_.notify_one();
  }

  // Ends the consumer once the queue is empty.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
  }

  // Consumer side: waits for events and moves the next one (all of them,
  // with `drain`) into the empty `batch`; false once stopped and empty.
  bool Take(std::deque<Event>& batch, bool drain) {
    std::unique_lock<std::mutex> lock(mu_);
    while (queue_.empty()) {
      if (stop_) return false;
      cv_.wait(lock);
    }
    if (drain) {
      batch.swap(queue_);
    } else {
      batch.push_back(queue_.front());
      queue_.pop_front();
    }
    return true;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Event> queue_;
  bool stop_ = false;
};

}  // namespace dvbench
