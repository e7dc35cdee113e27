#include "platform/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dv {

// The kernel reads and compares the word itself: it must be a plain,
// aligned 32-bit integer inside the atomic.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a lock-free 32-bit integer");

namespace {

long Futex(std::atomic<uint32_t>* word, int operation, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), operation | FUTEX_PRIVATE_FLAG,
                 value, nullptr, nullptr, 0);
}

}  // namespace

// The kernel sleeps only if the word still holds kArmed when it looks, under
// its own lock of the word, so a Wake between the caller's last look and
// this call makes it return at once (EAGAIN). EINTR and spurious returns
// are the caller's loop's business.
void WakeWord::Sleep() { Futex(&word_, FUTEX_WAIT, kArmed); }

void WakeWord::WakeSleeper() { Futex(&word_, FUTEX_WAKE, 1); }

}  // namespace dv
