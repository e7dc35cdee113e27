// Loss of the parent in the real executable: the core lingers a full
// minute before it closes its plugins. Slow: labelled "slow".
#include <gtest/gtest.h>

#include <chrono>

#include "ipc/parent_fixture.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Loss of the parent: both messages, a later block refused and freed, and
// the plugins closed a full minute after the loop ended.
TEST(ParentLoss, LingersAMinuteBeforeClosing) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  folder.Install("a.so", "id=0x10000\nsend_on_open=1");
  Parent parent(folder);
  parent.CloseEnd();
  ASSERT_TRUE(parent.WaitForOutput("sleeping for one minute to allow active watchdogs to expire..."));
  const auto lost = Clock::now();
  const std::string console = parent.core->Output(Stream::kStdout);
  EXPECT_NE(console.find("\x1b[31m"), std::string::npos);
  EXPECT_NE(console.find("core  \x1b[0m vantord ipc pipe disconnected\r\n"), std::string::npos);
  ASSERT_TRUE(folder.WaitForCall("a", "Sent n=0 len=16 result=1", 15s));
  ASSERT_TRUE(folder.WaitForCall("a", "Close", 75s));
  const auto waited = Clock::now() - lost;
  EXPECT_GE(waited, 59s);
  EXPECT_LT(waited, 65s);
  EXPECT_EQ(parent.core->WaitForExit(20s), ExitStatus::Exited(0));
}

}  // namespace
}  // namespace dvtest
