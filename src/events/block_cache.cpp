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

void FreeChain(Link* link, void (*release)(void*)) {
  while (link != nullptr) {
    Link* const next = link->next;
    release(link);
    link = next;
  }
}

// A raising thread's own small blocks, freed when the thread ends. A block
// is as long as its class plus the room after the payload of the cache it
// came from, so the thread keeps one shelf per room (and per release, which
// frees the shelf at the end): a cache takes only from the shelf of its own
// room, and never serves a payload and a record from a block too short for
// them. The core has one cache; a thread that meets more rooms than
// kShelves gets fresh blocks for the rest.
struct ThreadBlocks {
  struct Shelf {
    size_t room;
    void (*release)(void*);
    Link* first[BlockCache::kSmallClasses];
  };
  static constexpr size_t kShelves = 4;

  // The chains for blocks with `room` after their class's bytes; null when
  // every shelf serves other caches.
  Link** ChainsFor(size_t room, void (*release)(void*)) {
    for (size_t i = 0; i < used; ++i) {
      if (shelves[i].room == room && shelves[i].release == release) return shelves[i].first;
    }
    if (used == kShelves) return nullptr;
    shelves[used] = Shelf{room, release, {}};
    return shelves[used++].first;
  }
  ~ThreadBlocks() {
    for (size_t i = 0; i < used; ++i) {
      for (Link* chain : shelves[i].first) FreeChain(chain, shelves[i].release);
    }
  }

  Shelf shelves[kShelves];
  size_t used = 0;
};
thread_local ThreadBlocks t_blocks;

}  // namespace

BlockCache::~BlockCache() {
  for (size_t c = 0; c < kSmallClasses; ++c) {
    FreeChain(filling_[c].first, allocator_.release);
    FreeChain(published_[c].chain.load(std::memory_order_acquire), allocator_.release);
  }
  for (size_t i = 0; i < count_; ++i) allocator_.release(slots_[i].block);
}

void* BlockCache::Take(uint32_t len) {
  if (len <= kSmallMaxBytes) return TakeSmall(len);
  if (len >= kMinBytes && len <= kMaxBytes) return TakeLarge(len);
  return allocator_.allocate(RoundUp16(len) + roomAfter_);
}

// A small block has its class's whole size, so that any block a chain
// holds can serve any length of its class.
void* BlockCache::TakeSmall(uint32_t len) {
  const size_t c = ClassOf(len);
  Link** const chains = t_blocks.ChainsFor(roomAfter_, allocator_.release);
  if (chains == nullptr) return allocator_.allocate(ClassBytes(c) + roomAfter_);
  Link* link = chains[c];
  std::atomic<Link*>& published = published_[c].chain;
  // Only exchange a chain that is there: an empty slot stays in the
  // loop's cache line, not in this thread's.
  if (link == nullptr && published.load(std::memory_order_relaxed) != nullptr) {
    link = published.exchange(nullptr, std::memory_order_acquire);
  }
  if (link == nullptr) return allocator_.allocate(ClassBytes(c) + roomAfter_);
  chains[c] = link->next;
  return link;
}

void* BlockCache::TakeLarge(uint32_t len) {
  const size_t bytes = RoundUp16(len) + roomAfter_;
  {
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
  return allocator_.allocate(bytes);
}

void BlockCache::Put(void* block, uint32_t len) {
  if (block == nullptr) return;
  if (len < kMinBytes) {
    allocator_.release(block);
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
  allocator_.release(block);
}

void BlockCache::Recycle(void* block, uint32_t len) {
  if (block == nullptr || len > kSmallMaxBytes) {
    Put(block, len);
    return;
  }
  const size_t c = ClassOf(len);
  Chain& chain = filling_[c];
  if (chain.count >= ChainLimit(c)) {
    allocator_.release(block);  // nobody took the last chain: enough are kept
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
