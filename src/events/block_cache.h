// Payload blocks kept for reuse.
//
// Every queued event's payload is copied into a block of the core's on the
// raising thread, and the delivery loop on the main thread gives it back.
// Left to the C library, each such pair is a cross-thread free: the block
// returns to the raising thread's heap arena under that arena's lock, the
// same lock the raising thread takes for its next block. With a producer
// and the loop both busy, that lock changes hands twice per event, and the
// waits cost more than the rest of the event's way through the core. So
// the cache keeps freed blocks and hands them back to the raising threads:
//
//   Small blocks (kSmallClasses size classes from kSmallMinBytes to
//   kSmallMaxBytes, four per doubling). The loop strings freed blocks into
//   a chain per class and publishes a chain in that class's slot once it
//   holds a quarter of kChainBytes and the slot is empty. A raising thread
//   whose own thread-local cache of the class is empty takes the slot's
//   whole chain with one exchange. Only the loop stores a chain and raising
//   threads only take one, so the slot needs no lock and knows no ABA
//   problem. The loop's chain and each thread's cache hold at most
//   kChainBytes of a class; past that the loop frees blocks. A thread keeps
//   its blocks apart by the room after the payload and the allocator of
//   the cache they came from, so a block only ever serves a cache that
//   promises no more room than it has; they are freed when the thread ends.
//
//   Large blocks (video frames, kMinBytes to kMaxBytes). At most kSlots, of
//   kKeptBytes in all, are kept under a mutex, each given to the next
//   request of up to its size and no less than half of it: this saves the
//   page faults of a heap trimmed and grown again, or an mmap and munmap
//   per frame. A producer that runs a few frames ahead of the loop while
//   the loop wakes up still finds kept blocks.
//
// Every block is an ordinary malloc'ed block with room for the payload it
// was asked for and the room after it: whoever owns one may still free()
// it. New blocks come from the allocator the cache was made with (malloc
// and free, or a test's that counts or refuses blocks), and every block the
// cache lets go goes to its release.
//
// Threads: Take and Put from any thread; Recycle from the delivery loop
// only. The mutex (its place in the lock order: events/event_router.h) is
// held for a few instructions and never while plugin code runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/mutex.h"
#include "platform/platform.h"

namespace dv {

class BlockCache {
 public:
  static constexpr uint32_t kSmallMinBytes = 64;
  static constexpr uint32_t kSmallMaxBytes = 8 * 1024;
  static constexpr size_t kSmallClasses = 29;  // 64, 80, 96, 112, 128, 160, ... 8192
  static constexpr size_t kChainBytes = 32 * 1024;

  static constexpr size_t kMinBytes = 16 * 1024;
  static constexpr size_t kMaxBytes = 512 * 1024;
  static constexpr size_t kSlots = 16;
  static constexpr size_t kKeptBytes = 2 * 1024 * 1024;  // of large blocks, at most

  // Every block has `roomAfter` bytes more than its payload, rounded up to
  // 16, needs: the event queue keeps its record there.
  explicit BlockCache(size_t roomAfter = 0,
                      BlockAllocator allocator = {std::malloc, std::free})
      : roomAfter_(roomAfter), allocator_(allocator) {}
  ~BlockCache();  // frees the blocks it keeps (threads' caches excepted)
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // A block for `len` payload bytes (len > 0), with the room after them: a
  // kept one whose size fits, or a new one from the allocator. Null when
  // the allocator fails.
  void* Take(uint32_t len);

  // Takes over a block nobody uses any more, taken for `len` payload bytes,
  // on any thread: keeps a large one for reuse, frees the others.
  void Put(void* block, uint32_t len);

  // As Put, but small blocks go back towards the raising threads.
  // REQUIRES: the delivery loop's thread.
  void Recycle(void* block, uint32_t len);

  // A freed small block, as the chains link it.
  struct Link {
    Link* next;
  };

 private:
  struct Slot {
    void* block;
    size_t bytes;
  };
  // The loop's chain of one class, not yet published.
  struct Chain {
    Link* first = nullptr;
    uint32_t count = 0;
  };
  // One class's published chain, on a cache line of its own.
  struct alignas(64) Published {
    std::atomic<Link*> chain{nullptr};
  };

  void* TakeSmall(uint32_t len);
  void* TakeLarge(uint32_t len);

  const size_t roomAfter_;
  const BlockAllocator allocator_;
  Published published_[kSmallClasses];
  Chain filling_[kSmallClasses];  // the delivery loop's own
  Mutex mu_;
  Slot slots_[kSlots] GUARDED_BY(mu_) = {};  // the first count_ are kept
  size_t count_ GUARDED_BY(mu_) = 0;
  size_t keptBytes_ GUARDED_BY(mu_) = 0;
};

}  // namespace dv
