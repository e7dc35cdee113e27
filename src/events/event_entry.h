// The event entry: what devovor::PluginEvent does with one event.
//
// In order: commands (parent send) are carried out at once; log messages
// are filtered by their kind's threshold and printed, log-level queries are
// answered; after a stop request every queue candidate is refused with 1;
// everything else gets its payload copied into a block of the core and is
// appended to the event queue. The outcome is written to `out->result`.
//
// Thread safety: Handle may be called from any thread, any number at once,
// provided the caller holds none of the core's locks. It takes the queue
// lock only inside EventQueue::Append. `in` is read during the call only.
#pragma once

#include "events/event_queue.h"
#include "log/levels.h"
#include "plugin_api/event.h"

class devovor;

namespace dv {

class EventEntry {
 public:
  EventEntry(devovor& core, const LogLevelTable& levels, EventQueue& queue)
      : core_(core), levels_(levels), queue_(queue) {}

  void Handle(const _EventParmsIn* in, _EventParmsOut* out);

 private:
  enum class LogOutcome { kDone, kQueue };
  LogOutcome HandleLog(const _EventParmsIn& in, _EventParmsOut* out);
  void Enqueue(const _EventParmsIn& in, _EventParmsOut* out);

  devovor& core_;
  const LogLevelTable& levels_;
  EventQueue& queue_;
};

}  // namespace dv
