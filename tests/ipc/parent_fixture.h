// Plays the parent daemon in tests: a real SOCK_SEQPACKET socket pair, the
// core started as a child with its end of the pair as the descriptor.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ipc/packet.h"
#include "plugins/plugin_fixture.h"
#include "support/child_process.h"

namespace dvtest {

using Bytes = std::vector<uint8_t>;

// A packet whose length word is its real size, or `declaredLength` when
// one is given.
inline Bytes Packet(uint32_t type, uint32_t target, const std::string& payload,
                    int64_t declaredLength = -1) {
  Bytes packet = dv::packet::Encode(type, target, payload.data(), payload.size(), 0xabcdef01u);
  if (declaredLength >= 0) {
    const uint32_t length = uint32_t(declaredLength);
    std::memcpy(packet.data(), &length, sizeof length);
  }
  return packet;
}

inline Bytes Identity(const std::string& fields) { return Packet(dv::packet::kIdentity, 0, fields); }
inline Bytes Stop() { return Packet(dv::packet::kStop, 0, ""); }

class Parent {
 public:
  // Starts the core of `folder` (in its folder, on a terminal unless told
  // otherwise) with one end of a fresh socket pair. On a terminal the test
  // must read what the core prints, or the core blocks once it is full.
  explicit Parent(const PluginFolder& folder, Stdout stdoutMode = Stdout::kTerminal) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
    fd_ = pair[0];
    fcntl(pair[1], F_SETFD, 0);  // the core's end is inherited
    ChildOptions options;
    options.argv = {folder.exe().string(), std::to_string(pair[1])};
    options.workDir = folder.root().string();
    options.stdoutMode = stdoutMode;
    core = std::make_unique<ChildProcess>(options);
    close(pair[1]);
  }
  ~Parent() {
    if (fd_ >= 0) close(fd_);
  }

  bool Send(const Bytes& packet) {
    return send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
  }
  // One packet from the core, or nothing after `timeout`.
  bool Receive(Bytes* packet, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) != 1) return false;
    packet->resize(70000);
    const ssize_t n = recv(fd_, packet->data(), packet->size(), 0);
    if (n <= 0) return false;
    packet->resize(size_t(n));
    return true;
  }
  void CloseEnd() {
    close(fd_);
    fd_ = -1;
  }
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout =
                                                  std::chrono::seconds(10)) {
    return core->WaitFor(Stream::kStdout, std::regex(Escape(text)), timeout).has_value();
  }
  static std::string Escape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
  }

  std::unique_ptr<ChildProcess> core;

 private:
  int fd_ = -1;
};

}  // namespace dvtest
