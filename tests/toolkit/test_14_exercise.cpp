// devovor-inspect --exercise in a real core: the example plugins keep every
// contract, and a plugin that breaks them is caught with the right findings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
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
                                        "close_ms=800\nwarn=broken: about to misbehave\n";
  auto run = StartExercise((dir / "broken.so").string(), "1.5");
  EXPECT_EQ(run->WaitForExit(Scaled(std::chrono::seconds(60))), ExitStatus::Exited(1));
  const std::string out = run->Output(Stream::kStdout);
  for (const char* finding :
       {"payload block(s) kept and never released (the core's leak report: address 0x",
        "its worker, reader or a Read did not return within 5 s of its Close",
        "failed call: write returned 0 error 7", "Close took 8",
        "its own message at level 50-74: broken: about to misbehave\n"}) {
    EXPECT_NE(out.find(finding), std::string::npos) << finding << "\n" << out;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace dvtest
