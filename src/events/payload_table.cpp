#include "events/payload_table.h"

#include <new>
#include <sstream>

#include "plugin_api/event.h"

namespace dv {

void PayloadTable::Holders::Add(uint32_t holder) {
  for (uint32_t i = 0; i < count_; ++i) {
    if (At(i) == holder) return;
  }
  if (count_ < kInline) {
    inline_[count_] = holder;
  } else {
    overflow_.push_back(holder);
  }
  ++count_;
}

void PayloadTable::Holders::Remove(uint32_t holder) {
  for (uint32_t i = 0; i < count_; ++i) {
    if (At(i) != holder) continue;
    for (uint32_t j = i + 1; j < count_; ++j) At(j - 1) = At(j);  // keep the order
    --count_;
    if (count_ >= kInline) overflow_.pop_back();
    return;
  }
}

bool PayloadTable::DropHolder(void* block, uint32_t holder, uint32_t* len) {
  MutexLock lock(mu_);
  if (ReleasedDuringCall(block, holder)) return false;
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  Holders& holders = it->second.holders;
  holders.Remove(holder);
  if (!holders.empty() || block == delivering_.load(std::memory_order_acquire)) return false;
  --figures_.blocks;
  figures_.bytes -= it->second.len;
  *len = it->second.len;
  blocks_.erase(it);
  entries_.store(blocks_.size());
  return true;
}

PayloadTable::Figures PayloadTable::figures() const {
  MutexLock lock(mu_);
  Figures figures = figures_;
  void* const delivering = delivering_.load(std::memory_order_acquire);
  if (delivering != nullptr && blocks_.count(delivering) == 0) {
    ++figures.blocks;
    figures.bytes += deliveringLen_.load(std::memory_order_relaxed);
  }
  return figures;
}

bool PayloadTable::ReleasedDuringCall(void* block, uint32_t holder) {
  if (block == nullptr || block != delivering_.load(std::memory_order_acquire)) return false;
  if (holder == DV_CORE_ID) return true;  // only the loop ends the core's hold
  uint64_t call = call_.load();
  if ((call & kCallActive) == 0 || (call & kCallReleased) != 0 || uint32_t(call) != holder) {
    return false;
  }
  return call_.compare_exchange_strong(call, call | kCallReleased);
}

void PayloadTable::BeginDelivery(void* block, uint32_t len) {
  deliveringLen_.store(len, std::memory_order_relaxed);
  delivering_.store(block, std::memory_order_release);
}

// The holder inside the call kept the block: it enters the map.
bool PayloadTable::KeepAfterCall() {
  MutexLock lock(mu_);
  const uint64_t call = call_.exchange(0);
  void* const block = delivering_.load(std::memory_order_relaxed);  // this thread's own
  if ((call & kCallReleased) != 0 || block == nullptr) return true;
  const uint32_t len = deliveringLen_.load(std::memory_order_relaxed);
  try {
    auto [it, inserted] = blocks_.try_emplace(block, len, &pool_);
    if (inserted) {
      ++figures_.blocks;
      figures_.bytes += len;
    }
    it->second.holders.Add(uint32_t(call));
  } catch (const std::bad_alloc&) {
    KeepForGood(block);
    return false;
  }
  entries_.store(blocks_.size());
  return true;
}

// Every hold of the block is forgotten, whoever recorded it: none can end
// it any more, so the block is never freed under a plugin that holds it.
void PayloadTable::KeepForGood(void* block) {
  auto it = blocks_.find(block);
  if (it != blocks_.end()) {
    --figures_.blocks;
    figures_.bytes -= it->second.len;
    blocks_.erase(it);
  }
  entries_.store(blocks_.size());
  keptForGood_ = true;
}

bool PayloadTable::EndDelivery() {
  if (keptForGood_) {
    keptForGood_ = false;
    delivering_.store(nullptr, std::memory_order_release);
    return false;
  }
  if (entries_.load() == 0) {
    // The map holds nothing, so nobody but the core held the block.
    delivering_.store(nullptr, std::memory_order_release);
    return true;
  }
  MutexLock lock(mu_);
  void* const block = delivering_.load(std::memory_order_relaxed);
  delivering_.store(nullptr, std::memory_order_release);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return true;
  if (!it->second.holders.empty()) return false;
  --figures_.blocks;
  figures_.bytes -= it->second.len;
  blocks_.erase(it);
  entries_.store(blocks_.size());
  return true;
}

std::string PayloadTable::TakeLeakReport() {
  MutexLock lock(mu_);
  std::ostringstream report;
  for (const auto& [block, entry] : blocks_) {
    report << "address " << block << " leaked by plugins [" << std::hex;
    const char* separator = "";
    entry.holders.ForEach([&](uint32_t holder) {
      report << separator << holder;
      separator = ",";
    });
    report << std::dec << "]\n";
  }
  blocks_.clear();
  entries_.store(0);
  figures_ = Figures();
  return report.str();
}

}  // namespace dv
