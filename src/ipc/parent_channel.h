// The parent channel: the inherited sequenced-packet socket to the parent
// daemon.
//
// From the parent: an identity packet (type 7) names the parent's library
// and version and may put the core in the background; a stop packet (type
// 8) stops the core; anything else is a request for the first plugin whose
// ID bits 16-27 equal the packet's target bits 20-31, handed to its IOCTL
// (request 4) with a pointer into the receive buffer. To the parent: the
// plugins' blocks, one packet per at most 65,536 bytes, in order.
//
// Packets (ipc/packet.h): a 16-byte header {length, target, type, reserved}
// in host byte order, then the payload; length counts the header and is at
// most 65,536. A declared length above 65,536 or below 16 is a bad length:
// everything buffered is discarded and reception goes on with the next bytes.
//
// Loss of the parent (receive error or end of stream) logs two level-100
// messages, sets the linger flag, requests a stop and closes the socket for
// good. After a failed send nothing more is sent; blocks still queued are
// freed by the core at the end of the run, never sent.
//
// Threads: Open on the main thread in Initialize; BeginReceiving on the main
// thread before the I/O thread runs; Send from any thread (it posts to the
// I/O thread); FreeQueuedBlocks on the main thread after the I/O thread has
// been joined. Everything else runs on the I/O thread, so the buffer and
// the outgoing queue need no lock. A plugin's IOCTL for a parent request
// runs on the I/O thread with no lock of the core held, and never once the
// plugin's Close has been called.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "plugins/plugin_list.h"

namespace dv {
namespace test {
class ParentChannelPeer;
}

// What the channel needs of the core; called on the I/O thread.
struct ChannelHooks {
  std::function<void()> requestStop;  // a stop packet, or the parent is gone
  // The identity packet's fields (file name, version, "Background:true").
  std::function<void(const std::vector<std::string>& fields)> setParentIdentity;
  std::function<void()> setLinger;  // linger a minute before plugins close
};

class ParentChannel {
 public:
  static constexpr uint32_t kBufferSize = 65536;  // one packet of the largest size

  ParentChannel(ChannelHooks hooks, boost::asio::io_context& io, const PluginList& plugins);

  // Wraps the inherited descriptor and marks it close-on-exec; false (after
  // "failed to open ipc pipe") when it is not an open socket that can be
  // registered.
  bool Open(int descriptor);
  bool IsOpen() const { return open_.load(); }
  void BeginReceiving();

  // Hands a malloc'ed block to the channel. False when it can no longer be
  // sent (the channel is closed, a send failed, or the I/O thread is
  // stopping): the block is then still the caller's to free.
  bool Send(void* block, uint32_t len);

  // No send is accepted from now on. REQUIRES: main thread, before the I/O
  // context is stopped. A block accepted earlier is sent or freed.
  void StopSending() { accepting_.store(false); }

  // Frees every block still queued, unsent. REQUIRES: I/O thread joined.
  void FreeQueuedBlocks();

 private:
  friend class test::ParentChannelPeer;  // the packet fuzzer drives the parser

  using Socket = boost::asio::generic::seq_packet_protocol::socket;

  // The receive path below the socket, which the packet parser's fuzz
  // target drives through the test peer: one receive writes at most
  // receiveRoom() bytes (never 0 room) at receiveWindow() and hands them
  // over with Received, which handles every whole packet then held, in
  // order, and keeps the rest for the next receive. REQUIRES: the I/O thread, or (the channel
  // not open, the I/O context not running) any one thread at a time.
  uint8_t* receiveWindow() { return buffer_ + filled_; }
  uint32_t receiveRoom() const { return kBufferSize - filled_; }
  void Received(uint32_t bytes);

  void Receive();
  void OnReceived(const boost::system::error_code& error, size_t bytes);
  void ParsePackets();
  void HandlePacket(const uint8_t* packet, uint32_t length, uint32_t target, uint32_t type);
  void StoreIdentity(const uint8_t* payload, uint32_t length);
  void ForwardRequest(const uint8_t* packet, uint32_t length, uint32_t target);
  void LoseParent();
  void Enqueue(void* block, uint32_t len);
  void SendFront(uint32_t offset);

  const ChannelHooks hooks_;
  const PluginList& plugins_;
  Socket socket_;
  std::atomic<bool> open_{false};
  std::atomic<bool> accepting_{true};
  std::atomic<bool> sendFailed_{false};
  std::deque<std::pair<void*, uint32_t>> outgoing_;  // I/O thread only
  boost::asio::socket_base::message_flags receiveFlags_ = 0;
  uint8_t buffer_[kBufferSize];
  uint32_t filled_ = 0;  // bytes at the start of buffer_ not yet consumed
};

}  // namespace dv
