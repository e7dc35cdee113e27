// Privileges for real: the core started as root by parents of different
// accounts, read back from /proc/<pid>/status and the status of each of its
// threads. Needs root; skipped without.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "core/privileges.h"
#include "log/log.h"
#include "plugins/plugin_fixture.h"
#include "support/child_process.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

std::map<std::string, std::string> StatusAt(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(" \t", colon + 1);
    const size_t end = line.find_last_not_of(" \t");
    fields[line.substr(0, colon)] =
        value == std::string::npos ? "" : line.substr(value, end + 1 - value);
  }
  return fields;
}

std::map<std::string, std::string> Status(pid_t pid) {
  return StatusAt("/proc/" + std::to_string(pid) + "/status");
}

// The status of every thread of `pid`, by thread ID.
std::map<pid_t, std::map<std::string, std::string>> TaskStatuses(pid_t pid) {
  std::map<pid_t, std::map<std::string, std::string>> tasks;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return tasks;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    tasks[std::atoi(entry->d_name)] = StatusAt(dir + "/" + entry->d_name + "/status");
  }
  closedir(listing);
  return tasks;
}

// ThreadSanitizer's own thread blocks every signal, real-time ones
// included, so nothing can reach it; it is the sanitizer's, not the core's.
bool IsSanitizerThread(const std::map<std::string, std::string>& status) {
  const auto blocked = status.find("SigBlk");
  return kThreadSanitizer && blocked != status.end() &&
         (std::strtoull(blocked->second.c_str(), nullptr, 16) >> 33) == 0x7fffffffu;
}

bool IsNarrow(std::map<std::string, std::string>& status) {
  return status["CapEff"] == "0000000000003000" && status["CapPrm"] == "0000000000003000";
}

// The one child of `pid`: the core under the parent's shell.
pid_t ChildOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = 0;
  in >> child;
  return child;
}

class Privileges : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start the core as root";
    // Everyone may enter the folder and write there (core.xml, calls.log).
    std::filesystem::permissions(folder.root(), std::filesystem::perms::all);
    folder.Install("cap.so", "id=0x10000\nlog_caps=1");
  }

  // Runs `shell` under a parent made by `setpriv` with `parentOptions`.
  std::unique_ptr<ChildProcess> StartParent(const std::vector<std::string>& parentOptions,
                                            const std::string& shell) {
    ChildOptions options;
    options.argv = {"/usr/bin/setpriv"};
    options.argv.insert(options.argv.end(), parentOptions.begin(), parentOptions.end());
    options.argv.insert(options.argv.end(), {"--", "/bin/sh", "-p", "-c", shell + "; exit $?"});
    options.workDir = folder.root().string();
    options.stdoutMode = Stdout::kTerminal;
    return std::make_unique<ChildProcess>(options);
  }
  std::string Exe() const { return ShellCommandFor(folder.exe().string()); }

  // parent-sim whose real user is nobody and whose effective user is root:
  // the core it starts over a socket pair has real user ID nobody and
  // effective and saved user ID root, as a core made setuid-root and
  // started by the parent's account would.
  std::unique_ptr<ChildProcess> StartSetuidRootCore() {
    ChildOptions options;
    options.argv = {"/usr/bin/setpriv", "--ruid=65534", "--"};
    for (const std::string& word :
         WithEmulator(ParentSimArgv(PARENT_SIM, folder.exe().string(), {}))) {
      options.argv.push_back(word);
    }
    options.workDir = folder.root().string();
    options.stdoutMode = Stdout::kTerminal;
    return std::make_unique<ChildProcess>(options);
  }

  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
};

const std::regex kStarted("successfully started core version");

// Why the per-thread checks cannot run under qemu-user: the emulator runs
// threads of its own in the emulated process (its RCU thread among them),
// which the core cannot narrow and which /proc/<pid>/task lists with the
// core's, so a check of every task would judge the emulator.
constexpr const char* kEmulatorThreads =
    "qemu-user runs threads of its own in the core's process, which /proc/<pid>/task "
    "lists beside the core's and which the core cannot narrow";

// A parent whose real user is nobody (its effective user stays root, so it
// can start the core as root).
TEST_F(Privileges, ARootCoreOfANobodyParentBecomesNobodyWithNarrowCapabilities) {
  auto parent = StartParent({"--ruid=65534"}, "setpriv --ruid=0 -- " + Exe());
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  const pid_t core = ChildOf(parent->Pid());
  ASSERT_GT(core, 0);
  auto status = Status(core);
  EXPECT_EQ(status["Uid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(status["Gid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(status["Groups"], "65534");
  EXPECT_EQ(status["CapEff"], "0000000000003000");
  EXPECT_EQ(status["CapPrm"], "0000000000003000");
  EXPECT_EQ(status["CapInh"], "0000000000000000");
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s, core), ExitStatus::Exited(0));
  const auto calls = folder.CallsOf("cap");
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      "Caps load eff=0000000000023000 prm=0000000000023000 inh=0000000000000000"),
            calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      "Caps open eff=0000000000023000 prm=0000000000023000 inh=0000000000000000"),
            calls.end());
  EXPECT_EQ(parent->Output(Stream::kStdout).find("capset failed"), std::string::npos);
}

TEST_F(Privileges, ARootParentLeavesTheCoreRootWithEverything) {
  auto parent = StartParent({"--ruid=0"}, Exe());
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s));
  const pid_t core = ChildOf(parent->Pid());
  const std::string all = Status(getpid())["CapEff"];
  auto status = Status(core);
  EXPECT_EQ(status["Uid"], "0\t0\t0\t0");
  EXPECT_EQ(status["CapEff"], all);
  EXPECT_EQ(status["CapPrm"], all);
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s, core), ExitStatus::Exited(0));
  EXPECT_EQ(parent->Output(Stream::kStdout).find("capset failed"), std::string::npos);
}

TEST_F(Privileges, ANobodyCoreOfANobodyParentWarnsTwiceAndRuns) {
  auto parent = StartParent({"--reuid=65534", "--regid=65534", "--clear-groups"}, Exe());
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  const pid_t core = ChildOf(parent->Pid());
  EXPECT_EQ(Status(core)["Uid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s, core), ExitStatus::Exited(0));
  const std::string console = parent->Output(Stream::kStdout);
  const std::string warning = "\x1b[36m core  \x1b[0m capset failed: Operation not permitted\r\n";
  const size_t first = console.find(warning);
  ASSERT_NE(first, std::string::npos) << console;
  EXPECT_EQ(console.substr(first - 13, 5), "\x1b[33m");  // yellow: a warning
  EXPECT_NE(console.find(warning, first + 1), std::string::npos);
}

TEST_F(Privileges, AParentWithoutAnAccountStopsTheCore) {
  auto parent = StartParent({"--ruid=54321"}, "setpriv --ruid=0 -- " + Exe());
  EXPECT_EQ(parent->WaitForExit(10s), ExitStatus::Exited(2));
  EXPECT_NE(parent->Output(Stream::kStdout).find("core  \x1b[0m getpwuid failed: "),
            std::string::npos)
      << parent->Output(Stream::kStdout);
  EXPECT_EQ(parent->Output(Stream::kStderr), "failed to initialize core\n");
}

// The core's real user is already the parent's, its effective and saved
// users are root: it must change accounts all the same, and a plugin can
// then take back neither root's user nor its group.
TEST_F(Privileges, ASetuidRootCoreOfANobodyParentGivesUpEveryIdForGood) {
  folder.Install("root.so", "id=0x20000\nsetuid_in_open=1");
  auto parent = StartSetuidRootCore();
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  const pid_t core = ChildOf(parent->Pid());
  ASSERT_GT(core, 0);
  auto status = Status(core);
  EXPECT_EQ(status["Uid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(status["Gid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s), ExitStatus::Exited(0));
  const auto calls = folder.CallsOf("root");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "Setuid result=-1 setgid result=-1"), calls.end());
}

// The main, I/O, worker, reader and read-request threads, and a thread a
// plugin started in Load, all end with CAP_NET_ADMIN and CAP_NET_RAW only.
TEST_F(Privileges, EveryThreadOfTheCoreIsNarrowedOnceStarted) {
  if (NeedsEmulator(folder.exe().string())) {
    GTEST_SKIP() << kEmulatorThreads;
  }
  // b's worker asks at once; a, loaded before b, reads and holds the
  // request's thread until Close.
  folder.Install("a.so", "id=0x20000\nreader=1\nmasks=0xffffffff\nread_waits_close=1\nown_thread=1");
  folder.Install("b.so", "id=0x30000\nworker=1\nrequest_in_worker=1\nmasks=0xffffffff");
  auto parent = StartSetuidRootCore();
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  ASSERT_TRUE(folder.WaitForCall("a", "Read len=9 context=0x1000 data=request-0", 10s));
  const pid_t core = ChildOf(parent->Pid());
  ASSERT_GT(core, 0);
  std::vector<pid_t> threads;
  for (auto& [tid, status] : TaskStatuses(core)) {
    if (IsNarrow(status)) {
      threads.push_back(tid);
    } else {
      EXPECT_TRUE(IsSanitizerThread(status)) << "thread " << tid << " holds " << status["CapPrm"];
    }
  }
  EXPECT_GE(threads.size(), 6u);  // main, I/O, a's reader and own thread, b's worker, the request
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s), ExitStatus::Exited(0));
  for (const pid_t tid : threads) {
    EXPECT_EQ(parent->Output(Stream::kStdout).find("thread " + std::to_string(tid) + " still holds"),
              std::string::npos);
  }
}

// A thread that blocks every signal cannot be reached: the core names it
// at level 100. A read request that thread raises once the core runs is
// still served by a narrow thread, which narrows itself as it starts.
TEST_F(Privileges, AThreadThatBlocksSignalsIsNamedAndItsRequestsStillRunNarrow) {
  if (NeedsEmulator(folder.exe().string())) {
    GTEST_SKIP() << kEmulatorThreads;
  }
  folder.Install("a.so", "id=0x20000\nreader=1\nmasks=0xffffffff\nread_waits_close=1");
  folder.Install("b.so",
                 "id=0x30000\nown_thread=2\nrequest_in_own_thread=1\nmasks=0xffffffff\ndelivery=1");
  auto parent = StartSetuidRootCore();
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  ASSERT_TRUE(folder.WaitForCall("a", "Read len=9 context=0x1000 data=request-0", 10s));
  const auto calls = folder.CallsOf("b");
  const auto own = std::find_if(calls.begin(), calls.end(), [](const std::string& line) {
    return line.rfind("Own thread tid=", 0) == 0;
  });
  ASSERT_NE(own, calls.end());
  const pid_t blocking = std::stoi(own->substr(own->find('=') + 1));
  const pid_t core = ChildOf(parent->Pid());
  ASSERT_GT(core, 0);
  int narrowed = 0;
  for (auto& [tid, status] : TaskStatuses(core)) {
    if (tid == blocking) {
      EXPECT_EQ(status["CapPrm"], "0000000000023000");
    } else if (IsNarrow(status)) {
      ++narrowed;
    } else {
      EXPECT_TRUE(IsSanitizerThread(status)) << "thread " << tid << " holds " << status["CapPrm"];
    }
  }
  EXPECT_GE(narrowed, 4);  // main, I/O, a's reader, the request
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s), ExitStatus::Exited(0));
  const std::string console = parent->Output(Stream::kStdout);
  const size_t named = console.find("\x1b[36m core  \x1b[0m thread " + std::to_string(blocking) +
                                    " still holds capabilities 20000\r\n");
  ASSERT_NE(named, std::string::npos) << console;
  EXPECT_EQ(console.substr(named - 13, 5), "\x1b[31m");  // red: level 100
}

// A program a plugin starts once the core runs: the secure bits are the
// ones the core started with (none), so a helper that drops root with
// setuid loses root's capabilities, and the parent channel is not among
// its descriptors.
TEST_F(Privileges, AProgramAPluginStartsInheritsNeitherSecureBitsNorTheParentChannel) {
  ASSERT_EQ(prctl(PR_GET_SECUREBITS, 0, 0, 0, 0), 0) << "the core must start with none";
  folder.Install("spawner.so",
                 "id=0x20000\nmasks=0xffffffff\ndelivery=1\n"
                 "spawn_on_write=setpriv -d > probe.txt; ls -l /proc/self/fd >> probe.txt");
  auto parent = StartSetuidRootCore();
  ASSERT_TRUE(parent->WaitFor(Stream::kStdout, kStarted, 10s)) << parent->Output(Stream::kStdout);
  ASSERT_TRUE(folder.WaitForCall("spawner", "Spawned status=0", 10s));
  EXPECT_EQ(parent->SignalAndWaitForExit(SIGTERM, 10s), ExitStatus::Exited(0));
  std::ostringstream probe;
  probe << std::ifstream(folder.root() / "probe.txt").rdbuf();
  EXPECT_NE(probe.str().find("Securebits: [none]\n"), std::string::npos) << probe.str();
  EXPECT_NE(probe.str().find("/dev/null"), std::string::npos) << probe.str();
  EXPECT_EQ(probe.str().find("socket:"), std::string::npos) << probe.str();
}

// parent-sim makes the socket pair, then exits before the core has looked
// at its parent; the core, handed to this process, must not take this
// process (root) for its parent.
TEST_F(Privileges, AParentThatExitsBeforeTheCoreLooksStopsIt) {
  const int subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  if (subreaper != 0 && NeedsEmulator(folder.exe().string())) {
    GTEST_SKIP() << "qemu-user does not pass PR_SET_CHILD_SUBREAPER to the kernel, so this "
                    "test cannot collect the exit code of the core its parent orphaned";
  }
  ASSERT_EQ(subreaper, 0);
  ChildOptions options;
  options.argv = ParentSimArgv(PARENT_SIM, folder.exe().string(), {"--exit-first"});
  options.workDir = folder.root().string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess parent(options);
  const auto announced = parent.WaitFor(Stream::kStdout, std::regex("core pid (\\d+)"), 10s);
  ASSERT_TRUE(announced) << parent.Output(Stream::kStdout);
  const pid_t core = std::stoi(announced->at(1));
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (waitpid(core, &status, WNOHANG) != core && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (status == -1) {
    kill(core, SIGKILL);
    waitpid(core, &status, 0);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "status " << status;
  EXPECT_EQ(parent.WaitForExit(10s), ExitStatus::Exited(0));
  EXPECT_NE(parent.Output(Stream::kStdout).find("core  \x1b[0m cannot establish the parent process "),
            std::string::npos)
      << parent.Output(Stream::kStdout);
  EXPECT_EQ(parent.Output(Stream::kStderr), "failed to initialize core\n");
  EXPECT_TRUE(folder.Calls().empty());
}

// A system whose setresuid leaves the saved user ID at root, as a faulty or
// hostile C library might: the core must notice from the IDs themselves.
class LeakySavedUid : public dv::Platform {
 public:
  Ids ProcessIds() const override { return ids_; }
  int SetAllUserIds(uint32_t uid) const override {
    ids_.realUid = ids_.effectiveUid = uid;  // the saved ID stays
    return 0;
  }
  int SetAllGroupIds(uint32_t gid) const override {
    ids_.realGid = ids_.effectiveGid = ids_.savedGid = gid;
    return 0;
  }
  std::optional<Account> LookupAccount(uint32_t uid) const override {
    return Account{uid, 65534, "nobody"};
  }
  std::optional<std::vector<uint32_t>> GroupsOf(const Account&, int) const override {
    return std::vector<uint32_t>{65534};
  }
  int SetSupplementaryGroups(const std::vector<uint32_t>&) const override { return 0; }
  int ParentProcessId() const override { return getppid(); }
  int ReadFile(const std::string& path, bool, std::string* bytes) const override {
    *bytes = "Name:\tparent\nUid:\t65534\t65534\t65534\t65534\n";  // the parent's status
    return path.find("/status") != std::string::npos ? 0 : ENOENT;
  }

 private:
  mutable Ids ids_{65534, 0, 0, 0, 0, 0};  // setuid-root, started by nobody
};

std::vector<std::string> g_logged;
int32_t RecordLog(_EventParmsIn* in, _EventParmsOut* out) {
  if ((in->flags & DV_FLAG_LOG_MESSAGE) != 0) {
    g_logged.emplace_back(static_cast<const char*>(in->data));
  }
  out->result = 0;
  return 0;
}

TEST(PrivilegeChecks, ASwitchThatLeavesTheSavedUserIdIsRefused) {
  const int secureBits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
  dv::SetCoreSink(RecordLog);
  g_logged.clear();
  LeakySavedUid os;
  EXPECT_FALSE(dv::DropToParentAccount(-1, os));
  dv::SetCoreSink(nullptr);
  if (secureBits >= 0) prctl(PR_SET_SECUREBITS, secureBits, 0, 0, 0);
  EXPECT_EQ(g_logged, std::vector<std::string>{
                          "privileges not dropped: user IDs 65534 65534 0, group IDs 65534 "
                          "65534 65534 held"});
}

}  // namespace
}  // namespace dvtest
