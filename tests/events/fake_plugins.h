// Plugins made of plain functions, for routing tests that need no shared
// objects: slot N's entry points record every call into Recorder N, and
// behave as that recorder is told (keep blocks, fail, take time, raise).
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plugin_api/helpers.h"
#include "plugins/plugin_info.h"

namespace dv::test {

struct Delivered {
  _WriteParmsIn in;
  std::string payload;
};

struct ConfigCall {
  _IoctlParmsIn in;
  std::string payload;
};

struct Recorder {
  std::mutex mu;
  std::vector<Delivered> writes;
  std::vector<ConfigCall> configs;
  std::vector<_ReadParmsIn> reads;
  std::atomic<bool> keep{false};
  std::atomic<int32_t> writeResult{0};
  std::atomic<int32_t> writeError{0};
  // Runs inside Write / Read (after recording), on the calling thread.
  std::function<void(const _WriteParmsIn&)> onWrite;
  std::function<void(const _ReadParmsIn&)> onRead;

  size_t writeCount() {
    std::lock_guard<std::mutex> lock(mu);
    return writes.size();
  }
  std::vector<_ReadParmsIn> readsSoFar() {
    std::lock_guard<std::mutex> lock(mu);
    return reads;
  }
};

constexpr int kSlots = 8;
Recorder& RecorderFor(int slot);
void ResetRecorders();

template <int N>
int32_t FakeWrite(void* in, void* out) {
  auto* win = static_cast<_WriteParmsIn*>(in);
  auto* wout = static_cast<_WriteParmsOut*>(out);
  Recorder& r = RecorderFor(N);
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.writes.push_back(
        {*win, win->data ? std::string(static_cast<const char*>(win->data), win->len) : ""});
  }
  if (r.onWrite) r.onWrite(*win);
  wout->keep = r.keep.load() ? 1 : 0;
  wout->errorCode = r.writeError.load();
  return r.writeResult.load();
}

template <int N>
int32_t FakeIoctl(void* in, void* out) {
  auto* iin = static_cast<_IoctlParmsIn*>(in);
  auto* iout = static_cast<_IoctlParmsOut*>(out);
  Recorder& r = RecorderFor(N);
  std::lock_guard<std::mutex> lock(r.mu);
  r.configs.push_back(
      {*iin, iin->data ? std::string(static_cast<const char*>(iin->data), iin->len) : ""});
  iout->keep = r.keep.load() ? 1 : 0;
  return 0;
}

template <int N>
int32_t FakeRead(void* in, void*) {
  auto* rin = static_cast<_ReadParmsIn*>(in);
  Recorder& r = RecorderFor(N);
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.reads.push_back(*rin);
  }
  if (r.onRead) r.onRead(*rin);
  return 0;
}

// A record for slot N with the given ID, every class mask set to `mask`.
template <int N>
std::shared_ptr<PLUGININFO> FakePlugin(uint32_t id, uint32_t mask = 0xffffffffu,
                                       bool delivers = true) {
  auto plugin = std::make_shared<PLUGININFO>();
  plugin->name = "p" + std::to_string(N) + ".so";
  plugin->loadResults.size = sizeof(_LoadParmsOut);
  plugin->loadResults.version = DV_LOAD_OUT_VERSION;
  plugin->loadResults.id = id;
  for (uint32_t& m : plugin->loadResults.eventMasks) m = mask;
  plugin->loadResults.deliveryOption = delivers ? 1 : 0;
  plugin->Write = FakeWrite<N>;
  plugin->IOCTL = FakeIoctl<N>;
  plugin->Read = FakeRead<N>;
  return plugin;
}

// A plugin of slot N that serves read requests and takes no Writes.
template <int N>
std::shared_ptr<PLUGININFO> FakeReader(uint32_t id) {
  auto reader = FakePlugin<N>(id, 0, /*delivers=*/false);
  reader->loadResults.wantsReader = 1;
  return reader;
}

// A zeroed event record with size and version set.
inline _EventParmsIn Event(uint32_t provider, uint32_t type, uint32_t flags = 0) {
  _EventParmsIn in;
  dv_event_init(&in, provider, type, flags);
  return in;
}

}  // namespace dv::test
