#include "events/callback.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>

#include "log/levels.h"
#include "log/log.h"
#include "platform/crash_report.h"

namespace dv {
namespace {

std::atomic<const EventEntry*> g_entry{nullptr};

// Calls between reading g_entry and leaving the entry, counted in shards so
// that producers on different threads do not fight over one cache line.
// The counters and g_entry use sequentially consistent operations: either a
// caller sees the cleared pointer, or DetachEntry sees the caller's count.
struct alignas(64) CallShard {
  std::atomic<int> inside{0};
};
constexpr size_t kShards = 16;
CallShard g_shards[kShards];

std::atomic<int>& ShardOfThisThread() {
  static std::atomic<size_t> nextShard{0};
  thread_local const size_t shard = nextShard.fetch_add(1, std::memory_order_relaxed) % kShards;
  return g_shards[shard].inside;
}

bool AnyCallInside() {
  for (const CallShard& shard : g_shards) {
    if (shard.inside.load() != 0) return true;
  }
  return false;
}
// Set while this thread logs a failure of the entry, so that a failure of
// that log call cannot recurse.
thread_local bool t_reportingFailure = false;

void ReportFailure(const char* what) {
  if (t_reportingFailure) return;
  t_reportingFailure = true;
  try {
    LogCore(100, "event entry failed: %s", what);
  } catch (...) {
  }
  t_reportingFailure = false;
}

}  // namespace

void AttachEntry(const EventEntry* entry) { g_entry.store(entry); }

void DetachEntry() {
  g_entry.store(nullptr);
  while (AnyCallInside()) std::this_thread::yield();
}

}  // namespace dv

extern "C" int32_t PluginEventCallback(_EventParmsIn* in, _EventParmsOut* out) {
  if (out == nullptr) return 0;
  if (in == nullptr) {
    out->result = DV_RESULT_REFUSED;
    return 0;
  }
  std::atomic<int>& inside = dv::ShardOfThisThread();
  inside.fetch_add(1);
  const dv::EventEntry* entry = dv::g_entry.load();
  if (entry == nullptr) {
    out->result = DV_RESULT_REFUSED;
    inside.fetch_sub(1);
    return 0;
  }
  bool failed = false;
  char failure[160] = "";
  const dv::BackInCore mark;
  try {
    entry->call(entry->context, in, out);
  } catch (const std::exception& e) {
    failed = true;
    out->result = DV_RESULT_NO_MEMORY;
    std::snprintf(failure, sizeof failure, "%s", e.what());
  } catch (...) {
    failed = true;
    out->result = DV_RESULT_NO_MEMORY;
    std::snprintf(failure, sizeof failure, "unknown exception");
  }
  inside.fetch_sub(1);
  if (failed) dv::ReportFailure(failure);
  return 0;
}
