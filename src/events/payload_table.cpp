#include "events/payload_table.h"

#include <sstream>

namespace dv {

namespace {
constexpr uint32_t kCoreHolder = 0x80000000u;
}

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

void PayloadTable::AddHolder(void* block, uint32_t len, uint32_t holder) {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto [it, inserted] = blocks_.try_emplace(block, len, &pool_);
  if (inserted) {
    ++figures_.blocks;
    figures_.bytes += len;
  }
  it->second.holders.Add(holder);
}

bool PayloadTable::DropHolder(void* block, uint32_t holder) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ReleasedDuringCall(block, holder)) return false;
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  Holders& holders = it->second.holders;
  holders.Remove(holder);
  if (!holders.empty() || block == delivering_) return false;
  --figures_.blocks;
  figures_.bytes -= it->second.len;
  blocks_.erase(it);
  return true;
}

PayloadTable::Figures PayloadTable::figures() const {
  std::lock_guard<std::mutex> lock(mu_);
  Figures figures = figures_;
  if (delivering_ != nullptr && blocks_.count(delivering_) == 0) {
    ++figures.blocks;
    figures.bytes += deliveringLen_;
  }
  return figures;
}

// REQUIRES: mu_ held.
bool PayloadTable::ReleasedDuringCall(void* block, uint32_t holder) {
  if (block != delivering_ || block == nullptr) return false;
  if (holder == kCoreHolder) return true;  // only the loop ends the core's hold
  uint64_t call = call_.load();
  if ((call & kCallActive) == 0 || (call & kCallReleased) != 0 || uint32_t(call) != holder) {
    return false;
  }
  return call_.compare_exchange_strong(call, call | kCallReleased);
}

void PayloadTable::BeginDelivery(void* block, uint32_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  delivering_ = block;
  deliveringLen_ = len;
}

// The two stores below need no fence of their own: a release of this block
// that another thread raises can only follow the plugin learning the block
// in its call, so the plugin's own hand-over orders BeginCall's store before
// that release's compare-and-swap; and a compare-and-swap racing with
// EndCall's store of 0 changes nothing either way once keep is false.
void PayloadTable::BeginCall(uint32_t holder) {
  call_.store(kCallActive | holder, std::memory_order_release);
}

void PayloadTable::EndCall(bool keep) {
  if (!keep) {
    call_.store(0, std::memory_order_release);  // the hold ends with the call, as if released
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t call = call_.exchange(0);
  if ((call & kCallReleased) != 0 || delivering_ == nullptr) return;
  auto [it, inserted] = blocks_.try_emplace(delivering_, deliveringLen_, &pool_);
  if (inserted) {
    ++figures_.blocks;
    figures_.bytes += deliveringLen_;
  }
  it->second.holders.Add(uint32_t(call));
}

bool PayloadTable::EndDelivery() {
  std::lock_guard<std::mutex> lock(mu_);
  void* block = delivering_;
  delivering_ = nullptr;
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return true;
  if (!it->second.holders.empty()) return false;
  --figures_.blocks;
  figures_.bytes -= it->second.len;
  blocks_.erase(it);
  return true;
}

std::string PayloadTable::TakeLeakReport() {
  std::lock_guard<std::mutex> lock(mu_);
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
  figures_ = Figures();
  return report.str();
}

}  // namespace dv
