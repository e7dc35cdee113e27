// The event entry: EventRouter::Handle and the read-request threads.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "platform/crash_report.h"
#include "platform/thread_capabilities.h"
#include "events/event_router.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

using Block = MallocBlock;

bool HasPayload(const _EventParmsIn& in) { return in.data != nullptr && in.len != 0; }

// The event's payload copied into `block`, fresh for in.len bytes. Throws
// std::bad_alloc when there is no block. Queued payloads come from the
// router's block cache, with room after the bytes for the queue's copy of
// the record (EventQueue::kRecordRoom); read-request payloads come straight
// from the router's allocator.
Block CopyPayload(const _EventParmsIn& in, void* block) {
  Block copy(block);
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy.get(), in.data, in.len);
  return copy;
}

// Runs one read request on its own detached thread, never with more
// capabilities than the process's ceiling: the plugin's Read is called
// once with the request's length, payload copy and handle; replies that
// Read raises from this thread are admitted one block at a time.
void RunReadRequest(PluginList::Record plugin, RequestThreads& requests, uint32_t len,
                    Block payload, void* context) {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  requests.Register();
  // Never a length without its bytes.
  ReadCall call = ReadRecords(payload ? len : 0, payload.get(), context);
  CallMarked(plugin->entryPoints->read, plugin->Read, &call.in, &call.out);
  requests.Unregister();
  payload.reset();
  plugin->readGate.Leave();
}

}  // namespace

EventRouter::EventRouter(RouterHooks hooks, const LogLevelTable& levels,
                         const PluginList& plugins, const std::atomic<bool>& throttling)
    : hooks_(std::move(hooks)),
      levels_(levels),
      plugins_(plugins),
      throttling_(throttling),
      blocks_(EventQueue::kRecordRoom, hooks_.blocks) {}

void EventRouter::Handle(const _EventParmsIn* in, _EventParmsOut* out) {
  if (in->eventType == DV_EVENT_RELEASE) {
    ReleaseBlock(in->data, in->providerID);
    return;
  }
  if (in->eventType == DV_EVENT_PARENT_SEND) {
    SendToParent(*in, out);
    return;
  }
  if (in->providerID == 0) {
    HandleRequest(*in, out);
    return;
  }
  if ((in->eventType & DV_EVENT_LOG) != 0 && !HandleLog(*in, out)) return;
  if (queue_.stopRequested()) {
    out->result = DV_RESULT_REFUSED;
    return;
  }
  if ((in->eventType & DV_EVENT_VIDEO) != 0 && (in->flags & DV_FLAG_VIDEO) != 0) {
    const int32_t refusal = video_.Admit(in->providerID, in->keyFrame == 1, throttling_.load());
    if (refusal != DV_RESULT_OK) {
      out->result = refusal;
      return;
    }
  }
  Enqueue(*in, out);
}

// Returns true when the event goes on towards the queue. Messages are
// tested before queries, as a record may carry both flags.
bool EventRouter::HandleLog(const _EventParmsIn& in, _EventParmsOut* out) {
  const int threshold = levels_.ForProvider(in.providerID);
  if ((in.flags & DV_FLAG_LOG_MESSAGE) != 0) {
    if (threshold >= 0 && in.level < threshold) return false;
    hooks_.writeConsole(in.providerID, static_cast<uint32_t>(in.level),
                       static_cast<const char*>(in.data), in.len);
    // A kind without a threshold prints its routine detail but keeps it
    // off the queue.
    return !(threshold < 0 && in.level == 0);
  }
  if ((in.flags & DV_FLAG_LOG_QUERY) != 0) {
    out->result = threshold;
    return false;
  }
  return true;
}

// A block without bytes would fail its send (EFAULT), and a send failure
// ends all traffic to the parent for the run; an empty packet is the end of
// the stream to the parent. Neither is ever sent.
void EventRouter::SendToParent(const _EventParmsIn& in, _EventParmsOut* out) {
  if (in.data == nullptr && in.len > 0) {
    out->result = DV_RESULT_REFUSED;
    return;
  }
  if (in.len == 0) {
    std::free(in.data);
    out->result = DV_RESULT_OK;
    return;
  }
  const bool sent = hooks_.sendToParent && hooks_.sendToParent(in.data, in.len);
  if (!sent) std::free(in.data);
  out->result = sent ? DV_RESULT_OK : DV_RESULT_REFUSED;
}

void EventRouter::HandleRequest(const _EventParmsIn& in, _EventParmsOut* out) {
  if (in.eventType == DV_EVENT_CLOSE_REQUEST) {
    requests_.Close(in.context);
  } else {
    requests_.Reopen(in.context);
    StartReadRequests(in);
  }
  queue_.Notify();
  out->result = DV_RESULT_OK;
}

void EventRouter::StartReadRequests(const _EventParmsIn& in) {
  const uint32_t key = ReadMatchKey(in.flags);
  const PluginList::Snapshot plugins = plugins_.snapshot();
  for (const PluginList::Record& plugin : *plugins) {
    if (!plugin->wantsReader() || plugin->Read == nullptr) continue;
    if (!MatchesAnyClass(*plugin, in.eventType, key)) continue;
    // A closed plugin gets no more Read calls.
    if (!plugin->readGate.Enter()) continue;
    Block payload;
    try {
      if (HasPayload(in)) payload = CopyPayload(in, hooks_.blocks.allocate(in.len));
    } catch (const std::bad_alloc&) {
      payload = nullptr;  // the request still goes out, without its bytes
    }
    try {
      std::thread(RunReadRequest, plugin, std::ref(requests_), in.len, std::move(payload),
                  in.context)
          .detach();
    } catch (...) {
      plugin->readGate.Leave();
      throw;
    }
  }
}

void EventRouter::Enqueue(const _EventParmsIn& in, _EventParmsOut* out) {
  Block block;
  try {
    if (HasPayload(in)) block = CopyPayload(in, blocks_.Take(in.len));
  } catch (const std::bad_alloc&) {
    if ((in.eventType & DV_EVENT_VIDEO) != 0 && (in.flags & DV_FLAG_VIDEO) != 0) {
      video_.Forget(in.providerID);
    }
    out->result = DV_RESULT_NO_MEMORY;
    return;
  }
  void* const data = block.get();
  if (in.context != nullptr &&
      requests_.AdmitReply(in.context, data) == RequestThreads::Admission::kRefused) {
    out->result = DV_RESULT_REFUSED;
    return;
  }
  // The queued record is the caller's, with the core's copy as its payload.
  if (!AppendOrForget(in, data, block ? in.len : 0)) {
    out->result = DV_RESULT_REFUSED;
    return;
  }
  block.release();  // the queue owns it now
  out->result = DV_RESULT_OK;
}

// When the append refuses (a stop came meanwhile), the block dies with the
// caller: no reply thread may go on waiting for it to be released, nor
// mistake a later block at the same address for it. An append throws only
// for an event without a payload (its record needs memory of its own), and
// such a reply has no block pending.
bool EventRouter::AppendOrForget(const _EventParmsIn& in, void* data, uint32_t len) {
  const bool appended = queue_.Append(in, data, len);
  if (!appended && in.context != nullptr) requests_.ClearPending(data);
  return appended;
}

}  // namespace dv
