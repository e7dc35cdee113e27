// The payload reference table: which holders (plugin IDs, or the core's
// 0x80000000) still hold each payload block the core handed out.
//
// A block is in the table exactly while its holder set is not empty. The
// table never frees a block itself: DropHolder tells the caller when the
// last holder went, and the caller frees it after clearing any reply that
// waits on that address.
//
// Thread safety: every operation takes the table's own mutex, a leaf lock:
// it is never held while plugin code runs or while another lock is taken.
// Called by the delivery loop and by any thread that raises a release.
//
// Entries come from a pool that recycles their memory, and a block's
// holders live inline in its entry, so a block that passes through
// delivery costs no allocation here once the pool has warmed up.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <string>
#include <unordered_map>

namespace dv {

class PayloadTable {
 public:
  struct Figures {
    uint32_t blocks = 0;
    uint32_t bytes = 0;
  };

  // Adds `holder` to the block's holders, entering the block with `len` if
  // it is new. A null block is ignored.
  void AddHolder(void* block, uint32_t len, uint32_t holder);

  // Removes `holder` from a held block. Returns true when that was the last
  // holder: the block has left the table and the caller must free it.
  // A block the table does not hold (released twice, or never the core's)
  // is left alone: false, and nothing changes.
  bool DropHolder(void* block, uint32_t holder);

  Figures figures() const;

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

  mutable std::mutex mu_;
  std::pmr::unsynchronized_pool_resource pool_;  // GUARDED_BY(mu_)
  Map blocks_{&pool_};                           // GUARDED_BY(mu_)
  Figures figures_;                              // GUARDED_BY(mu_)
};

}  // namespace dv
