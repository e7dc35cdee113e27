// Test peers: the one way tests reach the inside of the core's objects.
// Production classes name their peer as a friend and offer tests nothing
// else. A peer adds no state and no code path to the class it opens: it
// hands out references to members and calls private functions, so what a
// test does through it is what the core's own code could do.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/devovor.h"

namespace dv::test {

class RequestThreadsPeer {
 public:
  // Read-request threads running now.
  static size_t threadCount(RequestThreads& requests) {
    MutexLock lock(requests.mu_);
    return requests.threads_.size();
  }
};

class EventRouterPeer {
 public:
  static EventQueue& queue(EventRouter& router) { return router.queue_; }
  static PayloadTable::Figures blockFigures(const EventRouter& router) {
    return router.payloads_.figures();
  }
  static size_t requestThreadCount(EventRouter& router) {
    return RequestThreadsPeer::threadCount(router.requests_);
  }
};

class DevovorPeer {
 public:
  explicit DevovorPeer(devovor& core) : core_(core) {}

  LogLevelTable& logLevel() { return core_.logLevel_; }
  LogLevelTable& logLevelDefault() { return core_.logLevelDefault_; }
  NameRegistry& names() { return core_.names_; }
  ConsoleWriter& console() { return core_.console_; }
  EventQueue& queue() { return EventRouterPeer::queue(core_.router_); }
  EventRouter& router() { return core_.router_; }
  PluginList& plugins() { return core_.plugins_; }
  PluginHost& host() { return core_.host_; }
  ParentChannel& parent() { return core_.parent_; }
  MemoryMonitor& monitor() { return core_.monitor_; }
  // The I/O context, which runs only from Start on: a test may poll it.
  boost::asio::io_context& io() { return core_.io_; }
  std::atomic<bool>& throttling() { return core_.throttling_; }
  std::atomic<bool>& throttlingEnabled() { return core_.throttlingEnabled_; }
  std::atomic<bool>& linger() { return core_.linger_; }
  const std::string& coreVersion() { return core_.coreVersion_; }
  std::string parentFileName() { return core_.parentIdentity_.Read().fileName; }
  std::string parentVersion() { return core_.parentIdentity_.Read().version; }
  bool stopRequested() { return queue().stopRequested(); }
  void SetParentIdentity(const std::vector<std::string>& fields) {
    core_.SetParentIdentity(fields);
  }
  void WriteStatusReport() { core_.WriteStatusReport(); }
  void PublishMemoryState() { core_.PublishMemoryState(); }
  // The I/O thread's body, on the calling thread.
  void RunIoThread() { core_.RunIoThread(); }

 private:
  devovor& core_;
};

inline DevovorPeer Peer(devovor& core) { return DevovorPeer(core); }

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
