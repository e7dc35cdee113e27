// The log functions against an event sink that records what it is given
// and answers log-level queries with a chosen threshold.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log/log.h"

namespace {

struct Raised {
  _EventParmsIn record;
  std::string text;  // the first len-1 bytes of data
  bool terminated;   // data[len-1] == '\0'
};

struct SinkState {
  int threshold = 25;
  bool answerQueries = true;
  int queries = 0;
  std::vector<Raised> messages;
} g_sink;

int32_t RecordingSink(_EventParmsIn* in, _EventParmsOut* out) {
  if (in->eventType == DV_EVENT_LOG && in->flags == DV_FLAG_LOG_QUERY) {
    ++g_sink.queries;
    EXPECT_EQ(in->size, sizeof(_EventParmsIn));
    EXPECT_EQ(in->len, 0u);
    EXPECT_EQ(in->data, nullptr);
    EXPECT_EQ(out->result, 0);
    if (g_sink.answerQueries) out->result = g_sink.threshold;
    return 0;
  }
  const char* data = static_cast<const char*>(in->data);
  g_sink.messages.push_back(
      {*in, std::string(data, in->len - 1), data[in->len - 1] == '\0'});
  return 0;
}

class LogFunctions : public ::testing::Test {
 protected:
  void SetUp() override { g_sink = SinkState(); }
};

TEST_F(LogFunctions, PassingMessageIsRaisedAsALogEvent) {
  dv::LogMessage(0x80000000u, RecordingSink, 25, "started %s %d", "core", 7);
  ASSERT_EQ(g_sink.messages.size(), 1u);
  const _EventParmsIn& r = g_sink.messages[0].record;
  EXPECT_EQ(r.size, sizeof(_EventParmsIn));  // 184 on the appliance
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(g_sink.messages[0].text, "started core 7");
  EXPECT_TRUE(g_sink.messages[0].terminated);
  EXPECT_EQ(r.len, 15u);
  EXPECT_EQ(r.providerID, 0x80000000u);
  EXPECT_EQ(r.eventType, 0x40u);
  EXPECT_EQ(r.flags, 0x1000002u);
  EXPECT_EQ(r.level, 25);
  EXPECT_EQ(r.context, nullptr);
  EXPECT_EQ(r.keyFrame, 0);
  for (unsigned char b : r.passThrough2) ASSERT_EQ(b, 0);
}

TEST_F(LogFunctions, SuppressedMessageIsOneQueryAndNothingElse) {
  g_sink.threshold = 50;
  dv::LogMessage(0x80000000u, RecordingSink, 49, "detail");
  EXPECT_EQ(g_sink.queries, 1);
  EXPECT_TRUE(g_sink.messages.empty());
}

// A suppressed message must not be formatted: its argument points into a
// page that faults on any read.
TEST_F(LogFunctions, SuppressedMessageIsNotFormatted) {
  const long page = sysconf(_SC_PAGESIZE);
  void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(guard, MAP_FAILED);
  g_sink.threshold = 100;
  dv::LogMessage(0x80000000u, RecordingSink, 0, "%s", static_cast<const char*>(guard));
  EXPECT_TRUE(g_sink.messages.empty());
  munmap(guard, page);
}

TEST_F(LogFunctions, LongTextIsCutTo511Characters) {
  const std::string long600(600, 'x');
  dv::LogMessage(0x80000000u, RecordingSink, 25, "%s", long600.c_str());
  ASSERT_EQ(g_sink.messages.size(), 1u);
  EXPECT_EQ(g_sink.messages[0].record.len, 512u);
  EXPECT_EQ(g_sink.messages[0].text, std::string(511, 'x'));
  EXPECT_TRUE(g_sink.messages[0].terminated);

  g_sink.messages.clear();
  const std::string exact(511, 'y');
  dv::LogMessage(0x80000000u, RecordingSink, 25, "%s", exact.c_str());
  ASSERT_EQ(g_sink.messages.size(), 1u);
  EXPECT_EQ(g_sink.messages[0].record.len, 512u);
}

TEST_F(LogFunctions, EmptyTextsAndNullSinkRaiseNothing) {
  dv::LogMessage(0x80000000u, RecordingSink, 25, "%s", "");
  const char* empty = "";
  dv::LogMessage(0x80000000u, RecordingSink, 25, empty, 0);
  EXPECT_TRUE(g_sink.messages.empty());
  dv::LogMessage(0x80000000u, nullptr, 100, "nobody hears this");
  EXPECT_EQ(g_sink.queries, 2);
}

TEST_F(LogFunctions, ThresholdRules) {
  g_sink.threshold = -1;
  EXPECT_EQ(dv::QueryLogLevel(0x00050000u, RecordingSink), -1);
  for (int level : {-5, 0, 1, 100, 101}) {
    EXPECT_TRUE(dv::IsLogLevelEnabled(0x00050000u, RecordingSink, level)) << level;
  }
  g_sink.threshold = 0;
  EXPECT_FALSE(dv::IsLogLevelEnabled(0x00050000u, RecordingSink, -1));
  EXPECT_TRUE(dv::IsLogLevelEnabled(0x00050000u, RecordingSink, 0));
  g_sink.threshold = 100;
  EXPECT_FALSE(dv::IsLogLevelEnabled(0x00050000u, RecordingSink, 99));
  EXPECT_TRUE(dv::IsLogLevelEnabled(0x00050000u, RecordingSink, 100));
}

// A sink that leaves a query unanswered leaves 0, so level 0 and up pass.
TEST_F(LogFunctions, UnansweredQueryLetsLevelZeroPass) {
  g_sink.answerQueries = false;
  dv::LogMessage(0x80000000u, RecordingSink, 0, "routine");
  dv::LogMessage(0x80000000u, RecordingSink, -1, "below zero");
  ASSERT_EQ(g_sink.messages.size(), 1u);
  EXPECT_EQ(g_sink.messages[0].text, "routine");
}

}  // namespace
