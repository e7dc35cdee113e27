// What a plugin's subscription masks mean, told in terms of events.
//
// A mask admits an event of its class when the event's match key has no
// bit outside it. The key is made from the event's flags, differently for
// delivery to Write and for read requests, so the same mask admits two
// different sets of flags. WriteFlagsWithin and ReadFlagsWithin give each
// set as one bit mask: an event's flags are admitted when they have no bit
// outside it. They are this tool's own reading of a mask, written from the
// key rules; the test of devovor-inspect checks them against the core's
// own delivery decision. MatchedEvents asks the core's matching function
// directly. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/plugin_info.h"

namespace dvinspect {

// Flags an event of the mask's class may carry and still reach Write.
uint32_t WriteFlagsWithin(uint32_t mask);
// Flags a read request of the mask's class may carry and still match.
uint32_t ReadFlagsWithin(uint32_t mask);

// Events the system itself raises or plugins commonly raise.
struct KnownEvent {
  const char* name;
  uint32_t eventType;
  uint32_t flags;
};
const std::vector<KnownEvent>& KnownEvents();

// The known events that the core would deliver to the plugin's Write (its
// masks and delivery option), by the core's own matching.
std::vector<std::string> MatchedEvents(const dv::PLUGININFO& plugin);

// "0x" and `digits` hex digits, as the tool prints IDs, masks and flags.
std::string Hex(uint32_t value, int digits = 8);

}  // namespace dvinspect
