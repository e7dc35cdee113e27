#include "events/callback.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>

#include "core/devovor.h"
#include "log/log.h"

namespace dv {
namespace {

std::atomic<devovor*> g_core{nullptr};

// Calls between reading g_core and leaving the core, counted in shards so
// that producers on different threads do not fight over one cache line.
// The counters and g_core use sequentially consistent operations: either a
// caller sees the cleared pointer, or DetachCore sees the caller's count.
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
    LogMessage(kCoreId, PluginEventCallback, 100, "event entry failed: %s", what);
  } catch (...) {
  }
  t_reportingFailure = false;
}

}  // namespace

void AttachCore(devovor* core) { g_core.store(core); }

void DetachCore() {
  g_core.store(nullptr);
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
  devovor* core = dv::g_core.load();
  if (core == nullptr) {
    out->result = DV_RESULT_REFUSED;
    inside.fetch_sub(1);
    return 0;
  }
  bool failed = false;
  char failure[160] = "";
  try {
    core->PluginEvent(in, out);
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
