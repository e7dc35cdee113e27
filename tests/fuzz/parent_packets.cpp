// Fuzz target: the parent channel's packet parser.
//
// The input is a byte stream from the parent, split across receives: its
// first byte says how many of the following bytes choose receive sizes;
// the rest is the stream. Each receive hands at most the channel's free
// room to ParentChannel::Received, exactly as the socket would.
//
// The channel belongs to a real core (never started, no socket) whose
// plugin list holds records with checking IOCTL entry points. A simple
// reference reassembly decides, receive by receive, which packets must
// come out, and the checks are:
//   - every IOCTL is request 4 with the IOCTL input block, and its pointer
//     and length lie within the bytes received and not yet consumed;
//   - the length is in [16, 65536] and equals the header's length word;
//   - the packets, their bytes and the plugin each went to are exactly the
//     reference's (the first plugin whose ID bits 16-27 equal the target's
//     bits 20-31; none when that one has no IOCTL or is closed);
//   - an identity packet stores its first two fields, a stop packet stops;
//   - there is always room for the next receive;
//   - the status report, which carries the parent's file name and version,
//     is saved as core.xml and loads back as the configuration it is.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <tinyxml.h>
#include <unistd.h>

#include "config/configuration.h"
#include "config/status_report.h"
#include "config/xml_file.h"
#include "support/peers.h"

using dv::test::Peer;
#include "fuzz_support.h"
#include "ipc/packet.h"
#include "log/levels.h"
#include "plugins/plugin_info.h"

namespace {

using dv::fuzz::Reader;

// The layout's constants are shared; the reassembly below is the target's
// own reference, written apart from the channel's.
constexpr uint32_t kHeader = dv::packet::kHeaderSize;
constexpr uint32_t kMaxPacket = dv::packet::kMaxSize;
constexpr uint32_t kIdentity = dv::packet::kIdentity;
constexpr uint32_t kStop = dv::packet::kStop;

uint32_t WordAt(const uint8_t* bytes, size_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes + offset, sizeof word);
  return word;
}

// What one IOCTL saw.
struct Seen {
  int slot;
  std::vector<uint8_t> packet;
  bool operator==(const Seen& other) const {
    return slot == other.slot && packet == other.packet;
  }
};

// The bytes the channel holds during the current receive, and what its
// plugins were handed.
const uint8_t* g_heldBegin = nullptr;
const uint8_t* g_heldEnd = nullptr;
std::vector<Seen> g_seen;

template <int Slot>
int32_t CheckingIoctl(void* in_record, void* out_record) {
  auto* in = static_cast<_IoctlParmsIn*>(in_record);
  auto* out = static_cast<_IoctlParmsOut*>(out_record);
  FUZZ_CHECK(in->size == sizeof(_IoctlParmsIn) && in->version == DV_RECORD_VERSION);
  FUZZ_CHECK(out->size == sizeof(_IoctlParmsOut) && out->version == DV_RECORD_VERSION);
  FUZZ_CHECK(in->request == DV_IOCTL_PARENT_REQUEST);
  FUZZ_CHECK(in->blockSize == DV_IOCTL_IN_BLOCK);
  FUZZ_CHECK(in->len >= kHeader && in->len <= kMaxPacket);
  const auto* packet = static_cast<const uint8_t*>(in->data);
  FUZZ_CHECK(packet != nullptr);
  FUZZ_CHECK(packet >= g_heldBegin && packet <= g_heldEnd);
  FUZZ_CHECK(in->len <= static_cast<size_t>(g_heldEnd - packet));
  FUZZ_CHECK(WordAt(packet, 0) == in->len);
  g_seen.push_back({Slot, std::vector<uint8_t>(packet, packet + in->len)});
  // Some requests fail, so that the core logs the failure.
  if (packet[kHeader - 1] == 0xEE) {
    out->errorCode = 9;
    return 1;
  }
  return 0;
}

struct Slot {
  uint32_t id;
  PluginEntryFn ioctl;
  bool closed;
};

// In list order. Slots 2 and 6 are never addressed: an earlier record has
// the same route. Slot 4 has no IOCTL, slot 5 is closed.
const Slot kSlots[] = {
    {0x00040000u, CheckingIoctl<0>, false}, {0x00050000u, CheckingIoctl<1>, false},
    {0x00050001u, CheckingIoctl<2>, false}, {0x80ff0000u, CheckingIoctl<3>, false},
    {0x00060000u, nullptr, false},          {0x00070000u, CheckingIoctl<5>, true},
    {0x00070123u, CheckingIoctl<6>, false}, {0x00000000u, CheckingIoctl<7>, false},
};

// The slot the reference routes a request to, or -1.
int RouteOf(uint32_t target) {
  for (int i = 0; i < static_cast<int>(sizeof kSlots / sizeof kSlots[0]); ++i) {
    if (((target ^ (kSlots[i].id << 4)) & dv::packet::kRouteMask) != 0) continue;
    return kSlots[i].ioctl == nullptr || kSlots[i].closed ? -1 : i;
  }
  return -1;
}

// The identity packet's fields as the core splits them: up to three, each
// ended by a zero byte or the end.
std::vector<std::string> IdentityFields(const uint8_t* payload, size_t length) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < length && payload[end] != 0) ++end;
    fields.emplace_back(reinterpret_cast<const char*>(payload + start), end - start);
    if (end == length || fields.size() == 3) break;
    start = end + 1;
  }
  return fields;
}

struct Fixture {
  dv::fuzz::QuietPlatform platform{false};
  devovor core{"/nonexistent/devovor", platform};

  Fixture() {
    Peer(core).names().Insert(DV_CORE_ID, "core");
    int n = 0;
    for (const Slot& slot : kSlots) {
      auto record = std::make_shared<dv::PLUGININFO>();
      record->name = "slot" + std::to_string(n++) + ".so";
      record->loadResults.size = sizeof(_LoadParmsOut);
      record->loadResults.version = DV_LOAD_OUT_VERSION;
      record->loadResults.id = slot.id;
      record->IOCTL = slot.ioctl;
      if (slot.closed) record->readGate.Close();
      Peer(core).plugins().Append(std::move(record));
    }
  }
};

Fixture& TheFixture() {
  // Never destroyed: the core stays attached for the whole process.
  static Fixture* const fixture = new Fixture;
  return *fixture;
}

// Receive sizes: small ones around the header, or multiples of 512.
size_t ReceiveSize(uint8_t choice) { return choice < 128 ? choice : (choice - 127u) * 512u; }

// The report the core would save with this parent identity, saved and
// loaded back as the next start loads core.xml.
void CheckStatusReport(devovor& core) {
  dv::LogLevelTable levels;
  dv::LogLevelTable defaults;
  levels.Set(4, 42);
  dv::StatusFigures figures;
  figures.coreVersion = "21.09.7.0";
  figures.coreFileName = "devovor";
  figures.throttlingEnabled = false;
  figures.plugins = Peer(core).plugins().snapshot();
  figures.logLevel = &levels;
  figures.logLevelDefault = &defaults;
  figures.parentFileName = Peer(core).parentFileName();
  figures.parentVersion = Peer(core).parentVersion();
  // Exactly what SaveXmlFile writes, without its sync to disk, which
  // would cost more than the rest of the run.
  const std::string text = dv::PrintXml(*dv::BuildStatusReport(figures), true);
  FILE* file = std::fopen("core.xml", "wb");
  FUZZ_CHECK(file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size());
  FUZZ_CHECK(std::fclose(file) == 0);
  dv::XmlStatus status;

  std::string family;
  std::string version;
  std::atomic<bool> throttling{true};
  dv::LogLevelTable loaded;
  TiXmlDocument document;
  const bool read = dv::LoadXmlFile(&document, "core.xml", &status);
  if (!read) {
    std::fprintf(stderr, "core.xml does not load back: %d %s\n", status.id,
                 status.description.c_str());
  }
  FUZZ_CHECK(read);
  dv::LoadConfiguration({&family, &version, &throttling, &loaded});
  FUZZ_CHECK(loaded.Get(4) == 42 && !throttling.load());
  unlink("core.xml");
}

std::string g_folder;

void RemoveFolder() {
  if (chdir("/") == 0) {
    for (const char* name : {"core.xml", "core.xml.pending"}) unlink((g_folder + "/" + name).c_str());
    rmdir(g_folder.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The status report goes to core.xml in the current directory.
  char folder[] = "/tmp/devovor-fuzz-parent-XXXXXX";
  FUZZ_CHECK(mkdtemp(folder) != nullptr);
  g_folder = folder;
  FUZZ_CHECK(chdir(folder) == 0);
  std::atexit(RemoveFolder);
  TheFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& fixture = TheFixture();
  devovor& core = fixture.core;
  dv::test::ParentChannelPeer channel(Peer(core).parent());

  Reader reader(data, size);
  std::vector<size_t> sizes;
  for (int cuts = reader.Byte() % 16; cuts > 0; --cuts) sizes.push_back(ReceiveSize(reader.Byte()));
  size_t streamLength = 0;
  const uint8_t* stream = reader.Take(reader.left(), &streamLength);

  // The channel may still hold part of a packet from the previous input:
  // bytes of 0xff complete it (and go to its plugin) and then make a bad
  // length, which discards everything held.
  g_heldBegin = channel.receiveWindow() - (dv::ParentChannel::kBufferSize - channel.receiveRoom());
  while (channel.receiveRoom() != dv::ParentChannel::kBufferSize) {
    const uint32_t chunk = std::min(kHeader, channel.receiveRoom());
    std::memset(channel.receiveWindow(), 0xff, chunk);
    g_heldEnd = channel.receiveWindow() + chunk;
    channel.Received(chunk);
  }
  g_seen.clear();
  Peer(core).SetParentIdentity({"", ""});

  std::vector<uint8_t> held;  // the reference: bytes received, not consumed
  std::vector<Seen> expected;
  std::string fileName;
  std::string version;
  bool stopped = false;
  size_t offset = 0;
  size_t next = 0;
  while (offset < streamLength) {
    const uint32_t room = channel.receiveRoom();
    FUZZ_CHECK(room > 0 && room <= dv::ParentChannel::kBufferSize);
    FUZZ_CHECK(room == dv::ParentChannel::kBufferSize - held.size());
    size_t chunk = next < sizes.size() ? sizes[next++] : streamLength - offset;
    if (chunk == 0) chunk = 1;
    chunk = std::min({chunk, streamLength - offset, static_cast<size_t>(room)});

    uint8_t* window = channel.receiveWindow();
    std::memcpy(window, stream + offset, chunk);
    offset += chunk;
    g_heldBegin = window - held.size();
    g_heldEnd = window + chunk;

    held.insert(held.end(), window, window + chunk);
    expected.clear();
    while (held.size() >= kHeader) {
      const uint32_t length = WordAt(held.data(), 0);
      if (length > kMaxPacket || length < kHeader) {
        held.clear();
        break;
      }
      if (length > held.size()) break;
      const uint32_t target = WordAt(held.data(), 4);
      const uint32_t type = WordAt(held.data(), 8);
      if (type == kStop) {
        stopped = true;
      } else if (type == kIdentity && length > kHeader) {
        const auto fields = IdentityFields(held.data() + kHeader, length - kHeader);
        fileName = fields[0];
        if (fields.size() >= 2) version = fields[1];
      } else if (const int slot = RouteOf(target); slot >= 0) {
        expected.push_back({slot, std::vector<uint8_t>(held.begin(), held.begin() + length)});
      }
      held.erase(held.begin(), held.begin() + length);
    }

    g_seen.clear();
    channel.Received(static_cast<uint32_t>(chunk));
    FUZZ_CHECK(g_seen == expected);
    FUZZ_CHECK(channel.receiveRoom() == dv::ParentChannel::kBufferSize - held.size());
    FUZZ_CHECK(std::memcmp(channel.receiveWindow() - held.size(), held.data(), held.size()) == 0);
    FUZZ_CHECK(Peer(core).parentFileName() == fileName);
    FUZZ_CHECK(Peer(core).parentVersion() == version);
    FUZZ_CHECK(!stopped || Peer(core).stopRequested());
  }
  if (!fileName.empty() || !version.empty()) CheckStatusReport(core);
  return 0;
}
