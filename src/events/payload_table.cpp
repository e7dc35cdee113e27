#include "events/payload_table.h"

#include <sstream>

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
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  Holders& holders = it->second.holders;
  holders.Remove(holder);
  if (!holders.empty()) return false;
  --figures_.blocks;
  figures_.bytes -= it->second.len;
  blocks_.erase(it);
  return true;
}

PayloadTable::Figures PayloadTable::figures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return figures_;
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
