#include "inspect/account.h"

#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace dvinspect {
namespace {

std::string Failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool ClearCapabilities(std::string* error) {
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    *error = Failed("clearing the ambient capabilities");
    return false;
  }
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capset, &header, data) != 0) {
    *error = Failed("capset");
    return false;
  }
  return true;
}

bool NoCapabilityLeft() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (const auto& set : data) {
    if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0) return false;
  }
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1) return false;
  }
  return true;
}

bool GroupsAre(const std::vector<gid_t>& expected) {
  std::vector<gid_t> held(static_cast<size_t>(NGROUPS_MAX));
  const int count = getgroups(static_cast<int>(held.size()), held.data());
  if (count < 0) return false;
  held.resize(static_cast<size_t>(count));
  for (gid_t gid : held) {
    bool known = false;
    for (gid_t want : expected) known = known || want == gid;
    if (!known) return false;
  }
  return true;
}

bool Verified(const Account& account, const std::vector<gid_t>& groups, std::string* error) {
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0 || ru != account.uid ||
      eu != account.uid || su != account.uid || rg != account.gid || eg != account.gid ||
      sg != account.gid) {
    *error = "the user and group IDs are not all the account's";
  } else if (!GroupsAre(groups)) {
    *error = "a group other than the account's is still held";
  } else if (setuid(0) == 0 || setgid(0) == 0) {
    *error = "root could be taken back";
  } else if (!NoCapabilityLeft()) {
    *error = "a capability is still held";
  }
  return error->empty();
}

}  // namespace

bool FindAccount(const std::string& name, Account* account, std::string* error) {
  errno = 0;
  const passwd* entry = getpwnam(name.c_str());
  if (entry == nullptr) {
    *error = "there is no account " + name;
    return false;
  }
  if (entry->pw_uid == 0 || entry->pw_gid == 0) {
    *error = "the account " + name + " is root's; name one without root's powers";
    return false;
  }
  *account = Account{entry->pw_name, entry->pw_uid, entry->pw_gid};
  return true;
}

bool TakeAccount(const Account& account, std::string* error) {
  std::vector<gid_t> groups(static_cast<size_t>(NGROUPS_MAX));
  int count = static_cast<int>(groups.size());
  if (getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) < 0) {
    *error = "the groups of " + account.name + " cannot be read";
    return false;
  }
  groups.resize(static_cast<size_t>(count));
  if (setgroups(groups.size(), groups.data()) != 0) {
    *error = Failed("setgroups");
  } else if (setresgid(account.gid, account.gid, account.gid) != 0) {
    *error = Failed("setresgid");
  } else if (setresuid(account.uid, account.uid, account.uid) != 0) {
    *error = Failed("setresuid");
  } else if (ClearCapabilities(error)) {
    Verified(account, groups, error);
  }
  return error->empty();
}

std::string TakenLine(const Account& account) {
  return "devovor-inspect: running as " + account.name + " (uid " + std::to_string(account.uid) +
         ", gid " + std::to_string(account.gid) + "), not as root: plugins load without root's "
         "powers";
}

}  // namespace dvinspect
