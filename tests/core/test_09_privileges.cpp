// Privileges for real: the core started every way it can be (parents of
// different accounts, launchers, namespaces, set-user-ID copies, orphans),
// read back from /proc/<pid>/status and the status of each of its threads;
// and the drop and the narrowing on systems with one fault each, run in a
// child process. Needs root; skipped without.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/privileges.h"
#include "platform/trusted_path.h"
#include "platform/thread_capabilities.h"
#include "log/log.h"
#include "plugins/plugin_fixture.h"
#include "support/child_process.h"
#include "support/setuid_copy.h"

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

// ---- Every way to start the core ---------------------------------------
//
// Each row starts the real core one way and checks the outcome from /proc:
// the six IDs, CapPrm, CapEff, CapInh and CapAmb of every task, and, through
// a program a plugin starts, the secure bits and descriptors it inherits;
// or the refusal: its message, exit code 2, no plugin loaded.

enum class Outcome { kRoot, kNobody, kRefused };

// How a row's core can be told apart and its exit collected.
enum Needs : unsigned {
  kSetuidCopy = 1,     // the core copy is set-user-ID root
  kReaper = 2,         // the core outlives its parent and is handed to this process
  kEveryTask = 4,      // the row is about threads: per-task checks only
  kLateThread = 8,     // a plugin thread that blocks signals starts another 3 s in
  kNoExitCode = 16,    // the core is adopted by a namespace's init: only its messages
  kReaperOfItsOwn = 32,  // the row's first program adopts the orphans below it
};

// What lies beside the row's core. Whatever the layout, only root and the
// group of nobody can enter the folder, so no other local user ever reaches
// a set-user-ID copy in it.
enum class Layout {
  kRoots,              // root's alone, the core's working folder apart
  kInvokersFolder,     // the folder is nobody's and the core has a second name
  kSecondName,         // the core has a second name in the working folder
  kOpenPluginsFolder,  // plugins/ is writable by everyone
  kUsersPlugins,       // plugins/user.so is nobody's, plugins/link.so links to a file of nobody's
  kAllOfThem,          // every layout above at once
};

struct Paths {
  std::string core;  // the core's file
  std::string exe;   // the core's command as shell words (with the emulator)
  // parent-sim starting the core, then `rest`.
  std::vector<std::string> Sim(std::vector<std::string> rest) const {
    return WithEmulator(ParentSimArgv(PARENT_SIM, core, std::move(rest)));
  }
};

struct Topology {
  const char* name;
  Outcome outcome;
  unsigned needs;
  std::vector<std::string> (*command)(const Paths&);
  Layout layout = Layout::kRoots;
  const char* refusal = "cannot establish the parent process ";  // a refused row's message
};

void PrintTo(const Topology& row, std::ostream* out) { *out << row.name; }

std::vector<std::string> Concat(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
std::vector<std::string> AsNobodyParent(const std::vector<std::string>& argv) {
  return Concat({"/usr/bin/setpriv", "--ruid=65534", "--"}, argv);
}
std::vector<std::string> AsNobody(const std::vector<std::string>& argv) {
  return Concat({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"},
                argv);
}
std::vector<std::string> InPidNamespace(const std::vector<std::string>& argv) {
  return Concat({"/usr/bin/unshare", "--pid", "--fork", "--mount-proc"}, argv);
}
// -p: the shell keeps an effective user that differs from the real one.
std::vector<std::string> Shell(const std::string& command) {
  return {"/bin/sh", "-p", "-c", command};
}
std::string Words(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& word : argv) line += (line.empty() ? "'" : " '") + word + "'";
  return line;
}
// Starts `core` in the background, says its process ID and exits at once.
std::string Orphaning(const std::string& core) {
  return "(sleep 0.3; exec " + core + ") & echo core pid $!; exit 0";
}

const Topology kTopologies[] = {
    {"ARootParentForksTheCore", Outcome::kRoot, 0, [](const Paths& p) { return p.Sim({}); }},
    {"ANobodyParentForksTheCore", Outcome::kNobody, 0,
     [](const Paths& p) { return AsNobodyParent(p.Sim({})); }},
    {"ALauncherForksBetweenParentAndCore", Outcome::kNobody, 0,
     [](const Paths& p) { return p.Sim({"--launcher", "65534"}); }},
    {"TheParentDaemonIsPid1OfANamespace", Outcome::kNobody, 0,
     [](const Paths& p) { return InPidNamespace(AsNobodyParent(p.Sim({}))); }},
    {"TheParentHasGoneAndInitAdoptedTheCore", Outcome::kRefused, kNoExitCode,
     [](const Paths& p) {
       return InPidNamespace(Shell(
           Words(AsNobodyParent(p.Sim({"--exit-first", "--core-ruid", "0"}))) + "; sleep 60"));
     }},
    {"TheParentHasGoneAndARootReaperAdoptedTheCore", Outcome::kRefused, kReaper,
     [](const Paths& p) { return AsNobodyParent(p.Sim({"--exit-first"})); }},
    {"TheParentHasGoneWithoutAChannel", Outcome::kRoot, kReaper,
     [](const Paths& p) {
       return AsNobodyParent(Shell(Orphaning("/usr/bin/setpriv --ruid=0 -- " + p.exe)));
     }},
    {"ASetuidRootCoreStartedByNobody", Outcome::kNobody, kSetuidCopy,
     [](const Paths& p) { return AsNobody(Shell(p.exe + "; exit $?")); }},
    {"ASetuidRootCoreUnderParentSimPlayingNobody", Outcome::kNobody, kSetuidCopy,
     [](const Paths& p) { return p.Sim({"--user", "nobody"}); }},
    {"ASetuidRootCoreWhoseInvokerHasGone", Outcome::kRefused, kSetuidCopy | kReaper,
     [](const Paths& p) { return AsNobody(Shell(Orphaning(p.exe))); }},
    {"ASetuidRootCoreUnderARootLauncher", Outcome::kRefused, kSetuidCopy,
     [](const Paths& p) { return Shell(Words(AsNobody({p.core})) + "; exit $?"); }},
    {"ARootCoreWithoutAChannelUnderInit", Outcome::kRoot, 0,
     [](const Paths& p) { return InPidNamespace(Shell(p.exe + "; exit $?")); }},
    {"TheParentBlocksTheNarrowingSignal", Outcome::kNobody, kEveryTask,
     [](const Paths& p) { return AsNobodyParent(p.Sim({"--block-narrow-signal"})); }},
    {"APluginThreadThatBlocksSignalsStartsAThreadLater", Outcome::kNobody,
     kEveryTask | kLateThread, [](const Paths& p) { return AsNobodyParent(p.Sim({})); }},
    // Started by nobody, then adopted by a reaper of the daemon account (1;
    // its effective user stays root, so that it can start nobody's shell).
    {"ASetuidRootCoreAdoptedByAnotherAccountsReaper", Outcome::kRefused,
     kSetuidCopy | kReaperOfItsOwn | kNoExitCode,
     [](const Paths& p) {
       return Concat({"/usr/bin/setpriv", "--ruid=1", "--"},
                     Shell(Words(AsNobody(Shell(Orphaning(p.exe)))) + "; sleep 60"));
     }},
    {"ASetuidRootCoreHardLinkedIntoItsInvokersFolder", Outcome::kRefused, kSetuidCopy,
     [](const Paths& p) { return AsNobody(Shell(p.exe + "; exit $?")); },
     Layout::kInvokersFolder, "refusing a set-user-ID start: /tmp/devovor-test-\\w+ is owned by user 65534, not root"},
    {"ASetuidRootCoreWithASecondNameInAFolderOthersCanWrite", Outcome::kRefused, kSetuidCopy,
     [](const Paths& p) { return AsNobody(Shell(p.exe + "; exit $?")); }, Layout::kSecondName,
     "refusing a set-user-ID start: /tmp/devovor-test-\\w+/devovor has 2 names \\(hard links\\)"},
    {"ASetuidRootCoreBesideAnOpenPluginsFolder", Outcome::kRefused, kSetuidCopy,
     [](const Paths& p) { return AsNobody(Shell(p.exe + "; exit $?")); },
     Layout::kOpenPluginsFolder,
     "refusing a set-user-ID start: /tmp/devovor-test-\\w+/plugins is writable by group or others"},
    {"ASetuidRootCoreSkipsAUsersPluginAndALinkToOne", Outcome::kNobody, kSetuidCopy,
     [](const Paths& p) { return AsNobody(Shell(p.exe + "; exit $?")); }, Layout::kUsersPlugins},
    {"ARootParentTakesEveryLayoutAsBefore", Outcome::kRoot, 0,
     [](const Paths& p) { return p.Sim({}); }, Layout::kAllOfThem},
};

// The process under `root` (itself included) that runs the core `exe`:
// its first command word, or the second behind an emulator.
pid_t FindCore(pid_t root, const std::string& exe) {
  std::vector<pid_t> queue = {root};
  for (size_t i = 0; i < queue.size(); ++i) {
    const std::string dir = "/proc/" + std::to_string(queue[i]);
    std::ifstream cmdline(dir + "/cmdline");
    std::string first, second;
    std::getline(cmdline, first, '\0');
    std::getline(cmdline, second, '\0');
    if (first == exe || second == exe) return queue[i];
    for (const auto& [tid, status] : TaskStatuses(queue[i])) {
      std::ifstream children(dir + "/task/" + std::to_string(tid) + "/children");
      for (pid_t child; children >> child;) queue.push_back(child);
    }
  }
  return 0;
}

// Waits for `pid`, a child of this process; -1 when it has not ended in time.
int WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return status;
}

// Stops `core`, a child of this process, with SIGTERM and waits for it.
// Under ThreadSanitizer a signal is now and then never seen by the process
// (see ChildProcess::SignalAndWaitForExit), so there it is repeated every
// second; the core stops at the first one it sees and absorbs the rest.
int StopChild(pid_t core) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(10s);
  for (;;) {
    kill(core, SIGTERM);
    const int exit = WaitForChild(core, kThreadSanitizer ? 1s : Scaled(10s));
    if (exit != -1 || !kThreadSanitizer || std::chrono::steady_clock::now() >= deadline) {
      return exit;
    }
  }
}

class StartTopology : public ::testing::TestWithParam<Topology> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start the core as root";
    const Topology& row = GetParam();
    const bool emulated = NeedsEmulator(folder.exe().string());
    if (emulated && (row.needs & kSetuidCopy) != 0) {
      GTEST_SKIP() << "under qemu-user the kernel executes qemu-arm, not the core, so the "
                      "core's set-user-ID bit is never honoured";
    }
    if (emulated && (row.needs & kReaper) != 0) {
      GTEST_SKIP() << "qemu-user does not pass PR_SET_CHILD_SUBREAPER to the kernel, so this "
                      "test cannot adopt the core its parent orphaned";
    }
    if (emulated && (row.needs & kEveryTask) != 0) GTEST_SKIP() << kEmulatorThreads;
    folder.LayOutForNobody();
    folder.Install("cap.so",
                   "id=0x10000\nworker=1\nreader=1\nown_thread=1\nown_narrow_handler=1\n"
                   "log_caps=1\nsetuid_in_open=1\nmasks=0xffffffff\ndelivery=1\n"
                   "spawn_on_write=setpriv -d > probe.txt; ls -l /proc/self/fd >> probe.txt");
    if ((row.needs & kLateThread) != 0) {
      folder.Install("late.so", "id=0x20000\nown_thread=2\nlate_thread_ms=3000");
    }
    if ((row.needs & kReaper) != 0) {
      ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
    }
    if ((row.needs & kSetuidCopy) != 0) {
      ASSERT_EQ(MakeSetUserIdRoot(folder.exe().string()), "");
    }
    ApplyLayout(row.layout);
    paths.core = folder.exe().string();
    paths.exe = ShellCommandFor(paths.core);
    ChildOptions options;
    options.argv = row.command(paths);
    options.workDir = Work().string();
    options.stdoutMode = Stdout::kTerminal;
    options.subreaper = (row.needs & kReaperOfItsOwn) != 0;
    start = std::make_unique<ChildProcess>(options);
  }

  std::filesystem::path Work() const { return folder.root() / "work"; }

  // Made after the set-user-ID bit, so that the copy was judged on a
  // layout of root's alone; each spoils what a set-user-ID core relies on.
  void ApplyLayout(Layout layout) {
    const bool all = layout == Layout::kAllOfThem;
    if (all || layout == Layout::kInvokersFolder) {
      ASSERT_EQ(chown(folder.root().c_str(), 65534, 65534), 0);
      std::filesystem::create_hard_link(folder.exe(), folder.root() / "second-name");
    }
    if (layout == Layout::kSecondName) {
      std::filesystem::create_hard_link(folder.exe(), Work() / "second-name");
    }
    if (all || layout == Layout::kOpenPluginsFolder) {
      ASSERT_EQ(chmod(folder.Dir(PluginDir::kPlugins).c_str(), 0777), 0);
    }
    if (all || layout == Layout::kUsersPlugins) {
      const auto users = folder.Install("user.so", "id=0x30000");
      ASSERT_EQ(chown(users.c_str(), 65534, 65534), 0);
      const auto target = folder.Install("linked.so", "id=0x40000");
      std::filesystem::rename(target, Work() / "linked.so");
      ASSERT_EQ(chown((Work() / "linked.so").c_str(), 65534, 65534), 0);
      std::filesystem::create_symlink(Work() / "linked.so", folder.Dir(PluginDir::kPlugins) / "link.so");
      std::filesystem::rename(folder.Dir(PluginDir::kPlugins) / "linked.conf",
                              folder.Dir(PluginDir::kPlugins) / "link.conf");
      const auto searching = folder.Dir(PluginDir::kPlugins) / "searching.so";
      std::filesystem::copy_file(TEST_PLUGIN_TMP_SEARCH_SO, searching);
      std::filesystem::permissions(searching, std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_read |
                                                  std::filesystem::perms::others_read);
    }
  }

  // Plugins of users' files: skipped with the reason by a set-user-ID
  // core, loaded by one started by root.
  void ExpectUsersPlugins(bool skipped) {
    const Layout layout = GetParam().layout;
    if (layout != Layout::kUsersPlugins && layout != Layout::kAllOfThem) return;
    const std::string console = start->Output(Stream::kStdout);
    for (const char* stem : {"user", "link", "searching"}) {
      EXPECT_EQ(folder.CallsOf(stem).empty(), skipped) << stem;
      const std::string message = std::string("Core: Failed to load plugin '") + stem + ".so': ";
      EXPECT_EQ(console.find(message) != std::string::npos, skipped) << console;
    }
    if (!skipped) return;
    EXPECT_NE(console.find("plugins/user.so is owned by user 65534, not root"), std::string::npos);
    EXPECT_NE(console.find("/work is writable by group or others"), std::string::npos);
    EXPECT_NE(console.find("plugins/searching.so searches /tmp/devovor-plugin-libs for libraries: "
                           "/tmp is writable by group or others"),
              std::string::npos);
  }
  void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0); }

  // The core's process ID: said by the start when it orphans the core.
  pid_t Core() {
    if ((GetParam().needs & kReaper) != 0) {
      const auto said = start->WaitFor(Stream::kStdout, std::regex("core pid (\\d+)"), 10s);
      return said ? std::stoi(said->at(1)) : 0;
    }
    return FindCore(start->Pid(), paths.core);
  }

  // The threads that the late plugin's thread (it blocks every signal)
  // started, which no signal can reach: the core must name each.
  std::set<pid_t> Unreachable() {
    std::set<pid_t> tids;
    if ((GetParam().needs & kLateThread) == 0) return tids;
    const auto deadline = std::chrono::steady_clock::now() + Scaled(10s);
    while (tids.size() < 2 && std::chrono::steady_clock::now() < deadline) {
      tids.clear();
      for (const std::string& line : folder.CallsOf("late")) {
        if (line.find(" thread tid=") != std::string::npos) {
          tids.insert(std::stoi(line.substr(line.find('=') + 1)));
        }
      }
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(tids.size(), 2u) << "the own thread and the late one";
    return tids;
  }

  void ExpectRunsAs(pid_t core, const std::string& id);
  void ExpectRefused(pid_t core);

  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  Paths paths;
  std::unique_ptr<ChildProcess> start;
};

void StartTopology::ExpectRunsAs(pid_t core, const std::string& id) {
  const bool root = id == "0";
  const std::set<pid_t> unreachable = Unreachable();
  for (const pid_t tid : unreachable) {
    // Named once the monitor has looked twice (a signal, then a read-back).
    const std::string named = "\x1b\\[31m[^\\n]*core  \x1b\\[0m thread " + std::to_string(tid) +
                              " still holds capabilities 20000\r\n";
    EXPECT_TRUE(start->WaitFor(Stream::kStdout, std::regex(named), Scaled(2s))) << tid;
  }
  auto status = Status(core);
  const std::string ids = id + "\t" + id + "\t" + id + "\t" + id;
  EXPECT_EQ(status["Uid"], ids);
  EXPECT_EQ(status["Gid"], ids);
  if (!root) {
    EXPECT_EQ(status["Groups"], "65534");
  }
  auto own = Status(getpid());
  const std::string none = "0000000000000000";
  const std::string held = root ? own["CapPrm"] : "0000000000003000";
  // Under an emulator only the main task is the core's alone (see kEmulatorThreads).
  const bool emulated = NeedsEmulator(paths.core);
  auto tasks = emulated ? decltype(TaskStatuses(core)){{core, status}} : TaskStatuses(core);
  EXPECT_GE(tasks.size(), emulated ? 1u : 5u);  // main, I/O, worker, reader, own thread
  size_t sanitizerThreads = 0;  // named when narrowing: no signal reaches them
  for (auto& [tid, task] : tasks) {
    if (unreachable.count(tid) != 0) {
      EXPECT_EQ(task["CapPrm"], "0000000000023000") << tid;
    } else if (IsSanitizerThread(task)) {
      ++sanitizerThreads;
    } else {
      EXPECT_EQ(task["CapPrm"] + task["CapEff"] + task["CapInh"] + task["CapAmb"],
                held + held + (root ? own["CapInh"] : none) + none)
          << "thread " << tid;
    }
  }
  ASSERT_TRUE(folder.WaitForCall("cap", "Spawned status=0", Scaled(10s)));
  std::ostringstream probe;
  probe << std::ifstream(Work() / "probe.txt").rdbuf();
  EXPECT_NE(probe.str().find("Securebits: [none]\n"), std::string::npos) << probe.str();
  EXPECT_NE(probe.str().find("/dev/null"), std::string::npos) << probe.str();
  EXPECT_EQ(probe.str().find("socket:"), std::string::npos) << probe.str();
  if (!root) {
    const auto calls = folder.CallsOf("cap");
    for (const char* line :
         {"Caps load eff=0000000000023000 prm=0000000000023000 inh=0000000000000000",
          "Caps open eff=0000000000023000 prm=0000000000023000 inh=0000000000000000",
          "Setuid result=-1 setgid result=-1"}) {
      EXPECT_NE(std::find(calls.begin(), calls.end(), line), calls.end()) << line;
    }
  }
  if ((GetParam().needs & kReaper) != 0) {
    const int exit = StopChild(core);
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << "status " << exit;
  } else {
    EXPECT_EQ(start->SignalAndWaitForExit(SIGTERM, Scaled(10s), core), ExitStatus::Exited(0));
  }
  const std::string console = start->Output(Stream::kStdout);
  EXPECT_EQ(console.find("cannot establish"), std::string::npos) << console;
  size_t named = 0;
  for (size_t at = 0; (at = console.find(" still holds ", at)) != std::string::npos; ++at) ++named;
  if (!emulated) {
    EXPECT_EQ(named, unreachable.size() + (root ? 0 : sanitizerThreads)) << console;
  }
}

void StartTopology::ExpectRefused(pid_t core) {
  const unsigned needs = GetParam().needs;
  if ((needs & kReaper) != 0) {
    const int exit = WaitForChild(core, Scaled(10s));
    if (exit == -1) kill(core, SIGKILL), waitpid(core, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 2) << "status " << exit;
  } else if ((needs & kNoExitCode) == 0) {
    EXPECT_EQ(start->WaitForExit(Scaled(10s)), ExitStatus::Exited(2));
  }
  EXPECT_TRUE(start->WaitFor(Stream::kStderr, std::regex("failed to initialize core\n"), 10s));
  EXPECT_TRUE(start->WaitFor(Stream::kStdout,
                             std::regex(std::string("core  \x1b\\[0m ") + GetParam().refusal), 1s))
      << start->Output(Stream::kStdout) << start->Output(Stream::kStderr);
  EXPECT_TRUE(folder.Calls().empty());
}

TEST_P(StartTopology, EndsAsTheParentsAccountOrRefuses) {
  const Topology& row = GetParam();
  if (row.outcome == Outcome::kRefused) {
    ExpectRefused(Core());
    return;
  }
  ASSERT_TRUE(start->WaitFor(Stream::kStdout, kStarted, Scaled(10s)))
      << start->Output(Stream::kStdout) << start->Output(Stream::kStderr);
  const pid_t core = Core();
  ASSERT_GT(core, 0);
  ExpectRunsAs(core, row.outcome == Outcome::kRoot ? "0" : "65534");
  ExpectUsersPlugins(/*skipped=*/(row.needs & kSetuidCopy) != 0);
}

INSTANTIATE_TEST_SUITE_P(Privileges, StartTopology, ::testing::ValuesIn(kTopologies),
                         [](const ::testing::TestParamInfo<Topology>& info) {
                           return std::string(info.param.name);
                         });

// A setuid-root core started by nobody on a system with one fault: its
// setresuid leaves the saved user ID at root, or its setuid(0) or setgid(0)
// succeeds after the drop, as a faulty or hostile C library might. The core
// must notice from the IDs themselves, and from the probe.
struct Fault {
  bool keepsSavedUid, setuidWorks, setgidWorks;
};

class FaultySystem : public dv::Platform {
 public:
  explicit FaultySystem(Fault fault) : fault_(fault) {}
  Ids ProcessIds() const override { return ids_; }
  int SetAllUserIds(uint32_t uid) const override {
    ids_.realUid = ids_.effectiveUid = uid;
    if (!fault_.keepsSavedUid) ids_.savedUid = uid;
    return 0;
  }
  int SetAllGroupIds(uint32_t gid) const override {
    ids_.realGid = ids_.effectiveGid = ids_.savedGid = gid;
    return 0;
  }
  int SetUserId(uint32_t) const override { return fault_.setuidWorks ? 0 : EPERM; }
  int SetGroupId(uint32_t) const override { return fault_.setgidWorks ? 0 : EPERM; }
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
  const Fault fault_;
  mutable Ids ids_{65534, 0, 0, 0, 0, 0};  // setuid-root, started by nobody
};

int32_t PrintLog(_EventParmsIn* in, _EventParmsOut* out) {
  if ((in->flags & DV_FLAG_LOG_MESSAGE) != 0) {
    std::fprintf(stderr, "%s\n", static_cast<const char*>(in->data));
  }
  out->result = 0;
  return 0;
}

// The drop runs in a child process: it narrows and changes the secure bits
// of the process it runs in for good.
TEST(PrivilegeChecks, EachFaultOfTheSystemIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root's capabilities to narrow them";
  const struct {
    Fault fault;
    const char* message;
  } cases[] = {
      {{true, false, false}, "privileges not dropped: user IDs 65534 65534 0, group IDs 65534 "
                             "65534 65534 held"},
      {{false, true, false}, "privileges not dropped: setuid\\(0\\) succeeded"},
      {{false, false, true}, "privileges not dropped: setgid\\(0\\) succeeded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    FaultySystem os(c.fault);
    EXPECT_EXIT(
        {
          dv::SetCoreSink(PrintLog);
          _exit(dv::DropToParentAccount(-1, os) ? 0 : 2);
        },
        ::testing::ExitedWithCode(2), c.message);
  }
}

// Run in a child process, which it narrows for good: a thread A blocks the
// signal while the pass lists it, and meanwhile starts B, which can take
// the signal, and then C, which keeps A's mask and so never takes it. A
// then unblocks. B, born during the pass with A's wide sets, must be found
// by a later listing; C, the last task, must be returned as wide.
int NarrowWhileThreadsAreBorn() {
  std::atomic<bool> ready{false}, done{false};
  std::atomic<pid_t> bornTid{0}, lastTid{0};
  auto waitDone = [&] {
    while (!done.load()) std::this_thread::sleep_for(5ms);
  };
  sigset_t narrow;
  sigemptyset(&narrow);
  sigaddset(&narrow, dv::NarrowSignal());
  std::thread a([&] {
    pthread_sigmask(SIG_BLOCK, &narrow, nullptr);
    ready.store(true);
    std::this_thread::sleep_for(30ms);
    std::thread b([&] {
      pthread_sigmask(SIG_UNBLOCK, &narrow, nullptr);
      bornTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
      waitDone();
    });
    std::thread c([&] {
      lastTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
      waitDone();
    });
    std::this_thread::sleep_for(20ms);
    pthread_sigmask(SIG_UNBLOCK, &narrow, nullptr);
    waitDone();
    b.join();
    c.join();
  });
  while (!ready.load()) std::this_thread::sleep_for(1ms);
  std::vector<dv::WideTask> wide;
  const bool listed =
      dv::SetCapabilities(dv::kCapsWhenRunning) && dv::NarrowOtherThreads(dv::kCapsWhenRunning, &wide);
  std::set<pid_t> wideTids;
  for (const dv::WideTask& task : wide) wideTids.insert(task.tid);
  done.store(true);
  a.join();
  const bool right = listed && wideTids.count(lastTid.load()) == 1 &&
                     wideTids.count(bornTid.load()) == 0 && wideTids.count(getpid()) == 0;
  for (const pid_t tid : wideTids) std::fprintf(stderr, "wide %d\n", static_cast<int>(tid));
  std::fprintf(stderr, "born %d last %d\n", static_cast<int>(bornTid.load()),
               static_cast<int>(lastTid.load()));
  return right ? 0 : 1;
}

TEST(ThreadNarrowing, AThreadBornDuringThePassIsNarrowedAndTheLastTaskIsJudged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root's capabilities to narrow them";
  if (!Emulator().empty()) GTEST_SKIP() << kEmulatorThreads;
  EXPECT_EXIT(_exit(NarrowWhileThreadsAreBorn()), ::testing::ExitedWithCode(0), "");
}


// After start-up a plugin takes the narrowing signal for itself, then its
// thread that blocks the signal (so was never narrowed) starts one that
// takes it. The monitor's look signals that new thread with the core's own
// handler installed again, so it ends narrow and is not named.
TEST(ThreadNarrowing, AHandlerAPluginInstallsLaterDoesNotKeepANewThreadWide) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the core as root";
  if (!Emulator().empty()) GTEST_SKIP() << kEmulatorThreads;
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  const std::filesystem::path work = folder.LayOutForNobody();
  folder.Install("late.so",
                 "id=0x20000\nown_thread=2\nlate_thread_ms=300\nlate_unblocks=1\n"
                 "own_narrow_handler=2");
  ChildOptions options;
  options.argv = Concat({"/usr/bin/setpriv", "--ruid=65534", "--"},
                        ParentSimArgv(PARENT_SIM, folder.exe().string(), {}));
  options.workDir = work.string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess start(options);
  pid_t late = 0;
  const auto deadline = std::chrono::steady_clock::now() + Scaled(10s);
  while (late == 0 && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& line : folder.CallsOf("late")) {
      if (line.rfind("Late thread tid=", 0) == 0) late = std::stoi(line.substr(16));
    }
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(late, 0) << start.Output(Stream::kStdout);
  const pid_t core = FindCore(start.Pid(), folder.exe().string());
  const std::string task = "/proc/" + std::to_string(core) + "/task/" + std::to_string(late);
  std::string held;
  while ((held = StatusAt(task + "/status")["CapPrm"]) != "0000000000003000" &&
         std::chrono::steady_clock::now() < deadline + Scaled(2s)) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(held, "0000000000003000");
  EXPECT_EQ(start.SignalAndWaitForExit(SIGTERM, Scaled(10s), core), ExitStatus::Exited(0));
  EXPECT_EQ(start.Output(Stream::kStdout).find("thread " + std::to_string(late) + " still holds"),
            std::string::npos);
}

// The walk a set-user-ID core makes before it trusts a path, on real
// folders: each case spoils one thing a root-only path needs.
TEST(TrustedPath, JudgesEveryFolderAndLinkOnTheWay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make root's and others' files";
  PluginFolder made{DEVOVOR_EXE, TEST_PLUGIN_SO};
  const std::string top = made.root().string();
  chmod(top.c_str(), 0755);
  auto folder = [&](const std::string& name, mode_t mode, uid_t owner) {
    const std::string path = top + "/" + name;
    mkdir(path.c_str(), mode);
    chmod(path.c_str(), mode);  // past the umask
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
    return path;
  };
  auto file = [&](const std::string& path, mode_t mode, uid_t owner) {
    std::ofstream(path).flush();
    chmod(path.c_str(), mode);
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
  };
  const std::string roots = folder("roots", 0755, 0), open = folder("open", 0777, 0),
                    sticky = folder("sticky", 01777, 0), users = folder("users", 0755, 65534);
  folder("sticky/roots", 0755, 0);
  file(roots + "/a.so", 0644, 0);
  file(roots + "/open.so", 0664, 0);
  file(users + "/b.so", 0644, 0);
  file(roots + "/users.so", 0644, 65534);
  file(sticky + "/c.so", 0644, 0);
  file(sticky + "/roots/d.so", 0644, 0);
  symlink((roots + "/a.so").c_str(), (sticky + "/roots-link").c_str());
  symlink((roots + "/a.so").c_str(), (sticky + "/users-link").c_str());
  lchown((sticky + "/users-link").c_str(), 65534, 65534);
  symlink("../users/b.so", (roots + "/to-users").c_str());
  symlink("loop", (roots + "/loop").c_str());

  using dv::PathKind;
  const struct {
    std::string path;
    PathKind kind;
    std::string why;  // empty: trusted
  } kCases[] = {
      {roots + "/a.so", PathKind::kFile, ""},
      {roots, PathKind::kFolder, ""},
      {sticky + "/roots/d.so", PathKind::kFile, ""},
      {sticky + "/roots-link", PathKind::kFile, ""},
      {roots + "/../roots/./a.so", PathKind::kFile, ""},
      {roots + "/open.so", PathKind::kFile, roots + "/open.so is writable by group or others"},
      {roots + "/users.so", PathKind::kFile, roots + "/users.so is owned by user 65534, not root"},
      {open + "/x.so", PathKind::kFile, open + " is writable by group or others"},
      {open, PathKind::kFolder, open + " is writable by group or others"},
      {sticky, PathKind::kFolder, sticky + " is writable by group or others"},
      {sticky + "/c.so", PathKind::kFile, sticky + " is writable by group or others"},
      {sticky + "/users-link", PathKind::kFile,
       sticky + "/users-link is a link of user 65534 in a folder others can write"},
      {roots + "/to-users", PathKind::kFile, users + " is owned by user 65534, not root"},
      {users + "/b.so", PathKind::kFile, users + " is owned by user 65534, not root"},
      {roots + "/a.so", PathKind::kFolder, roots + "/a.so is not a folder"},
      {roots, PathKind::kFile, roots + " is not a regular file"},
      {roots + "/loop", PathKind::kFile, roots + "/loop leads through too many links"},
      {roots + "/none.so", PathKind::kFile,
       roots + "/none.so cannot be examined: No such file or directory"},
      {roots + "/none/lib", PathKind::kFolderIfPresent, ""},
      {sticky + "/none", PathKind::kFolderIfPresent, sticky + " is writable by group or others"},
      {users + "/none", PathKind::kFolderIfPresent, users + " is owned by user 65534, not root"},
  };
  for (const auto& each : kCases) {
    EXPECT_EQ(dv::WhyNotRootsAlone(each.path, each.kind), each.why) << each.path;
  }
}

}  // namespace
}  // namespace dvtest
