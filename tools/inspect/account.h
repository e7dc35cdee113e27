// The account devovor-inspect runs plugins under when it is started as root.
//
// A plugin's constructors, its Load and the threads it starts run inside
// the tool's own process. Run as root, the tool therefore takes an
// unprivileged account (nobody, or one the invoker names) before it loads
// anything, for good: all six user and group IDs, the account's groups, and
// no capability left in any set. Main thread only, before any other thread
// exists.
#pragma once

#include <string>
#include <sys/types.h>

namespace dvinspect {

constexpr const char* kDefaultAccount = "nobody";

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The account called `name`; false, with `error` set, when there is none
// or it is root's.
bool FindAccount(const std::string& name, Account* account, std::string* error);

// Gives up root for `account` and verifies the result: the six IDs equal
// the account's, the groups are the account's, setuid(0) fails, and the
// permitted, effective, inheritable and ambient sets are empty. False, with
// `error` set, when any of that does not hold; the process must not go on
// to load plugins then.
bool TakeAccount(const Account& account, std::string* error);

// The one line that says so, e.g.
// "devovor-inspect: running as nobody (uid 65534, gid 65534), not as root".
std::string TakenLine(const Account& account);

}  // namespace dvinspect
