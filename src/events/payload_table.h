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
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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
  struct Entry {
    uint32_t len;
    std::vector<uint32_t> holders;  // a set: no duplicates
  };

  mutable std::mutex mu_;
  std::unordered_map<void*, Entry> blocks_;  // GUARDED_BY(mu_)
  Figures figures_;                          // GUARDED_BY(mu_)
};

}  // namespace dv
