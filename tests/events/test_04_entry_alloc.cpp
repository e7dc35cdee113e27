// The event entry when memory runs out after a reply was admitted. This
// program replaces operator new so that a test can make the next allocation
// of one thread fail; on the way from the entry to the queue, only the
// queue's record of an event without a payload allocates through it (a
// payload's block, from malloc, holds its record too, so a reply with a
// payload allocates nothing once admitted).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "events/routing_fixture.h"

namespace {
thread_local bool t_failNextNew = false;
}  // namespace

void* operator new(std::size_t size) {
  if (t_failNextNew) {
    t_failNextNew = false;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
// Every block of the forms above is malloc's, so that a sanitizer's own
// operator delete never sees one.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace dv::test {
namespace {

using namespace std::chrono_literals;

// A reader answers one read request with two replies; the queue cannot take
// the first, which has no payload. It is refused for lack of memory, and
// the second is admitted and delivered.
class ReplyWithoutMemory : public Routing {
 protected:
  ReplyWithoutMemory() {
    auto reader = FakeReader<0>(0x00010000);
    Add(reader);
    Add(FakePlugin<1>(0x00020000));
    RecorderFor(0).onRead = [this](const _ReadParmsIn& read) {
      _EventParmsIn reply = Event(0x00010000, 0x2);
      reply.context = read.context;
      t_failNextNew = true;
      results[0] = Raise(reply);
      results[1] = RaiseWith(reply, "kept");
    };
  }

  std::atomic<int32_t> results[2] = {-100, -100};
};

TEST_F(ReplyWithoutMemory, TheNextReplyGoesThrough) {
  std::thread loop([this] { Peer(core).router().RunEventLoop(); });
  _EventParmsIn request = Event(0, 0x2);
  request.context = reinterpret_cast<void*>(0xc5);
  EXPECT_EQ(Raise(request), DV_RESULT_OK);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (results[1] == -100 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  core.RequestStop();  // ends a reply still waiting, with a refusal
  loop.join();
  EXPECT_EQ(results[0], DV_RESULT_NO_MEMORY);
  EXPECT_EQ(results[1], DV_RESULT_OK);
  std::string replies;  // the failure itself is reported as a log event too
  for (const Delivered& write : RecorderFor(1).writes) {
    if (write.in.eventType == 0x2) replies += write.payload;
  }
  EXPECT_EQ(replies, "kept");
}

}  // namespace
}  // namespace dv::test
