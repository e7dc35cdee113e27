#include "ipc/parent_channel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include "ipc/packet.h"
#include "log/log.h"
#include "platform/crash_report.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

void Log(int level, const char* text) { LogCore(level, "%s", text); }

bool IsSocket(int descriptor) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

// No program that a plugin starts may inherit the channel and talk to the
// parent daemon in the core's name.
bool CloseOnExec(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFD);
  return flags >= 0 && fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// Up to three fields, each ended by a zero byte or the end of the payload.
std::vector<std::string> SplitFields(const uint8_t* payload, uint32_t length) {
  std::vector<std::string> fields;
  uint32_t start = 0;
  for (;;) {
    const void* zero = std::memchr(payload + start, 0, length - start);
    const uint32_t end = zero ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - payload)
                              : length;
    fields.emplace_back(reinterpret_cast<const char*>(payload + start), end - start);
    if (zero == nullptr || fields.size() == 3) break;
    start = end + 1;
  }
  return fields;
}

}  // namespace

ParentChannel::ParentChannel(ChannelHooks hooks, boost::asio::io_context& io,
                             const PluginList& plugins)
    : hooks_(std::move(hooks)), plugins_(plugins), socket_(io) {}

bool ParentChannel::Open(int descriptor) {
  boost::system::error_code error;
  const bool usable = IsSocket(descriptor) && CloseOnExec(descriptor);
  if (usable) {
    socket_.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
  }
  if (!usable || error) {
    Log(100, "failed to open ipc pipe");
    return false;
  }
  open_.store(true);
  return true;
}

void ParentChannel::BeginReceiving() {
  if (IsOpen()) Receive();
}

void ParentChannel::Receive() {
  socket_.async_receive(boost::asio::buffer(receiveWindow(), receiveRoom()),
                        receiveFlags_,
                        [this](const boost::system::error_code& error, size_t bytes) {
                          OnReceived(error, bytes);
                        });
}

void ParentChannel::OnReceived(const boost::system::error_code& error, size_t bytes) {
  if (error == boost::asio::error::operation_aborted && !IsOpen()) return;
  if (error || bytes == 0) {
    LoseParent();
    return;
  }
  if ((receiveFlags_ & MSG_TRUNC) != 0) {
    // The kernel dropped the part that did not fit: nothing held is whole.
    Log(50, "bad ipc packet length");
    filled_ = 0;
  } else {
    Received(static_cast<uint32_t>(bytes));
  }
  Receive();
}

void ParentChannel::Received(uint32_t bytes) {
  filled_ += bytes;
  ParsePackets();
}

void ParentChannel::ParsePackets() {
  while (filled_ >= packet::kHeaderSize) {
    const packet::Header header = packet::DecodeHeader(buffer_);
    // A length below the header could never be consumed: bad as well.
    if (!packet::ValidLength(header.length)) {
      Log(50, "bad ipc packet length");
      filled_ = 0;
      return;
    }
    if (header.length > filled_) return;
    const uint32_t length = header.length;
    HandlePacket(buffer_, length, header.target, header.type);
    filled_ -= length;
    std::memmove(buffer_, buffer_ + length, filled_);
  }
}

void ParentChannel::HandlePacket(const uint8_t* packet, uint32_t length, uint32_t target,
                                 uint32_t type) {
  if (type == packet::kStop) {
    hooks_.requestStop();
  } else if (type == packet::kIdentity && length > packet::kHeaderSize) {
    StoreIdentity(packet + packet::kHeaderSize, length - packet::kHeaderSize);
  } else {
    ForwardRequest(packet, length, target);
  }
}

void ParentChannel::StoreIdentity(const uint8_t* payload, uint32_t length) {
  const std::vector<std::string> fields = SplitFields(payload, length);
  hooks_.setParentIdentity(fields);
}

void ParentChannel::ForwardRequest(const uint8_t* packet, uint32_t length, uint32_t target) {
  const PluginList::Snapshot plugins = plugins_.snapshot();
  const auto addressed = std::find_if(plugins->begin(), plugins->end(), [&](const auto& plugin) {
    return packet::Addresses(target, plugin->id());
  });
  if (addressed == plugins->end()) return;
  PLUGININFO& plugin = **addressed;
  // A closed plugin gets no more requests; one in progress ends before Unload.
  if (plugin.IOCTL == nullptr || !plugin.readGate.Enter()) return;
  IoctlCall call = IoctlRecords(DV_IOCTL_PARENT_REQUEST, length, const_cast<uint8_t*>(packet));
  const int32_t result =
      CallMarked(plugin.entryPoints->ioctl, plugin.IOCTL, &call.in, &call.out);
  plugin.readGate.Leave();
  if (result != 0 || call.out.errorCode != 0) {
    LogCore(0, "plugin %s ipc ioctl returned %d error %d", plugin.name.c_str(), result,
            call.out.errorCode);
  }
}

void ParentChannel::LoseParent() {
  Log(100, "vantord ipc pipe disconnected");
  Log(100, "sleeping for one minute to allow active watchdogs to expire...");
  hooks_.setLinger();
  // Closed before the stop request wakes anyone, so that no send accepted
  // after the loss can be left waiting in the queue.
  open_.store(false);
  boost::system::error_code error;
  socket_.close(error);
  hooks_.requestStop();
  if (error) throw boost::system::system_error(error, "close");
}

bool ParentChannel::Send(void* block, uint32_t len) {
  if (!IsOpen() || !accepting_.load() || sendFailed_.load()) return false;
  // If the I/O thread never runs the job, the block is freed with it.
  MallocBlock owned(block);
  boost::asio::post(socket_.get_executor(), [this, owned = std::move(owned), len]() mutable {
    Enqueue(owned.release(), len);
  });
  return true;
}

void ParentChannel::Enqueue(void* block, uint32_t len) {
  outgoing_.emplace_back(block, len);
  if (outgoing_.size() == 1 && !sendFailed_.load()) SendFront(0);
}

void ParentChannel::SendFront(uint32_t offset) {
  if (!IsOpen() || outgoing_.empty()) return;
  const auto [block, len] = outgoing_.front();
  const uint32_t chunk = std::min(len - offset, packet::kMaxSize);
  socket_.async_send(
      boost::asio::buffer(static_cast<const uint8_t*>(block) + offset, chunk), MSG_NOSIGNAL,
      [this, offset](const boost::system::error_code& error, size_t sent) {
        const uint32_t next = offset + static_cast<uint32_t>(sent);
        const uint32_t total = outgoing_.front().second;
        if (!error && next < total) {
          SendFront(next);
          return;
        }
        std::free(outgoing_.front().first);
        outgoing_.pop_front();
        if (error) {
          sendFailed_.store(true);
          return;
        }
        SendFront(0);
      });
}

void ParentChannel::FreeQueuedBlocks() {
  for (const auto& [block, len] : outgoing_) std::free(block);
  outgoing_.clear();
}

}  // namespace dv
