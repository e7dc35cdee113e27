// The hang watch: names a call into a plugin on the watched thread (the
// main thread: the delivery loop and the Load, Open, Close and Unload
// phases) that has not returned after 5 s, while it hangs, and says how
// long it took once it returns. Both lines at level 100:
//     "plugin <file> has been in <entry> for <ms> ms, <n> events wait in the queue"
//     "plugin <file> has been in Write of event type 0x<t> from provider
//      0x<p> length <n> for <ms> ms, <n> events wait in the queue"
//     "plugin <file> returned from <entry> after <ms> ms"
// The durations are the watch's own: from its first look at the call to
// the look that found it over, so each is within one period (100 ms) of
// the truth. The existing reports (the slow Write after it returns) stay.
//
// Threads: Start and Stop on the watched thread (the core's main thread,
// around the whole of devovor::Start); Look on the watch's own thread,
// which it starts and joins; the hooks are called there. Tests may call
// Look directly while no watch thread runs.
//
// What the watched thread pays: nothing but its marks (platform/
// crash_report.h, ThreadMarks): one release store of the entry point's
// record before each call and one store after it; no clock read and no
// lock. The watch reads the marks through a pointer taken by Start.
//
// Why a look is sound:
//   - A new call is told from a long one without any counter: at its first
//     look at a call the watch sets the mark's kWatchedBit by compare and
//     swap. Only the watched thread stores into the mark, and every one of
//     its stores (the next call, the end of this one) clears the bit; the
//     watch never sets it on a value it did not just read. So a later look
//     that reads the very value the swap wrote knows that no store came in
//     between: the same call has run all along.
//   - The name cannot be torn or dangle: the mark is one atomic word, a
//     pointer to a record that lives for the whole process (EntryPointsOf),
//     and the release store that published it (acquire in the watch's
//     swap) makes the record's contents visible.
//   - The event (a Write's) is the delivery loop's per-event record, which
//     it writes before the calls of that event: the watch reads its fields
//     with relaxed atomic loads, then, after an acquire fence, the mark
//     again. The loop puts a release fence between the last call of one
//     event and the record's next contents, so fields that came from a
//     later event are always seen together with a changed mark: the watch
//     then drops what it read and says nothing for that look.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/crash_report.h"
#include "platform/mutex.h"

namespace dv {

struct HangWatchHooks {
  std::function<int64_t()> now;            // the core's steady clock, ns
  std::function<size_t()> queuedEvents;    // events waiting for the delivery loop
};

class HangWatch {
 public:
  static constexpr int64_t kHangNs = 5'000'000'000;

  explicit HangWatch(HangWatchHooks hooks);
  ~HangWatch();  // stops the watch if it runs
  HangWatch(const HangWatch&) = delete;
  HangWatch& operator=(const HangWatch&) = delete;

  // Watches the calling thread's marks from a thread of its own, a look
  // every 100 ms, until Stop. REQUIRES: not started.
  void Start();
  // Ends and joins the watch's thread; a call still reported as hung is
  // left unreported as returned. Without Start, nothing.
  void Stop() EXCLUDES(mu_);
  // One look at `marks`, at `now`.
  void Look(ThreadMarks& marks, int64_t now);

 private:
  void Run() EXCLUDES(mu_);
  // Takes a first look at a call that `mark` holds: marks it as seen.
  void BeginWatching(std::atomic<uintptr_t>& mark, uintptr_t value, int64_t now);
  void ReportHang(const ThreadMarks& marks, const EntryPoint& where, int64_t now);

  const HangWatchHooks hooks_;
  ThreadMarks* watched_ = nullptr;  // the watched thread's; set by Start
  std::thread thread_;
  Mutex mu_;  // a leaf: only the stop flag and its wake-up
  CondVar wake_;
  bool stopping_ GUARDED_BY(mu_) = false;

  // The watch's own (its thread, or a test's Look).
  uintptr_t seen_ = 0;       // the mark as the last swap wrote it, bit set; 0: none
  int64_t seenSince_ = 0;    // when the watch first saw that call
  bool reported_ = false;    // its hang was reported
};

}  // namespace dv
