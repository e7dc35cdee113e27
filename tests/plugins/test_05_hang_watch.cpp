// A call of the main thread into a plugin that has not returned after 5 s
// is named while it hangs (with the event, for a Write, and the queue's
// length), and again once it returns; a shorter one is not. Real cores,
// real plugins, a console on a pseudo-terminal. Slow: each case waits out
// a blocked call.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "plugins/plugin_fixture.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;

// camera.so raises one 17-byte event of type 0x2, which slow.so takes;
// noise.so raises two that only wait in the queue (their flag is outside
// every mask of slow.so).
void InstallRecorder(PluginFolder& folder, const std::string& slowness) {
  folder.Install("camera.so", "id=0x10000\nraise_on_open=1\nraise_payload=frame-of-camera-7");
  folder.Install("noise.so", "id=0x30000\nraise_on_open=2\nraise_type=0x4\nraise_flags=0x1");
  folder.Install("slow.so", "id=0x20000\nmask1=0xffffffff\ndelivery=1\n" + slowness);
}

const std::regex kWriteHang(
    "plugin slow\\.so has been in Write of event type 0x2 from provider 0x10000 length 17 "
    "for [0-9]+ ms, ([0-9]+) events wait in the queue\r\n");
const std::regex kWriteReturned("plugin slow\\.so returned from Write after [0-9]+ ms\r\n");

TEST(HangWatch, AWriteBlockedForSevenSecondsIsNamedWhileItHangsAndWhenItReturns) {
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  InstallRecorder(folder, "sleep_in_write_ms=7000");
  auto core = StartCore(folder);
  ASSERT_TRUE(folder.WaitForCall("slow", "Write type=0x2 provider=0x10000 len=17 keep=0 "
                                         "data=frame-of-camera-7", 10s))
      << ::testing::PrintToString(folder.CallsOf("slow"));
  // The call began at most a moment ago: the line is due 5 s after it.
  const auto hang = core->WaitFor(Stream::kStdout, kWriteHang, 6s);
  ASSERT_TRUE(hang) << core->Output(Stream::kStdout);
  EXPECT_GE(std::stoi((*hang)[1]), 2);  // noise.so's two, at least
  EXPECT_TRUE(core->WaitFor(Stream::kStdout, kWriteReturned, 10s))
      << core->Output(Stream::kStdout);
  StopCore(*core);
}

TEST(HangWatch, AWriteOfFourSecondsIsNotNamed) {
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  InstallRecorder(folder, "sleep_in_write_ms=4000");
  auto core = StartCore(folder);
  ASSERT_TRUE(folder.WaitForCall("slow", "Write type=0x2 provider=0x10000 len=17 keep=0 "
                                         "data=frame-of-camera-7", 10s));
  const std::string console = StopCore(*core);  // the loop ends after the Write
  EXPECT_EQ(console.find("has been in"), std::string::npos) << console;
  EXPECT_EQ(console.find("returned from"), std::string::npos) << console;
}

TEST(HangWatch, AnOpenBlockedForSevenSecondsIsNamedWhileItHangsAndWhenItReturns) {
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  folder.Install("camera.so", "id=0x10000\nraise_on_open=1");
  folder.Install("slow.so", "id=0x20000\nsleep_in_open_ms=7000");
  ChildOptions options;
  options.argv = {folder.exe().string()};
  options.workDir = folder.root().string();
  options.stdoutMode = Stdout::kTerminal;
  ChildProcess core(options);
  ASSERT_EQ(core.StartError(), "");
  ASSERT_TRUE(folder.WaitForCall("slow", "Open", 10s));
  const std::regex hang(
      "plugin slow\\.so has been in Open for [0-9]+ ms, ([0-9]+) events wait in the queue\r\n");
  const auto line = core.WaitFor(Stream::kStdout, hang, 6s);
  ASSERT_TRUE(line) << core.Output(Stream::kStdout);
  EXPECT_GE(std::stoi((*line)[1]), 1);  // camera.so's event, at least
  EXPECT_TRUE(core.WaitFor(Stream::kStdout,
                           std::regex("plugin slow\\.so returned from Open after [0-9]+ ms\r\n"),
                           10s))
      << core.Output(Stream::kStdout);
  StopCore(core);
}

}  // namespace
}  // namespace dvtest
