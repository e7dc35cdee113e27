#include "events/event_entry.h"

#include <cstdlib>
#include <cstring>

#include "core/devovor.h"

namespace dv {

void EventEntry::Handle(const _EventParmsIn* in, _EventParmsOut* out) {
  if (in->eventType == DV_EVENT_PARENT_SEND) {
    // Without an open parent channel the block is freed at once.
    std::free(in->data);
    out->result = DV_RESULT_REFUSED;
    return;
  }
  if ((in->eventType & DV_EVENT_LOG) != 0 && HandleLog(*in, out) == LogOutcome::kDone) return;
  if (queue_.stopRequested()) {
    out->result = DV_RESULT_REFUSED;
    return;
  }
  Enqueue(*in, out);
}

// Messages are tested before queries, as a record may carry both flags.
EventEntry::LogOutcome EventEntry::HandleLog(const _EventParmsIn& in, _EventParmsOut* out) {
  const int threshold = levels_.ForProvider(in.providerID);
  if ((in.flags & DV_FLAG_LOG_MESSAGE) != 0) {
    if (threshold >= 0 && in.level < threshold) return LogOutcome::kDone;
    core_.WriteConsole(in.providerID, static_cast<uint32_t>(in.level),
                       static_cast<const char*>(in.data), in.len);
    // A kind without a threshold prints its routine detail but keeps it
    // off the queue.
    if (threshold < 0 && in.level == 0) return LogOutcome::kDone;
    return LogOutcome::kQueue;
  }
  if ((in.flags & DV_FLAG_LOG_QUERY) != 0) {
    out->result = threshold;
    return LogOutcome::kDone;
  }
  return LogOutcome::kQueue;
}

void EventEntry::Enqueue(const _EventParmsIn& in, _EventParmsOut* out) {
  _EventParmsIn copy = in;
  if (in.data != nullptr && in.len != 0) {
    void* block = std::malloc(in.len);
    if (block == nullptr) {
      out->result = DV_RESULT_NO_MEMORY;
      return;
    }
    std::memcpy(block, in.data, in.len);
    copy.data = block;
  } else {
    copy.data = nullptr;
    copy.len = 0;
  }
  if (!queue_.Append(copy)) {
    std::free(copy.data);
    out->result = DV_RESULT_REFUSED;
    return;
  }
  out->result = DV_RESULT_OK;
}

}  // namespace dv
