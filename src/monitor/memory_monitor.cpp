#include "monitor/memory_monitor.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <utility>

#include <boost/asio/post.hpp>

#include "log/levels.h"
#include "log/log.h"

namespace dv {
namespace {

constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr int64_t kQuietNs = 60'000'000'000;  // without an over-limit reading
constexpr int64_t kReportPeriodNs = 60'000'000'000;
constexpr int64_t kMiB = 1'048'576;
// Between two hand-backs of free heap memory, at least. Readings come once
// per wall-clock second, so two in a row may be a tick less than a second
// apart: each may hand memory back, but never more often than this, even
// while the wall clock jumps to and fro.
constexpr int64_t kReleasePeriodNs = 900'000'000;

}  // namespace

int ClockJumpSeconds(int64_t now, int64_t previous) {
  // Not difftime: time_t may be 32 bits on a 32-bit target, which would
  // wrap the operands before the difference is taken.
  const double seconds = static_cast<double>(now) - static_cast<double>(previous);
  if (seconds >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (seconds <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(seconds);
}

MemoryMonitor::MemoryMonitor(MonitorHooks hooks, boost::asio::steady_timer& timer,
                             const Platform& platform, const std::atomic<bool>& throttlingEnabled,
                             std::atomic<bool>& throttling)
    : hooks_(std::move(hooks)),
      timer_(timer),
      platform_(platform),
      throttlingEnabled_(throttlingEnabled),
      throttling_(throttling) {}

void MemoryMonitor::Begin() {
  timer_.async_wait([this](const boost::system::error_code& error) { Tick(error); });
}

// A tick already running finishes before the posted cancel runs on the same
// thread, and a tick that starts later sees the flag: either way no wait is
// left pending once the cancel has run.
void MemoryMonitor::Stop() {
  stopped_.store(true);
  boost::asio::post(timer_.get_executor(), [this] { timer_.cancel(); });
}

void MemoryMonitor::Tick(const boost::system::error_code& error) {
  if (error || stopped_.load()) return;
  if (hooks_.everyTick) hooks_.everyTick();
  if (memoryLimit_ == 0) {
    memoryLimit_ = kMemoryLimit;
    LogCore(0, "memory limit set to %zu", static_cast<size_t>(memoryLimit_));
  }
  const int64_t now = platform_.WallNowSeconds();
  CheckClock(now);
  const bool handedBack = throttlingEnabled_.load() && now != previousWall_ && CheckMemory();
  previousWall_ = handedBack ? platform_.WallNowSeconds() : now;
  Rearm();
}

void MemoryMonitor::CheckClock(int64_t now) {
  if (previousWall_ != 0) {
    const int jump = ClockJumpSeconds(now, previousWall_);
    if (jump > 1 || jump < -1) {
      LogCore(50, "system time changed by %d seconds", jump);
    }
  } else if (throttlingEnabled_.load()) {
    hooks_.publishMemoryState();  // the plugins learn the initial state
  }
}

bool MemoryMonitor::CheckMemory() {
  const bool report = IsCoreLogEnabled(0) &&
                      hooks_.now() - lastReportNs_ >= kReportPeriodNs;
  bool handedBack = false;
  const uint32_t resident = ReadResident(&handedBack);
  Decide(resident > memoryLimit_);
  if (report) ReportUsage(resident);
  return handedBack;
}

// Resident memory; over the limit, once more after the heap's free memory
// went back to the system (see the header).
uint32_t MemoryMonitor::ReadResident(bool* handedBack) {
  const uint32_t resident = platform_.ResidentBytes();
  if (resident <= memoryLimit_) return resident;
  const int64_t now = hooks_.now();
  if (lastReleaseNs_ != 0 && now - lastReleaseNs_ < kReleasePeriodNs) return resident;
  lastReleaseNs_ = now;
  platform_.ReleaseFreeMemory();
  *handedBack = true;
  return platform_.ResidentBytes();
}

void MemoryMonitor::ReportUsage(uint32_t resident) {
  const int64_t change = (static_cast<int64_t>(resident) - lastReportedUsage_) / kMiB;
  LogCore(0, "memory usage changed %lldMB (total usage: %zuMB)", static_cast<long long>(change),
          static_cast<size_t>(resident / kMiB));
  lastReportedUsage_ = resident;
  lastReportNs_ = hooks_.now();
}

void MemoryMonitor::Decide(bool over) {
  const int64_t now = hooks_.now();
  throttling_.store(over);
  if (over) {
    if (throttledSince_ == kNotThrottling) {
      LogCore(50, "available system memory is low, throttling video");
      hooks_.publishMemoryState();
    }
    throttledSince_ = now;
    return;
  }
  if (throttledSince_ == kNotThrottling || now - kQuietNs < throttledSince_) return;
  LogCore(50, "available system memory ok, not throttling video");
  hooks_.publishMemoryState();
  throttledSince_ = kNotThrottling;
}

void MemoryMonitor::Rearm() {
  timer_.expires_after(kPeriod);
  timer_.async_wait([this](const boost::system::error_code& error) { Tick(error); });
}

}  // namespace dv
