// Log events through the real event entry: PluginEventCallback into the one
// core object, filtered by the LogLevel table, printed, and queued or not.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "log/log.h"
#include "support/fake_platform.h"

namespace {

using dv::test::FakePlatform;

_EventParmsIn LogRecord(uint32_t provider, int level, const char* text) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.providerID = provider;
  in.eventType = DV_EVENT_LOG;
  in.flags = DV_FLAG_VIDEO | DV_FLAG_LOG_MESSAGE;
  in.level = level;
  in.data = const_cast<char*>(text);
  in.len = static_cast<uint32_t>(std::strlen(text) + 1);
  return in;
}

int32_t Raise(_EventParmsIn in) {
  _EventParmsOut out = {sizeof out, 1, 0};
  EXPECT_EQ(PluginEventCallback(&in, &out), 0);
  return out.result;
}

class LogEntry : public ::testing::Test {
 protected:
  LogEntry() : core("/nonexistent/devovor", platform) {
    EXPECT_TRUE(core.Initialize(-1));
    Peer(core).names().Insert(0x00050000u, "cam");
  }

  FakePlatform platform;
  devovor core;
};

TEST_F(LogEntry, CoreLevelZeroIsHiddenAndLevel25ShowsInGreen) {
  dv::LogMessage(0x80000000u, PluginEventCallback, 0, "routine");
  dv::LogMessage(0x80000000u, PluginEventCallback, 25, "started");
  EXPECT_EQ(platform.ConsoleText(), "\x1b[32m22:13:20\x1b[36m core  \x1b[0m started\n");
  EXPECT_EQ(Peer(core).queue().size(), 1u);
}

TEST_F(LogEntry, CoreLevelZeroShowsInMagentaOnceTheThresholdIsZero) {
  Peer(core).logLevel().Set(0, 0);
  dv::LogMessage(0x80000000u, PluginEventCallback, 0, "routine");
  EXPECT_EQ(platform.ConsoleText(), "\x1b[35m22:13:20\x1b[36m core  \x1b[0m routine\n");
}

TEST_F(LogEntry, KindWithoutThresholdPrintsEverythingButQueuesLevelZeroNot) {
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 0, "zero")), 0);
  EXPECT_EQ(Peer(core).queue().size(), 0u);
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 1, "one")), 0);
  EXPECT_EQ(Peer(core).queue().size(), 1u);
  EXPECT_EQ(platform.ConsoleText(),
            "\x1b[35m22:13:20\x1b[36m cam   \x1b[0m zero\n"
            "\x1b[35m22:13:20\x1b[36m cam   \x1b[0m one\n");
}

TEST_F(LogEntry, MessageBelowThresholdGoesNowhereAndResultStaysZero) {
  Peer(core).logLevel().Set(5, 25);
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 0, "quiet")), 0);
  EXPECT_EQ(platform.ConsoleText(), "");
  EXPECT_EQ(Peer(core).queue().size(), 0u);
}

TEST_F(LogEntry, Level101FromAKindWithoutThresholdIsPlainAndNotInTheSystemLog) {
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 101, "very loud")), 0);
  EXPECT_EQ(platform.ConsoleText(), "22:13:20 cam    very loud\n");
  EXPECT_TRUE(platform.SyslogLines().empty());
}

// Control bytes could forge console lines and system-log entries: both
// show them as '?', inside the writer's own colours and line end; a
// newline continues the entry on an indented console line. Plugins get the
// text as it was raised.
TEST_F(LogEntry, ControlBytesPrintAsQuestionMarksButTheEventKeepsThem) {
  const std::string raised = "a\nb\rc\x1b[31md\te\x7f" "f\x01g\xc3\xa9";
  const std::string shown = "a?b?c?[31md\te?f?g\xc3\xa9";
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 100, raised.c_str())), 0);
  EXPECT_EQ(platform.ConsoleText(), "\x1b[31m22:13:20\x1b[36m cam   \x1b[0m a\n" +
                                        std::string(16, ' ') + shown.substr(2) + "\n");
  const _EventParmsIn* queued = Peer(core).queue().Take();
  ASSERT_NE(queued, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(queued->data), queued->len), raised + '\0');
  std::free(queued->data);  // taken here instead of by the delivery loop

  const std::string longLine(3000, '\n');
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 100, longLine.c_str())), 0);
  EXPECT_EQ(platform.SyslogLines(), (std::vector<std::string>{shown, std::string(3000, '?')}));
}

TEST_F(LogEntry, QueriesAnswerTheKindsThreshold) {
  EXPECT_EQ(dv::QueryLogLevel(0x80000000u, PluginEventCallback), 25);
  EXPECT_EQ(dv::QueryLogLevel(0x00050000u, PluginEventCallback), -1);
  Peer(core).logLevel().Set(5, 60);
  EXPECT_EQ(dv::QueryLogLevel(0x12050000u & 0x00ffffffu, PluginEventCallback), 60);
  EXPECT_EQ(Peer(core).queue().size(), 0u);
}

// Kind indexes beyond the table read the core's own threshold.
TEST_F(LogEntry, KindBeyondTheTableFollowsTheCoresThreshold) {
  EXPECT_EQ(dv::QueryLogLevel(0x0FFF0000u, PluginEventCallback), 25);
  EXPECT_EQ(dv::QueryLogLevel(0x00FF0000u, PluginEventCallback), 25);
  Peer(core).logLevel().Set(0, 70);
  EXPECT_EQ(dv::QueryLogLevel(0x0ABC0000u, PluginEventCallback), 70);
  Peer(core).logLevel().Set(0x0FFF, 10);  // no such entry: ignored
  EXPECT_EQ(dv::QueryLogLevel(0x0FFF0000u, PluginEventCallback), 70);
  EXPECT_EQ(Raise(LogRecord(0x0FFF0000u, 69, "dropped")), 0);
  EXPECT_EQ(platform.ConsoleText(), "");
}

TEST_F(LogEntry, AfterAStopRequestMessagesArePrintedButRefused) {
  core.RequestStop();
  EXPECT_EQ(Raise(LogRecord(0x00050000u, 30, "late")), DV_RESULT_REFUSED);
  EXPECT_EQ(platform.ConsoleText(), "\x1b[32m22:13:20\x1b[36m cam   \x1b[0m late\n");
  EXPECT_EQ(Peer(core).queue().size(), 0u);
}

TEST_F(LogEntry, ParentSendWithoutAChannelIsFreedAndRefused) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.eventType = DV_EVENT_PARENT_SEND;
  in.providerID = 0x00050000u;
  in.len = 32;
  in.data = std::malloc(32);  // the core owns and frees it (checked by ASan)
  EXPECT_EQ(Raise(in), DV_RESULT_REFUSED);
}

TEST(CoreConnection, CallbackWithoutACoreIsRefusedAndTouchesNothing) {
  {
    FakePlatform platform;
    devovor core("/nonexistent/devovor", platform);
  }
  _EventParmsIn in = LogRecord(0x80000000u, 100, "after the end");
  EXPECT_EQ(Raise(in), DV_RESULT_REFUSED);
  _EventParmsOut out = {12, 1, 0};
  EXPECT_EQ(PluginEventCallback(nullptr, &out), 0);
  EXPECT_EQ(out.result, DV_RESULT_REFUSED);
  EXPECT_EQ(PluginEventCallback(&in, nullptr), 0);
}

// A console that breaks once: the exception stops at the callback, the
// raiser gets -1, and the failure is reported at level 100.
class ConsoleBreaksOnce : public FakePlatform {
 public:
  FILE* ConsoleStream() const override {
    if (!broken_.exchange(true)) throw std::runtime_error("console broke");
    return FakePlatform::ConsoleStream();
  }

 private:
  mutable std::atomic<bool> broken_{false};
};

TEST(CoreConnection, ExceptionsStopAtTheCallback) {
  ConsoleBreaksOnce platform;
  devovor core("/nonexistent/devovor", platform);
  core.Initialize(-1);
  EXPECT_EQ(Raise(LogRecord(0x80000000u, 30, "boom")), DV_RESULT_NO_MEMORY);
  const std::string console = platform.ConsoleText();
  EXPECT_EQ(console.find("boom"), std::string::npos);
  EXPECT_NE(console.find("event entry failed: console broke"), std::string::npos) << console;
  EXPECT_EQ(platform.SyslogLines(),
            std::vector<std::string>{"event entry failed: console broke"});
}

// The system log as a death test's parent can read it: each critical
// message is also written to standard error.
class SystemLogOnStderr : public FakePlatform {
 public:
  void SystemLogCritical(const char* text, int length) const override {
    FakePlatform::SystemLogCritical(text, length);
    std::fprintf(stderr, "system log: %.*s\n", length, text);
  }
};

// The process still ends through std::terminate with the exception current
// (its note on standard error, SIGABRT), but the system log names it first.
TEST(CoreConnectionDeathTest, AnExceptionEndingTheIoThreadIsNamedInTheSystemLog) {
  EXPECT_EXIT(
      {
        SystemLogOnStderr platform;
        devovor core("/nonexistent/devovor", platform);
        boost::asio::post(Peer(core).io(), [] { throw std::runtime_error("the socket broke"); });
        std::thread io([&core] { Peer(core).RunIoThread(); });
        io.join();
      },
      ::testing::KilledBySignal(SIGABRT),
      "system log: the I/O thread ended on an exception, ending the core: the socket broke\n"
      ".*terminate called after throwing an instance of 'std::runtime_error'");
}

}  // namespace
