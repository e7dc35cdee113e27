// Fuzz target: the event entry and the delivery loop.
//
// Each input builds a real core (never started) with up to four plugins
// made of this file's functions, raises a sequence of event records
// decoded from the input through PluginEventCallback, exactly as plugins
// do, then stops the core and runs its delivery loop, and finally gives
// back every block a plugin kept and destroys the core. A plugin's pointer
// and length are always valid (that is the entry's contract: payloads
// point into the input, or into a buffer made for a long one); every other
// field is fuzzed: classes, types and flags (known and unknown), lengths
// far beyond what a type needs, null payloads, releases of unknown blocks
// and with foreign holders, replies from threads that may not reply, log
// messages and queries against odd kinds, stores to the threshold tables,
// video frames with and without key frames while throttled or not.
//
// The plugins follow a script from the input: per call, keep the block or
// not, fail, give a block back (during the call or later), raise an event
// from inside delivery, or take long enough to be logged as slow. Their
// Read, on the core's read-request threads, raises replies.
//
// Checked: every record handed to a plugin is well formed and its payload
// readable in full (AddressSanitizer sees every byte read); the entry's
// results are among the documented ones; nothing leaks once the plugins
// have given back what they kept (LeakSanitizer); nothing crashes.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/peers.h"

using dv::test::Peer;
using dv::test::EventRouterPeer;
#include "events/callback.h"
#include "events/fake_plugins.h"
#include "fuzz_support.h"
#include "log/levels.h"
#include "plugins/plugin_info.h"

namespace {

using dv::fuzz::Reader;

constexpr int kMaxPlugins = 4;
constexpr int kMaxEvents = 64;
constexpr int kMaxReadRequests = 4;

// Per-input state shared with the plugin functions. The delivery loop and
// the main thread touch it one at a time; read-request threads only raise
// events and use nothing here but the bytes they were handed.
struct Plugin {
  uint32_t id = 0;
  std::vector<uint8_t> script;
  size_t step = 0;
  uint8_t Next() { return step < script.size() ? script[step++] : 0; }
};

struct Run {
  dv::fuzz::QuietPlatform* platform = nullptr;
  Plugin plugins[kMaxPlugins];
  // Blocks a plugin kept and has not given back: (block, holder).
  std::set<std::pair<void*, uint32_t>> kept;
  // The block and holder of the call in progress, and whether that holder
  // gave the block back during the call.
  void* current = nullptr;
  uint32_t currentHolder = 0;
  bool releasedDuringCall = false;
};
Run* g_run = nullptr;

bool DocumentedResult(int32_t result) {
  return result == DV_RESULT_OK || result == DV_RESULT_REFUSED || result == DV_RESULT_NO_MEMORY ||
         result == DV_RESULT_NO_KEY_FRAME || result == DV_RESULT_TOO_MANY_FRAMES ||
         result == DV_RESULT_THROTTLED;
}

int32_t Raise(_EventParmsIn in) {
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  FUZZ_CHECK(PluginEventCallback(&in, &out) == 0);
  return out.result;
}

void Release(void* block, uint32_t holder) {
  _EventParmsIn in = dv::test::Event(holder, DV_EVENT_RELEASE, 0);
  in.data = block;
  Raise(in);
  if (g_run->kept.erase({block, holder}) == 0 && block == g_run->current &&
      holder == g_run->currentHolder) {
    g_run->releasedDuringCall = true;
  }
}

// Reads every byte, so that a short or freed block shows: a copy, which
// the sanitizers check as one range.
void Touch(const void* data, uint32_t len) {
  if (len == 0) return;
  std::vector<uint8_t> scratch(len);
  std::memcpy(scratch.data(), data, len);
}

// The threads of this process. Read-request threads are detached, so the
// only sign that one has ended for good is its leaving /proc/self/task.
int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// ThreadSanitizer starts a thread of its own, for good, at the first thread
// the process creates; one thread started and joined before the first run
// makes it part of every baseline count.
int BaselineThreadCount() {
  static const bool settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)settled;
  return ThreadCount();
}

// Waits until the threads started during the run have ended, so that none
// outlives it (and LeakSanitizer, which checks between runs, never meets
// one that is half way out). Ten seconds is a hang.
void AwaitThreads(int before) {
  for (int waited = 0; ThreadCount() > before; ++waited) {
    FUZZ_CHECK(waited < 100'000);
    usleep(100);
  }
}

// One scripted step of a plugin inside Write or IOCTL. Returns whether to
// keep the block; sets the call's result and error code.
bool Act(int slot, void* block, uint32_t len, int32_t* result, int32_t* error) {
  Plugin& self = g_run->plugins[slot];
  const uint8_t step = self.Next();
  g_run->current = block;
  g_run->currentHolder = self.id;
  g_run->releasedDuringCall = false;
  switch ((step >> 2) & 7) {
    case 1:  // give this block back during the call
      if (block) Release(block, self.id);
      break;
    case 2:  // give back a block kept earlier, by whoever keeps it
      if (!g_run->kept.empty()) {
        auto it = g_run->kept.begin();
        std::advance(it, self.Next() % g_run->kept.size());
        const auto [earlier, holder] = *it;
        Release(earlier, holder);
      }
      break;
    case 3:  // a release that names the wrong holder, or no block at all
      Release(block, DV_CORE_ID);
      Release(block, self.id ^ 0x10000u);
      Release(nullptr, self.id);
      break;
    case 4: {  // raise from inside delivery (refused after the stop)
      _EventParmsIn in = dv::test::Event(self.id, self.Next() % 2 ? DV_EVENT_LOG : 0x8u,
                                DV_FLAG_LOG_MESSAGE);
      in.level = self.Next();
      in.data = block;
      in.len = len;
      const int32_t raised = Raise(in);
      FUZZ_CHECK(DocumentedResult(raised));
      break;
    }
    case 5:  // slow: the core times the call
      g_run->platform->steadyNs += 7'000'000;
      break;
    default:
      break;
  }
  *result = (step & 0x20) ? 1 : 0;
  *error = (step & 0x40) ? -3 : 0;
  const bool keep = (step & 1) != 0 && block != nullptr && !g_run->releasedDuringCall;
  if (keep) g_run->kept.insert({block, self.id});
  g_run->current = nullptr;
  return keep;
}

template <int Slot>
int32_t FuzzWrite(void* in_record, void* out_record) {
  auto* in = static_cast<_WriteParmsIn*>(in_record);
  auto* out = static_cast<_WriteParmsOut*>(out_record);
  FUZZ_CHECK(in->size == sizeof(_WriteParmsIn) && in->version == DV_RECORD_VERSION);
  FUZZ_CHECK(out->size == sizeof(_WriteParmsOut) && out->keep == 0);
  FUZZ_CHECK((in->data == nullptr) == (in->len == 0));
  Touch(in->data, in->len);
  int32_t result = 0;
  int32_t error = 0;
  out->keep = Act(Slot, in->data, in->len, &result, &error) ? 1 : 0;
  out->errorCode = error;
  return result;
}

template <int Slot>
int32_t FuzzIoctl(void* in_record, void* out_record) {
  auto* in = static_cast<_IoctlParmsIn*>(in_record);
  auto* out = static_cast<_IoctlParmsOut*>(out_record);
  FUZZ_CHECK(in->size == sizeof(_IoctlParmsIn) && in->version == DV_RECORD_VERSION);
  FUZZ_CHECK(in->request == DV_IOCTL_CONFIG_UPDATE);
  // A configuration event without a payload reaches IOCTL as null / 0.
  FUZZ_CHECK((in->data == nullptr) == (in->len == 0));
  Touch(in->data, in->len);
  int32_t result = 0;
  int32_t error = 0;
  out->keep = Act(Slot, in->data, in->len, &result, &error) ? 1 : 0;
  out->errorCode = error;
  return result;
}

// On a read-request thread: replies as the request's first byte says (0 to
// 2 replies, with or without a payload), then returns.
template <int Slot>
int32_t FuzzRead(void* in_record, void*) {
  auto* in = static_cast<_ReadParmsIn*>(in_record);
  FUZZ_CHECK(in->size == sizeof(_ReadParmsIn) && in->version == DV_RECORD_VERSION);
  FUZZ_CHECK((in->data == nullptr) == (in->len == 0));
  Touch(in->data, in->len);
  const uint8_t how = in->len ? static_cast<const uint8_t*>(in->data)[0] : 0;
  static const char kReply[] = "reply";
  for (int i = 0; i < how % 3; ++i) {
    _EventParmsIn reply = dv::test::Event(0x00040000u + Slot, DV_EVENT_CLASS3, 0);
    reply.context = in->context;
    if (how & 0x10) {
      reply.data = const_cast<char*>(kReply);
      reply.len = sizeof kReply;
    }
    FUZZ_CHECK(DocumentedResult(Raise(reply)));
  }
  return 0;
}

const PluginEntryFn kWrites[kMaxPlugins] = {FuzzWrite<0>, FuzzWrite<1>, FuzzWrite<2>, FuzzWrite<3>};
const PluginEntryFn kIoctls[kMaxPlugins] = {FuzzIoctl<0>, FuzzIoctl<1>, FuzzIoctl<2>, FuzzIoctl<3>};
const PluginEntryFn kReads[kMaxPlugins] = {FuzzRead<0>, FuzzRead<1>, FuzzRead<2>, FuzzRead<3>};

// An identifier the load phase would accept: no reserved bits (24-27), not
// the core's, not one already loaded.
uint32_t PluginId(Reader& reader, int slot, const dv::NameRegistry& names) {
  static const uint32_t kIds[] = {0x00040000u, 0x00050000u, 0x00060000u, 0x00ff0000u,
                                  0x80fe0000u, 0x00fe0001u, 0x00040000u};
  const uint8_t choice = reader.Byte();
  uint32_t id = choice < 200 ? kIds[choice % (sizeof kIds / sizeof kIds[0])] : reader.U32();
  id &= ~0x0f000000u;
  if (id == 0 || names.Contains(id)) id = 0x00100000u + (static_cast<uint32_t>(slot) << 16);
  return id;
}

uint32_t Mask(Reader& reader) {
  static const uint32_t kMasks[] = {0xffffffffu, 0u, 0x00ffffffu, 0x7f800000u, 0x01000000u};
  const uint8_t choice = reader.Byte();
  return choice < 200 ? kMasks[choice % (sizeof kMasks / sizeof kMasks[0])] : reader.U32();
}

uint32_t Provider(Reader& reader) {
  const uint8_t choice = reader.Byte();
  switch (choice % 8) {
    case 0: case 1: case 2: return g_run->plugins[choice % kMaxPlugins].id;
    case 3: return DV_CORE_ID;
    case 4: return 0x00ff0000u;  // kind 255: no table entry of its own
    case 5: return 0x0fff1234u;
    default: {
      const uint32_t raw = reader.U32();
      return raw ? raw : 1;
    }
  }
}

void* Context(Reader& reader) {
  static int handles[3];
  const uint8_t choice = reader.Byte() % 4;
  return choice == 0 ? nullptr : &handles[choice - 1];
}

// Points `in` at up to `max` input bytes, or at nothing, or at a long
// buffer kept in `owned`.
void Payload(Reader& reader, _EventParmsIn* in, std::vector<std::unique_ptr<uint8_t[]>>* owned) {
  const uint8_t choice = reader.Byte();
  if (choice < 16) return;  // null, length 0
  if (choice < 24) {        // a pointer with length 0
    in->data = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(&choice));
    return;
  }
  if (choice >= 248) {  // long: up to 256 KiB
    const uint32_t len = 1 + (static_cast<uint32_t>(reader.U16()) << 2);
    owned->emplace_back(new uint8_t[len]);
    std::memset(owned->back().get(), reader.Byte(), len);
    in->data = owned->back().get();
    in->len = len;
    return;
  }
  size_t taken = 0;
  const uint8_t* bytes = reader.Take(choice - 24, &taken);
  if (taken != 0) {
    in->data = const_cast<uint8_t*>(bytes);
    in->len = static_cast<uint32_t>(taken);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int threadsBefore = BaselineThreadCount();
  Reader reader(data, size);
  const uint8_t setup = reader.Byte();
  dv::fuzz::QuietPlatform platform((setup & 1) != 0);
  Run run;
  run.platform = &platform;
  g_run = &run;
  std::vector<std::unique_ptr<uint8_t[]>> owned;
  {
    devovor core("/nonexistent/devovor", platform);
    Peer(core).names().Insert(DV_CORE_ID, "core");
    Peer(core).throttling().store((setup & 2) != 0);

    const int plugins = 1 + (setup >> 2) % kMaxPlugins;
    for (int slot = 0; slot < plugins; ++slot) {
      Plugin& plugin = run.plugins[slot];
      plugin.id = PluginId(reader, slot, Peer(core).names());
      const uint8_t traits = reader.Byte();
      auto record = std::make_shared<dv::PLUGININFO>();
      record->name = "fuzz" + std::to_string(slot) + ".so";
      record->loadResults.size = sizeof(_LoadParmsOut);
      record->loadResults.version = DV_LOAD_OUT_VERSION;
      record->loadResults.id = plugin.id;
      const uint32_t mask = Mask(reader);
      for (uint32_t& m : record->loadResults.eventMasks) m = mask;
      if (traits & 0x10) record->loadResults.eventMasks[reader.Byte() % DV_MASK_COUNT] = Mask(reader);
      record->loadResults.deliveryOption = (traits & 1) ? 0 : 1;
      record->loadResults.wantsReader = (traits & 2) ? 1 : 0;
      if (!(traits & 4)) record->Write = kWrites[slot];
      if (!(traits & 8)) record->IOCTL = kIoctls[slot];
      record->Read = kReads[slot];
      for (int i = 0; i < 16; ++i) plugin.script.push_back(reader.Byte());
      Peer(core).names().Insert(plugin.id, record->name.substr(0, record->name.size() - 3));
      Peer(core).plugins().Append(std::move(record));
    }

    int readRequests = 0;
    for (int event = 0; event < kMaxEvents && !reader.empty(); ++event) {
      const uint8_t kind = reader.Byte();
      _EventParmsIn in = dv::test::Event(0, 0, 0);
      bool raise = true;
      switch (kind % 18) {
        case 0:  // log message
          in = dv::test::Event(Provider(reader), DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE | (reader.Byte() & 1));
          in.level = static_cast<int8_t>(reader.Byte());
          Payload(reader, &in, &owned);
          break;
        case 1:  // log-level query
          in = dv::test::Event(Provider(reader), DV_EVENT_LOG, DV_FLAG_LOG_QUERY);
          break;
        case 2:  // video frame
          in = dv::test::Event(Provider(reader), DV_EVENT_VIDEO | (reader.Byte() & 0x40),
                      DV_FLAG_VIDEO | (reader.Byte() << 16));
          in.keyFrame = reader.Byte() % 3;
          in.producerWord = reader.U32();
          Payload(reader, &in, &owned);
          break;
        case 3:  // configuration update
          in = dv::test::Event(Provider(reader), DV_EVENT_CONFIG, DV_FLAG_XML);
          Payload(reader, &in, &owned);
          break;
        case 4:  // an event of one of the classes
          in = dv::test::Event(Provider(reader), 1u << (reader.Byte() % 11), reader.U32());
          Payload(reader, &in, &owned);
          break;
        case 5: {  // release of a block the core never handed out
          static const uintptr_t kUnknown = 0x1234;
          in = dv::test::Event(Provider(reader), DV_EVENT_RELEASE, 0);
          const uint8_t which = reader.Byte() % 3;
          in.data = which == 0 ? nullptr
                    : which == 1 ? const_cast<uint8_t*>(data)
                                 : reinterpret_cast<void*>(kUnknown);
          break;
        }
        case 6: {  // parent send: the block passes to the core
          in = dv::test::Event(Provider(reader), DV_EVENT_PARENT_SEND, 0);
          size_t taken = 0;
          const uint8_t* bytes = reader.Take(reader.Byte(), &taken);
          if (reader.Byte() & 1) {
            in.data = std::malloc(taken ? taken : 1);
            FUZZ_CHECK(in.data != nullptr);
            if (taken) std::memcpy(in.data, bytes, taken);
            in.len = static_cast<uint32_t>(taken);
          }
          break;
        }
        case 7:  // read request
          if (readRequests++ >= kMaxReadRequests) {
            raise = false;
            break;
          }
          in = dv::test::Event(0, 1u << (reader.Byte() % 11), reader.U32());
          in.context = Context(reader);
          Payload(reader, &in, &owned);
          break;
        case 8:  // close request
          in = dv::test::Event(0, DV_EVENT_CLOSE_REQUEST, 0);
          in.context = Context(reader);
          break;
        case 9:  // a reply from a thread that is no read-request thread
          in = dv::test::Event(Provider(reader), DV_EVENT_CLASS3, 0);
          in.context = Context(reader);
          Payload(reader, &in, &owned);
          break;
        case 10: {  // any record at all
          in = dv::test::Event(reader.U32(), reader.U32(), reader.U32());
          if (in.eventType == DV_EVENT_PARENT_SEND || in.eventType == DV_EVENT_RELEASE) {
            in.eventType = 0x8000u;  // those pass memory: cases 5 and 6
          }
          if (in.providerID == 0 && readRequests++ >= kMaxReadRequests) in.providerID = 1;
          in.level = static_cast<int32_t>(reader.U32());
          in.keyFrame = reader.Byte();
          in.context = Context(reader);
          Payload(reader, &in, &owned);
          break;
        }
        case 11:
          core.RequestStop();
          raise = false;
          break;
        case 12:
          Peer(core).PublishMemoryState();
          raise = false;
          break;
        case 13: {  // a store to the threshold tables, kinds past the end too
          const uint32_t kindIndex = reader.U16() % 300;
          const int level = static_cast<int>(reader.Byte() % 102) - 1;
          (reader.Byte() & 1 ? Peer(core).logLevel() : Peer(core).logLevelDefault()).Set(kindIndex, level);
          raise = false;
          break;
        }
        case 14:
          Peer(core).throttling().store(!Peer(core).throttling().load());
          raise = false;
          break;
        case 15:  // a minute passes: the queue report is due
          platform.steadyNs += 61'000'000'000;
          raise = false;
          break;
        case 16: {  // a log message and a query in one record
          in = dv::test::Event(Provider(reader), DV_EVENT_LOG | DV_EVENT_CLASS5,
                      DV_FLAG_LOG_MESSAGE | DV_FLAG_LOG_QUERY);
          in.level = static_cast<int8_t>(reader.Byte());
          Payload(reader, &in, &owned);
          break;
        }
        default: {  // a null record, or no record for the answer
          _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
          FUZZ_CHECK(PluginEventCallback(nullptr, &out) == 0 && out.result == DV_RESULT_REFUSED);
          FUZZ_CHECK(PluginEventCallback(&in, nullptr) == 0);
          raise = false;
          break;
        }
      }
      if (!raise) continue;
      const bool query = in.eventType & DV_EVENT_LOG && (in.flags & DV_FLAG_LOG_QUERY) &&
                         !(in.flags & DV_FLAG_LOG_MESSAGE) && in.providerID != 0 &&
                         in.eventType != DV_EVENT_RELEASE && in.eventType != DV_EVENT_PARENT_SEND;
      const int32_t result = Raise(in);
      if (query) {
        FUZZ_CHECK(result >= -1 && result <= 100);
      } else {
        FUZZ_CHECK(DocumentedResult(result));
      }
    }

    core.RequestStop();
    Peer(core).router().RunEventLoop();

    // The plugins give back what they kept; then no read-request thread
    // may still be inside a plugin.
    while (!run.kept.empty()) {
      const auto [block, holder] = *run.kept.begin();
      Release(block, holder);
      run.kept.erase({block, holder});
    }
    for (const auto& plugin : Peer(core).plugins().ownerView()) {
      plugin->readGate.Close();
      plugin->readGate.WaitIdle();
    }
    FUZZ_CHECK(EventRouterPeer::blockFigures(Peer(core).router()).blocks == 0);
  }
  AwaitThreads(threadsBefore);
  g_run = nullptr;
  return 0;
}
