// The memory and clock monitor: a tick every 100 ms on the I/O thread.
//
// Each tick first runs the core's own periodic look (`everyTick`; the core
// binds its check of new threads there, so no privilege code lives here),
// then logs a jump of the wall clock of more than one second, and,
// while throttling is enabled and once per wall-clock second, compares the
// core's resident memory with its limit (190 MiB): above it video frames
// are refused at once (`throttling`), the first over-limit reading logs a
// warning and publishes the Memory notification, and the all-clear comes
// only after 60 s without an over-limit reading. While the core's routine
// messages are on, the usage is logged once a minute.
//
// What is measured: the resident set ("/proc/self/statm"), the memory the
// system actually lends the process, since that is what runs the appliance
// short. The C library keeps memory freed after a burst (a backlog of
// frames behind a stalled plugin) as part of its heap, resident, until it
// is asked to hand it back; left alone, the process would stay over its
// limit with the backlog long gone, and video would stay refused until the
// core restarted. So a reading over the limit first hands the heap's free
// memory back (Platform::ReleaseFreeMemory, which walks the whole heap: at
// most once per reading, and never twice within 0.9 s of steady time), and
// the decision and the usage report take the second reading. A large heap
// can take a second or more to hand back on a busy processor: the wall
// clock is read again afterwards, so that this tick's own delay is not
// reported as a jump of the system time.
//
// The values kept from tick to tick (the limit, the previous wall time, the
// last usage report and its time) live in this object, which the core owns
// for its whole life: they start at 0 with each core, so tests can run
// monitors one after another in one process.
//
// Threads: Begin and Stop on the main thread in Start; Tick on the I/O
// thread only (tests call it directly while no I/O thread runs).
// `throttling` is written here and read by the event entry on any thread.
// Stop never waits for the I/O thread, which may be busy in a plugin's
// IOCTL: it sets a flag that every later tick obeys (no report, no re-arm)
// and posts the timer's cancel to the I/O thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>

#include <boost/asio/steady_timer.hpp>

#include "platform/platform.h"

namespace dv {

// What the monitor needs of the core.
struct MonitorHooks {
  std::function<int64_t()> now;              // the core's steady clock, ns
  std::function<void()> publishMemoryState;  // raises the Memory notification
  std::function<void()> everyTick;           // the core's own periodic look; may be empty
};

class MemoryMonitor {
 public:
  static constexpr uint32_t kMemoryLimit = 199'229'440;  // 190 MiB
  static constexpr int64_t kNotThrottling = std::numeric_limits<int64_t>::max();

  MemoryMonitor(MonitorHooks hooks, boost::asio::steady_timer& timer, const Platform& platform,
                const std::atomic<bool>& throttlingEnabled, std::atomic<bool>& throttling);

  // Starts waiting for the first tick.
  void Begin();
  // Ends the monitor without waiting: no tick from now on reports or
  // re-arms, and the pending wait is cancelled on the I/O thread.
  void Stop();
  // One tick. A failed or cancelled wait, or a stopped monitor, ends it.
  void Tick(const boost::system::error_code& error);

 private:
  void CheckClock(int64_t now);
  // True when it handed heap memory back, which may take a while.
  bool CheckMemory();
  uint32_t ReadResident(bool* handedBack);
  // The throttle decision for one reading.
  void Decide(bool over);
  void ReportUsage(uint32_t resident);
  void Rearm();

  const MonitorHooks hooks_;
  boost::asio::steady_timer& timer_;
  const Platform& platform_;
  const std::atomic<bool>& throttlingEnabled_;
  std::atomic<bool>& throttling_;
  int64_t throttledSince_ = kNotThrottling;  // I/O thread only
  std::atomic<bool> stopped_{false};

  // Kept from tick to tick; I/O thread only.
  uint32_t memoryLimit_ = 0;
  int64_t previousWall_ = 0;
  int64_t lastReportNs_ = 0;
  uint32_t lastReportedUsage_ = 0;
  int64_t lastReleaseNs_ = 0;  // when free heap memory was last handed back
};

// The whole seconds between two wall-clock readings, truncated, clamped to
// the range of an int.
int ClockJumpSeconds(int64_t now, int64_t previous);

}  // namespace dv
