// Loading plugins the way the core does, to tell what it would make of them.
//
// Inspect runs the core's own plugin host on the candidates: the same
// dlopen flags, the same vetting and refusal messages, the same name
// registry (holding the core's own ID) and log level tables, so a clash of
// IDs between candidates is found as the core finds it. Only Load is
// called: no worker is started, nothing is opened. The core's messages go
// into a sink installed here, and events the plugin raises during Load
// into a recording callback that answers as a core would (a log-level
// query with its kind's threshold, a parent send freed with result 1,
// since there is no parent). Afterwards every accepted plugin is unloaded
// through the host's unload phase, which also releases its library.
//
// Runs on the calling thread, which plays the core's main thread; callbacks
// from other threads of a plugin are recorded too. One Inspect at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/plugin_host.h"

namespace dvinspect {

struct CoreMessage {
  int level;
  std::string text;
};

// An event a plugin raised during its Load.
struct RaisedEvent {
  uint32_t providerID;
  uint32_t eventType;
  uint32_t flags;
  int32_t level;
  uint32_t len;
  std::string text;  // a log message's text; empty for other events
};

struct PluginReport {
  std::string path;
  dv::PluginHost::LoadAttempt attempt;
  std::vector<CoreMessage> loadMessages;  // what the core logged about it at load
  std::vector<RaisedEvent> raised;        // what it raised inside Load
  std::string refusal;      // the core's refusal message; empty when accepted
  std::string clashesWith;  // for an ID already taken: the file that holds it
  std::vector<std::string> unloadMessages;  // the core's messages about its Unload

  const dv::PLUGININFO& plugin() const { return *attempt.plugin; }
};

// The candidates an argument list names: the files themselves, or, for one
// directory, the plugins the core would find there in its load order. A
// directory that holds `plugins` or `protected-plugins` is read as the
// core's own folder; any other as one plugin directory. Empty, with
// `error` set, when the arguments name nothing usable.
std::vector<std::string> CandidatesOf(const std::vector<std::string>& args, std::string* error);

std::vector<PluginReport> Inspect(const std::vector<std::string>& candidates);

}  // namespace dvinspect
