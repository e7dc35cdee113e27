// The block cache that recycles payload blocks.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "events/block_cache.h"

namespace dv {
namespace {

constexpr uint32_t kFrame = 64 * 1024;

TEST(BlockCache, AFreedLargeBlockServesTheNextOfASimilarSize) {
  BlockCache cache;
  void* first = cache.Take(kFrame);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0xab, kFrame);  // the whole length is usable
  cache.Put(first, kFrame);
  EXPECT_EQ(cache.Take(kFrame - 100), first);
  cache.Put(first, kFrame);
}

// A kept block smaller than the request would be a heap overflow waiting
// for the payload copy; nothing else in the suite would notice it.
TEST(BlockCache, NeverHandsOutABlockSmallerThanAsked) {
  BlockCache cache;
  const uint32_t sizes[] = {kFrame / 2, kFrame - 1, kFrame, kFrame + 1, kFrame * 3 / 2, 2 * kFrame};
  for (uint32_t kept : sizes) {
    cache.Put(std::malloc(kept), kept);
    for (uint32_t asked : sizes) {
      void* block = cache.Take(asked);
      ASSERT_GE(malloc_usable_size(block), asked) << "kept " << kept << ", asked " << asked;
      cache.Put(block, asked);
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
// raises events, each with its class's whole size; what the loop cannot
// pass on is freed (the sanitizers and valgrind see any block lost or
// freed twice).
TEST(BlockCache, SmallBlocksTheLoopRecyclesServeARaisingThreadWhole) {
  BlockCache cache;
  const uint32_t n = BlockCache::kChainBytes / 1024 / 4;  // what the loop passes on at once
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
  }
  // Far more than the loop may keep: the rest is freed at once or at the end.
  for (int i = 0; i < 4000; ++i) cache.Recycle(std::malloc(64), 64);
  for (void* block : again) cache.Recycle(block, 1024);
}

}  // namespace
}  // namespace dv
