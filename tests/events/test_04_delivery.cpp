// The delivery loop: order, records, match keys, configuration updates,
// kept blocks, reports.
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "events/routing_fixture.h"

namespace dv::test {
namespace {

TEST_F(Routing, EveryPluginGetsEveryEventInOrderWithItsBytesIntact) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  Add(FakePlugin<2>(0x00030000));
  _EventParmsIn first = Event(0x00010000, 0x2, 0x00abcdef);
  first.level = -7;
  first.producerWord = 0xfeedface;
  first.keyFrame = 9;
  for (size_t i = 0; i < sizeof first.passThrough0; ++i) first.passThrough0[i] = uint8_t(i + 1);
  first.passThrough1[0] = 0x51;
  first.passThrough1[1] = 0x52;
  for (size_t i = 0; i < sizeof first.passThrough2; ++i) first.passThrough2[i] = uint8_t(200 - i);
  const std::string payload = "first payload";
  EXPECT_EQ(RaiseWith(first, payload), DV_RESULT_OK);
  EXPECT_EQ(Raise(Event(0x00010000, 0x2)), DV_RESULT_OK);
  Drain();

  for (int slot = 0; slot < 3; ++slot) {
    Recorder& r = RecorderFor(slot);
    ASSERT_EQ(r.writes.size(), 2u) << slot;
    const _WriteParmsIn& w = r.writes[0].in;
    EXPECT_EQ(w.size, sizeof(_WriteParmsIn));
    EXPECT_EQ(w.version, 1u);
    EXPECT_EQ(w.reserved, 0u);
    EXPECT_EQ(w.reserved12, 0u);
    EXPECT_EQ(w.len, payload.size());
    EXPECT_NE(w.data, payload.data());  // the core's own copy
    EXPECT_EQ(r.writes[0].payload, payload);
    EXPECT_EQ(w.providerID, 0x00010000u);
    EXPECT_EQ(w.context, nullptr);
    EXPECT_EQ(w.eventType, 0x2u);
    EXPECT_EQ(w.flags, 0x00abcdefu);
    EXPECT_EQ(w.level, -7);
    EXPECT_EQ(w.producerWord, 0xfeedfaceu);
    EXPECT_EQ(w.keyFrame, 9);
    EXPECT_EQ(std::memcmp(w.passThrough0, first.passThrough0, sizeof w.passThrough0), 0);
    EXPECT_EQ(std::memcmp(w.passThrough1, first.passThrough1, sizeof w.passThrough1), 0);
    EXPECT_EQ(std::memcmp(w.passThrough2, first.passThrough2, sizeof w.passThrough2), 0);
    EXPECT_EQ(r.writes[1].in.data, nullptr);
    EXPECT_EQ(r.writes[1].in.len, 0u);
  }
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
}

// Flags bit 24 moves up to bit 25 for delivery and down to bit 23 for read
// requests; the low 24 bits match as they are.
TEST_F(Routing, DeliveryKeyMovesTheHighByteUp) {
  Add(FakePlugin<0>(0x00010000, 0x02000001));  // subscribes to the moved-up bit
  Add(FakePlugin<1>(0x00020000, 0x01800001));  // has bit 24 and bit 23, not 25
  Add(FakePlugin<2>(0x00030000, 0x02000000));  // lacks the low bit
  EXPECT_EQ(Raise(Event(0x00090000, 0x8, 0x01000001)), DV_RESULT_OK);
  Drain();
  EXPECT_EQ(RecorderFor(0).writes.size(), 1u);
  EXPECT_EQ(RecorderFor(1).writes.size(), 0u);
  EXPECT_EQ(RecorderFor(2).writes.size(), 0u);
}

TEST_F(Routing, APluginMatchesThroughAnyOneOfTheEventsClasses) {
  auto plugin = FakePlugin<0>(0x00010000, 0);
  plugin->loadResults.eventMasks[8] = 0x00000f00;  // class 0x400 only
  Add(plugin);
  EXPECT_EQ(Raise(Event(0x00090000, 0x400 | 0x1, 0x00000300)), DV_RESULT_OK);  // matches class 8
  EXPECT_EQ(Raise(Event(0x00090000, 0x1, 0x00000300)), DV_RESULT_OK);          // class 0: mask 0
  EXPECT_EQ(Raise(Event(0x00090000, 0x400, 0x00001000)), DV_RESULT_OK);        // bit outside
  Drain();
  ASSERT_EQ(RecorderFor(0).writes.size(), 1u);
  EXPECT_EQ(RecorderFor(0).writes[0].in.eventType, 0x401u);
}

// A plugin put in front of the list (as 0x60000 is) comes first for every
// class, on the one-class path and the several-class path alike.
TEST_F(Routing, APluginPutInFrontGetsEveryClassFirst) {
  Add(FakePlugin<0>(0x00010000));
  Peer(core).plugins().PushFront(FakePlugin<1>(0x00060000));
  std::vector<int> order;
  RecorderFor(0).onWrite = [&](const _WriteParmsIn&) { order.push_back(0); };
  RecorderFor(1).onWrite = [&](const _WriteParmsIn&) { order.push_back(1); };
  for (uint32_t type : {0x2u, 0x400u, 0x2u | 0x4u}) Raise(Event(0x00090000, type));
  Drain();
  EXPECT_EQ(order, (std::vector<int>{1, 0, 1, 0, 1, 0}));
}

TEST_F(Routing, PluginsWithoutDeliveryOptionGetNoWrites) {
  Add(FakePlugin<0>(0x00010000, 0xffffffffu, /*delivers=*/false));
  EXPECT_EQ(Raise(Event(0x00090000, 0x2)), DV_RESULT_OK);
  Drain();
  EXPECT_TRUE(RecorderFor(0).writes.empty());
}

TEST_F(Routing, ConfigurationUpdateReachesEveryOtherPluginThroughIoctl) {
  Add(FakePlugin<0>(0x00010000));                // the raiser, subscribed to class 0x2
  Add(FakePlugin<1>(0x00020000, 0x0, false));    // masks and delivery do not matter
  Add(FakePlugin<2>(0x00030000));
  const std::string xml = "<Orvel><Delta/></Orvel>";
  EXPECT_EQ(RaiseWith(Event(0x00010000, 0x100 | 0x2, 0x1), xml), DV_RESULT_OK);
  Drain();

  EXPECT_TRUE(RecorderFor(0).configs.empty());
  EXPECT_EQ(RecorderFor(0).writes.size(), 1u);  // its own update, as a class 0x2 event
  for (int slot : {1, 2}) {
    Recorder& r = RecorderFor(slot);
    ASSERT_EQ(r.configs.size(), 1u) << slot;
    const _IoctlParmsIn& in = r.configs[0].in;
    EXPECT_EQ(in.size, sizeof(_IoctlParmsIn));
    EXPECT_EQ(in.request, 2u);
    EXPECT_EQ(in.blockSize, DV_IOCTL_IN_BLOCK);
    EXPECT_EQ(in.blockVersion, 1u);
    EXPECT_EQ(in.len, xml.size());
    EXPECT_EQ(r.configs[0].payload, xml);
  }
  EXPECT_TRUE(RecorderFor(2).writes.empty());  // the update path takes precedence
  EXPECT_EQ(Peer(core).io().poll(), 1u);  // the core applies it once, on its I/O thread
}

TEST_F(Routing, ConfigurationUpdateFromTheCoreGoesToAllThroughIoctlOnly) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  EXPECT_EQ(RaiseWith(Event(DV_CORE_ID, 0x100), "<Orvel/>"), DV_RESULT_OK);
  Drain();
  for (int slot : {0, 1}) {
    EXPECT_EQ(RecorderFor(slot).configs.size(), 1u);
    EXPECT_TRUE(RecorderFor(slot).writes.empty());
  }
}

TEST_F(Routing, AKeptBlockLivesUntilItsHolderReleasesIt) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  RecorderFor(0).keep = true;
  RecorderFor(1).keep = true;
  EXPECT_EQ(RaiseWith(Event(0x00090000, 0x2), std::string(1000, 'k')), DV_RESULT_OK);
  Drain();
  void* block = RecorderFor(0).writes.at(0).in.data;
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 1u);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).bytes, 1000u);

  auto release = [&](uint32_t holder) {
    std::thread([&, holder] {
      _EventParmsIn in = Event(holder, DV_EVENT_RELEASE);
      in.data = block;
      Raise(in);
    }).join();
  };
  release(0x00010000);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 1u);
  release(0x00010000);  // twice: no change
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 1u);
  release(0x00020000);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).bytes, 0u);
  release(0x00020000);  // a block that is gone is never freed again
}

// A plugin that gives the block back inside its own Write and then says
// keep does not hold it: the block goes when delivery ends.
TEST_F(Routing, AReleaseInsideWriteEndsThatWritesHold) {
  Add(FakePlugin<0>(0x00010000));
  RecorderFor(0).keep = true;
  RecorderFor(0).onWrite = [this](const _WriteParmsIn& in) {
    _EventParmsIn release = Event(0x00010000, DV_EVENT_RELEASE);
    release.data = in.data;
    std::thread([&] { Raise(release); }).join();  // from another thread, during the call
  };
  EXPECT_EQ(RaiseWith(Event(0x00090000, 0x2), "given back"), DV_RESULT_OK);
  Drain();
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
}

// Only the delivery loop ends the core's own hold: a release that claims
// the core's ID cannot free a block while plugins still read it.
TEST_F(Routing, AReleaseClaimingTheCoresIdCannotFreeABlockInDelivery) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  RecorderFor(0).onWrite = [this](const _WriteParmsIn& in) {
    _EventParmsIn release = Event(DV_CORE_ID, DV_EVENT_RELEASE);
    release.data = in.data;
    Raise(release);
  };
  EXPECT_EQ(RaiseWith(Event(0x00090000, 0x2), "still here"), DV_RESULT_OK);
  Drain();
  ASSERT_EQ(RecorderFor(1).writes.size(), 1u);
  EXPECT_EQ(RecorderFor(1).writes[0].payload, "still here");
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
}

TEST_F(Routing, ReleasingAnUnknownPointerFreesNothing) {
  char notTheCores[16];
  _EventParmsIn in = Event(0x00010000, DV_EVENT_RELEASE);
  in.data = notTheCores;
  Raise(in);
  in.data = nullptr;
  Raise(in);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
}

TEST_F(Routing, AStopRequestDrainsWhatIsQueued) {
  Add(FakePlugin<0>(0x00010000));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Raise(Event(0x00090000, 0x2)), DV_RESULT_OK);
  core.RequestStop();
  EXPECT_EQ(Raise(Event(0x00090000, 0x2)), DV_RESULT_REFUSED);
  Peer(core).router().RunEventLoop();
  EXPECT_EQ(RecorderFor(0).writes.size(), 3u);
}

TEST_F(Routing, FailedWritesAreLoggedAndDeliveryGoesOn) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  Peer(core).logLevel().Set(0, 0);
  RecorderFor(0).writeResult = -3;
  RecorderFor(0).writeError = 17;
  EXPECT_EQ(Raise(Event(0x00090000, 0x40)), DV_RESULT_OK);
  Drain();
  EXPECT_EQ(RecorderFor(1).writes.size(), 1u);
  EXPECT_NE(platform.ConsoleText().find("core  \x1b[0m plugin p0.so write returned -3 error 17\n"),
            std::string::npos)
      << platform.ConsoleText();
}

// A timed Write's clock starts when the Write does, not when the loop last
// read it: the untimed log event's 7 ms before it are not its own.
TEST_F(Routing, SlowWritesAreReportedExceptForLogEvents) {
  Add(FakePlugin<0>(0x00010000));
  Peer(core).logLevel().Set(0, 0);
  RecorderFor(0).onWrite = [&](const _WriteParmsIn&) { platform.steadyNs += 7'000'000; };
  EXPECT_EQ(Raise(Event(0x00050000, 0x40)), DV_RESULT_OK);  // a log event: never timed
  EXPECT_EQ(RaiseWith(Event(0x00050000, 0x2), std::string(1234, 'x')), DV_RESULT_OK);
  Drain();
  const std::string text = platform.ConsoleText();
  EXPECT_NE(text.find("core write took 7ms, providerID 50000, eventType: 2, len: 1,234 -> p0.so\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("eventType: 64"), std::string::npos);
}

TEST_F(Routing, WritesJustUnderSixMillisecondsAreNotReported) {
  Add(FakePlugin<0>(0x00010000));
  Peer(core).logLevel().Set(0, 0);
  RecorderFor(0).onWrite = [&](const _WriteParmsIn&) { platform.steadyNs += 5'999'999; };
  EXPECT_EQ(Raise(Event(0x00050000, 0x2)), DV_RESULT_OK);
  Drain();
  EXPECT_EQ(platform.ConsoleText().find("core write took"), std::string::npos);
}

TEST_F(Routing, QueueReportComesOnceAMinuteWhenAnEventIsTaken) {
  Add(FakePlugin<0>(0x00010000));
  Peer(core).logLevel().Set(0, 0);
  RecorderFor(0).keep = true;  // keeps blocks so they show in refblks
  int writes = 0;
  RecorderFor(0).onWrite = [&](const _WriteParmsIn&) {
    if (++writes == 1) platform.steadyNs += 60'000'000'000;
  };
  Peer(core).throttling() = true;
  for (int i = 0; i < 3; ++i) {
    _EventParmsIn frame = Event(0x00070000, 0x1, DV_FLAG_VIDEO);
    EXPECT_EQ(Raise(frame), DV_RESULT_THROTTLED);
  }
  Peer(core).throttling() = false;
  const std::string big(1'234'567, 'b');
  for (int i = 0; i < 3; ++i) EXPECT_EQ(RaiseWith(Event(0x00090000, 0x2), big), DV_RESULT_OK);
  Drain();
  const std::string text = platform.ConsoleText();
  const std::string expected =
      "core event queue size: 1, throttledvideoframes:3, events:2, refblks: 2 (2,469,134 bytes)";
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  EXPECT_EQ(text.find("core event queue size", text.find(expected) + 1), std::string::npos);
  // Blocks the plugin kept are still held at the end, then reported as leaked.
}

TEST(HeavyTraffic, StartsAtFiftyThousandEventsASecondAndEndsUnderTwentyFiveThousand) {
  constexpr int64_t kWindow = 100'000'000;  // 100 ms: events / 10 = events a second / 1000
  EXPECT_FALSE(TrafficIsHeavy(false, 4'999, kWindow));
  EXPECT_TRUE(TrafficIsHeavy(false, 5'000, kWindow));
  EXPECT_TRUE(TrafficIsHeavy(true, 2'500, kWindow));
  EXPECT_FALSE(TrafficIsHeavy(true, 2'499, kWindow));
  EXPECT_FALSE(TrafficIsHeavy(true, 2'500, 10 * kWindow)) << "a long quiet spell ends it";
  // 2^32 events in a window must not wrap into a small rate.
  EXPECT_TRUE(TrafficIsHeavy(false, uint64_t(1) << 32, kWindow));
}

// Each case in a thread of its own: the first call notes the thread's policy.
TEST(BatchScheduling, AnOrdinaryThreadSwitchesKeepingItsNiceAndAnyOtherIsLeftAlone) {
  const Platform real;
  const auto inThread = [](auto body) { std::thread(body).join(); };
  inThread([&] {
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 3), 0);  // this thread only, on Linux
    real.SetBatchScheduling(true);
    EXPECT_EQ(sched_getscheduler(0), SCHED_BATCH);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 3);
    real.SetBatchScheduling(false);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
  });
  inThread([&] {
    const sched_param zero{};
    ASSERT_EQ(sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &zero), 0);
    real.SetBatchScheduling(true);
    EXPECT_EQ(sched_getscheduler(0), SCHED_BATCH | SCHED_RESET_ON_FORK);
  });
  for (const int chosen : {SCHED_IDLE, SCHED_BATCH}) {
    inThread([&] {
      const sched_param zero{};
      ASSERT_EQ(sched_setscheduler(0, chosen, &zero), 0);
      real.SetBatchScheduling(true);
      real.SetBatchScheduling(false);
      EXPECT_EQ(sched_getscheduler(0), chosen) << "an integrator's policy was changed";
    });
  }
}

// A policy given to the thread after the first calls, between spells or
// during one, is read at the next switch and stands.
TEST(BatchScheduling, APolicySetAfterTheFirstCallsStands) {
  const Platform real;
  const sched_param fifo{1};
  const bool realTime = [&] {  // SCHED_FIFO needs CAP_SYS_NICE or an RLIMIT_RTPRIO
    int allowed = -1;
    std::thread([&] { allowed = sched_setscheduler(0, SCHED_FIFO, &fifo); }).join();
    return allowed == 0;
  }();
  for (const int chosen : {SCHED_IDLE, SCHED_FIFO}) {
    if (chosen == SCHED_FIFO && !realTime) continue;
    const sched_param priority{chosen == SCHED_FIFO ? 1 : 0};
    for (const bool duringSpell : {false, true}) {
      std::thread([&] {
        real.SetBatchScheduling(true);
        if (!duringSpell) real.SetBatchScheduling(false);
        ASSERT_EQ(sched_setscheduler(0, chosen, &priority), 0);
        real.SetBatchScheduling(false);
        EXPECT_EQ(sched_getscheduler(0), chosen) << "undone: policy " << chosen << (duringSpell ? ", set in a spell" : "");
        real.SetBatchScheduling(true);
        EXPECT_EQ(sched_getscheduler(0), chosen) << "replaced: policy " << chosen << (duringSpell ? ", set in a spell" : "");
        real.SetBatchScheduling(false);
        EXPECT_EQ(sched_getscheduler(0), chosen) << "undone: policy " << chosen << (duringSpell ? ", set in a spell" : "");
      }).join();
    }
  }
}

// While events come fast the loop sleeps behind the threads that raise them
// (the batch policy around each sleep, never around plugin code); once the
// rate falls, it sleeps as an ordinary thread again.
TEST_F(Routing, UnderHeavyTrafficTheLoopSleepsBehindTheRaisersAndStopsWhenItCalms) {
  Add(FakePlugin<0>(0x00010000));
  std::atomic<int> delivered{0};
  RecorderFor(0).onWrite = [&](const _WriteParmsIn&) {
    EXPECT_TRUE(platform.BatchCalls().size() % 2 == 0) << "plugin code ran as a batch thread";
    delivered.fetch_add(1);
  };
  std::thread loop([&] { Peer(core).router().RunEventLoop(); });
  const auto waitFor = [&](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
  };
  // 100,000 events a second on the core's clock, over two windows: bursts
  // of 10 every 100 us, each delivered before the clock moves on.
  for (int burst = 1; burst <= 2'000; ++burst) {
    platform.steadyNs += 100'000;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Raise(Event(0x00090000, 0x2)), DV_RESULT_OK);
    waitFor([&] { return delivered.load() == burst * 10; });
  }
  // Everything delivered, the loop goes to sleep behind the raisers.
  EXPECT_TRUE(waitFor([&] {
    return delivered.load() == 20'000 && platform.BatchCalls().size() % 2 == 1;
  })) << delivered.load() << " delivered, " << platform.BatchCalls().size() << " calls";
  std::vector<bool> calls = platform.BatchCalls();
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], i % 2 == 0) << "call " << i;
  // One event a second: it wakes the loop, whose next window is quiet.
  for (int i = 0; i < 3; ++i) {
    platform.steadyNs += 1'000'000'000;
    EXPECT_EQ(Raise(Event(0x00090000, 0x2)), DV_RESULT_OK);
    EXPECT_TRUE(waitFor([&] { return delivered.load() == 20'001 + i; }));
  }
  core.RequestStop();
  loop.join();
  calls.push_back(false);
  EXPECT_EQ(platform.BatchCalls(), calls) << "awake once more, then an ordinary sleeper";
}

TEST(RoutingLeaks, BlocksNeverReleasedAreReportedWhenTheCoreGoes) {
  FakePlatform platform;
  auto core = std::make_unique<devovor>("/nonexistent/devovor", platform);
  core->Initialize(-1);
  Peer(*core).logLevel().Set(0, 0);
  ResetRecorders();
  RecorderFor(0).keep = true;
  RecorderFor(1).keep = true;
  Peer(*core).plugins().Append(FakePlugin<0>(0x00060000));
  Peer(*core).plugins().Append(FakePlugin<1>(0x00470000));
  _EventParmsIn in = Event(0x00090000, 0x2);
  char payload[8] = "leaked";
  in.data = payload;
  in.len = sizeof payload;
  _EventParmsOut out = {12, 1, 0};
  PluginEventCallback(&in, &out);
  core->RequestStop();
  Peer(*core).router().RunEventLoop();
  void* block = RecorderFor(0).writes.at(0).in.data;

  core.reset();
  char expected[128];
  // The report's own line end is the entry's: it is not printed twice.
  std::snprintf(expected, sizeof expected, "address %p leaked by plugins [60000,470000]\n", block);
  EXPECT_NE(platform.ConsoleText().find(expected), std::string::npos) << platform.ConsoleText();
  std::free(block);  // the core never frees what plugins still hold
}

TEST(FormatCount, GroupsThousands) {
  EXPECT_EQ(FormatCount(0), "0");
  EXPECT_EQ(FormatCount(999), "999");
  EXPECT_EQ(FormatCount(1234567), "1,234,567");
  EXPECT_EQ(FormatCount(4294967295u), "4,294,967,295");
  EXPECT_EQ(FormatSignedCount(-1234), "-1,234");
}

}  // namespace
}  // namespace dv::test
