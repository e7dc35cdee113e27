// Test peers: the one way tests reach the inside of the core's objects.
// Production classes name their peer as a friend and offer tests nothing
// else; a peer only hands out references, it changes no behaviour.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "core/devovor.h"

namespace dv::test {

class DevovorPeer {
 public:
  explicit DevovorPeer(devovor& core) : core_(core) {}

  LogLevelTable& logLevel() { return core_.logLevel_; }
  LogLevelTable& logLevelDefault() { return core_.logLevelDefault_; }
  NameRegistry& names() { return core_.names_; }
  ConsoleWriter& console() { return core_.console_; }
  EventQueue& queue() { return core_.router_.queue(); }
  EventRouter& router() { return core_.router_; }
  PluginList& plugins() { return core_.plugins_; }
  PluginHost& host() { return core_.host_; }
  ParentChannel& parent() { return core_.parent_; }
  MemoryMonitor& monitor() { return core_.monitor_; }
  std::atomic<bool>& throttling() { return core_.throttling_; }
  std::atomic<bool>& throttlingEnabled() { return core_.throttlingEnabled_; }
  std::atomic<bool>& linger() { return core_.linger_; }
  const std::string& coreVersion() { return core_.coreVersion_; }
  std::string parentFileName() { return core_.parentFileName(); }
  std::string parentVersion() { return core_.parentVersion(); }
  bool stopRequested() { return core_.router_.queue().stopRequested(); }
  void SetParentIdentity(const std::vector<std::string>& fields) {
    core_.SetParentIdentity(fields);
  }
  void WriteStatusReport() { core_.WriteStatusReport(); }

 private:
  devovor& core_;
};

inline DevovorPeer Peer(devovor& core) { return DevovorPeer(core); }

class EventRouterPeer {
 public:
  static RouterHooks& hooks(EventRouter& router) { return router.hooks_; }
};

class ParentChannelPeer {
 public:
  explicit ParentChannelPeer(ParentChannel& channel) : channel_(channel) {}
  uint8_t* receiveWindow() { return channel_.receiveWindow(); }
  uint32_t receiveRoom() const { return channel_.receiveRoom(); }
  void Received(uint32_t bytes) { channel_.Received(bytes); }

 private:
  ParentChannel& channel_;
};

}  // namespace dv::test
