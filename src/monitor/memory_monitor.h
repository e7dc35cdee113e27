// The memory and clock monitor: a tick every 100 ms on the I/O thread.
//
// Each tick logs a jump of the wall clock of more than one second, and,
// while throttling is enabled and once per wall-clock second, compares the
// core's resident memory with its limit (190 MiB): above it video frames
// are refused at once (`throttling`), the first over-limit reading logs a
// warning and publishes the Memory notification, and the all-clear comes
// only after 60 s without an over-limit reading. While the core's routine
// messages are on, the usage is logged once a minute.
//
// The values kept from tick to tick (the limit, the previous wall time, the
// last usage report and its time) live in this object, which the core owns
// for its whole life: they start at 0 with each core, so tests can run
// monitors one after another in one process.
//
// Threads: Begin and Stop on the main thread in Start; Tick and Decide on
// the I/O thread only (tests call them directly while no I/O thread runs).
// `throttling` is written here and read by the event entry on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include <boost/asio/steady_timer.hpp>

#include "platform/platform.h"

class devovor;

namespace dv {

class MemoryMonitor {
 public:
  static constexpr uint32_t kMemoryLimit = 199'229'440;  // 190 MiB
  static constexpr int64_t kNotThrottling = std::numeric_limits<int64_t>::max();

  MemoryMonitor(devovor& core, boost::asio::steady_timer& timer, const Platform& platform,
                const std::atomic<bool>& throttlingEnabled, std::atomic<bool>& throttling);

  // Starts waiting for the first tick.
  void Begin();
  // Cancels the pending wait. The timer belongs to the I/O thread, so the
  // cancel runs there; returns once it has. REQUIRES: the I/O thread runs.
  void Stop(boost::asio::io_context& io);
  // One tick. A failed or cancelled wait ends the monitor for good.
  void Tick(const boost::system::error_code& error);
  // The throttle decision for one reading.
  void Decide(bool over);

  int64_t throttledSince() const { return throttledSince_; }

 private:
  void CheckClock(int64_t now);
  void CheckMemory();
  void ReportUsage(uint32_t resident);
  void Rearm();

  devovor& core_;
  boost::asio::steady_timer& timer_;
  const Platform& platform_;
  const std::atomic<bool>& throttlingEnabled_;
  std::atomic<bool>& throttling_;
  int64_t throttledSince_ = kNotThrottling;

  // Kept from tick to tick; I/O thread only.
  uint32_t memoryLimit_ = 0;
  int64_t previousWall_ = 0;
  int64_t lastReportNs_ = 0;
  uint32_t lastReportedUsage_ = 0;
};

// The whole seconds between two wall-clock readings, truncated, clamped to
// the range of an int.
int ClockJumpSeconds(int64_t now, int64_t previous);

}  // namespace dv
