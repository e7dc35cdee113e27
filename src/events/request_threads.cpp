#include "events/request_threads.h"

namespace dv {

void RequestThreads::Close(void* context) {
  MutexLock lock(mu_);
  closed_.insert(context);
}

void RequestThreads::Reopen(void* context) {
  MutexLock lock(mu_);
  closed_.erase(context);
}

void RequestThreads::Register() {
  MutexLock lock(mu_);
  auto& slot = threads_[pthread_self()];
  if (!slot) slot = std::make_unique<RequestThread>();
}

void RequestThreads::Unregister() {
  std::unique_ptr<RequestThread> gone;
  MutexLock lock(mu_);
  auto it = threads_.find(pthread_self());
  if (it == threads_.end()) return;
  gone = std::move(it->second);
  threads_.erase(it);
  MutexLock threadLock(gone->mu);
  if (gone->pending != nullptr) pendingBlocks_.fetch_sub(1);
}

RequestThreads::Admission RequestThreads::AdmitReply(void* context, void* block) {
  RequestThread* self = nullptr;
  {
    MutexLock lock(mu_);
    if (closed_.count(context) != 0) return Admission::kRefused;
    auto it = threads_.find(pthread_self());
    if (it == threads_.end()) return Admission::kRefused;
    self = it->second.get();
  }
  if (block == nullptr) return Admission::kAdmitted;
  // Only this thread destroys its own record, so it outlives the wait.
  MutexLock lock(self->mu);
  while (self->pending != nullptr && !deliveryEnded_.load()) self->released.Wait(self->mu);
  if (self->pending != nullptr) return Admission::kRefused;
  self->pending = block;
  pendingBlocks_.fetch_add(1);
  return Admission::kAdmitted;
}

void RequestThreads::ClearPendingLocked(void* block) {
  MutexLock lock(mu_);
  for (auto& [id, thread] : threads_) {
    MutexLock threadLock(thread->mu);
    if (thread->pending == block) {
      thread->pending = nullptr;
      pendingBlocks_.fetch_sub(1);
      thread->released.NotifyOne();
    }
  }
}

void RequestThreads::EndDelivery() {
  MutexLock lock(mu_);
  deliveryEnded_.store(true);
  for (auto& [id, thread] : threads_) {
    MutexLock threadLock(thread->mu);
    thread->released.NotifyAll();
  }
}

}  // namespace dv
