// The delivery loop and the payload blocks: EventRouter::RunEventLoop,
// ReleaseBlock and the reports.
#include <cstring>
#include <locale>
#include <new>
#include <sstream>

#include "events/event_router.h"
#include "log/log.h"
#include "platform/crash_report.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

constexpr int64_t kReportPeriodNs = 60'000'000'000;
constexpr int64_t kSlowWriteNs = 5'999'999;

const std::locale& GroupingLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("en_US.UTF-8");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

template <typename Number>
std::string Grouped(Number value) {
  std::ostringstream text;
  text.imbue(GroupingLocale());
  text << value;
  return text.str();
}

_WriteParmsIn WriteRecordFor(const _EventParmsIn& event) {
  _WriteParmsIn in = ZeroedRecord<_WriteParmsIn>();
  in.len = event.len;
  in.data = event.data;
  in.providerID = event.providerID;
  in.context = event.context;
  in.eventType = event.eventType;
  in.flags = event.flags;
  std::memcpy(in.passThrough0, event.passThrough0,
              sizeof event - offsetof(_EventParmsIn, passThrough0));
  return in;
}

}  // namespace

std::string FormatCount(uint32_t value) { return Grouped(value); }
std::string FormatSignedCount(int32_t value) { return Grouped(value); }

// The once-a-minute queue report needs the time, but a clock read per
// event is a measurable share of a busy loop's work: the loop reads the
// clock when it starts a batch and reuses the reading of timed Writes, so a
// report comes at most one batch late.
void EventRouter::RunEventLoop() {
  lastReportNs_ = trafficWindowNs_ = clockNs_ = hooks_.now();
  eventsAtReport_ = eventsAtWindow_ = eventsTaken_;
  heavyTraffic_ = false;
  bool newBatch = false;
  while (const _EventParmsIn* event = queue_.Take(&newBatch)) {
    if (newBatch) {
      clockNs_ = hooks_.now();
      WeighTraffic();
    }
    ++eventsTaken_;
    payloads_.BeginDelivery(event->data, event->len);  // the core's own hold
    ReportQueue();
    Deliver(*event);
    if (payloads_.EndDelivery()) RecycleBlock(event->data, event->len);
  }
  requests_.EndDelivery();
  queue_.SleepBehindRaisers(nullptr);
  t_threadMarks.event.store(nullptr, std::memory_order_relaxed);
}

bool TrafficIsHeavy(bool wasHeavy, uint64_t events, int64_t elapsedNs) {
  const uint64_t perSecond = wasHeavy ? 25'000 : 50'000;
  return elapsedNs > 0 && events * 1'000'000'000u >= perSecond * uint64_t(elapsedNs);
}

// At 100,000 events a second from one thread, a loop that takes the
// processor from the raising thread at every wake-up costs that thread a
// preemption per event; sleeping behind it, the loop takes the events of
// a whole burst at once, for a fraction of the processor time.
void EventRouter::WeighTraffic() {
  const int64_t elapsed = clockNs_ - trafficWindowNs_;
  if (elapsed < kTrafficWindowNs) return;
  const bool heavy = TrafficIsHeavy(heavyTraffic_, eventsTaken_ - eventsAtWindow_, elapsed);
  trafficWindowNs_ = clockNs_;
  eventsAtWindow_ = eventsTaken_;
  if (heavy == heavyTraffic_ || !hooks_.sleepBehindRaisers) return;
  heavyTraffic_ = heavy;
  queue_.SleepBehindRaisers(heavy ? &hooks_.sleepBehindRaisers : nullptr);
}

void EventRouter::ReportQueue() {
  const int64_t now = clockNs_;
  if (now - lastReportNs_ < kReportPeriodNs) return;
  lastReportNs_ = now;
  const size_t left = queue_.size();  // queued behind the event just taken
  const PayloadTable::Figures figures = payloads_.figures();
  LogCore(0,
          "core event queue size: %zu, throttledvideoframes:%s, events:%s, refblks: %s (%s "
          "bytes)",
          left, FormatCount(video_.TakeThrottledFrames()).c_str(),
          FormatCount(uint32_t(eventsTaken_ - eventsAtReport_)).c_str(),
          FormatCount(figures.blocks).c_str(),
          FormatCount(figures.bytes).c_str());
  eventsAtReport_ = eventsTaken_;
}

void EventRouter::Deliver(const _EventParmsIn& event) {
  const bool config = (event.eventType & DV_EVENT_CONFIG) != 0;
  if (config && event.data != nullptr && event.len != 0 && hooks_.postConfig) {
    PostConfigUpdate(event);
  }
  const uint32_t key = DeliveryMatchKey(event.flags);
  // Timing costs two clock reads per call, only while the core's routine
  // messages would be logged; log events are never timed.
  const bool timed =
      PassesThreshold(0, levels_.ForProvider(DV_CORE_ID)) && event.eventType != DV_EVENT_LOG;
  const uint32_t classes = event.eventType & DV_CLASS_BITS;
  if (classes == 0 && !config) return;  // no plugin can take it
  // Every Write of this event gets its own copy of one record, built once:
  // a plugin may change the record it was given. The crash line and the
  // hang watch name the event from it (platform/crash_report.h). The fence
  // orders the end of the previous event's calls (their marks' last
  // stores) before the record's contents, for the hang watch's check
  // (monitor/hang_watch.h); on x86 it costs no instruction.
  std::atomic_thread_fence(std::memory_order_release);
  const _WriteParmsIn record = WriteRecordFor(event);
  t_threadMarks.event.store(&record, std::memory_order_relaxed);
  if (config || (classes & (classes - 1)) != 0) {
    DeliverToAll(event, record, key, timed);
    return;
  }
  // One class (the common case): only its candidates, in list order.
  const int k = classes == DV_EVENT_CLASS8 ? 8 : __builtin_ctz(classes);
  // Two loops, so that the common, untimed one keeps nothing more in a
  // register across its calls than it needs.
  const auto& candidates = plugins_.writeCandidates(k);
  if (timed) {
    for (const PluginList::WriteCandidate& candidate : candidates) {
      if ((key & ~candidate.mask) == 0) DeliverTimedWrite(*candidate.plugin, event, record);
    }
    return;
  }
  for (const PluginList::WriteCandidate& candidate : candidates) {
    if ((key & ~candidate.mask) == 0) DeliverWrite(*candidate.plugin, event, record);
  }
}

// Configuration updates and events of several classes: every plugin in
// list order, each at most once.
void EventRouter::DeliverToAll(const _EventParmsIn& event, const _WriteParmsIn& record,
                               uint32_t key, bool timed) {
  for (const PluginList::Record& plugin : plugins_.ownerView()) {
    if ((event.eventType & DV_EVENT_CONFIG) != 0 && event.providerID != plugin->id()) {
      DeliverConfigUpdate(*plugin, event);
    } else if (plugin->delivers() && MatchesAnyClass(*plugin, event.eventType, key)) {
      timed ? DeliverTimedWrite(*plugin, event, record) : DeliverWrite(*plugin, event, record);
    }
  }
}

// The core applies its copy of the update on the I/O thread. Without memory
// for the copy the core drops it; the plugins still get the update.
void EventRouter::PostConfigUpdate(const _EventParmsIn& event) {
  try {
    hooks_.postConfig(std::string(static_cast<const char*>(event.data), event.len));
  } catch (const std::bad_alloc&) {
    LogCore(100, "out of memory: configuration update of %u bytes from %x dropped", event.len,
            event.providerID);
  }
}

void EventRouter::DeliverConfigUpdate(PLUGININFO& plugin, const _EventParmsIn& event) {
  if (plugin.IOCTL == nullptr) return;
  payloads_.BeginCall(plugin.id());
  IoctlCall call = IoctlRecords(DV_IOCTL_CONFIG_UPDATE, event.len, event.data);
  const int32_t result = CallMarked(plugin.entryPoints->ioctl, plugin.IOCTL, &call.in, &call.out);
  if (result != 0 || call.out.errorCode != 0) {
    LogCore(0, "plugin %s update config returned %d error %d", plugin.name.c_str(), result,
            call.out.errorCode);
  }
  if (!payloads_.EndCall(call.out.keep != 0)) KeptForGood(plugin, event);
}

// The untimed path is the common one and stays small; a timed Write goes
// out of line. The delivery loop runs outside every mark.
void EventRouter::DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event,
                               const _WriteParmsIn& record) {
  if (plugin.Write == nullptr) return;
  payloads_.BeginCall(plugin.id());
  _WriteParmsIn in = record;
  _WriteParmsOut out = ZeroedRecord<_WriteParmsOut>();
  const int32_t result = CallMarkedOutermost(plugin.entryPoints->write, plugin.Write, &in, &out);
  if (result != 0 || out.errorCode != 0) ReportFailedWrite(plugin, result, out.errorCode);
  if (!payloads_.EndCall(out.keep != 0)) KeptForGood(plugin, event);
}

// As DeliverWrite, timed by two clock reads: a Write slower than 6 ms is
// reported once it returns.
void EventRouter::DeliverTimedWrite(PLUGININFO& plugin, const _EventParmsIn& event,
                                    const _WriteParmsIn& record) {
  if (plugin.Write == nullptr) return;
  payloads_.BeginCall(plugin.id());
  _WriteParmsIn in = record;
  _WriteParmsOut out = ZeroedRecord<_WriteParmsOut>();
  const int64_t start = hooks_.now();
  const int32_t result = CallMarkedOutermost(plugin.entryPoints->write, plugin.Write, &in, &out);
  clockNs_ = hooks_.now();
  const int64_t took = clockNs_ - start;
  if (result != 0 || out.errorCode != 0) ReportFailedWrite(plugin, result, out.errorCode);
  if (took > kSlowWriteNs) ReportSlowWrite(plugin, event, took);
  if (!payloads_.EndCall(out.keep != 0)) KeptForGood(plugin, event);
}

// Out of line, so that the common path of DeliverWrite stays small.
void EventRouter::ReportFailedWrite(const PLUGININFO& plugin, int32_t result, int32_t error) {
  LogCore(0, "plugin %s write returned %d error %d", plugin.name.c_str(), result, error);
}

void EventRouter::ReportSlowWrite(const PLUGININFO& plugin, const _EventParmsIn& event,
                                  int64_t took) {
  LogCore(0, "core write took %lldms, providerID %x, eventType: %d, len: %s -> %s",
          static_cast<long long>(took / 1'000'000), event.providerID,
          static_cast<int>(event.eventType),
          FormatSignedCount(static_cast<int32_t>(event.len)).c_str(), plugin.name.c_str());
}

// No memory to record that the plugin keeps the block: it stays allocated
// for good (payload_table.h), so no reply may wait for it to be freed. Said
// once: without memory it would be said for every kept block.
void EventRouter::KeptForGood(const PLUGININFO& plugin, const _EventParmsIn& event) {
  requests_.ClearPending(event.data);
  if (keptForGoodReported_) return;
  keptForGoodReported_ = true;
  LogCore(100, "out of memory: a block kept by plugin %s stays allocated for good",
          plugin.name.c_str());
}

int EventRouter::ReleaseBlock(void* block, uint32_t holder) {
  uint32_t len = 0;
  if (block != nullptr && payloads_.DropHolder(block, holder, &len)) FreeBlock(block, len);
  return 0;
}

void EventRouter::FreeBlock(void* block, uint32_t len) {
  // No reply may go on waiting for this address once it can be reused.
  requests_.ClearPending(block);
  blocks_.Put(block, len);
}

void EventRouter::RecycleBlock(void* block, uint32_t len) {
  requests_.ClearPending(block);
  blocks_.Recycle(block, len);
}

void EventRouter::ReportLeakedBlocks() {
  const std::string report = payloads_.TakeLeakReport();
  // One message, however many blocks: LogCore would cut it after 511 bytes.
  LogCoreText(0, report);
}

}  // namespace dv
