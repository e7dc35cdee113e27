#include "core/privileges.h"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/thread_capabilities.h"
#include "log/levels.h"
#include "log/log.h"
#include "platform/platform.h"

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

bool AllUidsAre(const Platform::Ids& ids, uint32_t uid) {
  return ids.realUid == uid && ids.effectiveUid == uid && ids.savedUid == uid;
}

bool AllGidsAre(const Platform::Ids& ids, uint32_t gid) {
  return ids.realGid == gid && ids.effectiveGid == gid && ids.savedGid == gid;
}

// Whether this process could change accounts or become root: a user ID of
// root, or CAP_SETUID or CAP_SETGID in its permitted set.
bool CanChangeAccounts(const Platform& os) {
  const Platform::Ids ids = os.ProcessIds();
  if (ids.realUid == 0 || ids.effectiveUid == 0 || ids.savedUid == 0) return true;
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2];
  return syscall(SYS_capget, &header, data) != 0 ||
         (data[0].permitted & kAccountCapabilities) != 0;
}

// The process that created the channel's socket pair (or connected it),
// whoever holds the descriptor now; -1 when it cannot be told.
pid_t PeerOf(int descriptor) {
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return -1;
  return peer.pid;
}

// The parent's status, read between two getppid() calls.
struct ParentReading {
  pid_t pid;
  std::optional<uint32_t> uid;  // the real user ID on its status
  pid_t pidAfter;
};

ParentReading ReadParent(const Platform& os) {
  ParentReading parent;
  parent.pid = os.ParentProcessId();
  parent.uid = ReadRealUid(os, "/proc/" + std::to_string(parent.pid) + "/status");
  parent.pidAfter = os.ParentProcessId();
  return parent;
}

// Why `parent` is not known to be the core's parent and its account the
// one to take; empty when it is.
std::string DoubtAbout(const ParentReading& parent, int descriptor, uint32_t realUid,
                       bool setUserIdStart) {
  if (!parent.uid) return "its status cannot be read";
  // While the core keeps the same parent, that process is alive, so the
  // status read in between cannot be another process's.
  if (parent.pidAfter != parent.pid) return "it has exited";
  // An orphan goes to init. With a channel, init is the parent only when it
  // made the channel: the daemon is init (PID 1 of a container).
  if (descriptor != -1 && parent.pid == 1 && PeerOf(descriptor) != 1) return "it has exited";
  // A set-user-ID start (sudo -u, runuser, an orphaned or a reparented
  // invoker): its invoker is not root, so root's account is not to be had.
  if (*parent.uid == 0 && realUid != 0) {
    return "it runs as root and the core was started by user " + std::to_string(realUid);
  }
  // A set-user-ID start gives its invoker the invoker's own account, never
  // another's: not that of a reaper that adopted the core, nor that of a
  // program of another account that the invoker went through.
  if (setUserIdStart && *parent.uid != realUid) {
    return "it runs as user " + std::to_string(*parent.uid) + " and the core was started by user " +
           std::to_string(realUid);
  }
  return "";
}

// The parent's real user ID into `uid`; false when the core must not run.
// A core that cannot change accounts keeps the reading (0 when unread): it
// has nothing to gain or give up.
bool EstablishParentUid(const Platform& os, int descriptor, bool setUserIdStart, uint32_t* uid) {
  const ParentReading parent = ReadParent(os);
  *uid = parent.uid.value_or(0);
  const std::string doubt =
      DoubtAbout(parent, descriptor, os.ProcessIds().realUid, setUserIdStart);
  if (doubt.empty() || !CanChangeAccounts(os)) return true;
  LogCore(100, "cannot establish the parent process %d: %s", static_cast<int>(parent.pid),
          doubt.c_str());
  return false;
}

// Switches user, group and groups to `account`, in that order.
bool SwitchTo(const Platform& os, const Platform::Account& account) {
  if ((errno = os.SetAllUserIds(account.uid)) != 0 ||
      (errno = os.SetAllGroupIds(account.gid)) != 0) {
    LogErrno(100, "setuid/gid failed: %s");
    return false;
  }
  const auto groups = os.GroupsOf(account, kMaxGroups);
  if (!groups) {
    LogCore(100, "getgrouplist failed");
    return false;
  }
  if ((errno = os.SetSupplementaryGroups(*groups)) != 0) {
    LogErrno(100, "setgroups failed: %s");
    return false;
  }
  return true;
}

// All six IDs are the account's.
bool VerifyIds(const Platform& os, const Platform::Account& account) {
  const Platform::Ids ids = os.ProcessIds();
  if (AllUidsAre(ids, account.uid) && AllGidsAre(ids, account.gid)) return true;
  char held[128];
  std::snprintf(held, sizeof held, "user IDs %u %u %u, group IDs %u %u %u held", ids.realUid,
                ids.effectiveUid, ids.savedUid, ids.realGid, ids.effectiveGid, ids.savedGid);
  LogNotDropped(held);
  return false;
}

// Changes to the account of `uid` unless every ID already is its; sets
// `changed` when it did. False when the core must not run.
bool ChangeAccountIfNeeded(const Platform& os, uint32_t uid, bool* changed) {
  const std::optional<Platform::Account> account = os.LookupAccount(uid);
  const int lookupError = errno;
  const Platform::Ids ids = os.ProcessIds();
  // Without an entry the account's group is unknown: only the user IDs
  // can be judged, as before.
  if (AllUidsAre(ids, uid) && (!account || AllGidsAre(ids, account->gid))) return true;
  if (!account) {
    errno = lookupError;
    LogErrno(100, "getpwuid failed: %s");
    return false;
  }
  if (!SwitchTo(os, *account) || !VerifyIds(os, *account)) return false;
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
bool CannotRegainRoot(const Platform& os) {
  if (os.SetUserId(0) == 0) {
    LogNotDropped("setuid(0) succeeded");
    return false;
  }
  if (os.SetGroupId(0) == 0) {
    LogNotDropped("setgid(0) succeeded");
    return false;
  }
  return true;
}

void NameWideThreads(const std::vector<WideTask>& wide) {
  for (const WideTask& task : wide) {
    LogCore(100, "thread %d still holds capabilities %llx", task.tid,
            static_cast<unsigned long long>(task.held));
  }
}

// Names the child processes that hold more than the ceiling: the core
// cannot narrow them, so the operator learns of each once.
void NameWideChildren(const Platform& os) {
  std::vector<WideTask> named;
  if (!LookAtNewChildren(&named, os)) LogCore(100, "cannot list the child processes of the process");
  for (const WideTask& child : named) {
    LogCore(100, "child process %d still holds capabilities %llx", child.tid,
            static_cast<unsigned long long>(child.held));
  }
}

}  // namespace

std::optional<uint32_t> ReadRealUid(const Platform& os, const std::string& statusPath) {
  std::string text;
  if (os.ReadFile(statusPath, /*followLinks=*/true, &text) != 0) return std::nullopt;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    unsigned uid = 0;
    if (std::sscanf(line.c_str(), "Uid: %u", &uid) == 1) return uid;
  }
  return std::nullopt;
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

bool NarrowEveryThread(uint32_t mask, int failureLevel, const Platform& os) {
  const bool self = SetCapabilities(mask, failureLevel);
  std::vector<WideTask> wide;
  if (!NarrowOtherThreads(mask, &wide, os)) LogCore(100, "cannot list the threads of the process");
  NameWideThreads(wide);
  NameWideChildren(os);
  return self;
}

void LookAtNewThreads(const Platform& os) {
  std::vector<WideTask> named;
  if (!LookAtNewTasks(&named, os)) LogCore(100, "cannot list the threads of the process");
  NameWideThreads(named);
  NameWideChildren(os);
}

bool IsSetUserIdStart(const Platform& os) {
  const Platform::Ids ids = os.ProcessIds();
  return ids.realUid != ids.effectiveUid || ids.realGid != ids.effectiveGid ||
         getauxval(AT_SECURE) != 0;
}

bool DropToParentAccount(int descriptor, const Platform& os) {
  const bool setUserIdStart = IsSetUserIdStart(os);
  const int startingBits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
  if (startingBits >= 0) {
    prctl(PR_SET_SECUREBITS, static_cast<unsigned long>(startingBits) | SECBIT_NO_SETUID_FIXUP,
          0, 0, 0);
  }
  uint32_t parentUid = 0;
  bool changed = false;
  if (!EstablishParentUid(os, descriptor, setUserIdStart, &parentUid) ||
      !ChangeAccountIfNeeded(os, parentUid, &changed)) {
    return false;
  }
  // Root's powers must not survive a change of account.
  const int failureLevel = changed ? 100 : 50;
  if (!RestoreSecureBits(startingBits, failureLevel) && changed) return false;
  if (parentUid == 0) return true;
  if (!NarrowEveryThread(kCapsAfterAccountChange, failureLevel) && changed) return false;
  return CannotRegainRoot(os);
}

}  // namespace dv
