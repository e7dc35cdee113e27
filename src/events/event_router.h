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
// thread. Locks taken here (the queue lock, the request lock, the video
// lock, the payload table's mutex, the plugin list's) are never held while
// plugin code runs, and none is held while another is taken except the
// request lock around one request thread's mutex.
//
// Decisions where the rules leave room:
//   - a providerID whose kind index is 255 or more reads the core's own
//     threshold (see log/levels.h);
//   - releasing a block the table does not hold changes nothing and frees
//     nothing: the core never frees memory it cannot prove is its own;
//   - the throttled-frames counter is one atomic, reset by exchange.
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

class devovor;

namespace dv {

class EventRouter {
 public:
  // Hands a parent-send block to the parent channel; false when the
  // channel is closed (the router then frees the block).
  using ParentSender = std::function<bool(void* block, uint32_t len)>;
  // Applies a configuration update's text on the I/O thread.
  using ConfigPoster = std::function<void(std::string text)>;

  EventRouter(devovor& core, const LogLevelTable& levels, const PluginList& plugins,
              const std::atomic<bool>& throttling);

  void SetParentSender(ParentSender sender) { sendToParent_ = std::move(sender); }
  void SetConfigPoster(ConfigPoster poster) { postConfig_ = std::move(poster); }

  // The event entry. `in` is read during the call only.
  void Handle(const _EventParmsIn* in, _EventParmsOut* out);

  // Delivers queued events until a stop is requested and the queue is empty.
  // REQUIRES: main thread.
  void RunEventLoop();

  void AddBlockHolder(void* block, uint32_t len, uint32_t holder) {
    payloads_.AddHolder(block, len, holder);
  }
  int ReleaseBlock(void* block, uint32_t holder);
  // Frees (or keeps for reuse) a block of `len` payload bytes that no
  // holder holds any more.
  void FreeBlock(void* block, uint32_t len);
  // Logs the blocks that plugins never released and forgets them.
  void ReportLeakedBlocks();

  EventQueue& queue() { return queue_; }
  PayloadTable::Figures blockFigures() const { return payloads_.figures(); }
  RequestThreads& requests() { return requests_; }

 private:
  bool HandleLog(const _EventParmsIn& in, _EventParmsOut* out);
  void SendToParent(const _EventParmsIn& in, _EventParmsOut* out);
  void HandleRequest(const _EventParmsIn& in, _EventParmsOut* out);
  void StartReadRequests(const _EventParmsIn& in);
  void Enqueue(const _EventParmsIn& in, _EventParmsOut* out);
  bool AppendOrForget(const _EventParmsIn& in, void* data, uint32_t len);

  void Deliver(const _EventParmsIn& event);
  void DeliverConfigUpdate(PLUGININFO& plugin, const _EventParmsIn& event);
  void DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, const _WriteParmsIn& record,
                    bool timed);
  void ReportQueue();
  __attribute__((noinline, cold)) void ReportFailedWrite(const PLUGININFO& plugin,
                                                         int32_t result, int32_t error);
  __attribute__((noinline, cold)) void ReportSlowWrite(const PLUGININFO& plugin,
                                                       const _EventParmsIn& event, int64_t took);

  devovor& core_;
  const LogLevelTable& levels_;
  const PluginList& plugins_;
  const std::atomic<bool>& throttling_;
  ParentSender sendToParent_;
  ConfigPoster postConfig_;

  BlockCache blocks_;  // recycles large payload blocks (see block_cache.h)
  EventQueue queue_;
  PayloadTable payloads_;
  RequestThreads requests_;
  VideoGate video_;

  // Delivery loop statistics. REQUIRES: main thread.
  uint32_t eventsSinceReport_ = 0;
  int64_t lastReportNs_ = 0;
};

// "1,234,567" in the en_US.UTF-8 locale, plain digits where it is missing.
std::string FormatCount(uint32_t value);
std::string FormatSignedCount(int32_t value);

}  // namespace dv
