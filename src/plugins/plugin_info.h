// PLUGININFO: what the core keeps for one loaded plugin.
//
// A record is created by the load phase on the main thread, is never copied
// or moved once it is in the plugin list (the list holds shared pointers to
// records), and is destroyed only when the last holder lets go: after the
// unload phase has joined its threads and the list has been emptied, and
// after every walk of the list that was in progress has ended.
//
// Fields written after the record joins the list are written on the main
// thread only (openCode, openTimeMs, the thread handles); other threads read
// only the fields fixed before it joins: the entry points, the load results
// the name and the entry-point records. The read gate is the one piece shared with every thread.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "platform/crash_report.h"
#include "platform/mutex.h"
#include "plugin_api/plugin.h"

namespace dv {

// Admits read-request threads into a plugin's Read until the plugin is
// closed, and lets the unload phase wait until the admitted ones are out.
// Any thread may Enter/Leave; the main thread calls Close and WaitIdle.
// Its lock is held for a counter's change only (its place in the lock
// order: events/event_router.h).
class ReadGate {
 public:
  // True when the plugin is not closed; the caller must then Leave once.
  bool Enter();
  void Leave();
  // From now on Enter fails.
  void Close();
  // Returns once every admitted thread has left.
  void WaitIdle();

 private:
  Mutex mu_;
  CondVar idle_;
  bool closed_ GUARDED_BY(mu_) = false;
  int inside_ GUARDED_BY(mu_) = 0;
};

struct PLUGININFO {
  void* library = nullptr;
  PluginEntryFn Load = nullptr;
  PluginEntryFn Unload = nullptr;
  PluginEntryFn Open = nullptr;
  PluginEntryFn Close = nullptr;
  PluginEntryFn Read = nullptr;
  PluginEntryFn Write = nullptr;
  PluginEntryFn Seek = nullptr;
  PluginEntryFn IOCTL = nullptr;
  std::thread worker;
  std::thread reader;
  _LoadParmsOut loadResults{};
  std::string name;
  // The crash line's and the hang watch's records of this plugin's entry
  // points (platform/crash_report.h): set by the load phase, or by the
  // plugin list for a record that joins it without them.
  const PluginEntryPoints* entryPoints = nullptr;
  int32_t openCode = 0;
  int64_t loadTimeMs = 0;
  int64_t openTimeMs = 0;
  ReadGate readGate;

  uint32_t id() const { return loadResults.id; }
  uint32_t mask(int index) const { return loadResults.eventMasks[index]; }
  uint32_t closeOrderKey() const { return loadResults.eventMasks[DV_MASK_CLOSE_ORDER]; }
  bool wantsReader() const { return loadResults.wantsReader != 0; }
  bool delivers() const { return loadResults.deliveryOption != 0; }
};

// True when `key` has no bit outside the plugin's mask for at least one of
// the subscription classes set in `eventType`.
bool MatchesAnyClass(const PLUGININFO& plugin, uint32_t eventType, uint32_t key);

// Match keys: the flags' low 24 bits, with the high byte moved down one bit
// for read requests and up one bit for delivery.
inline uint32_t ReadMatchKey(uint32_t flags) {
  return ((flags >> 1) & 0x7f800000u) | (flags & 0x00ffffffu);
}
inline uint32_t DeliveryMatchKey(uint32_t flags) {
  return ((flags << 1) & 0xfe000000u) | (flags & 0x00ffffffu);
}

}  // namespace dv
