#include "core/parent_identity.h"

namespace dv {

void ParentIdentity::Store(const std::vector<std::string>& fields) {
  {
    MutexLock lock(mu_);
    if (fields.size() >= 1) strings_.fileName = fields[0];
    if (fields.size() >= 2) strings_.version = fields[1];
    waitEnded_ = true;
  }
  ended_.NotifyAll();
}

void ParentIdentity::EndWait() {
  {
    MutexLock lock(mu_);
    waitEnded_ = true;
  }
  ended_.NotifyAll();
}

// The flag, not the notification, ends the wait: an identity or a stop
// that came before the wait began counts, and a spurious wake-up does not.
void ParentIdentity::WaitAtMost(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mu_);
  while (!waitEnded_) {
    if (!ended_.WaitUntil(mu_, deadline)) return;
  }
}

ParentIdentity::Strings ParentIdentity::Read() const {
  MutexLock lock(mu_);
  return strings_;
}

}  // namespace dv
