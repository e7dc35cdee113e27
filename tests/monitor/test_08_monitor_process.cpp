// The monitor in the real executable: a plugin that grows the process past
// its memory limit gets its video refused, subscribers hear about it, and
// frames flow again after the memory is freed and a key frame comes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "plugins/plugin_fixture.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;

size_t IndexOf(const std::vector<std::string>& lines, const std::string& prefix, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].rfind(prefix, 0) == 0) return i;
  }
  return lines.size();
}

TEST(MonitorProcess, GrowingPastTheLimitThrottlesVideoUntilTheMemoryIsFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitizers keep freed memory in quarantine and add shadow memory of
  // their own: resident figures mean something else there.
  GTEST_SKIP() << "resident memory is not comparable under a sanitizer";
#endif
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  // 220 MiB from Open; a frame every 100 ms, key frames at 0 and 60 only;
  // the memory goes at frame 40.
  folder.Install("cam.so",
                 "id=0x10000\nworker=1\nalloc_mb=220\nvideo_frames=80\nkey_every=60\n"
                 "free_at_frame=40\n");
  folder.Install("sub.so", "id=0x20000\nmask2=0xffffffff\ndelivery=1");
  auto core = StartCore(folder);
  ASSERT_TRUE(folder.WaitForCall("cam", "Frame n=79 key=0 result=0", 30s))
      << core->Output(Stream::kStdout);
  const std::string console = StopCore(*core);

  EXPECT_NE(console.find("core  \x1b[0m available system memory is low, throttling video\r\n"),
            std::string::npos)
      << console;
  const auto cam = folder.CallsOf("cam");
  const size_t throttled = IndexOf(cam, "Frame n=");
  const size_t firstRefused = std::find_if(cam.begin(), cam.end(), [](const std::string& line) {
                                return line.rfind("Frame", 0) == 0 &&
                                       line.find("result=5") != std::string::npos;
                              }) - cam.begin();
  ASSERT_LT(firstRefused, cam.size()) << "no frame was refused for memory";
  EXPECT_GE(firstRefused, throttled);
  const size_t freed = IndexOf(cam, "Freed");
  ASSERT_LT(freed, cam.size());
  // After the memory went: refused (5, then 3 without a key frame) until
  // frame 60, the key frame, which is accepted with everything after it.
  const size_t key = IndexOf(cam, "Frame n=60 key=1");
  ASSERT_LT(key, cam.size());
  EXPECT_EQ(cam[key], "Frame n=60 key=1 result=0");
  EXPECT_EQ(cam[key - 1], "Frame n=59 key=0 result=3");
  for (size_t i = key; i < cam.size(); ++i) {
    if (cam[i].rfind("Frame", 0) == 0) {
      EXPECT_NE(cam[i].find("result=0"), std::string::npos) << cam[i];
    }
  }
  // The subscriber heard of the low-memory state (the all-clear is a
  // minute away).
  const auto sub = folder.CallsOf("sub");
  EXPECT_NE(std::find_if(sub.begin(), sub.end(),
                         [](const std::string& line) {
                           return line.rfind("Write type=0x4", 0) == 0 &&
                                  line.find("Throttling=\"1\"") != std::string::npos;
                         }),
            sub.end());
}

}  // namespace
}  // namespace dvtest
