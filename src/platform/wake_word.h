// A place where one thread sleeps until another wakes it, with no lock on
// either side: a futex word.
//
// The sleeper arms the word, takes a last look at what it waits for, and
// sleeps only if there is still nothing; then it disarms. A waker first
// publishes what the sleeper waits for, then calls Wake. Arm, the last
// look, the publication and Wake's look at the word must all be
// sequentially consistent, so that either the sleeper's last look sees the
// publication or Wake sees the armed word. Wake disarms the word before it
// enters the kernel, so a sleeper that has not gone to sleep yet finds the
// word disarmed and does not sleep: a wake-up is never lost.
//
// What it costs: Wake on a word that is not armed is one load, no store
// and no system call, so a waker that finds the sleeper busy pays nothing;
// on an armed word it is one exchange and one system call. Unlike a mutex
// and condition variable, a waker never blocks, and the woken thread takes
// no lock on its way out of the sleep.
//
// Threads: Arm, Sleep and Disarm by the one sleeping thread; Wake from any
// thread, any number of them.
#pragma once

#include <atomic>
#include <cstdint>

namespace dv {

class WakeWord {
 public:
  WakeWord() = default;
  WakeWord(const WakeWord&) = delete;
  WakeWord& operator=(const WakeWord&) = delete;

  // The sleeper is about to take its last look.
  void Arm() { word_.store(kArmed, std::memory_order_seq_cst); }
  // Sleeps while the word is armed. May return early (a signal, a wake-up
  // meant for an earlier sleep): the caller looks again.
  void Sleep();
  void Disarm() { word_.store(kIdle, std::memory_order_relaxed); }

  // Wakes the sleeper if it armed the word. Returns whether it did.
  bool Wake() {
    if (word_.load(std::memory_order_seq_cst) != kArmed) return false;
    if (word_.exchange(kIdle, std::memory_order_seq_cst) != kArmed) return false;
    WakeSleeper();
    return true;
  }

 private:
  static constexpr uint32_t kIdle = 0;
  static constexpr uint32_t kArmed = 1;

  void WakeSleeper();

  std::atomic<uint32_t> word_{kIdle};
};

}  // namespace dv
