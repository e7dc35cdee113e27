// The plugin name registry: identifier -> short name, the source tag of
// every console line.
//
// Written on the main thread (Initialize enters the core, plugin loading
// enters each plugin) while other threads may already be logging; read by
// the console writer on any thread and by the status report. A reader/writer
// lock makes every lookup see either the map before an insertion or after
// it (its place in the lock order: events/event_router.h). Tag lookups copy
// at most six characters into the caller's buffer, so they allocate
// nothing while holding the lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/mutex.h"

namespace dv {

class NameRegistry {
 public:
  static constexpr size_t kTagChars = 6;

  // Enters or replaces the name of `id`.
  void Insert(uint32_t id, const std::string& name);
  bool Contains(uint32_t id) const;
  // Copies the first six characters of the name of `id`, or "?" when `id`
  // is not registered, NUL-terminated, into `tag`.
  void CopyTag(uint32_t id, char (&tag)[kTagChars + 1]) const;

 private:
  mutable SharedMutex mu_;
  std::map<uint32_t, std::string> names_ GUARDED_BY(mu_);
};

}  // namespace dv
