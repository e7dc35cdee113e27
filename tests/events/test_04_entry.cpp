// The event entry: video gating, read requests, replies and close requests.
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "events/routing_fixture.h"

namespace dv::test {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

_EventParmsIn Frame(uint32_t stream, bool key) {
  _EventParmsIn in = Event(stream, DV_EVENT_VIDEO, DV_FLAG_VIDEO);
  in.keyFrame = key ? 1 : 0;
  return in;
}

TEST_F(Routing, AStreamStartsWithAKeyFrameAndTakes766FramesAfterIt) {
  EXPECT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_NO_KEY_FRAME);
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_OK);
  for (int i = 0; i < 766; ++i) ASSERT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_OK) << i;
  EXPECT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_TOO_MANY_FRAMES);
  EXPECT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_NO_KEY_FRAME);
  _EventParmsIn notKey = Frame(0x00070001, false);
  notKey.keyFrame = 2;  // only 1 is a key frame
  EXPECT_EQ(Raise(notKey), DV_RESULT_NO_KEY_FRAME);
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_OK);
  EXPECT_EQ(Raise(Frame(0x00070002, false)), DV_RESULT_NO_KEY_FRAME);  // streams are separate
  EXPECT_EQ(Peer(core).queue().size(), 768u);
}

// Without memory for its copy an event is refused with -1 and nothing is
// queued; a video stream then has to start again with a key frame, since
// its receivers missed a frame.
TEST_F(Routing, AFailedPayloadCopyRefusesTheEventAndRestartsItsStream) {
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_OK);
  FakePlatform::failBlocks = true;
  _EventParmsIn frame = Frame(0x00070001, false);
  static char bytes[10'000] = "frame";  // never a recycled block: always a new one
  frame.data = bytes;
  frame.len = sizeof bytes;
  EXPECT_EQ(Raise(frame), DV_RESULT_NO_MEMORY);
  FakePlatform::failBlocks = false;
  EXPECT_EQ(Raise(frame), DV_RESULT_NO_KEY_FRAME);
  EXPECT_EQ(Peer(core).queue().size(), 1u);  // the key frame alone
}

TEST_F(Routing, ThrottlingRefusesEveryFrameAndForgetsTheStreams) {
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_OK);
  Peer(core).throttling() = true;
  EXPECT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_THROTTLED);
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_THROTTLED);
  EXPECT_EQ(Raise(Event(0x00070001, DV_EVENT_VIDEO)), DV_RESULT_OK);  // not a frame
  Peer(core).throttling() = false;
  EXPECT_EQ(Raise(Frame(0x00070001, false)), DV_RESULT_NO_KEY_FRAME);
  EXPECT_EQ(Raise(Frame(0x00070001, true)), DV_RESULT_OK);
}

TEST_F(Routing, AReadRequestRunsReadOnEveryMatchingReaderWithItsOwnCopy) {
  auto reader = FakePlugin<0>(0x00010000, 0x00800000);  // bit 24 moved down
  reader->loadResults.wantsReader = 1;
  auto wrongKey = FakePlugin<1>(0x00020000, 0x02000000);
  wrongKey->loadResults.wantsReader = 1;
  auto notAReader = FakePlugin<2>(0x00030000);
  Add(reader);
  Add(wrongKey);
  Add(notAReader);
  const std::string request = "request bytes";
  _EventParmsIn in = Event(0, 0x2, 0x01000000);
  in.context = reinterpret_cast<void*>(0xc0);
  EXPECT_EQ(RaiseWith(in, request), DV_RESULT_OK);
  EXPECT_EQ(Peer(core).queue().size(), 0u);  // a request is never queued

  ASSERT_TRUE(WaitUntil([] { return RecorderFor(0).readsSoFar().size() == 1; }));
  const _ReadParmsIn read = RecorderFor(0).readsSoFar()[0];
  EXPECT_EQ(read.size, sizeof(_ReadParmsIn));
  EXPECT_EQ(read.readFlag, 1);
  EXPECT_EQ(read.len, request.size());
  EXPECT_NE(read.data, request.data());
  EXPECT_EQ(read.context, in.context);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(RecorderFor(1).readsSoFar().empty());
  EXPECT_TRUE(RecorderFor(2).readsSoFar().empty());
}

// Without memory for its copy, a read request still reaches the reader,
// without its bytes: never a length without them.
TEST_F(Routing, AReadRequestWhoseCopyFailsGoesOutWithoutItsBytes) {
  Add(FakeReader<0>(0x00010000));
  FakePlatform::failBlocks = true;
  _EventParmsIn in = Event(0, 0x2);
  in.context = reinterpret_cast<void*>(0xc7);
  EXPECT_EQ(RaiseWith(in, "request bytes"), DV_RESULT_OK);
  ASSERT_TRUE(WaitUntil([] { return RecorderFor(0).readsSoFar().size() == 1; }));
  FakePlatform::failBlocks = false;
  const _ReadParmsIn read = RecorderFor(0).readsSoFar()[0];
  EXPECT_EQ(read.len, 0u);
  EXPECT_EQ(read.data, nullptr);
  EXPECT_EQ(read.context, in.context);
}

TEST_F(Routing, AReadRequestThatMatchesNoReaderStillSucceeds) {
  Add(FakePlugin<0>(0x00010000));
  EXPECT_EQ(Raise(Event(0, 0x2)), DV_RESULT_OK);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(RecorderFor(0).readsSoFar().empty());
  EXPECT_EQ(EventRouterPeer::requestThreadCount(Peer(core).router()), 0u);
}

TEST_F(Routing, RepliesNeedAnOpenHandleAndAReadRequestThread) {
  char payload[] = "reply";
  _EventParmsIn reply = Event(0x00010000, 0x2);
  reply.context = reinterpret_cast<void*>(0xc1);
  reply.data = payload;
  reply.len = sizeof payload;
  EXPECT_EQ(Raise(reply), DV_RESULT_REFUSED);  // not a read-request thread; copy freed

  auto reader = FakePlugin<0>(0x00010000);
  reader->loadResults.wantsReader = 1;
  Add(reader);
  std::promise<std::vector<int32_t>> results;
  RecorderFor(0).onRead = [&](const _ReadParmsIn& read) {
    std::vector<int32_t> seen;
    _EventParmsIn mine = reply;
    mine.context = read.context;
    seen.push_back(Raise(mine));  // admitted
    _EventParmsIn close = Event(0, DV_EVENT_CLOSE_REQUEST);
    close.context = read.context;
    seen.push_back(Raise(close));
    seen.push_back(Raise(mine));  // closed handle
    results.set_value(seen);
  };
  _EventParmsIn request = Event(0, 0x2);
  request.context = reinterpret_cast<void*>(0xc2);
  EXPECT_EQ(Raise(request), DV_RESULT_OK);
  auto seen = results.get_future();
  ASSERT_EQ(seen.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(seen.get(), (std::vector<int32_t>{0, 0, 1}));
  EXPECT_EQ(Peer(core).queue().size(), 1u);
}

TEST_F(Routing, ANewReadRequestReopensAClosedHandle) {
  auto reader = FakePlugin<0>(0x00010000);
  reader->loadResults.wantsReader = 1;
  Add(reader);
  std::promise<int32_t> result;
  RecorderFor(0).onRead = [&](const _ReadParmsIn& read) {
    _EventParmsIn reply = Event(0x00010000, 0x2);
    reply.context = read.context;
    result.set_value(Raise(reply));
  };
  _EventParmsIn close = Event(0, DV_EVENT_CLOSE_REQUEST);
  close.context = reinterpret_cast<void*>(0xc3);
  EXPECT_EQ(Raise(close), DV_RESULT_OK);
  _EventParmsIn request = Event(0, 0x2);
  request.context = close.context;
  EXPECT_EQ(Raise(request), DV_RESULT_OK);
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(future.get(), DV_RESULT_OK);
}

// A reader raises two replies from its read-request thread; a subscriber
// keeps the first block, so the second waits until that block is released.
class Replies : public Routing {
 protected:
  Replies() {
    auto reader = FakeReader<0>(0x00010000);
    Add(reader);
    Add(FakePlugin<1>(0x00020000));
    RecorderFor(1).keep = true;
    RecorderFor(0).onRead = [this](const _ReadParmsIn& read) {
      for (int i = 0; i < 2; ++i) {
        _EventParmsIn reply = Event(0x00010000, 0x2);
        reply.context = read.context;
        results[i] = RaiseWith(reply, "reply " + std::to_string(i));
        returned[i] = true;
      }
    };
    loop = std::thread([this] { Peer(core).router().RunEventLoop(); });
    _EventParmsIn request = Event(0, 0x2);
    request.context = reinterpret_cast<void*>(0xc4);
    EXPECT_EQ(Raise(request), DV_RESULT_OK);
  }
  ~Replies() override {
    core.RequestStop();
    loop.join();
  }
  void Release(void* block) {
    _EventParmsIn release = Event(0x00020000, DV_EVENT_RELEASE);
    release.data = block;
    Raise(release);
  }

  std::thread loop;
  std::atomic<int32_t> results[2] = {-100, -100};
  std::atomic<bool> returned[2] = {false, false};
};

TEST_F(Replies, TheNextReplyWaitsUntilThePreviousBlockIsFreed) {
  ASSERT_TRUE(WaitUntil([] { return RecorderFor(1).writeCount() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned[1]);
  Release(RecorderFor(1).writes[0].in.data);
  ASSERT_TRUE(WaitUntil([this] { return returned[1].load(); }));
  EXPECT_EQ(results[0], DV_RESULT_OK);
  EXPECT_EQ(results[1], DV_RESULT_OK);
  ASSERT_TRUE(WaitUntil([] { return RecorderFor(1).writeCount() == 2; }));
  EXPECT_EQ(RecorderFor(1).writes[1].payload, "reply 1");
  Release(RecorderFor(1).writes[1].in.data);
}

TEST_F(Replies, AWaitingReplyIsRefusedOnceDeliveryHasEnded) {
  ASSERT_TRUE(WaitUntil([] { return RecorderFor(1).writeCount() == 1; }));
  core.RequestStop();
  ASSERT_TRUE(WaitUntil([this] { return returned[1].load(); }));
  EXPECT_EQ(results[1], DV_RESULT_REFUSED);
  Release(RecorderFor(1).writes[0].in.data);
}

}  // namespace
}  // namespace dv::test
