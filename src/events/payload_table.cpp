#include "events/payload_table.h"

#include <algorithm>
#include <sstream>

namespace dv {

void PayloadTable::AddHolder(void* block, uint32_t len, uint32_t holder) {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto [it, inserted] = blocks_.try_emplace(block, Entry{len, {}});
  if (inserted) {
    ++figures_.blocks;
    figures_.bytes += len;
  }
  std::vector<uint32_t>& holders = it->second.holders;
  if (std::find(holders.begin(), holders.end(), holder) == holders.end()) {
    holders.push_back(holder);
  }
}

bool PayloadTable::DropHolder(void* block, uint32_t holder) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  std::vector<uint32_t>& holders = it->second.holders;
  holders.erase(std::remove(holders.begin(), holders.end(), holder), holders.end());
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
    for (size_t i = 0; i < entry.holders.size(); ++i) {
      report << (i ? "," : "") << entry.holders[i];
    }
    report << std::dec << "]\n";
  }
  blocks_.clear();
  figures_ = Figures();
  return report.str();
}

}  // namespace dv
