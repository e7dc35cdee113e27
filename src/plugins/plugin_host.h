// The plugin host: the four phases every plugin goes through, each one pass
// over all plugins on the main thread.
//
//   load    discover the candidates, dlopen each, call Load, vet the
//           result, register the name, start the worker, join the list;
//   open    call Open in list order, timing it;
//   close   establish the close order (close key descending) and call
//           Close in it; from then on the plugin gets no new read-request
//           threads and no parent requests;
//   unload  in close order: join the reader, then the worker, wait for
//           read-request threads still inside Read, call Unload, release
//           the library (except ID 0x470000's), then empty the list.
//
// Every refusal has its own message; a refused candidate leaves no record,
// no name and no loaded library. All methods: main thread only. The failed
// plugin table may be read from any thread (the status report); its lock's
// place in the lock order: events/event_router.h.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/levels.h"
#include "log/name_registry.h"
#include "platform/mutex.h"
#include "plugins/plugin_list.h"

namespace dv {

// What the host hands to plugins and needs of the core.
struct HostHooks {
  std::string executablePath;          // plugins/ and protected-plugins/ are beside it
  void* coreHandle = nullptr;          // _LoadParmsIn.core, opaque to plugins
  PluginEventCallbackFn raiseEvent = nullptr;  // _LoadParmsIn.PluginEventCallback
  std::function<int64_t()> now;        // the core's steady clock, ns
};

class PluginHost {
 public:
  PluginHost(HostHooks hooks, PluginList& plugins, NameRegistry& names, LogLevelTable& logLevel,
             LogLevelTable& logLevelDefault);

  void LoadPhase();
  // Loads the given candidates in the given order.
  void LoadCandidates(const std::vector<std::string>& candidates);

  // One candidate through the load phase up to, not into, the plugin list.
  struct LoadAttempt {
    // Filled as far as the candidate got: its name always, the entry points
    // once the library opened, the load results and time once Load ran. On
    // refusal the library is already released (library null): the entry
    // points then only tell what was exported and must not be called.
    std::shared_ptr<PLUGININFO> plugin;
    bool loadRan = false;    // Load was called
    int32_t loadResult = 0;  // what it returned
    bool accepted = false;
  };
  // Opens the library, calls Load and vets the result exactly as the load
  // phase does, logging the same messages; an accepted candidate has its
  // name and log level proposal recorded, but no worker and no place in the
  // list yet. The load phase then starts its worker and lists it.
  LoadAttempt LoadCandidate(const std::string& path);
  // From now on a candidate loads only when root alone controls its file
  // and its "<stem>.conf" (platform/trusted_path.h); any other is refused
  // like a library that fails to open, with the reason. Set by a
  // set-user-ID core before the load phase.
  void TrustOnlyRootsFiles();
  void OpenPhase();
  // Starts the asynchronous reader of every plugin that asked for one.
  void StartAsyncReaders();
  void ClosePhase();
  void UnloadPhase();

  // File name -> loader error text, for candidates that failed to dlopen.
  std::map<std::string, std::string> failedPlugins() const EXCLUDES(failedMu_);

 private:
  void LoadOne(const std::string& path);
  // Logs the refusal of candidate `name` and keeps it for the status report.
  void RecordFailure(const std::string& name, const std::string& text) EXCLUDES(failedMu_);
  bool VetLoadResult(const std::string& name, int32_t result, const _LoadParmsOut& out);
  void RecordLogLevelProposal(const _LoadParmsOut& out);
  void EstablishCloseOrder();
  void CloseOne(PLUGININFO& plugin);
  void UnloadOne(PLUGININFO& plugin);

  const HostHooks hooks_;
  bool rootsFilesOnly_ = false;
  PluginList& plugins_;
  NameRegistry& names_;
  LogLevelTable& logLevel_;
  LogLevelTable& logLevelDefault_;

  mutable Mutex failedMu_;
  std::map<std::string, std::string> failed_ GUARDED_BY(failedMu_);
  std::vector<PluginList::Record> closeOrder_;  // main thread only
};

// The registered name of a plugin file: its stem, with A-Z lower-cased.
std::string RegisteredName(const std::string& fileName);

// True when the load phase records `level` as the proposal of the kind of
// `id`: a kind below 255 and a level of -1..100 other than 0.
bool IsLogLevelProposal(uint32_t id, int32_t level);

}  // namespace dv
