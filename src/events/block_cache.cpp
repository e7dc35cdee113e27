#include "events/block_cache.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace dv {
namespace {

using Link = BlockCache::Link;

// Four classes per doubling above 64 bytes (64, 80, 96, 112, 128, 160, ...
// 8192), so a block is at most a quarter larger than the class below it
// asks for: a queue grown by a burst holds little more than malloc would.
constexpr size_t ClassOf(uint32_t len) {
  if (len <= BlockCache::kSmallMinBytes) return 0;
  const uint32_t n = len - 1;
  const int octave = 31 - __builtin_clz(n);  // 6 and up
  return 1 + size_t(octave - 6) * 4 + ((n >> (octave - 2)) & 3);
}
constexpr size_t ClassBytes(size_t c) {
  if (c == 0) return BlockCache::kSmallMinBytes;
  return size_t(5 + (c - 1) % 4) << (6 + (c - 1) / 4 - 2);
}
constexpr uint32_t ChainLimit(size_t c) {
  return uint32_t(BlockCache::kChainBytes / ClassBytes(c));
}
// A chain is published once it holds a quarter of its limit.
constexpr uint32_t PublishAt(size_t c) { return ChainLimit(c) / 4; }
static_assert(ClassOf(BlockCache::kSmallMaxBytes) + 1 == BlockCache::kSmallClasses);
static_assert(ClassBytes(BlockCache::kSmallClasses - 1) == BlockCache::kSmallMaxBytes);
static_assert(ClassBytes(ClassOf(65)) == 80 && ClassBytes(ClassOf(129)) == 160);
static_assert(ClassBytes(ClassOf(1024)) == 1024 && ClassBytes(ClassOf(1025)) == 1280);
static_assert(BlockCache::kSmallMaxBytes < BlockCache::kMinBytes);
static_assert(PublishAt(BlockCache::kSmallClasses - 1) >= 1);

constexpr size_t RoundUp16(uint32_t len) { return (size_t(len) + 15) & ~size_t(15); }

void FreeChain(Link* link) {
  while (link != nullptr) {
    Link* const next = link->next;
    std::free(link);
    link = next;
  }
}

// A raising thread's own small blocks, one chain per class, freed when the
// thread ends. Blocks are plain malloc'ed blocks of their class's size, so
// a chain may come from any core's cache and serve any other.
struct ThreadBlocks {
  Link* first[BlockCache::kSmallClasses] = {};
  ~ThreadBlocks() {
    for (Link* chain : first) FreeChain(chain);
  }
};
thread_local ThreadBlocks t_blocks;

}  // namespace

BlockCache::~BlockCache() {
  for (size_t c = 0; c < kSmallClasses; ++c) {
    FreeChain(filling_[c].first);
    FreeChain(published_[c].chain.load(std::memory_order_acquire));
  }
  for (size_t i = 0; i < count_; ++i) std::free(slots_[i].block);
}

void* BlockCache::Take(uint32_t len) {
  if (len <= kSmallMaxBytes) return TakeSmall(len);
  if (len >= kMinBytes && len <= kMaxBytes) return TakeLarge(len);
  return allocate_(RoundUp16(len) + roomAfter_);
}

void* BlockCache::TakeSmall(uint32_t len) {
  const size_t c = ClassOf(len);
  // Whatever the allocator, a small block has its class's whole size, so
  // that any block a chain holds can serve any length of its class.
  if (allocate_ != std::malloc) return allocate_(ClassBytes(c) + roomAfter_);
  Link* link = t_blocks.first[c];
  std::atomic<Link*>& published = published_[c].chain;
  // Only exchange a chain that is there: an empty slot stays in the
  // loop's cache line, not in this thread's.
  if (link == nullptr && published.load(std::memory_order_relaxed) != nullptr) {
    link = published.exchange(nullptr, std::memory_order_acquire);
  }
  if (link == nullptr) return allocate_(ClassBytes(c) + roomAfter_);
  t_blocks.first[c] = link->next;
  return link;
}

void* BlockCache::TakeLarge(uint32_t len) {
  const size_t bytes = RoundUp16(len) + roomAfter_;
  if (allocate_ == std::malloc) {
    MutexLock lock(mu_);
    for (size_t i = 0; i < count_; ++i) {
      // At most twice the size asked for, so a small frame never ties up
      // a block a large one could have used.
      if (slots_[i].bytes >= bytes && slots_[i].bytes / 2 <= bytes) {
        void* const block = slots_[i].block;
        keptBytes_ -= slots_[i].bytes;
        slots_[i] = slots_[--count_];
        return block;
      }
    }
  }
  return allocate_(bytes);
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
    if (count_ < kSlots && keptBytes_ + bytes <= kKeptBytes) {
      keptBytes_ += bytes;
      slots_[count_++] = {block, bytes};
      return;
    }
  }
  std::free(block);
}

void BlockCache::Recycle(void* block, uint32_t len) {
  if (block == nullptr || len > kSmallMaxBytes) {
    Put(block, len);
    return;
  }
  const size_t c = ClassOf(len);
  Chain& chain = filling_[c];
  if (chain.count >= ChainLimit(c)) {
    std::free(block);  // nobody took the last chain: enough are kept
  } else {
    chain.first = new (block) Link{chain.first};
    ++chain.count;
  }
  std::atomic<Link*>& published = published_[c].chain;
  // Only this thread stores a chain, so an empty slot stays empty until
  // the store: no exchange needed. Release: the taker sees the links.
  if (chain.count >= PublishAt(c) && published.load(std::memory_order_relaxed) == nullptr) {
    published.store(chain.first, std::memory_order_release);
    chain = Chain();
  }
}

}  // namespace dv
