// Mistakes a plugin's author makes that the core lets pass (or refuses in
// words that do not say what to change), told as the author needs them:
// what is wrong, what the core does about it, and which entry point or
// field of the SDK to change.
//
// Inspect prints them under its verdict; --exercise lists them with the
// broken contracts of its run, and adds two only a run can show: a parent
// request the plugin could not take, and threads it left running after it
// was unloaded. Plain functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "inspect/inspection.h"

namespace dvinspect {

// What the core's refusal means for the author: the missing symbol named.
// Empty when the refusal says it already.
std::string RefusalAdvice(const PluginReport& report);

// For a plugin the core loads: what Load's output and the exported entry
// points tell about it, one text each; empty when nothing is amiss.
std::vector<std::string> LoadMistakes(const PluginReport& report);

// A parent request the core dropped because the plugin exports no IOCTL;
// `target` is the request's target word.
std::string DroppedParentRequest(const std::string& target);

// Threads still running once the core had unloaded the plugin, each
// "<tid> (<comm>)".
std::string StrayThreads(const std::vector<std::string>& threads);

}  // namespace dvinspect
