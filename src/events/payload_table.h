// The payload reference table: which holders (plugin IDs, or the core's
// 0x80000000) still hold each payload block the core handed out.
//
// A block is in the table exactly while its holder set is not empty. The
// table never frees a block itself: DropHolder tells the caller when the
// last holder went, and the caller frees it after clearing any reply that
// waits on that address.
//
// Thread safety: every operation takes the table's own mutex, the payload
// lock (its place in the lock order: events/event_router.h), never held
// while plugin code runs.
// Called by the delivery loop and by any thread that raises a release.
//
// Entries come from a pool that recycles their memory, and a block's
// holders live inline in its entry, so a block that passes through
// delivery costs no allocation here once the pool has warmed up.
//
// The block being delivered. While the loop delivers a block the core holds
// it, so a plugin's hold that begins before its Write and ends right after
// it cannot free the block: such holds are kept out of the map. The block
// being delivered counts in the figures as held; it enters the map only
// when a plugin keeps it. The hold of the plugin inside its call is one
// atomic word, so a release that plugin raises during the call (from any
// thread) ends that hold exactly as it would end a recorded one, and a
// release claiming the core's ID cannot end the core's hold.
// BeginDelivery, BeginCall, EndCall and EndDelivery: delivery loop only.
//
// A block fresh from the queue is held by nobody else, so BeginDelivery
// only publishes it (atomic words, no lock), and EndDelivery takes the
// lock only when the map holds any block at all; with the map empty nobody
// else holds the block and the caller frees it at once. Another thread's
// figures() may pair the block being delivered with the next one's length
// for an instant.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <unordered_map>

#include "platform/mutex.h"

namespace dv {

class PayloadTable {
 public:
  struct Figures {
    uint32_t blocks = 0;
    uint32_t bytes = 0;
  };

  // Removes `holder` from a held block. Returns true when that was the last
  // holder: the block has left the table, its length is stored in `*len`,
  // and the caller must free it. A block the table does not hold (released
  // twice, or never the core's) is left alone: false, and nothing changes.
  bool DropHolder(void* block, uint32_t holder, uint32_t* len);

  Figures figures() const;

  void BeginDelivery(void* block, uint32_t len);
  // `holder` holds the block being delivered for the length of one call.
  // The stores need no fence of their own: a release of this block that
  // another thread raises can only follow the plugin learning the block in
  // its call, so the plugin's own hand-over orders BeginCall's store before
  // that release's compare-and-swap; and a compare-and-swap racing with
  // EndCall's store of 0 changes nothing either way when keep is false.
  void BeginCall(uint32_t holder) { call_.store(kCallActive | holder, std::memory_order_release); }
  // The call returned; with `keep`, the holder goes on holding the block
  // unless it gave it back during the call. False when there was no memory
  // to record the hold: the block then stays allocated for good, since no
  // release can prove that its last holder let go. The table forgets it
  // (its figures and the leak report leave it out), later releases of it
  // change nothing, and EndDelivery does not let the caller free it.
  bool EndCall(bool keep) {
    if (keep) return KeepAfterCall();
    call_.store(0, std::memory_order_release);  // the hold ends with the call, as if released
    return true;
  }
  // The core's hold ends. True when nobody else holds the block: the caller
  // frees it.
  bool EndDelivery();

  // One line per block still held, "address 0x.. leaked by plugins [a,b]\n",
  // in table order. Empties the table without freeing the blocks.
  std::string TakeLeakReport();

 private:
  // A set of holder IDs, without duplicates, in the order they were added.
  class Holders {
   public:
    explicit Holders(std::pmr::memory_resource* pool) : overflow_(pool) {}
    void Add(uint32_t holder);
    void Remove(uint32_t holder);
    bool empty() const { return count_ == 0; }
    template <typename Visit>
    void ForEach(Visit visit) const {
      for (uint32_t i = 0; i < count_; ++i) visit(i < kInline ? inline_[i] : overflow_[i - kInline]);
    }

   private:
    static constexpr uint32_t kInline = 6;
    uint32_t& At(uint32_t i) { return i < kInline ? inline_[i] : overflow_[i - kInline]; }
    uint32_t count_ = 0;
    uint32_t inline_[kInline] = {};
    std::pmr::vector<uint32_t> overflow_;
  };

  struct Entry {
    Entry(uint32_t length, std::pmr::memory_resource* pool) : len(length), holders(pool) {}
    uint32_t len;
    Holders holders;
  };
  using Map = std::pmr::unordered_map<void*, Entry>;

  static constexpr uint64_t kCallActive = uint64_t(1) << 32;
  static constexpr uint64_t kCallReleased = uint64_t(1) << 33;

  bool ReleasedDuringCall(void* block, uint32_t holder) REQUIRES(mu_);
  bool KeepAfterCall();
  void KeepForGood(void* block) REQUIRES(mu_);

  mutable Mutex mu_;  // the payload lock
  // The block being delivered and its length: written by the delivery loop
  // only (the length first), read by any thread.
  std::atomic<void*> delivering_{nullptr};
  std::atomic<uint32_t> deliveringLen_{0};
  // blocks_.size(), stored under mu_ after every change, read without it.
  std::atomic<size_t> entries_{0};
  // The holder inside its call (low 32 bits), kCallActive while the call
  // runs, kCallReleased once that holder gave the block back meanwhile.
  std::atomic<uint64_t> call_{0};
  // The block being delivered stays allocated for good (see EndCall).
  // Delivery loop only.
  bool keptForGood_ = false;
  std::pmr::unsynchronized_pool_resource pool_ GUARDED_BY(mu_);
  Map blocks_ GUARDED_BY(mu_){&pool_};
  Figures figures_ GUARDED_BY(mu_);
};

}  // namespace dv
