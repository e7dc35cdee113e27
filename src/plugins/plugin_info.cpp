#include "plugins/plugin_info.h"

namespace dv {

bool MatchesAnyClass(const PLUGININFO& plugin, uint32_t eventType, uint32_t key) {
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if ((eventType & DV_CLASS_BIT(k)) != 0 && (key & ~plugin.mask(k)) == 0) return true;
  }
  return false;
}

bool ReadGate::Enter() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_) return false;
  ++inside_;
  return true;
}

void ReadGate::Leave() {
  std::lock_guard<std::mutex> lock(mu_);
  if (--inside_ == 0) idle_.notify_all();
}

void ReadGate::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
}

void ReadGate::WaitIdle() {
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return inside_ == 0; });
}

}  // namespace dv
