#include "inspect/inspection.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "log/log.h"
#include "plugins/discovery.h"
#include "plugin_api/helpers.h"

namespace dvinspect {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string TextOf(const _EventParmsIn& in) {
  if (in.data == nullptr || in.len == 0) return "";
  const char* text = static_cast<const char*>(in.data);
  return std::string(text, strnlen(text, in.len));
}

bool IsLogQuery(const _EventParmsIn& in) {
  return in.eventType == DV_EVENT_LOG && (in.flags & DV_FLAG_LOG_MESSAGE) == 0 &&
         (in.flags & DV_FLAG_LOG_QUERY) != 0;
}

bool IsLogMessage(const _EventParmsIn& in) {
  return (in.eventType & DV_EVENT_LOG) != 0 && (in.flags & DV_FLAG_LOG_MESSAGE) != 0;
}

// Where the two callbacks record; guarded, since a plugin may raise events
// from threads of its own.
struct Recorder {
  std::mutex mu;
  std::vector<CoreMessage>* coreMessages = nullptr;  // GUARDED_BY(mu)
  std::vector<RaisedEvent>* raised = nullptr;        // GUARDED_BY(mu)
  std::atomic<const dv::LogLevelTable*> logLevel{nullptr};  // while Inspect runs
};
Recorder g_recorder;

// The core's sink: every message passes (no threshold) and is kept.
int32_t InspectorCoreSink(_EventParmsIn* in, _EventParmsOut* out) {
  if (IsLogQuery(*in)) {
    out->result = dv::kNoThreshold;
  } else if (IsLogMessage(*in)) {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    if (g_recorder.coreMessages) g_recorder.coreMessages->push_back({in->level, TextOf(*in)});
  }
  return 0;
}

// The plugins' callback during Load.
int32_t PluginCallback(_EventParmsIn* in, _EventParmsOut* out) {
  if (IsLogQuery(*in)) {
    const dv::LogLevelTable* table = g_recorder.logLevel.load();
    out->result = table ? table->ForProvider(in->providerID) : dv::kNoThreshold;
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    if (g_recorder.raised) {
      g_recorder.raised->push_back({in->providerID, in->eventType, in->flags, in->level, in->len,
                                    IsLogMessage(*in) ? TextOf(*in) : std::string()});
    }
  }
  if (in->eventType == DV_EVENT_PARENT_SEND) {
    std::free(in->data);  // the block is ours now, and there is no parent
    out->result = DV_RESULT_REFUSED;
  } else if (in->eventType != DV_EVENT_RELEASE) {
    out->result = DV_RESULT_OK;
  }
  return 0;
}

void RecordInto(std::vector<CoreMessage>* core, std::vector<RaisedEvent>* raised) {
  std::lock_guard<std::mutex> lock(g_recorder.mu);
  g_recorder.coreMessages = core;
  g_recorder.raised = raised;
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The core refuses with its one message above level 0 about the candidate.
std::string RefusalOf(const std::vector<CoreMessage>& messages) {
  for (const CoreMessage& message : messages) {
    if (message.level > 0) return message.text;
  }
  return "refused";
}

}  // namespace

std::vector<std::string> CandidatesOf(const std::vector<std::string>& args, std::string* error) {
  std::vector<std::string> candidates;
  if (args.size() == 1 && IsDirectory(args[0])) {
    const std::string dir = args[0];
    if (IsDirectory(dir + "/plugins") || IsDirectory(dir + "/protected-plugins")) {
      candidates = dv::DiscoverPlugins(dir + "/devovor");  // the executable's name plays no part
    } else {
      dv::ScanDirectory(dir, ".so", &candidates);
      dv::OrderCandidates(&candidates);
    }
    return candidates;
  }
  for (const std::string& arg : args) {
    if (IsDirectory(arg)) {
      *error = arg + ": a directory goes alone";
      return {};
    }
    // A bare file name is a file here, as in every other tool; dlopen
    // would search the library path for it instead.
    candidates.push_back(arg.find('/') == std::string::npos ? "./" + arg : arg);
  }
  if (candidates.empty()) *error = "no plugin given";
  return candidates;
}

std::vector<PluginReport> Inspect(const std::vector<std::string>& candidates) {
  dv::PluginList plugins;
  dv::NameRegistry names;
  dv::LogLevelTable logLevel;
  dv::LogLevelTable logLevelDefault;
  names.Insert(DV_CORE_ID, "core");
  static int coreHandle;  // opaque to plugins; they only pass it back
  dv::HostHooks hooks;
  hooks.coreHandle = &coreHandle;
  hooks.raiseEvent = &PluginCallback;
  hooks.now = &SteadyNowNs;
  dv::PluginHost host(hooks, plugins, names, logLevel, logLevelDefault);
  g_recorder.logLevel = &logLevel;
  const dv::EventSink previousSink = dv::CoreSink();
  dv::SetCoreSink(&InspectorCoreSink);

  std::vector<PluginReport> reports(candidates.size());
  std::map<uint32_t, std::string> holders;  // ID -> file of the plugin holding it
  for (size_t i = 0; i < candidates.size(); ++i) {
    PluginReport& report = reports[i];
    report.path = candidates[i];
    RecordInto(&report.loadMessages, &report.raised);
    report.attempt = host.LoadCandidate(report.path);
    RecordInto(nullptr, nullptr);
    const dv::PLUGININFO& plugin = report.plugin();
    if (report.attempt.accepted) {
      holders[plugin.id()] = plugin.name;
      plugins.Append(report.attempt.plugin);
    } else {
      report.refusal = RefusalOf(report.loadMessages);
      if (report.refusal.find("already loaded") != std::string::npos) {
        const auto holder = holders.find(plugin.id());
        report.clashesWith = holder != holders.end() ? holder->second : "the core itself";
      }
    }
  }

  std::vector<CoreMessage> unloadMessages;
  RecordInto(&unloadMessages, nullptr);
  host.UnloadPhase();
  RecordInto(nullptr, nullptr);
  for (PluginReport& report : reports) {
    const std::string prefix = "plugin " + report.plugin().name + " ";
    for (const CoreMessage& message : unloadMessages) {
      if (message.text.compare(0, prefix.size(), prefix) == 0) {
        report.unloadMessages.push_back(message.text);
      }
    }
  }
  dv::SetCoreSink(previousSink);
  g_recorder.logLevel = nullptr;  // a plugin's own thread may still call
  return reports;
}

}  // namespace dvinspect
