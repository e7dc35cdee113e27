// Child processes of the core: one a plugin forks while it opens keeps the
// wider sets of that time, and the core names it once; and a status that
// cannot be read, for a thread or a child, never passes it as narrow.
// Needs root; skipped without.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/privileges.h"
#include "log/log.h"
#include "platform/thread_capabilities.h"
#include "plugins/plugin_fixture.h"
#include "support/child_process.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;

// The number after `key` on the first line of `lines` that starts with it;
// 0 when none does.
int NumberAfter(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (line.rfind(key, 0) == 0) return std::stoi(line.substr(key.size()));
  }
  return 0;
}

// Waits until CallsOf(stem) has a line starting with `key`, and returns its number.
int WaitForNumber(const PluginFolder& folder, const std::string& stem, const std::string& key) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(10s);
  int number = 0;
  while ((number = NumberAfter(folder.CallsOf(stem), key)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  return number;
}

// A line of the core at level 100 on the terminal, ending in `text`.
std::regex CoreAlarm(const std::string& text) {
  return std::regex("\x1b\\[31m[^\\n]*core  \x1b\\[0m " + text + "\r\n");
}

pid_t ParentOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("PPid:", 0) == 0) return std::stoi(line.substr(5));
  }
  return 0;
}

// A plugin forks in Open, before the narrowing, so its child keeps 0x23000.
// The core, started by a parent of nobody, names the child once. A second
// plugin's late thread (started from a thread that blocks every signal) is
// named only two looks of the monitor after it started: by then the monitor
// has looked at the child again, and must not have named it again.
TEST(ChildProcesses, AChildAPluginForksInOpenIsNamedOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the core as root";
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  const std::filesystem::path work = folder.LayOutForNobody();
  folder.Install("fork.so", "id=0x10000\nfork_in_open=1");
  folder.Install("late.so", "id=0x20000\nown_thread=2\nlate_thread_ms=300");
  ChildOptions options;
  options.argv = {"/usr/bin/setpriv", "--ruid=65534", "--"};
  for (const std::string& word : WithEmulator(ParentSimArgv(PARENT_SIM, folder.exe().string(), {}))) {
    options.argv.push_back(word);
  }
  options.workDir = work.string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess start(options);

  const int child = WaitForNumber(folder, "fork", "Forked pid=");
  ASSERT_NE(child, 0) << start.Output(Stream::kStdout);
  const pid_t core = ParentOf(child);
  const std::string named = "child process " + std::to_string(child) +
                            " still holds capabilities 20000";
  EXPECT_TRUE(start.WaitFor(Stream::kStdout, CoreAlarm(named), Scaled(2s)))
      << start.Output(Stream::kStdout);
  const int late = WaitForNumber(folder, "late", "Late thread tid=");
  ASSERT_NE(late, 0);
  EXPECT_TRUE(start.WaitFor(Stream::kStdout,
                            CoreAlarm("thread " + std::to_string(late) +
                                      " still holds capabilities 20000"),
                            Scaled(2s)));
  EXPECT_EQ(start.SignalAndWaitForExit(SIGTERM, Scaled(10s), core), ExitStatus::Exited(0));
  const std::string console = start.Output(Stream::kStdout);
  size_t times = 0;
  for (size_t at = 0; (at = console.find("child process ", at)) != std::string::npos; ++at) ++times;
  EXPECT_EQ(times, 1u) << console;
}

// Every read of a status file fails with `error`; other reads are real.
class StatusUnreadable : public dv::Platform {
 public:
  explicit StatusUnreadable(int error) : error_(error) {}
  int ReadFile(const std::string& path, bool followLinks, std::string* bytes) const override {
    const std::string suffix = "/status";
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return error_;
    }
    return Platform::ReadFile(path, followLinks, bytes);
  }

 private:
  const int error_;
};

bool Holds(const std::vector<dv::WideTask>& tasks, pid_t tid, uint64_t held) {
  return std::any_of(tasks.begin(), tasks.end(), [&](const dv::WideTask& task) {
    return task.tid == tid && task.held == held;
  });
}

pid_t ForkSleeper() {
  const pid_t pid = fork();
  if (pid == 0) {
    pause();
    _exit(0);
  }
  return pid;
}

// Run in a child process, which it narrows for good. Everything is first
// narrowed for real, so a thread or child made afterwards holds no more
// than the ceiling: only a failed read can make it count as wide. A read
// that fails because the task has ended (ENOENT) counts as nothing held.
int JudgeUnreadableStatuses() {
  const uint32_t mask = dv::kCapsWhenRunning;
  const uint64_t all = ~uint64_t{0};  // what a task whose sets are unknown is taken to hold
  const StatusUnreadable gone(ENOENT), unreadable(EMFILE);
  std::vector<dv::WideTask> found;
  if (!dv::SetCapabilities(mask) || !dv::NarrowOtherThreads(mask, &found) || !found.empty()) {
    return 10;
  }
  int failures = 0;
  if (!dv::NarrowOtherThreads(mask, &found, unreadable) || !Holds(found, getpid(), all)) {
    failures |= 1;  // the pass's read-back
  }
  std::atomic<bool> done{false};
  std::atomic<pid_t> tid{0};
  std::thread thread([&] {
    tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    while (!done.load()) std::this_thread::sleep_for(5ms);
  });
  while (tid.load() == 0) std::this_thread::sleep_for(1ms);
  // A new task is signalled at the first look and named at the next.
  if (!dv::LookAtNewTasks(&found, unreadable) || !dv::LookAtNewTasks(&found, unreadable) ||
      !Holds(found, tid.load(), all)) {
    failures |= 2;
  }
  const pid_t ended = ForkSleeper();
  if (!dv::LookAtNewChildren(&found, gone) || !found.empty()) failures |= 4;
  const pid_t unread = ForkSleeper();
  if (!dv::LookAtNewChildren(&found, unreadable) || found.size() != 1 ||
      !Holds(found, unread, all)) {
    failures |= 8;
  }
  done.store(true);
  thread.join();
  for (const pid_t pid : {ended, unread}) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  return failures;
}

TEST(ChildProcesses, AStatusThatCannotBeReadCountsAsWideUnlessTheTaskHasEnded) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root's capabilities to narrow them";
  if (!Emulator().empty()) GTEST_SKIP() << "the emulator's own threads would be judged too";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's own thread blocks every signal and would be judged too";
#endif
  EXPECT_EXIT(_exit(JudgeUnreadableStatuses()), ::testing::ExitedWithCode(0), "");
}

std::vector<std::string> g_logged;
int32_t RecordLog(_EventParmsIn* in, _EventParmsOut* out) {
  if ((in->flags & DV_FLAG_LOG_MESSAGE) != 0) {
    g_logged.push_back(std::to_string(in->level) + " " + static_cast<const char*>(in->data));
  }
  out->result = 0;
  return 0;
}

// Run in a child process, which it narrows for good. A thread that blocks
// the narrowing signal keeps root's sets through the pass; a child it forks
// afterwards has them too. The monitor's looks name that child, once.
int NameAChildMadeAfterThePass() {
  dv::SetCoreSink(RecordLog);
  sigset_t narrow;
  sigemptyset(&narrow);
  sigaddset(&narrow, dv::NarrowSignal());
  std::atomic<bool> blocking{false}, forkNow{false}, done{false};
  std::atomic<pid_t> child{0};
  std::thread wide([&] {
    pthread_sigmask(SIG_BLOCK, &narrow, nullptr);
    blocking.store(true);
    while (!forkNow.load()) std::this_thread::sleep_for(1ms);
    child.store(ForkSleeper());
    while (!done.load()) std::this_thread::sleep_for(5ms);
  });
  while (!blocking.load()) std::this_thread::sleep_for(1ms);
  dv::NarrowEveryThread(dv::kCapsWhenRunning);
  forkNow.store(true);
  while (child.load() == 0) std::this_thread::sleep_for(1ms);
  g_logged.clear();
  dv::LookAtNewThreads();
  dv::LookAtNewThreads();
  done.store(true);
  wide.join();
  kill(child.load(), SIGKILL);
  waitpid(child.load(), nullptr, 0);
  const std::regex named("100 child process " + std::to_string(child.load()) +
                         " still holds capabilities [0-9a-f]*[1-9a-f][0-9a-f]*");
  for (const std::string& line : g_logged) std::fprintf(stderr, "logged: %s\n", line.c_str());
  return g_logged.size() == 1 && std::regex_match(g_logged[0], named) ? 0 : 1;
}

TEST(ChildProcesses, AChildMadeAfterTheNarrowingIsNamedAtTheNextLookOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root's capabilities to narrow them";
  if (!Emulator().empty()) GTEST_SKIP() << "the emulator's own threads would be judged too";
  EXPECT_EXIT(_exit(NameAChildMadeAfterThePass()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dvtest
