#include "plugins/plugin_info.h"

namespace dv {

namespace {
constexpr uint32_t kClassBits[DV_MASK_COUNT] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400};
}

bool MatchesAnyClass(const PLUGININFO& plugin, uint32_t eventType, uint32_t key) {
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if ((eventType & kClassBits[k]) != 0 && (key & ~plugin.mask(k)) == 0) return true;
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
