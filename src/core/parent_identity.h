// The parent's identity: the file name and version of its identity packet,
// and the start-up wait for that packet.
//
// Threads: Store runs on the I/O thread (the parent channel's identity
// packet); EndWait on any thread (RequestStop: a signal, a stop packet, the
// loss of the parent); WaitAtMost on the main thread during Start; Read on
// the main thread (the first status report) and the I/O thread (later ones).
//
// Lock: a mutex and condition variable of its own, apart from the event
// queue's, so that the queue's lock serves the delivery loop alone. It is a
// leaf (events/event_router.h lists every lock of the core): nothing else is
// taken while it is held, and no caller holds another lock of the core.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace dv {

class ParentIdentity {
 public:
  struct Strings {
    std::string fileName;
    std::string version;
  };

  // Takes the packet's first field as the file name and its second as the
  // version, each only when present, and ends the start-up wait.
  void Store(const std::vector<std::string>& fields) EXCLUDES(mu_);
  // Ends the start-up wait without an identity.
  void EndWait() EXCLUDES(mu_);
  // Returns once Store or EndWait has been called, at any time before or
  // during the wait, or once `timeout` has passed, whichever comes first.
  void WaitAtMost(std::chrono::steady_clock::duration timeout) EXCLUDES(mu_);
  // Both strings as one identity packet left them, never a mix of two.
  Strings Read() const EXCLUDES(mu_);

 private:
  mutable Mutex mu_;
  CondVar ended_;
  Strings strings_ GUARDED_BY(mu_);
  bool waitEnded_ GUARDED_BY(mu_) = false;
};

}  // namespace dv
