// The parent channel's packet, defined once: the core's channel, parent-sim,
// the tests and the fuzz targets all build and read packets through this
// header (tests/fuzz/make_seeds.py reads its constants from it too).
//
// A packet is a 16-byte header of four 32-bit words in host byte order,
// {length, target, type, reserved}, then the payload. `length` counts the
// header and lies in [kHeaderSize, kMaxSize]. Type 7 is the parent's
// identity, type 8 asks the core to stop; any other type is a request for
// the first plugin whose ID bits 16-27 equal the target's bits 20-31.
//
// Header only, no state: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace dv::packet {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kMaxSize = 65536;  // also the largest block sent in one packet
constexpr uint32_t kIdentity = 7;
constexpr uint32_t kStop = 8;
constexpr uint32_t kRouteMask = 0xFFF00000u;  // the target bits that name a plugin

struct Header {
  uint32_t length;
  uint32_t target;
  uint32_t type;
  uint32_t reserved;
};
static_assert(sizeof(Header) == kHeaderSize, "the header is four 32-bit words");

// A declared length the channel can consume.
constexpr bool ValidLength(uint32_t length) {
  return length >= kHeaderSize && length <= kMaxSize;
}

// Whether a request for `target` is addressed to the plugin `pluginId`.
constexpr bool Addresses(uint32_t target, uint32_t pluginId) {
  return ((target ^ (pluginId << 4)) & kRouteMask) == 0;
}

// The header at `bytes`, which needs no alignment. REQUIRES: kHeaderSize
// readable bytes.
inline Header DecodeHeader(const uint8_t* bytes) {
  Header header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

// A whole packet, its length word the true length.
inline std::vector<uint8_t> Encode(uint32_t type, uint32_t target, const void* payload,
                                   size_t size, uint32_t reserved = 0) {
  std::vector<uint8_t> bytes(kHeaderSize + size);
  const Header header = {static_cast<uint32_t>(bytes.size()), target, type, reserved};
  std::memcpy(bytes.data(), &header, sizeof header);
  if (size != 0) std::memcpy(bytes.data() + kHeaderSize, payload, size);
  return bytes;
}

}  // namespace dv::packet
