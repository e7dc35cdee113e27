// Log levels and the per-kind threshold tables.
//
// A threshold is -1 (no threshold: every message passes) or 0..100 (a
// message passes when its level is at least the threshold). A provider's
// kind index is bits 16..27 of its identifier; the tables have 255 entries.
//
// Thread safety: every entry is one atomic byte with sequentially consistent
// loads and stores. Any thread may read or write at any time without a lock;
// a reader sees the value before or after a concurrent store, never a torn
// one. The tables never allocate after construction.
//
// Kind indexes 255 and above (a stream identifier whose high bits are not a
// plugin kind, say) have no entry of their own: they read the core's own
// threshold, entry 0, so such messages are filtered like the core's, and a
// store to them is ignored. No entry beyond the table is ever touched.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "plugin_api/event.h"

namespace dv {

constexpr int kNoThreshold = -1;
constexpr int kCoreDefaultThreshold = 25;

inline uint32_t KindIndex(uint32_t providerId) { return DV_KIND_INDEX(providerId); }

// True when a message of `level` passes `threshold`.
inline bool PassesThreshold(int level, int threshold) {
  return threshold == kNoThreshold || level >= threshold;
}

class LogLevelTable {
 public:
  // Every entry -1, then entry 0 (the core's own kind) 25.
  LogLevelTable();
  LogLevelTable(const LogLevelTable&) = delete;
  LogLevelTable& operator=(const LogLevelTable&) = delete;

  // The threshold of a kind index, sign-extended from its byte.
  int Get(uint32_t kind) const {
    return entries_[kind < DV_LOG_KINDS ? kind : 0].load(std::memory_order_seq_cst);
  }
  // The threshold that applies to a provider identifier.
  int ForProvider(uint32_t providerId) const { return Get(KindIndex(providerId)); }
  // One atomic store; -1 is stored as 0xFF. Out-of-range kinds are ignored.
  void Set(uint32_t kind, int level) {
    if (kind < DV_LOG_KINDS) entries_[kind].store(static_cast<int8_t>(level), std::memory_order_seq_cst);
  }

 private:
  std::atomic<int8_t> entries_[DV_LOG_KINDS];
};

}  // namespace dv
