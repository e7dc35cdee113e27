// Building the records the core passes to plugin entry points: every field
// the core does not set is zero, `size` is sizeof the record and `version`
// its layout version. Any thread; the records live on the caller's stack.
// Also the owner of the malloc'ed blocks that cross the interface.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "plugin_api/plugin.h"

namespace dv {

// A block of malloc's, freed with free(): payload copies, and the blocks
// plugins hand the core for the parent.
struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using MallocBlock = std::unique_ptr<void, FreeDeleter>;

template <typename Record>
Record ZeroedRecord(uint32_t version = DV_RECORD_VERSION) {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof record;
  record.version = version;
  return record;
}

struct IoctlCall {
  _IoctlParmsIn in;
  _IoctlParmsOut out;
};

// The records of an IOCTL request without data words.
inline IoctlCall IoctlRecords(uint32_t request) {
  IoctlCall call{ZeroedRecord<_IoctlParmsIn>(), ZeroedRecord<_IoctlParmsOut>()};
  call.in.request = request;
  call.in.blockSize = DV_BLOCK_HEADER_ONLY;
  call.in.blockVersion = DV_RECORD_VERSION;
  call.out.request = request;
  call.out.blockSize = DV_BLOCK_HEADER_ONLY;
  call.out.blockVersion = DV_RECORD_VERSION;
  return call;
}

// The records of an IOCTL request that carries a length and an address.
inline IoctlCall IoctlRecords(uint32_t request, uint32_t len, void* data) {
  IoctlCall call = IoctlRecords(request);
  call.in.blockSize = DV_IOCTL_IN_BLOCK;
  call.in.len = len;
  call.in.data = data;
  return call;
}

// The records of a Read call: an empty request for the asynchronous reader,
// or one read request's length, payload and handle.
struct ReadCall {
  _ReadParmsIn in;
  _ReadParmsOut out;
};
inline ReadCall ReadRecords(uint32_t len = 0, void* data = nullptr, void* context = nullptr) {
  ReadCall call{ZeroedRecord<_ReadParmsIn>(), ZeroedRecord<_ReadParmsOut>()};
  call.in.readFlag = 1;
  call.in.len = len;
  call.in.data = data;
  call.in.context = context;
  return call;
}

}  // namespace dv
