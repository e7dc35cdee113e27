// The console writer: line formats, colours by level, tags, UTC time, the
// system-log rule, and texts that are not NUL-terminated.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/console.h"
#include "support/fake_platform.h"

namespace {

using dv::test::FakePlatform;

class Console : public ::testing::Test {
 protected:
  Console() : writer(names, platform) {
    names.Insert(0x80000000u, "core");
    names.Insert(0x00050000u, "videosink");  // nine characters
  }
  void Write(uint32_t id, uint32_t level, const char* text) {
    writer.Write(id, level, text, static_cast<uint32_t>(std::strlen(text) + 1));
  }

  FakePlatform platform;  // wall clock: 22:13:20 UTC
  dv::NameRegistry names;
  dv::ConsoleWriter writer;
};

TEST_F(Console, ColourOfTheTimeStampFollowsTheLevel) {
  const struct {
    uint32_t level;
    int colour;
  } cases[] = {{0, 5}, {24, 5}, {25, 2}, {49, 2}, {50, 3}, {74, 3}, {75, 1}, {99, 1}, {100, 1}};
  std::string expected;
  for (const auto& c : cases) {
    Write(0x80000000u, c.level, "text");
    expected += "\x1b[3" + std::to_string(c.colour) + "m22:13:20\x1b[36m core  \x1b[0m text\n";
  }
  EXPECT_EQ(platform.ConsoleText(), expected);
}

TEST_F(Console, LevelAbove100PrintsPlainAndStaysOutOfTheSystemLog) {
  Write(0x80000000u, 101, "loud");
  Write(0x80000000u, static_cast<uint32_t>(-1), "negative");
  EXPECT_EQ(platform.ConsoleText(), "22:13:20 core   loud\n22:13:20 core   negative\n");
  EXPECT_TRUE(platform.SyslogLines().empty());
}

TEST_F(Console, TagIsTheRegisteredNameInSixColumnsOrAQuestionMark) {
  Write(0x00050000u, 25, "a");
  Write(0x00070000u, 25, "b");
  EXPECT_EQ(platform.ConsoleText(),
            "\x1b[32m22:13:20\x1b[36m videos\x1b[0m a\n"
            "\x1b[32m22:13:20\x1b[36m ?     \x1b[0m b\n");
}

TEST_F(Console, TimeIsUtcWithTwoDigitsEach) {
  platform.wallSeconds = 1'700'000'000 - 22 * 3600 - 13 * 60 - 20 + 3 * 3600 + 4 * 60 + 5;
  Write(0x80000000u, 25, "early");
  EXPECT_EQ(platform.ConsoleText(), "\x1b[32m03:04:05\x1b[36m core  \x1b[0m early\n");
}

// 2^31 + 3600 s: an hour after a 32-bit time_t ends (2038-01-19 03:14:08
// UTC). Cut to 32 bits anywhere on the way it would read 21:45:52 (1901).
TEST_F(Console, TimeStampsStayRightAfter2038) {
  platform.wallSeconds = (int64_t(1) << 31) + 3600;
  Write(0x80000000u, 25, "later");
  EXPECT_EQ(platform.ConsoleText(), "\x1b[32m04:14:08\x1b[36m core  \x1b[0m later\n");
}

TEST_F(Console, OnlyLevel100ReachesTheSystemLog) {
  for (uint32_t level : {0u, 75u, 99u, 100u, 101u}) Write(0x80000000u, level, "msg");
  EXPECT_EQ(platform.SyslogLines(), std::vector<std::string>{"msg"});
}

TEST_F(Console, SystemLogStillGetsLevel100WhenNothingIsPrinted) {
  platform.terminal = false;
  Write(0x80000000u, 100, "off terminal");
  dv::NameRegistry otherNames;
  FakePlatform background;
  dv::ConsoleWriter backgroundWriter(otherNames, background);
  backgroundWriter.SetBackground(true);
  backgroundWriter.Write(0x80000000u, 100, "in background", 14);
  backgroundWriter.Write(0x80000000u, 25, "in background", 14);

  EXPECT_EQ(platform.ConsoleText(), "");
  EXPECT_EQ(background.ConsoleText(), "");
  EXPECT_EQ(platform.SyslogLines(), std::vector<std::string>{"off terminal"});
  EXPECT_EQ(background.SyslogLines(), std::vector<std::string>{"in background"});
}

// A plugin's text is bounded by its event's length, terminated or not.
TEST_F(Console, TextIsReadNoFurtherThanItsLength) {
  const char unterminated[] = {'a', 'b', 'c', 'd'};
  writer.Write(0x80000000u, 25, unterminated, 3);
  writer.Write(0x80000000u, 100, unterminated, 2);
  writer.Write(0x80000000u, 25, "xy\0zz", 5);
  writer.Write(0x80000000u, 25, nullptr, 5);
  EXPECT_EQ(platform.ConsoleText(),
            "\x1b[32m22:13:20\x1b[36m core  \x1b[0m abc\n"
            "\x1b[31m22:13:20\x1b[36m core  \x1b[0m ab\n"
            "\x1b[32m22:13:20\x1b[36m core  \x1b[0m xy\n");
  EXPECT_EQ(platform.SyslogLines(), std::vector<std::string>{"ab"});
}

TEST_F(Console, TerminalIsTestedOnceEvenFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 50; ++i) Write(0x80000000u, 25, "line");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(platform.terminalTests.load(), 1);
  // Every line arrived whole.
  const std::string text = platform.ConsoleText();
  const std::string line = "\x1b[32m22:13:20\x1b[36m core  \x1b[0m line\n";
  size_t count = 0;
  for (size_t at = 0; at < text.size(); at += line.size()) {
    ASSERT_EQ(text.compare(at, line.size(), line), 0) << "at " << at;
    ++count;
  }
  EXPECT_EQ(count, 400u);
}

}  // namespace
