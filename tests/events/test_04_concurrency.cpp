// Many producers, one delivery loop: nothing lost, nothing freed twice,
// nothing left held. Run under ThreadSanitizer and AddressSanitizer too.
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "events/routing_fixture.h"

namespace dv::test {
namespace {

constexpr int kProducers = 4;
constexpr int kEventsEach = 2000;

TEST_F(Routing, ProducersOnManyThreadsLoseNothing) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  auto reader = FakePlugin<2>(0x00030000, 0xffffffffu, false);
  reader->loadResults.wantsReader = 1;
  Add(reader);
  // Plugin 1 keeps every block and gives it back from another thread.
  RecorderFor(1).keep = true;
  std::vector<void*> kept;
  std::mutex keptMu;
  RecorderFor(1).onWrite = [&](const _WriteParmsIn& in) {
    if (in.data == nullptr) return;
    std::lock_guard<std::mutex> lock(keptMu);
    kept.push_back(in.data);
  };
  std::atomic<bool> producing{true};
  std::thread releaser([&] {
    for (;;) {
      std::vector<void*> batch;
      const bool last = !producing.load();
      {
        std::lock_guard<std::mutex> lock(keptMu);
        batch.swap(kept);
      }
      for (void* block : batch) {
        _EventParmsIn release = Event(0x00020000, DV_EVENT_RELEASE);
        release.data = block;
        Raise(release);
      }
      if (last && batch.empty()) return;
      std::this_thread::yield();
    }
  });
  std::thread loop([this] { Peer(core).router().RunEventLoop(); });

  std::vector<std::thread> producers;
  std::atomic<int> accepted{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      const std::string payload(64 + p, char('a' + p));
      for (int i = 0; i < kEventsEach; ++i) {
        _EventParmsIn in = Event(0x00090000 + p, 0x2);
        in.producerWord = static_cast<uint32_t>(i);
        if (RaiseWith(in, payload) == DV_RESULT_OK) ++accepted;
        if (i % 100 == 0) RaiseWith(Event(0, 0x2), payload);  // a read request
      }
    });
  }
  for (auto& t : producers) t.join();
  core.RequestStop();
  loop.join();
  producing = false;
  releaser.join();

  EXPECT_EQ(accepted.load(), kProducers * kEventsEach);
  EXPECT_EQ(RecorderFor(0).writeCount(), size_t(kProducers * kEventsEach));
  EXPECT_EQ(RecorderFor(1).writeCount(), size_t(kProducers * kEventsEach));
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).bytes, 0u);
  // Per producer, events arrive in the order they were raised.
  std::vector<uint32_t> next(kProducers, 0);
  for (const Delivered& d : RecorderFor(0).writes) {
    uint32_t& expected = next[d.in.providerID - 0x00090000];
    ASSERT_EQ(d.in.producerWord, expected);
    ++expected;
  }
}

// Two producers and a reader answering a read request with replies (each
// admitted once the previous reply's block is freed) raise at once; every
// subscriber sees each source's events complete and in the order raised.
TEST_F(Routing, EverySubscriberSeesEachSourceInOrder) {
  constexpr uint32_t kReader = 0x00010000;
  constexpr int kReplies = 300;
  auto reader = FakeReader<0>(kReader);
  Add(reader);
  Add(FakePlugin<1>(0x00020000));
  Add(FakePlugin<2>(0x00030000));
  Add(FakePlugin<3>(0x00040000));
  std::promise<void> repliesDone;
  RecorderFor(0).onRead = [&](const _ReadParmsIn& read) {
    for (int i = 0; i < kReplies; ++i) {
      _EventParmsIn reply = Event(kReader, 0x2);
      reply.context = read.context;
      reply.producerWord = static_cast<uint32_t>(i);
      EXPECT_EQ(RaiseWith(reply, "reply"), DV_RESULT_OK);
    }
    repliesDone.set_value();
  };
  std::thread loop([this] { Peer(core).router().RunEventLoop(); });
  _EventParmsIn request = Event(0, 0x2);
  request.context = reinterpret_cast<void*>(0xc5);
  EXPECT_EQ(Raise(request), DV_RESULT_OK);
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < 2; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEventsEach; ++i) {
        _EventParmsIn in = Event(0x00090000 + p, 0x2);
        in.producerWord = static_cast<uint32_t>(i);
        EXPECT_EQ(RaiseWith(in, "event"), DV_RESULT_OK);
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_EQ(repliesDone.get_future().wait_for(std::chrono::seconds(20)),
            std::future_status::ready);
  core.RequestStop();
  loop.join();

  const std::map<uint32_t, uint32_t> expected = {
      {kReader, kReplies}, {0x00090000, kEventsEach}, {0x00090001, kEventsEach}};
  for (int slot = 1; slot <= 3; ++slot) {
    std::map<uint32_t, uint32_t> next;
    for (const Delivered& d : RecorderFor(slot).writes) {
      ASSERT_EQ(d.in.producerWord, next[d.in.providerID]++)
          << "subscriber " << slot << ", source " << std::hex << d.in.providerID;
    }
    EXPECT_EQ(next, expected) << "subscriber " << slot;
  }
}

// The loop sleeps whenever the queue is empty, so in a ping-pong every
// single append must wake it. The producer appends the moment the loop has
// taken the previous event, while the loop is on its way to sleep, and
// waits for each event with a short timeout: a lost wake-up fails the test
// instead of waiting for the next append.
TEST(EventQueueWakeUp, EverySingleEventWakesTheSleepingLoop) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(DV_TEST_EMULATOR)
  constexpr int kRounds = 20'000;  // each round costs far more there
#else
  constexpr int kRounds = 100'000;
#endif
  EventQueue queue;
  std::atomic<int> taken{0};
  std::thread loop([&] {
    while (queue.Take() != nullptr) taken.fetch_add(1, std::memory_order_release);
  });
  int lostAt = -1;
  for (int i = 0; i < kRounds && lostAt < 0; ++i) {
    // A delay that varies from round to round, so that the appends land
    // at every point of the loop's way to sleep, narrow windows included.
    for (volatile int spin = (i * 37) % 1024; spin > 0;) spin = spin - 1;
    queue.Append(Event(0x00090000, 0x2), nullptr, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int spins = 0; taken.load(std::memory_order_acquire) != i + 1; ++spins) {
      if (spins < 1000) continue;  // the loop is usually still awake: append at once
      if (std::chrono::steady_clock::now() > deadline) {
        lostAt = i;
        break;
      }
      std::this_thread::yield();
    }
  }
  queue.RequestStop();
  loop.join();
  EXPECT_EQ(lostAt, -1) << "the loop slept through event " << lostAt;
}

// A stop request that lands anywhere on the loop's way to sleep (before it
// looks at the flag, between its last look and its sleep, while it sleeps)
// must end the loop. A lost wake-up is caught by a deadline and undone by
// a later wake-up, so the test fails instead of hanging.
TEST(EventQueueWakeUp, AStopRequestAlwaysEndsTheLoop) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(DV_TEST_EMULATOR)
  constexpr int kRounds = 300;
#else
  constexpr int kRounds = 3'000;
#endif
  int lostAt = -1;
  for (int i = 0; i < kRounds && lostAt < 0; ++i) {
    EventQueue queue;
    std::promise<void> ended;
    std::future<void> loopEnded = ended.get_future();
    std::thread loop([&] {
      while (queue.Take() != nullptr) {
      }
      ended.set_value();
    });
    for (volatile int spin = (i * 53) % 4096; spin > 0;) spin = spin - 1;
    queue.RequestStop();
    if (loopEnded.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
      lostAt = i;
      queue.Notify();
    }
    loop.join();
  }
  EXPECT_EQ(lostAt, -1) << "the loop slept through the stop request of round " << lostAt;
}

}  // namespace
}  // namespace dv::test
