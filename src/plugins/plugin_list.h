// The plugin list: the loaded plugins in routing order.
//
// Concurrency design. The main thread is the only writer: the load phase
// appends (or puts 0x60000 in front), and the list is emptied after the
// unload phase. Readers are the delivery loop (main thread), read-request
// walks in the event entry (any thread, already during the load phase, as
// workers start before later plugins load), and parent requests (I/O
// thread). Writers never change a list that a reader may be walking:
//
//   - each record lives in its own heap object, shared by pointer, and is
//     never moved or copied, so a record a reader holds stays where it is;
//   - the list itself is an immutable snapshot; a writer builds a new one
//     and publishes it under mu_ (its place in the lock order:
//     events/event_router.h), held only to swap or copy the snapshot
//     pointer, never while any plugin code runs;
//   - a reader on another thread takes the current snapshot (one pointer
//     copy under mu_) and walks it with no lock held; the snapshot and the
//     records in it stay alive until the reader drops it, even if the list
//     is emptied meanwhile.
//
// The writer keeps its own reference to the snapshot it last published, so
// the main thread walks the current list through ownerView() without
// taking mu_. With each publication it also rebuilds, for the delivery
// loop, the Write candidates of each subscription class (main thread only,
// like ownerView): an event then visits only plugins that can take it.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "platform/mutex.h"
#include "plugins/plugin_info.h"

namespace dv {

class PluginList {
 public:
  using Record = std::shared_ptr<PLUGININFO>;
  using Snapshot = std::shared_ptr<const std::vector<Record>>;

  PluginList();

  // Any thread: the current list, safe to walk with no lock held.
  Snapshot snapshot() const EXCLUDES(mu_);
  // REQUIRES: main thread (the only writer).
  const std::vector<Record>& ownerView() const { return *written_; }

  // A plugin that may receive events through Write: it asked for delivery
  // and exports Write. `mask` is its mask for one subscription class.
  struct WriteCandidate {
    PLUGININFO* plugin;
    uint32_t mask;
  };
  // REQUIRES: main thread. The Write candidates for subscription class
  // `k` (0 to DV_MASK_COUNT - 1), in list order; the records stay alive as
  // long as the list they were built from, up to the next change.
  const std::vector<WriteCandidate>& writeCandidates(int k) const { return candidates_[k]; }

  // REQUIRES: main thread.
  void Append(Record record);
  void PushFront(Record record);
  void Clear();

 private:
  void Publish(std::vector<Record> next);
  void RebuildCandidates();

  mutable Mutex mu_;
  Snapshot current_ GUARDED_BY(mu_);  // the published list, for every other thread
  Snapshot written_;                  // the writer's own reference to it: main thread only
  std::array<std::vector<WriteCandidate>, DV_MASK_COUNT> candidates_;  // main thread only
};

}  // namespace dv
