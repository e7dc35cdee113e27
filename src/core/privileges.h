// Privileges: the core runs under its parent's account, with only the
// capabilities it needs.
//
// DropToParentAccount (main thread, in Initialize, before any other thread
// exists) keeps the capability sets across the user change (secure bit
// SECBIT_NO_SETUID_FIXUP), takes the parent's real user ID from
// "/proc/<ppid>/status" (0 when unreadable), and, when it differs from the
// core's own, switches user, group and supplementary groups to that
// account, in that order. Whenever the parent is not root it then narrows
// the capabilities to CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO (0x23000).
// If that narrowing fails after the account changed, the core would keep
// every capability of root under the new account: it refuses to run.
// A failed narrowing of a core that was never privileged is only a warning.
//
// SetCapabilities replaces the effective and permitted sets of the calling
// thread with the mask and empties its inheritable set.
//
// Linux keeps capabilities per thread. Start narrows to 0x3000 on the main
// thread once plugins are open; the I/O thread narrows itself through a job
// it runs before Start goes on, so every later thread the core starts
// inherits the narrow sets. Worker threads that plugins got during loading
// keep the load-time sets: they run plugin code that cannot be interrupted
// safely, and the plugin held those powers in Load and Open anyway.
#pragma once

#include <cstdint>
#include <string>

namespace dv {

constexpr uint32_t kCapsAfterAccountChange = 0x23000;  // NET_ADMIN, NET_RAW, SYS_RAWIO
constexpr uint32_t kCapsWhenRunning = 0x3000;          // NET_ADMIN, NET_RAW

// False when the account change failed (logged at level 100).
bool DropToParentAccount();

// Replaces the calling thread's capabilities; on failure logs "capset
// failed: %s" at `failureLevel` (nothing with kSilent) and returns false.
constexpr int kSilent = -1;
bool SetCapabilities(uint32_t mask, int failureLevel = 50);

// The real user ID on the first "Uid:" line of a status file; 0 when the
// file cannot be read or has no such line.
uint32_t ReadRealUid(const std::string& statusPath);

}  // namespace dv
