// devovor-inspect --exercise in a real core: the example plugins keep every
// contract, and a plugin that breaks them is caught with the right findings.
// The plugin template passes the same checks from an installation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<ChildProcess> StartExercise(const std::string& plugin, const char* seconds) {
  ChildOptions options;
  options.argv = {INSPECT_EXE, "--exercise", plugin, "--seconds", seconds};
  if (!Emulator().empty()) options.argv.insert(options.argv.end(), {"--emulator", Emulator().front()});
  auto child = std::make_unique<ChildProcess>(options);
  EXPECT_EQ(child->StartError(), "");
  return child;
}

TEST(Exercise, TheExamplePluginsKeepEveryContract) {
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (const char* plugin : {CAMERA_SIM_SO, RECORDER_SO, LOGFILE_SO, BRIDGE_SO}) {
    runs.push_back(StartExercise(plugin, "1.5"));
  }
  for (auto& run : runs) {
    EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(40))), ExitStatus::Exited(0));
    const std::string out = run->Output(Stream::kStdout);
    EXPECT_NE(out.find("no broken contract"), std::string::npos) << out;
  }
}

TEST(Exercise, ABrokenPluginFailsWithEachBrokenContract) {
  const fs::path dir = fs::temp_directory_path() / ("dv-broken-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::copy_file(BROKEN_PLUGIN_SO, dir / "broken.so", fs::copy_options::overwrite_existing);
  std::ofstream(dir / "broken.conf") << "keep=1\nwrite_error=7\nworker_after_close_ms=6500\n"
                                        "close_ms=800\nwrite_ms=1200\nwarn=broken: about to misbehave\n";
  auto run = StartExercise((dir / "broken.so").string(), "1.5");
  EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(60))), ExitStatus::Exited(1));
  const std::string out = run->Output(Stream::kStdout);
  for (const char* finding :
       {"payload block(s) kept and never released (the core's leak report: address 0x",
        "its worker, reader or a Read did not return within 5 s of its Close",
        "failed call: write returned 0 error 7", "Close took 8",
        "Write blocked the delivery of every event for 1",
        "its own message at level 50-74: broken: about to misbehave\n"}) {
    EXPECT_NE(out.find(finding), std::string::npos) << finding << "\n" << out;
  }
  fs::remove_all(dir);
}

// Each mistake, from a copy of the test plugin made for it, with what to do
// about it in the finding's exact words; a thread's ID, the one part that
// varies, reads "<tid>".
TEST(Exercise, NamesEachMistakeAndWhatToDoAboutIt) {
  struct Case {
    const char* plugin;
    const char* conf;
    std::string findings;  // the output from the count of broken contracts on
  } const cases[] = {
      {TEST_PLUGIN_NOWRITE_NOIOCTL_SO, "mask0=0xffffffff\ndelivery=1\n",
       "1 broken contract:\n"
       "  1. it subscribes to events (eventMasks of video 0x001) but does not export Write: the "
       "core never delivers an event to it; export Write, or leave the masks and deliveryOption "
       "0\n1 note:\n"
       "  2. parent-sim sent it a parent request (target 0x00100000), which the core dropped "
       "without a message: it does not export IOCTL; to take requests from the parent, export "
       "IOCTL and handle DV_IOCTL_PARENT_REQUEST\n"},
      {TEST_PLUGIN_SO, "thread_after_close=1\nload_version=3\n",
       "2 broken contracts:\n"
       "  1. Load changed the header of its output record to size 68, version 3 (the core wrote "
       "68, 2): the core ignores both today, but a future core may refuse the plugin or misread "
       "the record; set neither size nor version of _LoadParmsOut, leave them as the core wrote "
       "them\n"
       "  2. 1 thread(s) still running after its Close and Unload, its library released under "
       "them: <tid> (tp-stray); stop the threads it starts in Close, and join them "
       "(pthread_join) before Unload returns\n"},
      {TEST_PLUGIN_NOLOAD_SO, "",
       "1 broken contract:\n"
       "  1. the core refuses it: Core: Failed to load plugin: mistake2.so (missing symbol); the "
       "missing symbol is Load, the one entry point the core requires: define int32_t "
       "Load(void* in, void* out) with DV_EXPORT, which exports it under its plain name (a C++ "
       "compiler would otherwise mangle it)\n"},
  };
  const fs::path dir = fs::temp_directory_path() / ("dv-mistakes-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const fs::path plugin = dir / ("mistake" + std::to_string(i) + ".so");
    fs::copy_file(cases[i].plugin, plugin, fs::copy_options::overwrite_existing);
    std::ofstream(fs::path(plugin).replace_extension(".conf")) << cases[i].conf;
    runs.push_back(StartExercise(plugin.string(), "1"));
  }
  static const std::regex kTid(R"(\d+ \(tp-stray\))");
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(runs[i]->WaitForExit(Scaled(std::chrono::seconds(40))), ExitStatus::Exited(1));
    const std::string out =
        std::regex_replace(runs[i]->Output(Stream::kStdout), kTid, "<tid> (tp-stray)");
    const size_t at = out.find(" broken contract");
    EXPECT_EQ(out.substr(at == std::string::npos ? 0 : at - 1), cases[i].findings) << out;
  }
  fs::remove_all(dir);
}

// Run as root, the exercise starts the core as on the appliance: as root,
// under a parent-sim of nobody, whose account it takes, keeping only the
// narrow capabilities a core started as root keeps.
TEST(Exercise, RunAsRootTheCoreStartsAsRootUnderANobodyParentAndTakesItsAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  if (!Emulator().empty()) GTEST_SKIP() << "the emulator ignores the core's set-user-ID bit";
  const fs::path dir = fs::temp_directory_path() / ("dv-as-root-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  fs::copy_file(TEST_PLUGIN_SO, dir / "probe.so", fs::copy_options::overwrite_existing);
  // The spawned shell's parent is the core; the core's parent is parent-sim.
  std::ofstream(dir / "probe.conf")
      << "masks=0xffffffff\ndelivery=1\nspawn_on_write=cd " << dir.string()
      << " && grep -E '^(Uid|CapEff)' /proc/$PPID/status > core.txt && "
         "grep ^Uid /proc/$(awk '/^PPid/{print $2}' /proc/$PPID/status)/status > parent.txt\n";
  auto run = StartExercise((dir / "probe.so").string(), "1");
  EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(40))), ExitStatus::Exited(0));
  EXPECT_NE(run->Output(Stream::kStdout).find("devovor-inspect: running as nobody"),
            std::string::npos);
  std::stringstream core, parent;
  core << std::ifstream(dir / "core.txt").rdbuf();
  parent << std::ifstream(dir / "parent.txt").rdbuf();
  EXPECT_EQ(core.str(), "Uid:\t65534\t65534\t65534\t65534\nCapEff:\t0000000000003000\n");
  EXPECT_EQ(parent.str(), "Uid:\t65534\t65534\t65534\t65534\n");
  fs::remove_all(dir);
}

// Run as root, the exercise's set-user-ID core sits where only root can
// write, and loads nothing from work/, which the account owns.
class ExerciseAsRoot : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    if (!Emulator().empty()) GTEST_SKIP() << "the emulator ignores the core's set-user-ID bit";
    dir_ = fs::temp_directory_path() / ("dv-exercise-root-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "tmp");  // the exercise's folder of temporaries
    fs::permissions(dir_, fs::perms(0755));
    fs::permissions(dir_ / "tmp", fs::perms(0755));
    fs::copy_file(TEST_PLUGIN_SO, dir_ / "probe.so");
    fs::permissions(dir_ / "probe.so", fs::perms(0644));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // --exercise of probe.so, its folder in tmp/.
  std::unique_ptr<ChildProcess> Start(const char* seconds) {
    ChildOptions options;
    options.argv = {"/usr/bin/env", "TMPDIR=" + (dir_ / "tmp").string(),
                    "DV_IMPOSTOR_MARKER=" + (dir_ / "marker").string(),
                    INSPECT_EXE, "--exercise", (dir_ / "probe.so").string(), "--seconds", seconds};
    auto child = std::make_unique<ChildProcess>(options);
    EXPECT_EQ(child->StartError(), "");
    return child;
  }

  // Set-user-ID or set-group-ID files left under tmp/.
  std::vector<std::string> SetIdFilesLeft() const {
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / "tmp")) {
      struct stat st;
      if (lstat(entry.path().c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID)) != 0) {
        left.push_back(entry.path().string());
      }
    }
    return left;
  }

  fs::path dir_;
};

// The plugin's Load runs (in the inspection, as the account) before the
// core starts: it puts a library named like one of the core's own into
// work/, the core's current folder. The set-user-ID core must not load it.
TEST_F(ExerciseAsRoot, APluginsLibraryInTheCoresWorkingFolderRunsNoCodeAsRoot) {
  std::ofstream(dir_ / "probe.conf")
      << "run_in_load=cp " << IMPOSTOR_SO << " \"$1/../work/\"\n";
  auto run = Start("1");
  EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(40))), ExitStatus::Exited(0))
      << run->Output(Stream::kStdout);
  std::stringstream marker;
  marker << std::ifstream(dir_ / "marker").rdbuf();
  EXPECT_EQ(marker.str().find("euid 0\n"), std::string::npos) << marker.str();
}

// A settings file that links to a root-only file is neither followed nor
// copied: the run is refused before anything is loaded.
TEST_F(ExerciseAsRoot, RefusesASettingsFileThatIsASymbolicLink) {
  std::ofstream(dir_ / "secret") << "root only\n";
  fs::permissions(dir_ / "secret", fs::perms(0600));
  fs::create_symlink(dir_ / "secret", dir_ / "probe.conf");
  auto run = Start("1");
  EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(40))), ExitStatus::Exited(2));
  const std::string out = run->Output(Stream::kStdout);
  EXPECT_NE(out.find("devovor-inspect: cannot lay out the core's folder: cannot open " +
                     (dir_ / "probe.conf").string() + " (a symbolic link is refused)"),
            std::string::npos)
      << out;
  EXPECT_TRUE(SetIdFilesLeft().empty());
}

// Stopped by SIGINT while the core runs, the exercise leaves no
// set-user-ID file behind.
TEST_F(ExerciseAsRoot, ASigintMidRunLeavesNoSetUserIdFile) {
  std::ofstream(dir_ / "probe.conf") << "masks=0xffffffff\ndelivery=1\n";
  auto run = Start("60");
  fs::path report;
  for (int i = 0; i < 400 && report.empty(); ++i) {
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp")) report = entry.path() / "work/driver-steps.txt";
    if (report.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(report.empty());
  ASSERT_TRUE(WaitForFileContaining(report.string(), "first ", Scaled(std::chrono::milliseconds(20000))));
  ASSERT_FALSE(SetIdFilesLeft().empty()) << "the run holds a set-user-ID core";
  EXPECT_EQ(run->SignalAndWaitForExit(SIGINT, Scaled(std::chrono::milliseconds(20000))),
            ExitStatus::Signaled(SIGINT));
  EXPECT_EQ(SetIdFilesLeft(), std::vector<std::string>());
}

int Shell(const std::string& command) {
  return std::system((command + " > /dev/null 2>&1").c_str());
}

std::string OutputOf(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// The template, copied out of an installation of everything, builds against
// the installed SDK and passes its own tests: devovor-inspect and
// --exercise from the same installation. Cross-built, it builds for the
// appliance with the SDK's toolchain file, and the armhf devovor-inspect
// passes it under qemu-arm as the plugin guide says; its own tests run
// under the toolchain's emulator.
TEST(Template, BuildsAgainstTheInstalledSdkAndPassesItsOwnTests) {
  const fs::path work = fs::temp_directory_path() / ("dv-template-" + std::to_string(getpid()));
  fs::remove_all(work);
  const std::string prefix = (work / "prefix").string();
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --install " + BINARY_DIR + " --prefix " + prefix), 0);
  const fs::path copy = work / "my-plugin";
  fs::copy(prefix + "/share/devovor/plugin-template", copy);
  const std::string build = (copy / "build").string();
  std::string configure = std::string(CMAKE_COMMAND) + " -S " + copy.string() + " -B " + build +
                          " -DCMAKE_PREFIX_PATH=" + prefix;
  if (!Emulator().empty()) {
    configure += " -DCMAKE_TOOLCHAIN_FILE=" + prefix + "/share/devovor/toolchain-armhf.cmake";
  }
  ASSERT_EQ(Shell(configure), 0);
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --build " + build), 0);
  if (!Emulator().empty()) {
    const std::string inspect = OutputOf(Emulator().front() + " -L /usr/arm-linux-gnueabihf " + prefix +
                                         "/bin/devovor-inspect " + build + "/my_plugin.so");
    EXPECT_NE(inspect.find("the core loads it"), std::string::npos) << inspect;
  }
  const std::string tests = OutputOf(std::string(CTEST_COMMAND) + " --test-dir " + build + " 2>&1");
  EXPECT_NE(tests.find("100% tests passed, 0 tests failed out of 2"), std::string::npos) << tests;
  fs::remove_all(work);
}

}  // namespace
}  // namespace dvtest
