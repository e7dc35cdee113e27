#include "core/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/levels.h"
#include "log/log.h"

namespace dv {
namespace {

constexpr int kMaxGroups = 256;

void LogErrno(int level, const char* format) {
  LogCore(level, format, std::strerror(errno));
}

// Switches user, group and groups to `account`, in that order.
bool SwitchTo(const passwd& account) {
  if (setuid(account.pw_uid) != 0 || setgid(account.pw_gid) != 0) {
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

}  // namespace

uint32_t ReadRealUid(const std::string& statusPath) {
  FILE* status = std::fopen(statusPath.c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  unsigned uid = 0;
  bool found = false;
  while (!found && std::fgets(line, sizeof line, status) != nullptr) {
    found = std::sscanf(line, "Uid: %u", &uid) == 1;
  }
  std::fclose(status);
  return found ? uid : 0;
}

bool SetCapabilities(uint32_t mask, int failureLevel) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
  if (syscall(SYS_capset, &header, data) < 0) {
    if (failureLevel != kSilent) LogErrno(failureLevel, "capset failed: %s");
    return false;
  }
  return true;
}

bool DropToParentAccount() {
  prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP, 0, 0, 0);
  const uint32_t parentUid = ReadRealUid("/proc/" + std::to_string(getppid()) + "/status");
  bool switched = false;
  if (getuid() != parentUid) {
    errno = 0;
    const passwd* account = getpwuid(parentUid);
    if (account == nullptr) {
      LogErrno(100, "getpwuid failed: %s");
      return false;
    }
    if (!SwitchTo(*account)) return false;
    switched = true;
  }
  if (parentUid == 0) return true;
  // Root's capabilities must not survive a change of account.
  return SetCapabilities(kCapsAfterAccountChange, switched ? 100 : 50) || !switched;
}

}  // namespace dv
