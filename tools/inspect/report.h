// Printing what Inspect found: a text report for people, JSON for scripts.
// Both carry the same facts, plugin by plugin, in the order inspected.
#pragma once

#include <ostream>
#include <vector>

#include "inspect/inspection.h"

namespace dvinspect {

void PrintText(const std::vector<PluginReport>& reports, std::ostream& out);
void PrintJson(const std::vector<PluginReport>& reports, std::ostream& out);

// True when the core would load every plugin.
bool AllAccepted(const std::vector<PluginReport>& reports);

}  // namespace dvinspect
