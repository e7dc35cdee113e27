// The block cache that recycles payload blocks.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "events/block_cache.h"

namespace dv {
namespace {

constexpr uint32_t kFrame = 64 * 1024;
constexpr size_t kRecordRoom = 184;  // what the event queue asks for

size_t RoundUp16(uint32_t len) { return (size_t(len) + 15) & ~size_t(15); }
// How many blocks of `len` bytes the loop strings together before a
// raising thread can take them.
uint32_t PublishedAt(uint32_t len) { return uint32_t(BlockCache::kChainBytes / len / 4); }

TEST(BlockCache, AFreedLargeBlockServesTheNextOfASimilarSize) {
  BlockCache cache;
  void* first = cache.Take(kFrame);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0xab, kFrame);  // the whole length is usable
  cache.Put(first, kFrame);
  EXPECT_EQ(cache.Take(kFrame - 100), first);
  cache.Put(first, kFrame);
}

// A kept block shorter than the request and the room after it would be a
// heap overflow waiting for the payload copy or the queue's record; nothing
// else in the suite would notice it.
TEST(BlockCache, NeverHandsOutABlockShorterThanThePayloadAndTheRoomAfterIt) {
  for (const size_t room : {size_t(0), kRecordRoom}) {
    BlockCache cache(room);
    const uint32_t sizes[] = {kFrame / 2, kFrame - 1, kFrame, kFrame + 1, kFrame * 3 / 2,
                              2 * kFrame};
    for (uint32_t kept : sizes) {
      cache.Put(std::malloc(kept), kept);
      for (uint32_t asked : sizes) {
        void* block = cache.Take(asked);
        ASSERT_GE(malloc_usable_size(block), RoundUp16(asked) + room)
            << "room " << room << ", kept " << kept << ", asked " << asked;
        cache.Put(block, asked);
      }
    }
  }
}

TEST(BlockCache, SmallHugeAndMuchLargerBlocksAreNotReused) {
  BlockCache cache;
  void* small = cache.Take(1024);
  cache.Put(small, 1024);  // below the threshold: freed
  void* again = cache.Take(1024);
  std::free(again);  // an ordinary malloc'ed block either way

  void* huge = std::malloc(BlockCache::kMaxBytes * 2);
  cache.Put(huge, BlockCache::kMaxBytes * 2);  // above the limit: freed, never kept
  void* large = cache.Take(4 * kFrame);
  cache.Put(large, 4 * kFrame);
  // A block over twice the size asked for stays for a larger request.
  void* other = cache.Take(kFrame);
  EXPECT_NE(other, large);
  EXPECT_EQ(cache.Take(4 * kFrame), large);
  cache.Put(other, kFrame);
  cache.Put(large, 4 * kFrame);
}

TEST(BlockCache, KeepsAtMostItsSlotsAndFreesTheRestAndAllAtTheEnd) {
  // Run under the address sanitizer or valgrind, a block kept past the
  // cache's end or freed twice fails this test.
  BlockCache cache;
  std::vector<void*> blocks;
  for (size_t i = 0; i < BlockCache::kSlots + 3; ++i) blocks.push_back(cache.Take(kFrame));
  for (void* block : blocks) cache.Put(block, kFrame);
  std::vector<void*> reused;
  for (size_t i = 0; i < BlockCache::kSlots + 3; ++i) reused.push_back(cache.Take(kFrame));
  size_t recycled = 0;
  for (void* block : reused) {
    for (void* earlier : blocks) recycled += block == earlier;
  }
  // Fresh blocks may land at freed addresses, so at least the kept ones.
  EXPECT_GE(recycled, BlockCache::kSlots);
  for (size_t i = 0; i < BlockCache::kSlots; ++i) {
    cache.Put(reused.back(), kFrame);
    reused.pop_back();
  }
  for (void* block : reused) std::free(block);
}


// Small blocks the delivery loop gives back serve the next thread that
// raises events, each with its class's whole size.
TEST(BlockCache, SmallBlocksTheLoopRecyclesServeARaisingThreadWhole) {
  BlockCache cache;
  const uint32_t n = PublishedAt(1024);
  std::vector<void*> raised(n), again(n);
  std::thread([&] {
    for (void*& block : raised) block = cache.Take(1000);
  }).join();
  for (void* block : raised) cache.Recycle(block, 1000);  // this thread is the loop
  std::thread([&] {
    for (uint32_t i = 0; i < n; ++i) again[i] = cache.Take(1024 - i);
  }).join();
  for (void* block : again) {
    EXPECT_NE(std::find(raised.begin(), raised.end(), block), raised.end());
    EXPECT_GE(malloc_usable_size(block), 1024u);
    std::memset(block, 0xcd, 1024);
    cache.Recycle(block, 1024);
  }
}

// Blocks counted from their allocation to their release.
std::atomic<long> g_live{0};
void* CountedAllocate(size_t bytes) {
  ++g_live;
  return std::malloc(bytes);
}
void CountedRelease(void* block) {
  --g_live;
  std::free(block);
}
constexpr BlockAllocator kCounted{CountedAllocate, CountedRelease};
// A second allocator, counted apart.
std::atomic<long> g_otherLive{0};
void* OtherAllocate(size_t bytes) {
  ++g_otherLive;
  return std::malloc(bytes);
}
void OtherRelease(void* block) {
  --g_otherLive;
  std::free(block);
}
constexpr BlockAllocator kOther{OtherAllocate, OtherRelease};

// Two caches whose blocks leave different room after the payload serve one
// raising thread by turns: each block it gets has its own cache's room (the
// whole of it is written; the address sanitizer sees any overrun), and the
// blocks the thread still holds when it ends are freed then.
TEST(BlockCache, CachesOfDifferentRoomServeOneThreadEachWithItsOwnRoom) {
  const long start = g_live;
  {
    BlockCache bare(0, kCounted), roomy(kRecordRoom, kCounted);
    BlockCache* const caches[] = {&bare, &roomy};
    const size_t rooms[] = {0, kRecordRoom};
    const uint32_t n = PublishedAt(1024);
    for (BlockCache* cache : caches) {  // a chain of 1024-byte blocks in each
      std::vector<void*> raised(n);
      std::thread([&] {
        for (void*& block : raised) block = cache->Take(1024);
      }).join();
      for (void* block : raised) cache->Recycle(block, 1024);
    }
    std::vector<void*> taken[2];
    std::thread([&] {
      for (uint32_t i = 0; i < n / 2; ++i) {
        for (int c : {0, 1}) {
          void* block = caches[c]->Take(1024);
          ASSERT_GE(malloc_usable_size(block), 1024 + rooms[c]) << "cache " << c;
          std::memset(block, 0xcd, 1024 + rooms[c]);
          taken[c].push_back(block);
        }
      }
    }).join();  // half of each chain is left with the thread
    for (int c : {0, 1}) {
      for (void* block : taken[c]) caches[c]->Recycle(block, 1024);
    }
  }
  EXPECT_EQ(g_live, start);
}

// Two caches of the same room but different allocators: a thread holding
// blocks of one never hands them out for the other, whose blocks come from
// its own allocator and go back to its own release.
TEST(BlockCache, AThreadServesACacheOnlyBlocksOfItsOwnAllocator) {
  const long start = g_live, otherStart = g_otherLive;
  {
    BlockCache counted(0, kCounted), other(0, kOther);
    const uint32_t n = PublishedAt(1024);
    std::vector<void*> raised(n);
    std::thread([&] {
      for (void*& block : raised) block = counted.Take(1024);
    }).join();
    for (void* block : raised) counted.Recycle(block, 1024);
    std::thread([&] {
      void* const first = counted.Take(1024);  // the rest of the chain stays with the thread
      std::vector<void*> taken(n - 1);
      for (void*& block : taken) {
        block = other.Take(1024);
        EXPECT_EQ(std::find(raised.begin(), raised.end(), block), raised.end());
      }
      for (void* block : taken) other.Put(block, 1024);
      counted.Put(first, 1024);
    }).join();
  }
  EXPECT_EQ(g_live, start);
  EXPECT_EQ(g_otherLive, otherStart);
}

// The loop keeps at most kChainBytes of a class in its chain, and one chain
// published (a quarter of that); it frees the rest at once, and what it
// keeps at its end.
TEST(BlockCache, TheLoopKeepsAtMostAChainAndAPublishedOneOfAClass) {
  const long start = g_live;
  {
    BlockCache cache(0, kCounted);
    std::vector<void*> raised(4000);
    std::thread([&] {
      for (void*& block : raised) block = cache.Take(64);
    }).join();
    for (void* block : raised) cache.Recycle(block, 64);
    EXPECT_LE(g_live - start, long(PublishedAt(64) + BlockCache::kChainBytes / 64));
  }
  EXPECT_EQ(g_live, start);
}

// Large blocks are kept up to kKeptBytes in all, and a block handed out
// again no longer counts: round after round, as many are kept.
TEST(BlockCache, KeptLargeBlocksNeverExceedTheByteBudget) {
  constexpr uint32_t kBig = 400 * 1024;  // five fit the budget, with their heap overhead
  const long start = g_live;
  {
    BlockCache cache(0, kCounted);
    std::vector<void*> blocks(BlockCache::kSlots);
    for (int round = 0; round < 3; ++round) {
      for (void*& block : blocks) block = cache.Take(kBig);
      for (void* block : blocks) cache.Put(block, kBig);
      EXPECT_EQ(g_live - start, long(BlockCache::kKeptBytes / kBig)) << "round " << round;
    }
  }
  EXPECT_EQ(g_live, start);
}

}  // namespace
}  // namespace dv
