#include "monitor/hang_watch.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "log/log.h"
#include "platform/thread_capabilities.h"

namespace dv {
namespace {

constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr int64_t kNsPerMs = 1'000'000;

long long Milliseconds(int64_t ns) { return static_cast<long long>(ns / kNsPerMs); }

}  // namespace

HangWatch::HangWatch(HangWatchHooks hooks) : hooks_(std::move(hooks)) {}

HangWatch::~HangWatch() { Stop(); }

void HangWatch::Start() {
  watched_ = &t_threadMarks;
  {
    MutexLock lock(mu_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

void HangWatch::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  thread_.join();
}

// The lock covers the stop flag only: a look logs, and no lock of the
// core is held while the log's own are taken.
void HangWatch::Run() {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  for (;;) {
    {
      MutexLock lock(mu_);
      if (!stopping_) wake_.WaitUntil(mu_, std::chrono::steady_clock::now() + kPeriod);
      if (stopping_) return;
    }
    Look(*watched_, hooks_.now());
  }
}

void HangWatch::Look(ThreadMarks& marks, int64_t now) {
  std::atomic<uintptr_t>& mark = marks.entry;
  const uintptr_t value = mark.load(std::memory_order_acquire);
  if (seen_ != 0 && value == seen_) {  // the same call (see the header)
    if (!reported_ && now - seenSince_ >= kHangNs) ReportHang(marks, *EntryOf(value), now);
    return;
  }
  if (reported_) {
    const EntryPoint& ended = *EntryOf(seen_);
    LogCore(100, "plugin %s returned from %s after %lld ms", ended.plugin, ended.entry,
            Milliseconds(now - seenSince_));
  }
  seen_ = 0;
  reported_ = false;
  const EntryPoint* where = EntryOf(value);
  if (where != nullptr && where->plugin != nullptr) BeginWatching(mark, value, now);
}

// A value that already bears the bit is an outer call's mark, put back
// after a nested one: still no store since, so it is timed from now.
void HangWatch::BeginWatching(std::atomic<uintptr_t>& mark, uintptr_t value, int64_t now) {
  uintptr_t expected = value;
  const uintptr_t watched = value | kWatchedBit;
  if (value != watched &&
      !mark.compare_exchange_strong(expected, watched, std::memory_order_acquire,
                                    std::memory_order_relaxed)) {
    return;  // the call ended just now; the next look sees what came after
  }
  seen_ = watched;
  seenSince_ = now;
}

void HangWatch::ReportHang(const ThreadMarks& marks, const EntryPoint& where, int64_t now) {
  char event[96] = "";
  const _WriteParmsIn* record = marks.event.load(std::memory_order_acquire);
  if (where.handedEvent && record != nullptr) {
    const uint32_t type = __atomic_load_n(&record->eventType, __ATOMIC_RELAXED);
    const uint32_t provider = __atomic_load_n(&record->providerID, __ATOMIC_RELAXED);
    const uint32_t length = __atomic_load_n(&record->len, __ATOMIC_RELAXED);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (marks.entry.load(std::memory_order_relaxed) != seen_) return;  // the call ended
    std::snprintf(event, sizeof event, " of event type 0x%x from provider 0x%x length %u",
                  static_cast<unsigned>(type), static_cast<unsigned>(provider),
                  static_cast<unsigned>(length));
  }
  LogCore(100, "plugin %s has been in %s%s for %lld ms, %zu events wait in the queue",
          where.plugin, where.entry, event, Milliseconds(now - seenSince_),
          hooks_.queuedEvents ? hooks_.queuedEvents() : size_t{0});
  reported_ = true;
}

}  // namespace dv
