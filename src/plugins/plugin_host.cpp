#include "plugins/plugin_host.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "log/log.h"
#include "platform/crash_report.h"
#include "platform/elf_search_path.h"
#include "platform/plugin_code.h"
#include "platform/trusted_path.h"
#include "plugins/discovery.h"
#include "plugins/plugin_records.h"
#include "plugins/plugin_threads.h"

namespace dv {
namespace {

constexpr uint32_t kFirstPluginId = 0x60000;
constexpr uint32_t kResidentPluginId = 0x470000;
constexpr uint32_t kReservedIdBits = 0x0F000000;
constexpr int32_t kNotExported = -100;
constexpr int64_t kNsPerMs = 1'000'000;

void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogCoreV(level, format, args);
  va_end(args);
}

// Calls a plugin's Close or Unload (`entryName`; `what` names it in the
// message) with zeroed records; a failure is logged, and the core goes on.
template <typename In, typename Out>
void CallStopEntry(const PLUGININFO& plugin, PluginEntryFn entry, const EntryPoint& where,
                   const char* what) {
  In in = ZeroedRecord<In>(DV_RECORD_VERSION);
  Out out = ZeroedRecord<Out>(DV_RECORD_VERSION);
  const int32_t result =
      entry != nullptr ? CallMarked(where, entry, &in, &out)
                       : kNotExported;
  if (result != 0 || out.errorCode != 0) {
    Log(0, "plugin %s %s returned %d error %d", plugin.name.c_str(), what, result,
        out.errorCode);
  }
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why the libraries the plugin at `path` names could come from elsewhere
// than root: an empty or relative entry in its library search path (read
// from the current folder, the invoker's), or a folder named there that
// someone else could fill. $ORIGIN entries the loader ignores in a
// set-user-ID process.
std::string WhyNotRootsSearchPath(const std::string& path) {
  ElfSearchPath search;
  std::string error;
  if (!ReadElfSearchPath(path, &search, &error)) return path + " cannot be read: " + error;
  if (std::string unsafe = UnsafeSearchPath(search); !unsafe.empty()) {
    return path + " has an unsafe library search path: " + unsafe;
  }
  for (const auto* entries : {&search.rpath, &search.runpath}) {
    for (const std::string& entry : *entries) {
      if (entry[0] != '/') continue;
      if (std::string why = WhyNotRootsAlone(entry, PathKind::kFolderIfPresent); !why.empty()) {
        return path + " searches " + entry + " for libraries: " + why;
      }
    }
  }
  return "";
}

// Why root alone does not control the plugin file at `path`, the
// libraries it names, or the settings file "<stem>.conf" beside it (when
// there is one); empty when it does. Links are followed, and every folder
// on the way is judged.
std::string WhyNotRootsPlugin(const std::string& path) {
  if (std::string why = WhyNotRootsAlone(path, PathKind::kFile); !why.empty()) return why;
  if (std::string why = WhyNotRootsSearchPath(path); !why.empty()) return why;
  const size_t dot = path.rfind('.');
  const std::string settings = path.substr(0, dot) + ".conf";
  struct stat facts;
  if (lstat(settings.c_str(), &facts) != 0 && errno == ENOENT) return "";
  return WhyNotRootsAlone(settings, PathKind::kFile);
}

// The crash report stops naming the plugin for code that may go away.
void CloseLibrary(void* library) {
  ForgetPluginCode(library);
  dlclose(library);
}

PluginEntryFn Lookup(void* library, const char* name) {
  return reinterpret_cast<PluginEntryFn>(dlsym(library, name));
}

}  // namespace

std::string RegisteredName(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return stem;
}

bool IsLogLevelProposal(uint32_t id, int32_t level) {
  const uint32_t kind = (id >> 16) & 0xff;
  return kind < DV_LOG_KINDS && level >= -1 && level <= 100 && level != 0;
}

PluginHost::PluginHost(HostHooks hooks, PluginList& plugins, NameRegistry& names,
                       LogLevelTable& logLevel, LogLevelTable& logLevelDefault)
    : hooks_(std::move(hooks)),
      plugins_(plugins),
      names_(names),
      logLevel_(logLevel),
      logLevelDefault_(logLevelDefault) {}

void PluginHost::LoadPhase() { LoadCandidates(DiscoverPlugins(hooks_.executablePath)); }

void PluginHost::LoadCandidates(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) LoadOne(path);
}

void PluginHost::LoadOne(const std::string& path) {
  LoadAttempt attempt = LoadCandidate(path);
  if (!attempt.accepted) return;
  std::shared_ptr<PLUGININFO>& plugin = attempt.plugin;
  if (plugin->loadResults.wantsWorker != 0 && plugin->IOCTL != nullptr) ProvideWorkerThread(*plugin);
  if (plugin->id() == kFirstPluginId) {
    plugins_.PushFront(std::move(plugin));
  } else {
    plugins_.Append(std::move(plugin));
  }
}

void PluginHost::TrustOnlyRootsFiles() { rootsFilesOnly_ = true; }

void PluginHost::RecordFailure(const std::string& name, const std::string& text) {
  Log(100, "Core: Failed to load plugin '%s': %s", name.c_str(), text.c_str());
  MutexLock lock(failedMu_);
  failed_[name] = text;
}

PluginHost::LoadAttempt PluginHost::LoadCandidate(const std::string& path) {
  LoadAttempt attempt;
  attempt.plugin = std::make_shared<PLUGININFO>();
  PLUGININFO& plugin = *attempt.plugin;
  const std::string name = FileNameOf(path);
  plugin.name = name;
  plugin.entryPoints = &EntryPointsOf(name);
  if (rootsFilesOnly_) {
    if (std::string why = WhyNotRootsPlugin(path); !why.empty()) {
      RecordFailure(name, why);
      return attempt;
    }
  }
  void* library = dlopen(path.c_str(), RTLD_NOW);
  if (library == nullptr) {
    const char* error = dlerror();
    RecordFailure(name, error ? error : "unknown error");
    return attempt;
  }
  Log(0, "Core: Loaded plugin: %s", name.c_str());
  RecordPluginCode(library, name.c_str());  // before Load can start a thread of its own

  plugin.library = library;
  plugin.Load = Lookup(library, "Load");
  plugin.Unload = Lookup(library, "Unload");
  plugin.Open = Lookup(library, "Open");
  plugin.Close = Lookup(library, "Close");
  plugin.Read = Lookup(library, "Read");
  plugin.Write = Lookup(library, "Write");
  plugin.Seek = Lookup(library, "Seek");
  plugin.IOCTL = Lookup(library, "IOCTL");
  if (plugin.Load == nullptr) {
    CloseLibrary(library);
    plugin.library = nullptr;
    Log(100, "Core: Failed to load plugin: %s (missing symbol)", name.c_str());
    return attempt;
  }

  _LoadParmsIn in = ZeroedRecord<_LoadParmsIn>(DV_LOAD_IN_VERSION);
  in.core = hooks_.coreHandle;
  in.PluginEventCallback = hooks_.raiseEvent;
  _LoadParmsOut out = ZeroedRecord<_LoadParmsOut>(DV_LOAD_OUT_VERSION);
  const int64_t start = hooks_.now();
  attempt.loadResult = CallMarked(plugin.entryPoints->load, plugin.Load, &in, &out);
  const int64_t took = hooks_.now() - start;
  attempt.loadRan = true;
  plugin.loadResults = out;
  plugin.loadTimeMs = took / kNsPerMs;
  if (!VetLoadResult(name, attempt.loadResult, out)) {
    CloseLibrary(library);
    plugin.library = nullptr;
    return attempt;
  }

  RecordLogLevelProposal(out);
  names_.Insert(out.id, RegisteredName(name));
  attempt.accepted = true;
  return attempt;
}

bool PluginHost::VetLoadResult(const std::string& name, int32_t result, const _LoadParmsOut& out) {
  if (result != 0 || out.errorCode != 0) {
    Log(100, "plugin %s load returned %d error %d", name.c_str(), result, out.errorCode);
    return false;
  }
  const unsigned long id = out.id;
  if (names_.Contains(out.id)) {
    Log(50, "plugin %s ID 0x%08lX already loaded", name.c_str(), id);
    return false;
  }
  if ((out.id & kReservedIdBits) != 0) {
    Log(100,
        "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
        name.c_str(), id);
    return false;
  }
  return true;
}

// A valid proposal sets the kind's default, and its current threshold
// unless one is already set (by core.xml or an earlier plugin).
void PluginHost::RecordLogLevelProposal(const _LoadParmsOut& out) {
  const uint32_t kind = (out.id >> 16) & 0xff;
  const int32_t level = out.defaultLogLevel;
  if (!IsLogLevelProposal(out.id, level)) return;
  logLevelDefault_.Set(kind, level);
  if (logLevel_.Get(kind) == kNoThreshold) logLevel_.Set(kind, level);
}

void PluginHost::OpenPhase() {
  for (const PluginList::Record& plugin : plugins_.ownerView()) {
    if (plugin->Open == nullptr) {
      plugin->openCode = kNotExported;
      plugin->openTimeMs = 0;
      continue;
    }
    _OpenParmsIn in = ZeroedRecord<_OpenParmsIn>(DV_RECORD_VERSION);
    _OpenParmsOut out = ZeroedRecord<_OpenParmsOut>(DV_RECORD_VERSION);
    const int64_t start = hooks_.now();
    plugin->openCode = CallMarked(plugin->entryPoints->open, plugin->Open, &in, &out);
    plugin->openTimeMs = (hooks_.now() - start) / kNsPerMs;
  }
}

void PluginHost::StartAsyncReaders() {
  for (const PluginList::Record& plugin : plugins_.ownerView()) {
    if (plugin->wantsReader() && plugin->Read != nullptr) StartAsyncReader(*plugin);
  }
}

// Close keys descending, as unsigned numbers; equal keys keep list order.
void PluginHost::EstablishCloseOrder() {
  closeOrder_ = plugins_.ownerView();
  std::stable_sort(closeOrder_.begin(), closeOrder_.end(),
                   [](const PluginList::Record& a, const PluginList::Record& b) {
                     return a->closeOrderKey() > b->closeOrderKey();
                   });
}

void PluginHost::ClosePhase() {
  EstablishCloseOrder();
  for (const PluginList::Record& plugin : closeOrder_) CloseOne(*plugin);
}

void PluginHost::CloseOne(PLUGININFO& plugin) {
  // No read request or parent request starts on a plugin once its Close
  // has been called; those already running finish before its Unload.
  plugin.readGate.Close();
  CallStopEntry<_CloseParmsIn, _CloseParmsOut>(plugin, plugin.Close, plugin.entryPoints->close, "close");
}

void PluginHost::UnloadPhase() {
  if (closeOrder_.empty()) EstablishCloseOrder();
  for (const PluginList::Record& plugin : closeOrder_) UnloadOne(*plugin);
  closeOrder_.clear();
  plugins_.Clear();
}

void PluginHost::UnloadOne(PLUGININFO& plugin) {
  if (plugin.reader.joinable()) plugin.reader.join();
  if (plugin.worker.joinable()) plugin.worker.join();
  plugin.readGate.Close();  // in case the close phase never ran
  plugin.readGate.WaitIdle();
  CallStopEntry<_UnloadParmsIn, _UnloadParmsOut>(plugin, plugin.Unload, plugin.entryPoints->unload, "unload");
  if (plugin.id() != kResidentPluginId) CloseLibrary(plugin.library);
  plugin.library = nullptr;
}

std::map<std::string, std::string> PluginHost::failedPlugins() const {
  MutexLock lock(failedMu_);
  return failed_;
}

}  // namespace dv
