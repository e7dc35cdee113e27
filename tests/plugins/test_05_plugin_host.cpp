// The plugin host in the real executable: real plugin files in plugins/
// and protected-plugins/, loaded, vetted, opened, closed and unloaded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "plugins/plugin_fixture.h"
#include "platform/crash_report.h"
#include "platform/platform.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

using Lines = std::vector<std::string>;

// The colour digit of the console line "<time> core   <text>", or -1.
int ColourOf(const std::string& console, const std::string& text) {
  const std::string tail = "\x1b[36m core  \x1b[0m " + text + "\r\n";
  const size_t at = console.find(tail);
  if (at == std::string::npos || at < 12) return -1;
  return console[at - 10] - '0';  // "\x1b[3Cm" + "HH:MM:SS"
}

// The lines of calls.log whose call is `call` ("Load", "Open", ...), as
// the stems of the plugins that made them.
Lines Who(const PluginFolder& folder, const std::string& call) {
  Lines stems;
  for (const std::string& line : folder.Calls()) {
    const size_t space = line.find(' ');
    if (line.substr(space + 1) == call) stems.push_back(line.substr(0, space));
  }
  return stems;
}

// The permissions ("rw-p", ...) of the mapping of this process that holds
// `address`, as /proc/self/maps shows them; empty when none does.
std::string MappingPermissions(uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const size_t dash = line.find('-');
    const size_t space = line.find(' ');
    const uintptr_t begin = std::stoull(line.substr(0, dash), nullptr, 16);
    const uintptr_t end = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
    if (address >= begin && address < end) return line.substr(space + 1, 4);
  }
  return "";
}

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class PluginHost : public ::testing::Test {
 protected:
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
};

TEST_F(PluginHost, LoadOrderIsByteOrderPluginsFirst) {
  folder.Install("a.so", "id=0x10000");
  folder.Install("B.so", "id=0x20000");
  folder.Install("0.so", "id=0x30000", PluginDir::kProtected);
  RunCore(folder);
  EXPECT_EQ(Who(folder, "Load"), (Lines{"B", "a", "0"}));
  EXPECT_EQ(Who(folder, "Open"), (Lines{"B", "a", "0"}));
}

TEST_F(PluginHost, AMarkedFileLoadsFirst) {
  folder.Install("a.so", "id=0x10000");
  folder.Install("xvUZUviy.so", "id=0x20000", PluginDir::kProtected);
  RunCore(folder);
  EXPECT_EQ(Who(folder, "Load"), (Lines{"xvUZUviy", "a"}));
}

TEST_F(PluginHost, Id0x60000GoesFirstInTheListEvenWhenLoadedLast) {
  folder.Install("a.so", "id=0x10000");
  folder.Install("b.so", "id=0x20000");
  folder.Install("z.so", "id=0x60000");
  RunCore(folder);
  EXPECT_EQ(Who(folder, "Load"), (Lines{"a", "b", "z"}));
  EXPECT_EQ(Who(folder, "Open"), (Lines{"z", "a", "b"}));
}

TEST_F(PluginHost, RefusedCandidatesAreNamedAndNeverUnloaded) {
  folder.Install("good.so", "id=0x10000");
  folder.Install("x.so", "id=0x20000\nload_error=5");
  folder.Install("neg.so", "id=0x30000\nload_result=-2");
  folder.Install("twin.so", "id=0x10000");
  folder.Install("wide.so", "id=0x01000000");
  folder.Install("high.so", "id=0x80010000");
  folder.Install("core.so", "id=0x80000000");
  std::ofstream(folder.Dir(PluginDir::kPlugins) / "junk.so") << "not a shared object";
  std::filesystem::copy_file(TEST_PLUGIN_NOLOAD_SO, folder.Dir(PluginDir::kPlugins) / "nl.so");
  const std::string console = RunCore(folder);

  EXPECT_EQ(ColourOf(console, "plugin x.so load returned 0 error 5"), 1);
  EXPECT_EQ(ColourOf(console, "plugin neg.so load returned -2 error 0"), 1);
  EXPECT_EQ(ColourOf(console, "plugin twin.so ID 0x00010000 already loaded"), 3);
  EXPECT_EQ(ColourOf(console, "plugin core.so ID 0x80000000 already loaded"), 3);
  EXPECT_EQ(ColourOf(console,
                     "plugin wide.so ID 0x01000000 exceeds the log level array size, set "
                     "LogLevelArraySize to 0xfff"),
            1);
  EXPECT_EQ(ColourOf(console, "Core: Failed to load plugin: nl.so (missing symbol)"), 1);
  const size_t junk = console.find("Core: Failed to load plugin 'junk.so': ");
  ASSERT_NE(junk, std::string::npos) << console;
  EXPECT_NE(console.find("junk.so", junk + 40), std::string::npos);  // the loader's own text

  EXPECT_EQ(Who(folder, "Open"), (Lines{"good", "high"}));
  EXPECT_EQ(Who(folder, "Unload"), (Lines{"good", "high"}));
  EXPECT_EQ(Who(folder, "Load"),
            (Lines{"core", "good", "high", "neg", "twin", "wide", "x"}));
}

TEST_F(PluginHost, CloseOrderFollowsTheCloseKeyDescendingAndUnloadToo) {
  folder.Install("a.so", "id=0x10000\nmask5=5");
  folder.Install("b.so", "id=0x20000\nmask5=0xFFFFFFFF");
  folder.Install("c.so", "id=0x30000\nmask5=7");
  RunCore(folder);
  EXPECT_EQ(Who(folder, "Close"), (Lines{"b", "c", "a"}));
  EXPECT_EQ(Who(folder, "Unload"), (Lines{"b", "c", "a"}));
}

// The slow Open of "a", which opens first, gives a reader started too early
// time to show itself before "both" opens; the worker's slow end gives an
// Unload that does not wait for it time to come first.
TEST_F(PluginHost, ThreadsEndAfterCloseAndBeforeUnload) {
  folder.Install("a.so", "id=0x40000\nsleep_in_open_ms=300");
  folder.Install("both.so", "id=0x10000\nworker=1\nreader=1\nworker_end_delay_ms=300");
  folder.Install("failed.so", "id=0x20000\nreader=1\nopen_result=3");
  folder.Install("none.so", "id=0x30000");
  RunCore(folder);
  const Lines both = folder.CallsOf("both");
  auto at = [&](const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  ASSERT_TRUE(Has(both, "Worker start") && Has(both, "Reader start"));
  EXPECT_GT(at(both, "Reader start"), at(both, "Open"));
  EXPECT_GT(at(both, "Reader end"), at(both, "Close"));
  EXPECT_GT(at(both, "Worker end"), at(both, "Close"));
  EXPECT_GT(at(both, "Unload"), at(both, "Reader end"));
  EXPECT_GT(at(both, "Unload"), at(both, "Worker end"));
  EXPECT_TRUE(Has(folder.CallsOf("failed"), "Reader start"));  // despite its failed Open
  EXPECT_FALSE(Has(folder.CallsOf("failed"), "Worker start"));
  EXPECT_FALSE(Has(folder.CallsOf("none"), "Worker start"));
  EXPECT_FALSE(Has(folder.CallsOf("none"), "Reader start"));
}

TEST_F(PluginHost, EventsFlowFromPluginToPlugin) {
  // a raises from Open and from its worker; b subscribes to class 0x2.
  folder.Install("a.so", "id=0x10000\nworker=1\nraise_on_open=2\nraise_in_worker=2");
  folder.Install("b.so", "id=0x20000\nmasks=0xffffffff\ndelivery=1");
  auto core = StartCore(folder);
  ASSERT_TRUE(folder.WaitForCall("b", "Write type=0x2 provider=0x10000 len=8 keep=0 data=worker-1",
                                 std::chrono::seconds(5)));
  ASSERT_TRUE(folder.WaitForCall("b", "Write type=0x2 provider=0x10000 len=6 keep=0 data=open-1",
                                 std::chrono::seconds(5)));
  StopCore(*core);
  Lines writes;
  for (const std::string& line : folder.CallsOf("b")) {
    if (line.rfind("Write type=0x2", 0) == 0) writes.push_back(line.substr(line.find("data=") + 5));
  }
  // Worker events may come before or between Open's, but each source keeps its order.
  Lines open, worker;
  for (const std::string& data : writes) (data[0] == 'o' ? open : worker).push_back(data);
  EXPECT_EQ(open, (Lines{"open-0", "open-1"}));
  EXPECT_EQ(worker, (Lines{"worker-0", "worker-1"}));
}

TEST_F(PluginHost, AConfigurationUpdateReachesOtherPluginsThroughIoctl) {
  folder.Install("a.so", "id=0x10000\nraise_on_open=1\nraise_type=0x100");
  folder.Install("b.so", "id=0x20000");
  folder.Install("c.so", "id=0x30000");
  auto core = StartCore(folder);
  EXPECT_TRUE(folder.WaitForCall("b", "IOCTL 2 len=6 data=open-0", std::chrono::seconds(5)));
  EXPECT_TRUE(folder.WaitForCall("c", "IOCTL 2 len=6 data=open-0", std::chrono::seconds(5)));
  StopCore(*core);
  EXPECT_FALSE(Has(folder.CallsOf("a"), "IOCTL 2 len=6 data=open-0"));
}

TEST_F(PluginHost, AReadRequestFromAWorkerIsAnsweredByAnotherPluginsReader) {
  // b's worker asks; a reads (reader=1) and replies twice per request; b
  // subscribes and receives the replies.
  folder.Install("a.so", "id=0x10000\nreader=1\nmasks=0xffffffff\nreply_count=2");
  folder.Install("b.so",
                 "id=0x20000\nworker=1\nrequest_in_worker=1\nrequest_delay_ms=200\n"
                 "masks=0xffffffff\ndelivery=1");
  auto core = StartCore(folder);
  EXPECT_TRUE(folder.WaitForCall("a", "Read len=9 context=0x1000 data=request-0",
                                 std::chrono::seconds(5)));
  EXPECT_TRUE(folder.WaitForCall(
      "b", "Write type=0x2 provider=0x10000 len=14 keep=0 data=reply-1-0x1000",
      std::chrono::seconds(5)));
  StopCore(*core);
  EXPECT_TRUE(Has(folder.CallsOf("b"),
                  "Write type=0x2 provider=0x10000 len=14 keep=0 data=reply-0-0x1000"));
}

// A fatal signal leaves one line on the console naming the plugin and the
// entry point it came from, the plugin whose own thread faulted, or the
// process that sent it; the process still dies by it.
struct CrashCase {
  const char* what;
  std::vector<std::pair<const char*, const char*>> plugins;  // file, settings
  int sentSignal;  // 0: the plugin faults by itself
  // With a signal: the call (stem, start of its line; the call sleeps
  // after logging it) the core's main thread must be in
  // when the signal is sent to that thread alone; null: sent to the process
  // once it has started.
  std::pair<const char*, const char*> sentDuring;
  int dyingSignal;
  const char* line;  // "<pid>" stands for the test's own process
};

class Crash : public ::testing::TestWithParam<CrashCase> {};

std::string WithOurPid(std::string line) {
  const size_t at = line.find("<pid>");
  if (at != std::string::npos) line.replace(at, 5, std::to_string(getpid()));
  return line;
}

// True once a line of `stem` starts with `prefix`; false after 10 s.
bool WaitForCallStarting(const PluginFolder& folder, const std::string& stem,
                         const std::string& prefix) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    for (const std::string& line : folder.CallsOf(stem)) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The signal goes to the main thread (its thread ID is the process's) while
// it is inside the call, so the mark of that call is there to mislead.
void SendDuringCall(ChildProcess& core, const PluginFolder& folder, const CrashCase& c) {
  ASSERT_TRUE(WaitForCallStarting(folder, c.sentDuring.first, c.sentDuring.second));
  ASSERT_EQ(syscall(SYS_tgkill, core.Pid(), core.Pid(), c.sentSignal), 0);
}

TEST_P(Crash, OneLineNamesWhereItHappenedAndTheSignalIsKept) {
  if (!dv::kCrashReportInstalled) GTEST_SKIP() << "sanitizers report fatal signals themselves";
  const CrashCase& c = GetParam();
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  for (const auto& [file, settings] : c.plugins) folder.Install(file, settings);
  ChildOptions options;
  options.argv = {folder.exe().string()};
  options.workDir = folder.root().string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess core(options);
  ASSERT_EQ(core.StartError(), "");
  if (c.sentSignal != 0 && c.sentDuring.first != nullptr) {
    SendDuringCall(core, folder, c);
  } else if (c.sentSignal != 0) {
    ASSERT_TRUE(core.WaitFor(Stream::kStdout, kStarted, std::chrono::seconds(10)));
    core.Signal(c.sentSignal);
  }
  EXPECT_EQ(core.WaitForExit(std::chrono::seconds(20)), ExitStatus::Signaled(c.dyingSignal));
  const std::string console = core.Output(Stream::kStdout);
  EXPECT_NE(console.find(WithOurPid(c.line) + "\r\n"), std::string::npos) << console;
}

constexpr std::pair<const char*, const char*> kOnceStarted{nullptr, nullptr};

INSTANTIATE_TEST_SUITE_P(
    PluginHost, Crash,
    ::testing::Values(
        CrashCase{"InOpen", {{"opener.so", "id=0x10000\ncrash_in=Open"}}, 0, kOnceStarted, SIGSEGV,
                  "plugin opener.so crashed in Open (signal 11)"},
        // The sink takes no log events (class 6), so the first event it is
        // handed is camera.so's: 17 bytes of type 0x2.
        CrashCase{"InWrite",
                  {{"camera.so", "id=0x10000\nraise_on_open=1\nraise_payload=frame-of-camera-7"},
                   {"sink.so",
                    "id=0x20000\nmasks=0xffffffff\nmask6=0\ndelivery=1\ncrash_in=Write"}},
                  0, kOnceStarted, SIGSEGV,
                  "plugin sink.so crashed in Write of event type 0x2 from provider 0x10000 "
                  "length 17 (signal 11)"},
        CrashCase{"StackOverflowInWrite",
                  {{"camera.so", "id=0x10000\nraise_on_open=1\nraise_payload=frame-of-camera-7"},
                   {"sink.so", "id=0x20000\nmasks=0xffffffff\nmask6=0\ndelivery=1\n"
                               "crash_in=WriteOverflow"}},
                  0, kOnceStarted, SIGSEGV,
                  "plugin sink.so crashed in Write of event type 0x2 from provider 0x10000 "
                  "length 17 (signal 11)"},
        CrashCase{"InAThreadOfItsOwn",
                  {{"a.so", "id=0x10000"}, {"own.so", "id=0x20000\nown_thread=1\ncrash_in=OwnThread"}},
                  0, kOnceStarted, SIGSEGV, "plugin own.so crashed in a thread of its own (signal 11)"},
        CrashCase{"OutsidePlugins", {{"a.so", "id=0x10000"}}, SIGABRT, kOnceStarted, SIGABRT,
                  "the core was ended by signal 6 from process <pid>"},
        CrashCase{"SentDuringAWrite",
                  {{"a.so", "id=0x10000\nraise_on_open=1"},
                   {"sink.so", "id=0x20000\nmasks=0xffffffff\ndelivery=1\nsleep_in_write_ms=60000"}},
                  SIGSEGV, {"sink", "Write "}, SIGSEGV,
                  "the core was ended by signal 11 from process <pid>"}),
    [](const ::testing::TestParamInfo<CrashCase>& info) { return info.param.what; });

// A handler that overruns an alternate signal stack faults on the page
// below it instead of writing over the memory there.
TEST(CrashReport, EveryAlternateSignalStackHasAnInaccessiblePageBelowIt) {
  if (!dv::kCrashReportInstalled) GTEST_SKIP() << "sanitizer builds use no alternate stacks";
  const dv::AlternateSignalStack altStack;
  stack_t stack;
  ASSERT_EQ(sigaltstack(nullptr, &stack), 0);
  ASSERT_EQ(stack.ss_flags & SS_DISABLE, 0);
  const uintptr_t base = reinterpret_cast<uintptr_t>(stack.ss_sp);
  EXPECT_EQ(MappingPermissions(base), "rw-p");
  EXPECT_EQ(MappingPermissions(base - 1), "---p");
}

// A descriptor the core was handed beyond 0-2 stays open in the core, for
// a plugin that may want it, but reaches no program a plugin starts.
TEST_F(PluginHost, AnInheritedDescriptorStaysWithTheCoreAndReachesNoProgramItStarts) {
  std::ofstream(folder.root() / "handed.txt") << "handed";
  folder.Install("spawner.so", "id=0x20000\nmasks=0xffffffff\ndelivery=1\n"
                               "spawn_on_write=ls -l /proc/self/fd > probe.txt");
  ChildOptions options;
  options.argv = {"/bin/sh", "-c",
                  "exec 7<handed.txt; exec " + ShellCommandFor(folder.exe().string())};
  options.workDir = folder.root().string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess core(options);
  ASSERT_TRUE(core.WaitFor(Stream::kStdout, kStarted, std::chrono::seconds(10)));
  ASSERT_TRUE(folder.WaitForCall("spawner", "Spawned status=0", std::chrono::seconds(10)));
  char held[PATH_MAX] = "";
  const std::string fd7 = "/proc/" + std::to_string(core.Pid()) + "/fd/7";
  EXPECT_GT(readlink(fd7.c_str(), held, sizeof held - 1), 0);
  StopCore(core);
  EXPECT_EQ(std::filesystem::path(held).filename(), "handed.txt");
  std::ifstream probe(folder.root() / "probe.txt");
  const std::string listing(std::istreambuf_iterator<char>(probe), {});
  EXPECT_NE(listing.find("probe.txt"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("handed.txt"), std::string::npos) << listing;
}

// Where close_range is missing, the walk of /proc/self/fd does the same.
TEST(InheritedDescriptors, TheWalkMarksAllButTheKeptOneAndClosesNone) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(dv::MarkInheritedDescriptorsCloseOnExecByWalk(fds[1]), 0);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), FD_CLOEXEC);
  EXPECT_EQ(fcntl(fds[1], F_GETFD), 0);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace dvtest
