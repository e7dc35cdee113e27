// Event routing: the single event entry (Handle, behind
// devovor::PluginEvent), the event queue, the delivery loop, and the payload
// blocks shared by the plugins that hold them.
//
// The entry, in order: a release gives back a block; a parent send passes
// its block to the parent channel (a null block with a length is refused
// with 1, an empty block is freed and answered 0: neither is ever sent); an
// event with providerID 0 closes a request handle or starts read requests;
// a log message is filtered, printed and maybe queued; a log-level query is
// answered; after a stop request the rest is refused; a video frame passes
// the video gate; the payload is copied into a block of the core; a reply is
// admitted by its read-request thread; the copy is appended to the queue.
//
// Threads: Handle and ReleaseBlock may be called from any thread that holds
// none of the core's locks (plugin threads, the I/O thread, read-request
// threads, the delivery loop while logging). RunEventLoop runs on the main
// thread.
//
// Locks: every lock of the core and the order between them, stated here
// once. No lock is ever held while plugin code runs. One order exists:
//
//   the request lock (RequestThreads)
//     before one request thread's mutex (RequestThreads::RequestThread)
//
// Every other lock is a leaf: nothing else is taken while it is held.
//   owned by the router: the queue lock (EventQueue), the video lock
//     (VideoGate), the payload lock (PayloadTable), the block cache's mutex
//     (BlockCache);
//   above it, in core/: the parent identity's lock (ParentIdentity), with
//     the condition variable of the start-up wait;
//   below it, in plugins/ and log/: the plugin list's mutex (PluginList),
//     each plugin's read gate (ReadGate), the failed plugin table
//     (PluginHost), the name registry (NameRegistry), the console stream's
//     stdio lock (ConsoleWriter);
//   in config/: the XML file names being loaded or saved (FileNamesInUse).
//   in platform/: the ledger of judged threads (thread_capabilities.cpp),
//     the entry-point table (crash_report.cpp, EntryPointsOf);
//   in monitor/: the hang watch's stop flag (HangWatch).
// The compiler checks them: members carry GUARDED_BY, the order
// ACQUIRED_BEFORE (platform/thread_annotations.h; scripts/thread-safety).
//
// Decisions where the rules leave room:
//   - a providerID whose kind index is 255 or more reads the core's own
//     threshold (see log/levels.h);
//   - releasing a block the table does not hold changes nothing and frees
//     nothing: the core never frees memory it cannot prove is its own;
//   - the throttled-frames counter is one atomic, reset by exchange;
//   - under heavy traffic the loop sleeps behind the threads that raise
//     events (TrafficIsHeavy, RouterHooks::sleepBehindRaisers), so that a
//     raising thread is not preempted once per event;
//   - running out of memory never ends the delivery loop: a block whose
//     keeping cannot be recorded stays allocated for good (said once, at
//     level 100), and a configuration update the core cannot copy is not
//     applied by the core (level 100) but still reaches the plugins.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "events/block_cache.h"
#include "events/event_queue.h"
#include "events/payload_table.h"
#include "events/request_threads.h"
#include "events/video_gate.h"
#include "log/levels.h"
#include "plugin_api/plugin.h"
#include "plugins/plugin_list.h"

namespace dv {
namespace test {
class EventRouterPeer;
}

// What the router needs of the core, bound once at construction. Each may
// be called from any thread that raises events, with no lock of the router
// held. `now` and `writeConsole` are required; without `sendToParent` every
// parent send is refused, without `postConfig` updates only reach plugins.
struct RouterHooks {
  // The core's steady clock, in nanoseconds.
  std::function<int64_t()> now;
  // Prints one log line (and a level-100 one to the system log).
  std::function<void(uint32_t providerId, uint32_t level, const char* text, uint32_t maxLen)>
      writeConsole;
  // Hands a parent-send block to the parent channel; false when the
  // channel cannot take it (the router then frees the block).
  std::function<bool(void* block, uint32_t len)> sendToParent;
  // Applies a configuration update's text on the I/O thread.
  std::function<void(std::string text)> postConfig;
  // Where payload blocks and read requests' copies come from.
  BlockAllocator blocks = {std::malloc, std::free};
  // Optional. While traffic is heavy (TrafficIsHeavy), called on the main
  // thread with true just before the delivery loop sleeps and with false
  // once it is awake: the core lets the woken loop wait for the thread
  // that woke it instead of preempting it (Platform::SetBatchScheduling).
  std::function<void(bool asleep)> sleepBehindRaisers;
};

class EventRouter {
 public:
  EventRouter(RouterHooks hooks, const LogLevelTable& levels, const PluginList& plugins,
              const std::atomic<bool>& throttling);

  // The event entry. `in` is read during the call only.
  void Handle(const _EventParmsIn* in, _EventParmsOut* out);

  // Delivers queued events until a stop is requested and the queue is empty.
  // REQUIRES: main thread.
  void RunEventLoop();

  // Logs the blocks that plugins never released and forgets them.
  void ReportLeakedBlocks();

  // Sets the stop flag and wakes the delivery loop. Any thread.
  void RequestStop() { queue_.RequestStop(); }

  // Events queued and not yet taken by the delivery loop. Any thread.
  size_t queuedEvents() const { return queue_.size(); }

 private:
  friend class test::EventRouterPeer;  // tests read the queue and the tables

  // A release event: ends `holder`'s hold on `block`, and frees the block
  // when that was the last hold. Any other block is left alone.
  int ReleaseBlock(void* block, uint32_t holder);
  // Frees (or keeps for reuse) a block of `len` payload bytes that no
  // holder holds any more.
  void FreeBlock(void* block, uint32_t len);
  // As FreeBlock, on the delivery loop: small blocks return to the threads
  // that raise events (see block_cache.h).
  void RecycleBlock(void* block, uint32_t len);

  bool HandleLog(const _EventParmsIn& in, _EventParmsOut* out);
  void SendToParent(const _EventParmsIn& in, _EventParmsOut* out);
  void HandleRequest(const _EventParmsIn& in, _EventParmsOut* out);
  void StartReadRequests(const _EventParmsIn& in);
  void Enqueue(const _EventParmsIn& in, _EventParmsOut* out);
  bool AppendOrForget(const _EventParmsIn& in, void* data, uint32_t len);

  void Deliver(const _EventParmsIn& event);
  void PostConfigUpdate(const _EventParmsIn& event);
  void DeliverConfigUpdate(PLUGININFO& plugin, const _EventParmsIn& event);
  void DeliverToAll(const _EventParmsIn& event, const _WriteParmsIn& record, uint32_t key,
                    bool timed);
  // Inlined into the delivery loops: it runs once per plugin and event.
  __attribute__((always_inline)) inline void DeliverWrite(PLUGININFO& plugin,
                                                          const _EventParmsIn& event,
                                                          const _WriteParmsIn& record);
  __attribute__((noinline)) void DeliverTimedWrite(PLUGININFO& plugin, const _EventParmsIn& event,
                                                   const _WriteParmsIn& record);
  void ReportQueue();
  void WeighTraffic();
  __attribute__((noinline, cold)) void ReportFailedWrite(const PLUGININFO& plugin,
                                                         int32_t result, int32_t error);
  __attribute__((noinline, cold)) void ReportSlowWrite(const PLUGININFO& plugin,
                                                       const _EventParmsIn& event, int64_t took);
  __attribute__((noinline, cold)) void KeptForGood(const PLUGININFO& plugin,
                                                   const _EventParmsIn& event);

  const RouterHooks hooks_;
  const LogLevelTable& levels_;
  const PluginList& plugins_;
  const std::atomic<bool>& throttling_;

  BlockCache blocks_;  // recycles payload blocks (see block_cache.h)
  EventQueue queue_;
  PayloadTable payloads_;
  RequestThreads requests_;
  VideoGate video_;

  // Delivery loop statistics. REQUIRES: main thread. One count of the
  // events taken serves both the queue report and the traffic window.
  uint64_t eventsTaken_ = 0;
  uint64_t eventsAtReport_ = 0;
  int64_t lastReportNs_ = 0;
  // The loop's latest clock reading: taken once per batch, and after each
  // timed Write (which reads the clock anyway), not once per event.
  int64_t clockNs_ = 0;
  // The traffic window (TrafficIsHeavy): where it began, and its state.
  int64_t trafficWindowNs_ = 0;
  uint64_t eventsAtWindow_ = 0;
  bool heavyTraffic_ = false;
  bool keptForGoodReported_ = false;
};

// Whether the traffic the delivery loop saw in one window, `events` taken
// in `elapsedNs`, is heavy. The loop weighs a window of at least
// kTrafficWindowNs at the start of a batch. Heavy means events come so
// close together (50,000 a second or more) that a wake-up of the loop for
// each of them, taking the processor from the thread that raised it, costs
// more than the microseconds it saves; it stays heavy until the rate falls
// under 25,000 a second, so a rate near the line does not flip it back and
// forth.
constexpr int64_t kTrafficWindowNs = 100'000'000;
bool TrafficIsHeavy(bool wasHeavy, uint64_t events, int64_t elapsedNs);

// "1,234,567" in the en_US.UTF-8 locale, plain digits where it is missing.
std::string FormatCount(uint32_t value);
std::string FormatSignedCount(int32_t value);

}  // namespace dv
