// Privileges: the core runs under its parent's account, with only the
// capabilities it needs, and verifies that it does.
//
// DropToParentAccount (main thread, in Initialize, after the parent channel
// is open and before any other thread of the core exists), in order:
//
//   1. Reads the secure bits, then adds SECBIT_NO_SETUID_FIXUP, so that the
//      capability sets survive the change of user (the group calls after
//      setresuid need CAP_SETGID).
//   2. Establishes the parent's account: the real user ID on the first
//      "Uid:" line of "/proc/<ppid>/status". It counts only when the
//      status was read, getppid() is the same before and after the read,
//      with a channel a parent of PID 1 also made the channel (its
//      SO_PEERCRED pid is 1: the daemon is init, not an orphan's reaper),
//      and it is not root's account taken by a core whose real user ID is
//      not 0 (a set-user-ID start never gains root). In a set-user-ID start
//      (real and effective IDs differ, or the kernel marked the start
//      secure) the parent's real user ID must also be the core's own: the
//      invoker gets its own account, never that of a reaper that adopted
//      the core or of another account's program it went through. Whoever made the
//      channel otherwise does not matter: a launcher may make the pair and
//      another process start the core. When the account cannot be
//      established and the core could change accounts (a user ID of 0, or
//      CAP_SETUID or CAP_SETGID permitted), the core refuses to run:
//      "cannot establish the parent process %d: %s". A core that cannot
//      change accounts takes what it read (0 when nothing): it has nothing
//      to give up.
//   3. Changes account when any real, effective or saved user ID differs
//      from the parent's, or any group ID from that account's group:
//      setresuid, setresgid, getgrouplist, setgroups, in that order. Then
//      all six IDs must equal the account's.
//   4. Restores the secure bits read in step 1 while CAP_SETPCAP is still
//      held, so that no helper a plugin starts inherits
//      SECBIT_NO_SETUID_FIXUP (which would let it keep every capability
//      across its own setuid).
//   5. Whenever the parent is not root, narrows every thread to
//      CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO (0x23000).
//   6. Whenever the parent is not root, setuid(0) and setgid(0) must fail.
//
// A failure in steps 3 to 5 after the account changed ends the run (false):
// the core would otherwise hold root's powers under the new account. Without
// a change, a failed restore or narrowing is only a warning (level 50): an
// unprivileged core has nothing to give up. A failure of steps 2, 3 or 6 is
// always fatal. Every fatal failure is logged at level 100 first.
//
// Step 5 judges the calling thread. No thread of the core exists yet; a
// thread that is there all the same belongs to the runtime around the core
// (an emulator's, a sanitizer's). It is signalled like any other, and when
// it keeps more than the mask it is named at level 100, but it does not
// stop the core: the core never runs code on it.
//
// After the start-up narrowing, LookAtNewThreads runs on every monitor tick
// (the I/O thread): a thread that appeared since, created by one that was
// never narrowed (it blocks the signal), is signalled, and when it is still
// wide at the next tick it is named once at level 100.
//
// With every narrowing and every look, the child processes of the core
// (made by a plugin with fork, or clone without CLONE_THREAD) that hold more
// than the mask are named once each at level 100: "child process %d still
// holds capabilities %llx". The core cannot narrow another process; a child
// made before the narrowing keeps the sets it was made with.
//
// SetCapabilities replaces the effective and permitted sets of the calling
// thread with the mask and empties its inheritable set. NarrowEveryThread
// does so on the calling thread and then on every other thread of the
// process (platform/thread_capabilities.h); Start narrows to 0x3000 through it
// once plugins are open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace dv {

constexpr uint32_t kCapsAfterAccountChange = 0x23000;  // NET_ADMIN, NET_RAW, SYS_RAWIO
constexpr uint32_t kCapsWhenRunning = 0x3000;          // NET_ADMIN, NET_RAW

// `descriptor`: the open parent channel, or -1 without one. The user and
// group IDs are read and changed through `os`. False when the core must not
// run (logged at level 100).
bool DropToParentAccount(int descriptor, const Platform& os = Platform::Default());

// Whether the process was started set-user-ID or set-group-ID: its real and
// effective IDs differ, or the kernel marked the start secure (AT_SECURE).
// Call it before DropToParentAccount, which makes the IDs equal.
bool IsSetUserIdStart(const Platform& os = Platform::Default());

// Replaces the calling thread's capabilities; on failure logs "capset
// failed: %s" at `failureLevel` and returns false.
bool SetCapabilities(uint32_t mask, int failureLevel = 50);

// SetCapabilities on the calling thread, then every other thread narrowed
// and verified; a thread that keeps more is logged at level 100 and the
// core goes on. True when the calling thread was narrowed.
// The /proc files are read through `os`.
bool NarrowEveryThread(uint32_t mask, int failureLevel = 50,
                       const Platform& os = Platform::Default());

// One look at the threads and child processes that appeared since the last
// (see above). Any thread, one call at a time; nothing before the first
// narrowing.
void LookAtNewThreads(const Platform& os = Platform::Default());

// The real user ID on the first "Uid:" line of a status file; nothing
// when the file cannot be read or has no such line.
std::optional<uint32_t> ReadRealUid(const Platform& os, const std::string& statusPath);

}  // namespace dv
