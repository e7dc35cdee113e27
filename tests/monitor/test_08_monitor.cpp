// The memory and clock monitor, tick by tick, with fake clocks and fake
// memory readings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "events/routing_fixture.h"

namespace dv::test {
namespace {

constexpr uint32_t kLimit = MemoryMonitor::kMemoryLimit;
constexpr int64_t kSecond = 1'000'000'000;

class Monitor : public Routing {
 protected:
  Monitor() {
    Add(FakePlugin<0>(0x00010000));  // subscribed to everything: gets every notification
    Peer(core).logLevel().Set(0, 0);       // the core's routine messages on
  }
  // One tick `seconds` of wall and steady time after the previous one.
  void TickAfter(int64_t seconds, uint32_t resident) {
    platform.wallSeconds += seconds;
    platform.steadyNs += seconds * kSecond;
    platform.residentBytes = resident;
    Peer(core).monitor().Tick({});
  }
  // The Throttling value of every Memory notification delivered so far.
  std::vector<std::string> Notifications() {
    Drain();
    std::vector<std::string> states;
    for (const Delivered& d : RecorderFor(0).writes) {
      if (d.in.eventType != DV_EVENT_STATUS) continue;
      const size_t at = d.payload.find("Throttling=\"");
      states.push_back(d.payload.substr(at + 12, 1));
    }
    return states;
  }
  size_t Count(const std::string& text) {
    const std::string console = platform.ConsoleText();
    size_t n = 0;
    for (size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(Monitor, FirstTickSetsTheLimitPublishesTheStateAndReportsAllUsageAsChange) {
  platform.steadyNs = 100 * kSecond;
  TickAfter(0, 150 * 1'048'576);
  EXPECT_EQ(Count("memory limit set to 199229440\n"), 1u);
  EXPECT_EQ(Count("memory usage changed 150MB (total usage: 150MB)\n"), 1u);
  TickAfter(1, 151 * 1'048'576);
  EXPECT_EQ(Count("memory limit set to"), 1u);
  EXPECT_EQ(Count("memory usage changed"), 1u);  // once a minute
  TickAfter(60, 140 * 1'048'576);
  EXPECT_EQ(Count("memory usage changed -10MB (total usage: 140MB)\n"), 1u);
  EXPECT_EQ(Notifications(), std::vector<std::string>{"0"});
}

TEST_F(Monitor, ExactlyTheLimitIsNotOver) {
  TickAfter(0, kLimit);
  EXPECT_FALSE(Peer(core).throttling());
  TickAfter(1, kLimit + 1);
  EXPECT_TRUE(Peer(core).throttling());
}

TEST_F(Monitor, OneReadingOverThrottlesForOneReadingAndClearsAMinuteLater) {
  TickAfter(0, 1000);
  TickAfter(1, kLimit + 1);
  EXPECT_TRUE(Peer(core).throttling());
  EXPECT_EQ(Count("available system memory is low, throttling video\n"), 1u);
  TickAfter(1, 1000);
  EXPECT_FALSE(Peer(core).throttling());  // follows the reading at once
  for (int s = 2; s < 60; ++s) TickAfter(1, 1000);
  EXPECT_EQ(Count("available system memory ok"), 0u);
  TickAfter(1, 1000);  // 60 s after the over-limit reading
  EXPECT_EQ(Count("available system memory ok, not throttling video\n"), 1u);
  TickAfter(1, 1000);
  EXPECT_EQ(Count("available system memory ok"), 1u);
  EXPECT_EQ(Notifications(), (std::vector<std::string>{"0", "1", "0"}));
}

TEST_F(Monitor, AlternatingReadingsStayThrottledWhileTheFlagFollowsEach) {
  TickAfter(0, 1000);
  for (int i = 0; i < 150; ++i) {
    const bool over = i % 2 == 0;
    TickAfter(1, over ? kLimit + 1 : 1000);
    ASSERT_EQ(Peer(core).throttling().load(), over) << i;
  }
  EXPECT_EQ(Count("available system memory is low"), 1u);
  EXPECT_EQ(Count("available system memory ok"), 0u);
  EXPECT_EQ(Notifications(), (std::vector<std::string>{"0", "1"}));
}

// Memory a burst freed stays resident until the heap hands it back: a
// reading over the limit does that first, at most once a second, and the
// decision takes the reading after it. The time the hand-back takes is not
// a jump of the system time.
TEST_F(Monitor, AReadingOverTheLimitHandsFreeMemoryBackAndDecidesOnTheNext) {
  TickAfter(0, 1000);
  platform.residentAfterRelease = kLimit;  // what the heap gives back is enough
  platform.releaseSeconds = 3;
  TickAfter(1, kLimit + 1);
  platform.releaseSeconds = 0;
  EXPECT_EQ(platform.releases, 1);
  EXPECT_FALSE(Peer(core).throttling());
  platform.residentAfterRelease = kLimit + 1;  // not enough
  TickAfter(1, kLimit + 1);
  EXPECT_EQ(platform.releases, 2);
  EXPECT_TRUE(Peer(core).throttling());
  platform.wallSeconds += 1;  // a new wall second, half a second later
  platform.steadyNs += kSecond / 2;
  Peer(core).monitor().Tick({});
  EXPECT_EQ(platform.releases, 2);
  TickAfter(1, 1000);  // under the limit: nothing to hand back
  EXPECT_EQ(platform.releases, 2);
  EXPECT_EQ(Count("available system memory is low"), 1u);
  EXPECT_EQ(Count("system time changed"), 0u);
}

// The hand-back's guards at their edges: a reading of exactly the limit
// hands nothing back; the first hand-back comes however early the steady
// clock reads, the next no sooner than 0.9 s after it, and then at once.
TEST_F(Monitor, FreeMemoryGoesBackOnlyOverTheLimitAndAtMostOncePerReleasePeriod) {
  constexpr int64_t kFirst = 1, kReleasePeriodNs = 900'000'000;
  auto tickAt = [&](int64_t steadyNs, uint32_t resident) {
    platform.wallSeconds += 1;
    platform.steadyNs = steadyNs;
    platform.residentBytes = resident;
    Peer(core).monitor().Tick({});
  };
  tickAt(kFirst, kLimit);
  EXPECT_EQ(platform.releases, 0);
  tickAt(kFirst, kLimit + 1);
  EXPECT_EQ(platform.releases, 1);
  tickAt(kFirst + kReleasePeriodNs - 1, kLimit + 1);
  EXPECT_EQ(platform.releases, 1);
  tickAt(kFirst + kReleasePeriodNs, kLimit + 1);
  EXPECT_EQ(platform.releases, 2);
}

TEST_F(Monitor, MemoryIsCheckedOncePerWallSecond) {
  TickAfter(0, 1000);
  platform.residentBytes = kLimit + 1;
  Peer(core).monitor().Tick({});  // same wall second: no reading
  EXPECT_FALSE(Peer(core).throttling());
  TickAfter(1, kLimit + 1);
  EXPECT_TRUE(Peer(core).throttling());
}

TEST_F(Monitor, WithThrottlingDisabledOnlyTheClockIsWatched) {
  Peer(core).throttlingEnabled() = false;
  TickAfter(0, kLimit + 100);
  TickAfter(5, kLimit + 100);
  EXPECT_FALSE(Peer(core).throttling());
  EXPECT_EQ(Count("system time changed by 5 seconds\n"), 1u);
  EXPECT_EQ(Count("memory usage"), 0u);
  EXPECT_TRUE(Notifications().empty());
}

TEST_F(Monitor, ClockJumpsOfMoreThanOneSecondAreLoggedWithTheirSign) {
  TickAfter(0, 1000);
  TickAfter(5, 1000);
  TickAfter(-3, 1000);
  TickAfter(1, 1000);
  TickAfter(-1, 1000);
  EXPECT_EQ(Count("system time changed by 5 seconds\n"), 1u);
  EXPECT_EQ(Count("system time changed by -3 seconds\n"), 1u);
  EXPECT_EQ(Count("system time changed by"), 2u);
}

// A 32-bit time_t ends after 2^31 - 1 s: the clock passing it steadily is
// no jump, and a jump across it has its true size.
TEST_F(Monitor, ClockJumpsAreMeasuredRightAcross2038) {
  platform.wallSeconds = (int64_t(1) << 31) - 2;
  TickAfter(0, 1000);
  for (int i = 0; i < 4; ++i) TickAfter(1, 1000);
  EXPECT_EQ(Count("system time changed"), 0u);
  TickAfter(-5, 1000);
  TickAfter(3600, 1000);
  EXPECT_EQ(Count("system time changed by -5 seconds\n"), 1u);
  EXPECT_EQ(Count("system time changed by 3600 seconds\n"), 1u);
  EXPECT_EQ(Count("system time changed"), 2u);
}

// The notification's Time is the low 32 bits of the wall clock as a signed
// number: an hour after 2038-01-19 03:14:07 UTC, 2^31 + 3600 - 2^32.
TEST_F(Monitor, TheMemoryNotificationCarriesTheTimeAfter2038) {
  platform.wallSeconds = (int64_t(1) << 31) + 3600;
  TickAfter(0, 1000);
  ASSERT_EQ(Notifications().size(), 1u);
  for (const Delivered& d : RecorderFor(0).writes) {
    if (d.in.eventType != DV_EVENT_STATUS) continue;
    EXPECT_NE(d.payload.find(" Time=\"-2147480048\""), std::string::npos) << d.payload;
  }
}

TEST_F(Monitor, ACancelledWaitEndsTheMonitor) {
  Peer(core).monitor().Tick(boost::asio::error::operation_aborted);
  EXPECT_EQ(Count("memory limit set to"), 0u);
}

// A tick that was already queued when the core stopped the monitor must
// neither report nor re-arm: the stop does not wait for the I/O thread.
TEST_F(Monitor, ATickAfterTheStopDoesNothing) {
  Peer(core).monitor().Stop();
  TickAfter(1, kLimit + 1);
  EXPECT_EQ(Count("memory limit set to"), 0u);
  EXPECT_FALSE(Peer(core).throttling());
}

// Once the stop has run its course on the I/O thread, no wait is left:
// the I/O context runs out of work, whether the wait was pending or its
// tick already due.
TEST(MonitorStop, LeavesNoWaitPending) {
  for (const auto firstExpiry : {std::chrono::hours(1), std::chrono::hours(0)}) {
    boost::asio::io_context io;
    boost::asio::steady_timer timer(io, firstExpiry);
    FakePlatform platform;
    std::atomic<bool> enabled{true}, throttling{false};
    MemoryMonitor monitor({[] { return int64_t(0); }, [] {}, {}}, timer, platform, enabled,
                          throttling);
    monitor.Begin();
    monitor.Stop();
    io.poll();
    EXPECT_TRUE(io.stopped()) << "first expiry in " << firstExpiry.count() << " h";
  }
}

TEST(ClockJump, HugeJumpsAreClampedToAnInt) {
  EXPECT_EQ(ClockJumpSeconds(int64_t(1) << 40, 1), INT_MAX);
  EXPECT_EQ(ClockJumpSeconds(1, int64_t(1) << 40), INT_MIN);
  EXPECT_EQ(ClockJumpSeconds(100, 97), 3);
}

}  // namespace
}  // namespace dv::test
