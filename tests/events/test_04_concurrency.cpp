// Many producers, one delivery loop: nothing lost, nothing freed twice,
// nothing left held. Run under ThreadSanitizer and AddressSanitizer too.
#include <atomic>
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
  EXPECT_EQ(Peer(core).router().blockFigures().blocks, 0u);
  EXPECT_EQ(Peer(core).router().blockFigures().bytes, 0u);
  // Per producer, events arrive in the order they were raised.
  std::vector<uint32_t> next(kProducers, 0);
  for (const Delivered& d : RecorderFor(0).writes) {
    uint32_t& expected = next[d.in.providerID - 0x00090000];
    ASSERT_EQ(d.in.producerWord, expected);
    ++expected;
  }
}

}  // namespace
}  // namespace dv::test
