// A few large payload blocks kept for reuse.
//
// Every queued event's payload is copied into a block of the core's, and
// video frames are large (tens to hundreds of KiB) and steady. Handing a
// freed frame's block to the next frame saves the allocator's round trip,
// and above all the page faults of a heap that is trimmed and grown again
// (or, with allocators that map large blocks one by one, an mmap and munmap
// per frame). Blocks below kMinBytes are cheap to allocate and go straight
// back to free(); at most kSlots blocks of at most kMaxBytes each are kept,
// so the memory held for reuse stays under 2 MiB.
//
// Every block is an ordinary malloc'ed block: whoever owns one may still
// free() it. New blocks come from the cache's allocator, malloc unless a
// test installs one that fails (through the router's test peer) to reach
// the entry's out-of-memory path. Take and Put may be called from any
// thread; the lock (its place in the lock order: events/event_router.h) is
// held for a few instructions and never while plugin code runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/mutex.h"

namespace dv {

class BlockCache {
 public:
  using Allocator = void* (*)(size_t bytes);  // malloc's contract

  static constexpr size_t kMinBytes = 16 * 1024;
  static constexpr size_t kMaxBytes = 512 * 1024;
  static constexpr size_t kSlots = 4;

  BlockCache() = default;
  ~BlockCache();  // frees the blocks it keeps
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // A block of at least `len` bytes (len > 0): a kept one whose size fits,
  // or a new one from malloc. Null when malloc fails.
  void* Take(uint32_t len);

  // Takes over a block nobody uses any more, taken for `len` payload bytes:
  // keeps it for reuse or frees it. Small blocks are freed without a look
  // at their size, so the common small event pays nothing for the cache.
  void Put(void* block, uint32_t len);

  // REQUIRES: no other thread uses the cache.
  void SetAllocator(Allocator allocate) { allocate_ = allocate; }

 private:
  struct Slot {
    void* block;
    size_t bytes;
  };

  Allocator allocate_ = std::malloc;
  Mutex mu_;
  Slot slots_[kSlots] GUARDED_BY(mu_) = {};  // the first count_ are kept
  size_t count_ GUARDED_BY(mu_) = 0;
};

}  // namespace dv
