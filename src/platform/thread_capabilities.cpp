#include "platform/thread_capabilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/platform.h"

namespace dv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kNoCeiling = 0xFFFFFFFFu;
constexpr auto kAcknowledgementWait = std::chrono::seconds(2);

// What the handler reads: set by the main thread before any signal is sent.
std::atomic<uint32_t> g_ceiling{kNoCeiling};
std::atomic<int> g_acknowledgementFd{-1};  // write end, never closed
int g_acknowledgementReadFd = -1;          // under the ledger's lock (below)

// Which tasks have been judged since the last full pass: found within the
// ceiling, or named as wider. A look after the pass reads only the others.
struct TaskLedger {
  Mutex mu;  // a leaf: nothing else is locked while it is held
  std::set<pid_t> judged GUARDED_BY(mu);
  std::set<pid_t> signalled GUARDED_BY(mu);  // wide at the last look, signalled then
  std::set<pid_t> judgedChildren GUARDED_BY(mu);  // child processes, by process ID
};

TaskLedger& Ledger() {
  static TaskLedger* const ledger = new TaskLedger;  // never destroyed: a late tick may look
  return *ledger;
}

struct Acknowledgement {
  int32_t tid;
  uint32_t ceiling;
};

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Drops everything outside `mask` from the calling thread's effective and
// permitted sets and empties its inheritable set. Async-signal-safe.
bool NarrowCallingThreadTo(uint32_t mask) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2];
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= mask;
  data[0].permitted &= mask;
  data[0].inheritable = 0;
  data[1] = {0, 0, 0};
  return syscall(SYS_capset, &header, data) == 0;
}

void OnNarrowSignal(int) {
  const int savedErrno = errno;
  const uint32_t ceiling = g_ceiling.load();
  if (ceiling != kNoCeiling) {
    NarrowCallingThreadTo(ceiling);
    const Acknowledgement done = {CurrentTid(), ceiling};
    const int fd = g_acknowledgementFd.load();
    // A full pipe drops the acknowledgement; the read-back still judges.
    const ssize_t written = fd >= 0 ? write(fd, &done, sizeof done) : 0;
    (void)written;
  }
  errno = savedErrno;
}

// The pipe is made once and never closed, so a late handler can never
// write into a descriptor that has meanwhile been reused. The handler is
// installed again on every call, in case a plugin replaced it.
void InstallHandler() {
  if (g_acknowledgementReadFd < 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      g_acknowledgementReadFd = fds[0];
      g_acknowledgementFd.store(fds[1]);
    }
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnNarrowSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(NarrowSignal(), &action, nullptr);
}

bool ListTasks(std::vector<pid_t>* tasks) {
  tasks->clear();
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') tasks->push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(dir);
  return !tasks->empty();
}

enum class Reach { kGone, kBlocking, kOpen };

std::string TaskStatusPath(pid_t tid) {
  return "/proc/self/task/" + std::to_string(tid) + "/status";
}

// Only these errors say that a task or process has ended; any other
// failure to read its files (EMFILE, ENOMEM, EACCES) says nothing about it.
bool IsGone(int error) { return error == ENOENT || error == ESRCH; }

// Whether the task has ended, blocks the signal now, or can take it. A
// task whose status cannot be read for another reason is waited for.
Reach ReachOf(pid_t tid, const Platform& os) {
  std::string text;
  const int error = os.ReadFile(TaskStatusPath(tid), /*followLinks=*/false, &text);
  if (error != 0) return IsGone(error) ? Reach::kGone : Reach::kOpen;
  unsigned long long blocked = 0;
  const char* const line = std::strstr(text.c_str(), "\nSigBlk:");
  const bool found = line != nullptr && std::sscanf(line + 1, "SigBlk: %llx", &blocked) == 1;
  const bool blocking = found && ((blocked >> (NarrowSignal() - 1)) & 1) != 0;
  return blocking ? Reach::kBlocking : Reach::kOpen;
}

using BlockingSince = std::map<pid_t, Clock::time_point>;

// True when the task will not answer: it has ended, or its status has
// shown the signal blocked for a whole grace period. A signal blocked only
// for a moment (pthread_create blocks every signal around a new thread's
// birth, a handler blocks its mask) is taken as soon as it is unblocked,
// well within the grace.
bool WillNotAnswer(pid_t tid, Clock::time_point now, BlockingSince* blockingSince,
                   const Platform& os) {
  constexpr auto kGrace = std::chrono::milliseconds(100);
  switch (ReachOf(tid, os)) {
    case Reach::kGone:
      return true;
    case Reach::kBlocking:
      return now - blockingSince->emplace(tid, now).first->second >= kGrace;
    case Reach::kOpen:
      break;
  }
  blockingSince->erase(tid);
  return false;
}

// Reads acknowledgements of `mask` until every pending task has answered
// or will not, or the deadline has passed.
void AwaitAcknowledgements(std::set<pid_t>* pending, uint32_t mask, Clock::time_point deadline,
                           const Platform& os) {
  constexpr auto kSlice = std::chrono::milliseconds(10);
  BlockingSince blockingSince;
  while (!pending->empty() && Clock::now() < deadline) {
    const Clock::time_point now = Clock::now();
    for (auto it = pending->begin(); it != pending->end();) {
      it = WillNotAnswer(*it, now, &blockingSince, os) ? pending->erase(it) : std::next(it);
    }
    pollfd ready = {g_acknowledgementReadFd, POLLIN, 0};
    if (pending->empty() || poll(&ready, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    Acknowledgement received[64];
    const ssize_t bytes = read(g_acknowledgementReadFd, received, sizeof received);
    for (ssize_t i = 0; i < bytes / static_cast<ssize_t>(sizeof(Acknowledgement)); ++i) {
      if (received[i].ceiling == mask) pending->erase(received[i].tid);
    }
  }
}

// Signals every task not signalled before, in passes, until a pass finds
// no new task or the deadline has passed. False when the tasks cannot be
// listed.
bool SignalEveryTask(uint32_t mask, const Platform& os) {
  std::set<pid_t> signalled = {CurrentTid()};  // the caller narrows itself
  const Clock::time_point deadline = Clock::now() + kAcknowledgementWait;
  std::vector<pid_t> tasks;
  for (;;) {
    if (!ListTasks(&tasks)) return false;
    bool fresh = false;
    std::set<pid_t> pending;
    for (const pid_t tid : tasks) {
      if (!signalled.insert(tid).second) continue;
      fresh = true;
      // ESRCH: the task has ended since it was listed.
      if (syscall(SYS_tgkill, getpid(), tid, NarrowSignal()) == 0) pending.insert(tid);
    }
    if (!fresh) return true;
    AwaitAcknowledgements(&pending, mask, deadline, os);
    if (Clock::now() >= deadline) return true;
  }
}

// The capabilities held outside `mask` by the task or process whose status
// file is at `path`: 0 when it holds none or has ended meanwhile, all ones
// when its sets cannot be read for any other reason.
uint64_t HeldOutside(const std::string& path, uint32_t mask, const Platform& os) {
  std::string text;
  const int error = os.ReadFile(path, /*followLinks=*/false, &text);
  if (error != 0) return IsGone(error) ? 0 : ~uint64_t{0};
  std::istringstream lines(text);
  unsigned long long value = 0, held = 0;
  int found = 0;
  for (std::string line; std::getline(lines, line);) {
    if (std::sscanf(line.c_str(), "CapInh: %llx", &value) == 1 ||
        std::sscanf(line.c_str(), "CapPrm: %llx", &value) == 1 ||
        std::sscanf(line.c_str(), "CapEff: %llx", &value) == 1 ||
        std::sscanf(line.c_str(), "CapAmb: %llx", &value) == 1) {
      held |= value;
      ++found;
    }
  }
  if (found != 4) return ~uint64_t{0};
  return held & ~uint64_t{mask};
}

// Reads every task back; each is judged from then on, wide or not.
bool VerifyEveryTask(uint32_t mask, std::vector<WideTask>* wide, TaskLedger& ledger,
                     const Platform& os) REQUIRES(ledger.mu) {
  std::vector<pid_t> tasks;
  if (!ListTasks(&tasks)) return false;
  ledger.judged.clear();
  ledger.signalled.clear();
  ledger.judgedChildren.clear();
  for (const pid_t tid : tasks) {
    const uint64_t held = HeldOutside(TaskStatusPath(tid), mask, os);
    if (held != 0) wide->push_back({static_cast<int>(tid), held});
    ledger.judged.insert(tid);
  }
  return true;
}

// Forgets tasks that have ended, so that a reused thread ID is judged anew.
void ForgetEnded(const std::vector<pid_t>& tasks, std::set<pid_t>* known) {
  const std::set<pid_t> alive(tasks.begin(), tasks.end());
  for (auto it = known->begin(); it != known->end();) {
    it = alive.count(*it) != 0 ? std::next(it) : known->erase(it);
  }
}

// One task seen since the last pass: within the ceiling, it is judged; wide
// for the first time, it is signalled; still wide a look later, it is named.
void LookAtNewTask(pid_t tid, uint32_t mask, TaskLedger& ledger, std::vector<WideTask>* named,
                   const Platform& os) REQUIRES(ledger.mu) {
  const uint64_t held = HeldOutside(TaskStatusPath(tid), mask, os);
  if (held != 0 && ledger.signalled.insert(tid).second) {
    syscall(SYS_tgkill, getpid(), tid, NarrowSignal());
    return;
  }
  if (held != 0) named->push_back({static_cast<int>(tid), held});
  ledger.signalled.erase(tid);
  ledger.judged.insert(tid);
}

// The process IDs in the children files of `tasks`: every child process of
// the process, whichever thread made it. A task that has ended meanwhile
// has none. False when a children file cannot be read for another reason.
bool ListChildren(const std::vector<pid_t>& tasks, const Platform& os, std::vector<pid_t>* children) {
  children->clear();
  for (const pid_t tid : tasks) {
    std::string text;
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/children";
    const int error = os.ReadFile(path, /*followLinks=*/false, &text);
    if (IsGone(error)) continue;
    if (error != 0) return false;
    std::istringstream pids(text);
    for (pid_t child; pids >> child;) children->push_back(child);
  }
  return true;
}

// Forgets the children that have ended, so that a reused process ID is
// judged anew. One missing from a listing is forgotten only once it is gone
// (a listing made while children come and go may leave one out), so that
// no child is named twice.
void ForgetEndedChildren(const std::vector<pid_t>& children, std::set<pid_t>* known) {
  const std::set<pid_t> listed(children.begin(), children.end());
  for (auto it = known->begin(); it != known->end();) {
    const bool gone = listed.count(*it) == 0 && kill(*it, 0) != 0 && errno == ESRCH;
    it = gone ? known->erase(it) : std::next(it);
  }
}

// A child seen since the last pass is judged once: named when it holds
// more than the ceiling. The core cannot narrow another process.
void LookAtNewChild(pid_t pid, uint32_t mask, TaskLedger& ledger, std::vector<WideTask>* named,
                    const Platform& os) REQUIRES(ledger.mu) {
  const uint64_t held = HeldOutside("/proc/" + std::to_string(pid) + "/status", mask, os);
  if (held != 0) named->push_back({static_cast<int>(pid), held});
  ledger.judgedChildren.insert(pid);
}

}  // namespace

int NarrowSignal() { return SIGRTMIN + 3; }

void UnblockNarrowSignal() {
  sigset_t narrow;
  sigemptyset(&narrow);
  sigaddset(&narrow, NarrowSignal());
  pthread_sigmask(SIG_UNBLOCK, &narrow, nullptr);
}

bool NarrowOtherThreads(uint32_t mask, std::vector<WideTask>* wide, const Platform& os) {
  TaskLedger& ledger = Ledger();
  MutexLock lock(ledger.mu);
  wide->clear();
  g_ceiling.store(mask);
  InstallHandler();
  return SignalEveryTask(mask, os) && VerifyEveryTask(mask, wide, ledger, os);
}

bool LookAtNewTasks(std::vector<WideTask>* named, const Platform& os) {
  named->clear();
  const uint32_t mask = g_ceiling.load();
  if (mask == kNoCeiling) return true;
  TaskLedger& ledger = Ledger();
  MutexLock lock(ledger.mu);
  InstallHandler();
  std::vector<pid_t> tasks;
  if (!ListTasks(&tasks)) return false;
  ForgetEnded(tasks, &ledger.judged);
  ForgetEnded(tasks, &ledger.signalled);
  for (const pid_t tid : tasks) {
    if (ledger.judged.count(tid) == 0) LookAtNewTask(tid, mask, ledger, named, os);
  }
  return true;
}

bool LookAtNewChildren(std::vector<WideTask>* named, const Platform& os) {
  named->clear();
  const uint32_t mask = g_ceiling.load();
  if (mask == kNoCeiling) return true;
  TaskLedger& ledger = Ledger();
  MutexLock lock(ledger.mu);
  std::vector<pid_t> tasks, children;
  if (!ListTasks(&tasks) || !ListChildren(tasks, os, &children)) return false;
  ForgetEndedChildren(children, &ledger.judgedChildren);
  for (const pid_t pid : children) {
    if (ledger.judgedChildren.count(pid) == 0) LookAtNewChild(pid, mask, ledger, named, os);
  }
  return true;
}

void NarrowCallingThread() {
  const uint32_t ceiling = g_ceiling.load();
  if (ceiling != kNoCeiling) NarrowCallingThreadTo(ceiling);
}

}  // namespace dv
