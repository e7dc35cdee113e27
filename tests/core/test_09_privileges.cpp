// Privileges for real: the core started as root by parents of different
// accounts, read back from /proc/<pid>/status. Needs root; skipped without.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>

#include "plugins/plugin_fixture.h"
#include "support/child_process.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;

std::map<std::string, std::string> Status(pid_t pid) {
  std::map<std::string, std::string> fields;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
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

}  // namespace
}  // namespace dvtest
