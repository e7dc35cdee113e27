// Runs the built executable as a separate process and checks what its user
// sees: the usage text, the console lines on a terminal, silence on a pipe,
// the exit codes, and that a signal stops the core cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

#ifndef DEVOVOR_EXE
#error "DEVOVOR_EXE must name the executable under test"
#endif

namespace {

using dvtest::ChildOptions;
using dvtest::ChildProcess;
using dvtest::ExitStatus;
using dvtest::Stdout;
using dvtest::Stream;

constexpr auto kTimeout = std::chrono::seconds(5);

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
constexpr int kSecondsPerDay = 86400;

// The core reads and writes core.xml in its current directory: each test
// process gives it a folder of its own, holding a valid core.xml so that the
// console shows only the lines under test.
class WorkFolder {
 public:
  WorkFolder() {
    char pattern[] = "/tmp/dv-core-process-XXXXXX";
    path_ = mkdtemp(pattern);
    std::ofstream(path_ + "/core.xml") << "<Orvel/>";
  }
  ~WorkFolder() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& WorkDir() {
  static const WorkFolder folder;
  return folder.path();
}

ChildOptions Options(std::vector<std::string> argv, Stdout mode = Stdout::kPipe) {
  ChildOptions options;
  options.argv = std::move(argv);
  options.path = DEVOVOR_EXE;
  options.workDir = WorkDir();
  options.stdoutMode = mode;
  return options;
}

// Shows control characters, so a failure message reveals colours and "\r".
std::string Visible(const std::string& text) {
  std::string shown;
  for (const unsigned char c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    shown += (c < 0x20 || c == 0x7f) ? std::string(escaped) : std::string(1, static_cast<char>(c));
  }
  return shown;
}

// Escapes fixed text for use inside a pattern.
std::string Literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// One console line of the core on a terminal: a green HH:MM:SS, the tag in
// cyan padded to six characters, the text, and the terminal's "\r\n".
std::string ConsoleLine(const std::string& text) {
  return Literal("\x1b[32m") + "([0-9]{2}):([0-9]{2}):([0-9]{2})" +
         Literal("\x1b[36m core  \x1b[0m " + text + "\r\n");
}

const std::string kStartedLine = ConsoleLine("successfully started core version 21.09.7.0");
const std::string kStoppingLine = ConsoleLine("stopping core version 21.09.7.0...");

int UtcSecondsOfDay() {
  const time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  return utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec;
}

// The UTC seconds of the day read before and after an event, so its stamp
// must lie between them. Arithmetic is on the 24-hour circle: a span across
// midnight works.
struct ClockSpan {
  int from;
  int to;
};

int DayModulo(int seconds) { return (seconds % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay; }

// groups[first..first+2] are the hours, minutes and seconds of one stamp;
// one second of slack on each side covers rounding between the two clocks.
void ExpectStampWithin(const std::vector<std::string>& groups, size_t first, ClockSpan span) {
  const std::string shown = groups.at(first) + ":" + groups.at(first + 1) + ":" +
                            groups.at(first + 2);
  const int h = std::stoi(groups[first]);
  const int m = std::stoi(groups[first + 1]);
  const int s = std::stoi(groups[first + 2]);
  ASSERT_TRUE(h < 24 && m < 60 && s < 60) << shown;
  const int offset = DayModulo(h * 3600 + m * 60 + s - span.from + 1);
  EXPECT_LE(offset, DayModulo(span.to - span.from) + 2)
      << shown << " is outside UTC seconds " << span.from << ".." << span.to;
}

// The whole of a terminal run's output: exactly one start and one stop line.
void ExpectStartedThenStopped(const std::string& output, ClockSpan started, ClockSpan stopped) {
  std::smatch match;
  ASSERT_TRUE(std::regex_match(output, match, std::regex(kStartedLine + kStoppingLine)))
      << Visible(output);
  const std::vector<std::string> groups(match.begin(), match.end());
  ExpectStampWithin(groups, 1, started);
  ExpectStampWithin(groups, 4, stopped);
}

std::string SignalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGQUIT: return "SIGQUIT";
    default: return "signal" + std::to_string(sig);
  }
}

// Tests that stop the core with a signal. ThreadSanitizer hands a signal to
// the program only once the receiving thread enters a call it knows to
// block, and may hold it back for good: the core then never stops. These
// tests therefore run in every build but the thread-sanitized one.
class StoppedBySignal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer can withhold the stop signal";
  }
};

// --- Usage ------------------------------------------------------------------

class CoreUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

// Usage goes to stderr, names the program as it was invoked, and the core
// does not start.
TEST_P(CoreUsage, PrintsVersionAndUsageToStderrAndExitsZero) {
  for (const std::string& argv0 : {std::string(DEVOVOR_EXE), std::string("renamed/devovor")}) {
    SCOPED_TRACE("argv[0] = " + argv0);
    std::vector<std::string> argv{argv0};
    argv.insert(argv.end(), GetParam().begin(), GetParam().end());
    ChildProcess child(Options(argv));
    ASSERT_EQ(child.StartError(), "");
    EXPECT_EQ(child.WaitForExit(kTimeout), ExitStatus::Exited(0));
    EXPECT_EQ(child.Output(Stream::kStderr),
              "core version 21.09.7.0\nUsage: " + argv0 + " <pipe>\n");
    EXPECT_EQ(child.Output(Stream::kStdout), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    HelpOptions, CoreUsage,
    ::testing::Values(std::vector<std::string>{"-h"}, std::vector<std::string>{"-hx"},
                      std::vector<std::string>{"-help"}, std::vector<std::string>{"-v", "-h"},
                      std::vector<std::string>{"--help"}),
    [](const auto& info) {
      std::string name;
      for (const std::string& arg : info.param) {
        name += (name.empty() ? "" : "_") + (arg[1] == '-' ? "long_" + arg.substr(2) : arg.substr(1));
      }
      return name;
    });

// --- Running on a terminal until a signal -----------------------------------

// Sends the signals while the child is held stopped, so all are pending
// before it handles the first, however the test process is scheduled.
::testing::AssertionResult SendTogether(ChildProcess& child, const std::vector<int>& signals) {
  if (!child.Pause(kTimeout)) return ::testing::AssertionFailure() << "the child did not stop";
  for (const int sig : signals) {
    if (!child.Signal(sig)) return ::testing::AssertionFailure() << "no " << SignalName(sig);
  }
  if (!child.Resume()) return ::testing::AssertionFailure() << "cannot resume the child";
  return ::testing::AssertionSuccess();
}

// Starts the core with stdout on a terminal, waits for its start line (the
// core prints it only once its signal handlers are in place), sends
// `signals` together, and checks a normal exit and the whole output.
void RunOnTerminalUntil(const std::vector<std::string>& argv, const std::vector<int>& signals) {
  const int spawned = UtcSecondsOfDay();
  ChildProcess child(Options(argv, Stdout::kTerminal));
  ASSERT_EQ(child.StartError(), "");
  ASSERT_TRUE(child.WaitFor(Stream::kStdout, std::regex(kStartedLine), kTimeout))
      << "stdout: " << Visible(child.Output(Stream::kStdout))
      << "\nstderr: " << child.Output(Stream::kStderr);
  const int signalled = UtcSecondsOfDay();
  ASSERT_TRUE(SendTogether(child, signals));
  EXPECT_EQ(child.WaitForExit(kTimeout), ExitStatus::Exited(0));
  ExpectStartedThenStopped(child.Output(Stream::kStdout), {spawned, signalled},
                           {signalled, UtcSecondsOfDay()});
  EXPECT_EQ(child.Output(Stream::kStderr), "");
}

class CoreStopsOnSignal : public StoppedBySignal, public ::testing::WithParamInterface<int> {};

TEST_P(CoreStopsOnSignal, PrintsStartAndStopLinesAndExitsZero) {
  RunOnTerminalUntil({DEVOVOR_EXE}, {GetParam()});
}

INSTANTIATE_TEST_SUITE_P(Signals, CoreStopsOnSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const auto& info) { return SignalName(info.param); });

// An option other than help is ignored: the core runs as without it.
using CoreOptions = StoppedBySignal;

TEST_F(CoreOptions, UnknownOptionIsIgnored) { RunOnTerminalUntil({DEVOVOR_EXE, "-v"}, {SIGINT}); }

// A second signal right behind the first is absorbed: the stop completes
// and the exit is still a normal one. The two signals differ so the kernel
// cannot merge them into one pending signal, and both are sent while the
// child is held stopped, so the second certainly lands during the stop.
class CoreSecondSignal : public StoppedBySignal,
                         public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(CoreSecondSignal, DoesNotInterruptTheStop) {
  RunOnTerminalUntil({DEVOVOR_EXE}, {GetParam().first, GetParam().second});
}

INSTANTIATE_TEST_SUITE_P(SignalPairs, CoreSecondSignal,
                         ::testing::Values(std::make_pair(SIGINT, SIGTERM),
                                           std::make_pair(SIGTERM, SIGQUIT),
                                           std::make_pair(SIGQUIT, SIGINT)),
                         [](const auto& info) {
                           return SignalName(info.param.first) + "_and_" +
                                  SignalName(info.param.second);
                         });

// --- The stop signals after a stop ------------------------------------------

// A stop signal that lands on any thread after a clean stop must not end
// the process. So once the core handles the stop signals, their
// disposition never returns to the default action, not even for the
// instant between two changes: strace records every change the core makes.
class StopSignalDisposition : public StoppedBySignal {
 protected:
  void SetUp() override {
    StoppedBySignal::SetUp();
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "LeakSanitizer cannot check a process that strace traces";
#endif
    if (dvtest::NeedsEmulator(DEVOVOR_EXE)) GTEST_SKIP() << "qemu-user emulates the core's signal dispositions and keeps its own "
                      "handlers in the kernel, so strace cannot see the core's changes";
  }
};

// The handlers set for SIGINT, SIGTERM and SIGQUIT, in order, from a trace.
std::map<std::string, std::vector<std::string>> DispositionChanges(const std::string& trace) {
  static const std::regex change(R"(rt_sigaction\((SIGINT|SIGTERM|SIGQUIT), \{sa_handler=([^,]+),)");
  std::map<std::string, std::vector<std::string>> changes;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_search(line, match, change)) changes[match[1]].push_back(match[2]);
  }
  return changes;
}

TEST_F(StopSignalDisposition, NeverReturnsToTheDefaultActionOnceHandled) {
  const std::string trace = WorkDir() + "/sigaction.trace";
  ChildOptions options = Options({"strace", "-f", "-qq", "-e", "trace=rt_sigaction", "-e",
                                  "signal=none", "-o", trace, DEVOVOR_EXE},
                                 Stdout::kTerminal);
  options.path = "/usr/bin/strace";
  ChildProcess tracer(options);
  ASSERT_EQ(tracer.StartError(), "");
  ASSERT_TRUE(tracer.WaitFor(Stream::kStdout, std::regex(kStartedLine), kTimeout))
      << Visible(tracer.Output(Stream::kStdout)) << tracer.Output(Stream::kStderr);
  pid_t core = 0;
  const std::string pid = std::to_string(tracer.Pid());
  std::ifstream("/proc/" + pid + "/task/" + pid + "/children") >> core;
  ASSERT_GT(core, 0);
  ASSERT_EQ(kill(core, SIGTERM), 0);
  EXPECT_EQ(tracer.WaitForExit(kTimeout), ExitStatus::Exited(0));
  auto changes = DispositionChanges(trace);
  for (const char* name : {"SIGINT", "SIGTERM", "SIGQUIT"}) {
    const std::vector<std::string>& handlers = changes[name];
    std::string shown;
    for (const std::string& handler : handlers) shown += " " + handler;
    const auto handled = std::find_if(handlers.begin(), handlers.end(), [](const std::string& h) {
      return h != "SIG_DFL" && h != "SIG_IGN";
    });
    ASSERT_NE(handled, handlers.end()) << name << ":" << shown;
    EXPECT_EQ(std::find(handled, handlers.end(), "SIG_DFL"), handlers.end()) << name << ":" << shown;
    EXPECT_EQ(handlers.back(), "SIG_IGN") << name << ":" << shown;
  }
}

// --- Running with stdout on a pipe ------------------------------------------

// Nothing reaches a non-terminal stdout, from start to stop. There is no
// start line to wait for, so readiness is the installed SIGTERM handler.
using CoreOutput = StoppedBySignal;

TEST_F(CoreOutput, PrintsNothingWhenStdoutIsNotATerminal) {
  const std::string report = WorkDir() + "/core.xml";
  if (dvtest::NeedsEmulator(DEVOVOR_EXE)) std::ofstream(report) << "<Orvel/>";
  ChildProcess child(Options({DEVOVOR_EXE}));
  ASSERT_EQ(child.StartError(), "");
  if (child.Emulated()) {
    // The emulator's own handlers hide the core's: the status report, which
    // the core writes once started, is the sign of readiness instead.
    ASSERT_TRUE(dvtest::WaitForFileContaining(report, "<Modules", dvtest::Scaled(kTimeout)));
  } else {
    ASSERT_TRUE(child.WaitUntilCatching(SIGTERM, kTimeout)) << child.Output(Stream::kStderr);
  }
  ASSERT_TRUE(child.Signal(SIGTERM));
  EXPECT_EQ(child.WaitForExit(kTimeout), ExitStatus::Exited(0));
  EXPECT_EQ(child.Output(Stream::kStdout), "");
  EXPECT_EQ(child.Output(Stream::kStderr), "");
}

// --- A test that gives up leaves no core behind ------------------------------

bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string skip, state;
  return !(stat >> skip >> skip >> state) || state == "Z";
}

// A shell starts the core in the background and exits at once: when the
// test's handle on the shell goes away, the core it left goes too.
TEST(CoreLeftBehind, DiesWithTheHandleOfTheProcessThatStartedIt) {
  pid_t core = 0;
  {
    ChildOptions options = Options({"/bin/sh", "-c", dvtest::ShellCommandFor(DEVOVOR_EXE) +
                                                         " </dev/null >/dev/null 2>&1 & echo $!"});
    options.path = "/bin/sh";
    ChildProcess shell(options);
    const auto pid = shell.WaitFor(Stream::kStdout, std::regex("([0-9]+)\n"), kTimeout);
    ASSERT_TRUE(pid.has_value()) << shell.Output(Stream::kStderr);
    core = std::stoi(pid->at(1));
    ASSERT_EQ(shell.WaitForExit(kTimeout), ExitStatus::Exited(0));
    ASSERT_FALSE(Gone(core));
  }
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!Gone(core) && std::chrono::steady_clock::now() < deadline) usleep(10'000);
  EXPECT_TRUE(Gone(core));
}

// --- The executable's own path cannot be resolved ---------------------------

std::string TempPath(const char* pattern) {
  return (std::filesystem::temp_directory_path() / pattern).string();
}

// The child removes its own working directory before exec, so the core
// cannot read its current directory.
TEST(CoreCanonicalPath, FailsWhenWorkingDirectoryIsRemoved) {
  std::string dir = TempPath("devovor-cwd-XXXXXX");
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  ChildOptions options = Options({DEVOVOR_EXE});
  options.workDir = dir;
  options.removeWorkDir = true;
  ChildProcess child(options);
  ASSERT_EQ(child.StartError(), "");
  EXPECT_EQ(child.WaitForExit(kTimeout), ExitStatus::Exited(1));
  EXPECT_EQ(child.Output(Stream::kStderr), "failed to find canonical path\n");
  EXPECT_EQ(child.Output(Stream::kStdout), "");
  EXPECT_FALSE(std::filesystem::exists(dir));
  std::filesystem::remove(dir);
}

}  // namespace
