#include "plugins/plugin_info.h"

namespace dv {

bool MatchesAnyClass(const PLUGININFO& plugin, uint32_t eventType, uint32_t key) {
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if ((eventType & DV_CLASS_BIT(k)) != 0 && (key & ~plugin.mask(k)) == 0) return true;
  }
  return false;
}

bool ReadGate::Enter() {
  MutexLock lock(mu_);
  if (closed_) return false;
  ++inside_;
  return true;
}

void ReadGate::Leave() {
  MutexLock lock(mu_);
  if (--inside_ == 0) idle_.NotifyAll();
}

void ReadGate::Close() {
  MutexLock lock(mu_);
  closed_ = true;
}

void ReadGate::WaitIdle() {
  MutexLock lock(mu_);
  while (inside_ != 0) idle_.Wait(mu_);
}

}  // namespace dv
