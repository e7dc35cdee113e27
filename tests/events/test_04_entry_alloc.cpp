// The core when memory runs out: in the event entry after a reply was
// admitted, and in the delivery loop. This program replaces operator new so
// that a test can make the next allocation of one thread fail, or the next
// of one size on any thread; and it installs a default memory resource (the
// payload table's) that fails while told to. On the way from the entry to
// the queue, only the queue's record of an event without a payload
// allocates through operator new (a payload's block, from malloc, holds its
// record too, so a reply with a payload allocates nothing once admitted).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string>
#include <thread>

#include "events/routing_fixture.h"

namespace {
thread_local bool t_failNextNew = false;
std::atomic<size_t> g_failNextOfSize{0};

class FailingResource : public std::pmr::memory_resource {
 public:
  std::atomic<bool> failing{false};

 private:
  void* do_allocate(size_t bytes, size_t alignment) override {
    if (failing) throw std::bad_alloc();
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* block, size_t bytes, size_t alignment) override {
    std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
  }
  bool do_is_equal(const memory_resource& other) const noexcept override {
    return this == &other;
  }
};
FailingResource g_tableMemory;
const bool g_tableMemoryInstalled = (std::pmr::set_default_resource(&g_tableMemory), true);
}  // namespace

void* operator new(std::size_t size) {
  size_t failing = size;
  if (t_failNextNew || g_failNextOfSize.compare_exchange_strong(failing, 0)) {
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

class OutOfMemory : public Routing {
 protected:
  size_t Count(const std::string& text) {
    const std::string console = platform.ConsoleText();
    size_t n = 0;
    for (size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1)) ++n;
    return n;
  }
};

// With no memory to record that a plugin keeps a block, the block stays
// allocated for good: the plugin's release frees nothing (a block freed to
// the cache would have its first bytes overwritten), and the loop goes on.
TEST_F(OutOfMemory, AKeptBlockThatCannotBeRecordedStaysAllocatedAndTheLoopGoesOn) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  RecorderFor(0).keep = true;
  const std::string payloads[] = {"first kept", "second kept"};
  for (const std::string& payload : payloads) RaiseWith(Event(0x00090000, 0x2), payload);
  g_tableMemory.failing = true;
  Drain();
  g_tableMemory.failing = false;

  ASSERT_EQ(RecorderFor(0).writes.size(), 2u);
  ASSERT_EQ(RecorderFor(1).writes.size(), 2u);  // delivery went on
  for (const Delivered& write : RecorderFor(0).writes) {
    _EventParmsIn release = Event(0x00010000, DV_EVENT_RELEASE);
    release.data = write.in.data;
    Raise(release);
    EXPECT_EQ(std::string(static_cast<const char*>(write.in.data), write.in.len), write.payload);
    std::free(write.in.data);  // the test's now: the core let it go for good
  }
  EXPECT_EQ(EventRouterPeer::blockFigures(Peer(core).router()).blocks, 0u);
  EXPECT_EQ(Count("out of memory: a block kept by plugin p0.so stays allocated for good\n"), 1u);
  EXPECT_EQ(platform.SyslogLines().size(), 1u);
}

// Without memory for the core's copy of a configuration update, the core
// drops it with a message; the plugins still get it, and the loop goes on.
TEST_F(OutOfMemory, AConfigurationUpdateTheCoreCannotCopyIsDroppedAndTheLoopGoesOn) {
  Add(FakePlugin<0>(0x00010000));
  Add(FakePlugin<1>(0x00020000));
  const std::string update = "<Orvel>" + std::string(3000, ' ') + "</Orvel>";
  RaiseWith(Event(0x00010000, DV_EVENT_CONFIG), update);
  RaiseWith(Event(0x00010000, 0x2), "after");
  g_failNextOfSize = update.size() + 1;  // the core's copy, before any plugin's
  Drain();

  EXPECT_EQ(g_failNextOfSize, 0u);
  ASSERT_EQ(RecorderFor(1).configs.size(), 1u);
  EXPECT_EQ(RecorderFor(1).configs[0].payload, update);
  EXPECT_EQ(RecorderFor(1).writes.size(), 1u);
  EXPECT_EQ(Count("out of memory: configuration update of 3015 bytes from 10000 dropped\n"), 1u);
}

}  // namespace
}  // namespace dv::test
