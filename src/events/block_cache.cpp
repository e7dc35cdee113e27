#include "events/block_cache.h"

#include <malloc.h>

#include <cstdlib>

namespace dv {

BlockCache::~BlockCache() {
  for (size_t i = 0; i < count_; ++i) std::free(slots_[i].block);
}

void* BlockCache::Take(uint32_t len) {
  if (len >= kMinBytes && len <= kMaxBytes) {
    MutexLock lock(mu_);
    for (size_t i = 0; i < count_; ++i) {
      // At most twice the size asked for, so a small frame never ties up
      // a block a large one could have used.
      if (slots_[i].bytes >= len && slots_[i].bytes / 2 <= len) {
        void* const block = slots_[i].block;
        slots_[i] = slots_[--count_];
        return block;
      }
    }
  }
  return allocate_(len);
}

void BlockCache::Put(void* block, uint32_t len) {
  if (block == nullptr) return;
  if (len < kMinBytes) {
    std::free(block);
    return;
  }
  // malloc_usable_size is in glibc and musl alike.
  const size_t bytes = malloc_usable_size(block);
  if (bytes >= kMinBytes && bytes <= kMaxBytes) {
    MutexLock lock(mu_);
    if (count_ < kSlots) {
      slots_[count_++] = {block, bytes};
      return;
    }
  }
  std::free(block);
}

}  // namespace dv
