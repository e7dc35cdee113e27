// Read requests: the closed-context set and the read-request threads, each
// of which lets its replies into the queue one payload block at a time.
//
// Locks: the request lock guards the closed set and the thread table; a
// RequestThread's mutex guards its pending block. Their order is in
// events/event_router.h; the compiler checks it (ACQUIRED_BEFORE below).
//
// A RequestThread record belongs to its thread: it is created by Register
// and destroyed by Unregister on that same thread, both under the request
// lock, so a record found under the request lock cannot vanish meanwhile.
//
// Callers: Register, Unregister and AdmitReply on read-request threads (and
// AdmitReply on any thread that raises a reply); Close/Reopen from the event
// entry on any thread; ClearPending from whichever thread frees a block;
// EndDelivery from the main thread when the delivery loop has returned.
#pragma once

#include <pthread.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>

#include "platform/mutex.h"

namespace dv {
namespace test {
class RequestThreadsPeer;
}

class RequestThreads {
 public:
  enum class Admission { kAdmitted, kRefused };

  void Close(void* context);
  void Reopen(void* context);

  // REQUIRES: the calling thread is a read-request thread.
  void Register();
  void Unregister();

  // A reply with `context` from the calling thread. Refused when the handle
  // is closed, when the thread is not a read-request thread, or when
  // delivery has ended while it waited. With a block, waits until the
  // thread's previous block has been freed, then records this one as the
  // thread's pending block.
  Admission AdmitReply(void* context, void* block);

  // Forgets `block` wherever it is some thread's pending block and wakes
  // that thread. Must be called before the block's memory is freed, so that
  // a new block at the same address cannot be mistaken for it.
  void ClearPending(void* block) {
    // Most blocks are no reply: one atomic load, no lock.
    if (block != nullptr && pendingBlocks_.load() != 0) ClearPendingLocked(block);
  }

  // The delivery loop has returned: wake every waiting reply and refuse it
  // and every later one that would have to wait.
  void EndDelivery();

 private:
  friend class test::RequestThreadsPeer;  // tests count the threads

  struct RequestThread {
    Mutex mu;
    CondVar released;
    void* pending GUARDED_BY(mu) = nullptr;
  };

  void ClearPendingLocked(void* block);

  mutable Mutex mu_ ACQUIRED_BEFORE(RequestThread::mu);  // the request lock
  std::set<void*> closed_ GUARDED_BY(mu_);
  std::map<pthread_t, std::unique_ptr<RequestThread>> threads_ GUARDED_BY(mu_);
  // Set once under mu_; read by waiting replies under their own mutex.
  std::atomic<bool> deliveryEnded_{false};
  // Pending blocks of all threads. Raised before the block is queued, so a
  // release that finds it 0 knows no thread waits on any block.
  std::atomic<int> pendingBlocks_{0};
};

}  // namespace dv
