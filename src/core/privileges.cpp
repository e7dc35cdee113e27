#include "core/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/thread_capabilities.h"
#include "log/levels.h"
#include "log/log.h"

namespace dv {
namespace {

constexpr int kMaxGroups = 256;
constexpr uint32_t kAccountCapabilities = (1u << CAP_SETUID) | (1u << CAP_SETGID);

void LogErrno(int level, const char* format) {
  LogCore(level, format, std::strerror(errno));
}

void LogNotDropped(const std::string& what) {
  LogCore(100, "privileges not dropped: %s", what.c_str());
}

bool AllUidsAre(uid_t uid) {
  uid_t real, effective, saved;
  return getresuid(&real, &effective, &saved) == 0 && real == uid && effective == uid &&
         saved == uid;
}

bool AllGidsAre(gid_t gid) {
  gid_t real, effective, saved;
  return getresgid(&real, &effective, &saved) == 0 && real == gid && effective == gid &&
         saved == gid;
}

// Whether this process could change accounts or become root: a user ID of
// root, or CAP_SETUID or CAP_SETGID in its permitted set.
bool CanChangeAccounts() {
  uid_t real, effective, saved;
  if (getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0) {
    return true;
  }
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2];
  return syscall(SYS_capget, &header, data) != 0 ||
         (data[0].permitted & kAccountCapabilities) != 0;
}

// The process that created the channel's socket (or connected it), or -1.
pid_t PeerOf(int descriptor) {
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return -1;
  return peer.pid;
}

// Why the parent read as `parent` is not known for sure; empty when it is.
std::string DoubtAboutParent(pid_t parent, bool statusRead, int descriptor) {
  if (!statusRead) return "its status cannot be read";
  // The status was read between the two calls: if the core still has the
  // same parent, that process was alive, so the ID cannot be another's.
  if (parent == 1 || getppid() != parent) return "it has exited";
  const pid_t peer = PeerOf(descriptor);
  if (peer != parent) return "the ipc pipe belongs to process " + std::to_string(peer);
  return "";
}

// The parent's real user ID into `uid`; false when the core must not run.
bool EstablishParentUid(int descriptor, uint32_t* uid) {
  const pid_t parent = getppid();
  const std::optional<uint32_t> read =
      ReadRealUid("/proc/" + std::to_string(parent) + "/status");
  *uid = read.value_or(0);
  if (descriptor == -1) return true;
  const std::string doubt = DoubtAboutParent(parent, read.has_value(), descriptor);
  if (doubt.empty() || !CanChangeAccounts()) return true;
  LogCore(100, "cannot establish the parent process %d: %s",
             static_cast<int>(parent), doubt.c_str());
  return false;
}

// Switches user, group and groups to `account`, in that order.
bool SwitchTo(const passwd& account) {
  if (setresuid(account.pw_uid, account.pw_uid, account.pw_uid) != 0 ||
      setresgid(account.pw_gid, account.pw_gid, account.pw_gid) != 0) {
    LogErrno(100, "setuid/gid failed: %s");
    return false;
  }
  gid_t groups[kMaxGroups];
  int count = kMaxGroups;
  if (getgrouplist(account.pw_name, account.pw_gid, groups, &count) < 0) {
    LogCore(100, "getgrouplist failed");
    return false;
  }
  if (setgroups(static_cast<size_t>(count), groups) != 0) {
    LogErrno(100, "setgroups failed: %s");
    return false;
  }
  return true;
}

// All six IDs are the account's.
bool VerifyIds(const passwd& account) {
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  const uid_t uid = account.pw_uid;
  const gid_t gid = account.pw_gid;
  if (ruid == uid && euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid) {
    return true;
  }
  char held[128];
  std::snprintf(held, sizeof held, "user IDs %u %u %u, group IDs %u %u %u held", ruid, euid,
                suid, rgid, egid, sgid);
  LogNotDropped(held);
  return false;
}

// Changes to the account of `uid` unless every ID already is its; sets
// `changed` when it did. False when the core must not run.
bool ChangeAccountIfNeeded(uint32_t uid, bool* changed) {
  errno = 0;
  const passwd* account = getpwuid(uid);
  // Without an entry the account's group is unknown: only the user IDs
  // can be judged, as before.
  if (AllUidsAre(uid) && (account == nullptr || AllGidsAre(account->pw_gid))) return true;
  if (account == nullptr) {
    LogErrno(100, "getpwuid failed: %s");
    return false;
  }
  if (!SwitchTo(*account) || !VerifyIds(*account)) return false;
  *changed = true;
  return true;
}

// Puts back the secure bits read at the start; reports a failure at
// `failureLevel`.
bool RestoreSecureBits(int startingBits, int failureLevel) {
  if (startingBits < 0 || prctl(PR_GET_SECUREBITS, 0, 0, 0, 0) == startingBits) return true;
  if (prctl(PR_SET_SECUREBITS, static_cast<unsigned long>(startingBits), 0, 0, 0) == 0 &&
      prctl(PR_GET_SECUREBITS, 0, 0, 0, 0) == startingBits) {
    return true;
  }
  LogErrno(failureLevel, "failed to restore secure bits: %s");
  return false;
}

// Neither root's user nor its group can be taken back.
bool CannotRegainRoot() {
  if (setuid(0) == 0) {
    LogNotDropped("setuid(0) succeeded");
    return false;
  }
  if (setgid(0) == 0) {
    LogNotDropped("setgid(0) succeeded");
    return false;
  }
  return true;
}

}  // namespace

std::optional<uint32_t> ReadRealUid(const std::string& statusPath) {
  FILE* status = std::fopen(statusPath.c_str(), "r");
  if (status == nullptr) return std::nullopt;
  char line[256];
  unsigned uid = 0;
  bool found = false;
  while (!found && std::fgets(line, sizeof line, status) != nullptr) {
    found = std::sscanf(line, "Uid: %u", &uid) == 1;
  }
  std::fclose(status);
  if (!found) return std::nullopt;
  return uid;
}

bool SetCapabilities(uint32_t mask, int failureLevel) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
  if (syscall(SYS_capset, &header, data) < 0) {
    LogErrno(failureLevel, "capset failed: %s");
    return false;
  }
  return true;
}

bool NarrowEveryThread(uint32_t mask, int failureLevel) {
  const bool self = SetCapabilities(mask, failureLevel);
  std::vector<WideTask> wide;
  if (!NarrowOtherThreads(mask, &wide)) LogCore(100, "cannot list the threads of the process");
  for (const WideTask& task : wide) {
    LogCore(100, "thread %d still holds capabilities %llx", task.tid,
            static_cast<unsigned long long>(task.held));
  }
  return self;
}

bool DropToParentAccount(int descriptor) {
  const int startingBits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
  if (startingBits >= 0) {
    prctl(PR_SET_SECUREBITS, static_cast<unsigned long>(startingBits) | SECBIT_NO_SETUID_FIXUP,
          0, 0, 0);
  }
  uint32_t parentUid = 0;
  bool changed = false;
  if (!EstablishParentUid(descriptor, &parentUid) ||
      !ChangeAccountIfNeeded(parentUid, &changed)) {
    return false;
  }
  // Root's powers must not survive a change of account.
  const int failureLevel = changed ? 100 : 50;
  if (!RestoreSecureBits(startingBits, failureLevel) && changed) return false;
  if (parentUid == 0) return true;
  if (!NarrowEveryThread(kCapsAfterAccountChange, failureLevel) && changed) return false;
  return CannotRegainRoot();
}

}  // namespace dv
