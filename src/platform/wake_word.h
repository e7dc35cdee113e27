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
// Before it arms the word, a sleeper that expects what it waits for within
// a few microseconds may poll for it with SpinUntil instead: a sleep and a
// wake-up cost both threads far more processor time than such a short
// poll, and the waker skips its system call. SpinUntil is bounded by the
// steady clock and eases the processor between looks.
//
// Threads: Arm, Sleep and Disarm by the one sleeping thread; Wake from any
// thread, any number of them.
#pragma once

#include <atomic>
#include <chrono>
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
  // meant for an earlier sleep): the caller looks again. Returns how long
  // it slept, in nanoseconds of the steady clock.
  int64_t Sleep();
  void Disarm() { word_.store(kIdle, std::memory_order_relaxed); }

  // Whether a spin can ever see another thread's progress: not when the
  // process may run on one processor only, where the spin would only keep
  // the awaited thread from running.
  static bool SpinCanPay();

  // Polls `ready` until it returns true (then true) or `spinNs` nanoseconds
  // have passed (then false).
  template <typename Ready>
  static bool SpinUntil(Ready ready, int64_t spinNs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(spinNs);
    do {
      for (int look = 0; look < kLooksPerClockRead; ++look) {
        if (ready()) return true;
        CpuRelax();
      }
    } while (std::chrono::steady_clock::now() < deadline);
    return ready();
  }

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
  // A clock read costs more than a look; a look and a pause, some tens of
  // nanoseconds.
  static constexpr int kLooksPerClockRead = 16;

  // Tells the processor that this is a polling loop (it may yield to a
  // sibling hardware thread and draw less power).
  static void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
  }

  void WakeSleeper();

  std::atomic<uint32_t> word_{kIdle};
};

}  // namespace dv
