#include "inspect/masks.h"

#include <cstdio>

#include "plugin_api/helpers.h"

namespace dvinspect {

// Delivery keeps flag bits 0-23 in place and moves bits 24-30 up one (bit
// 31 drops out), so flag bit b > 23 needs mask bit b + 1, and bit 31 is
// always admitted.
uint32_t WriteFlagsWithin(uint32_t mask) {
  return (mask & 0x00ffffffu) | ((mask >> 1) & 0x7f000000u) | 0x80000000u;
}

// Read requests keep bits 0-23 in place and move bits 24-31 down one, onto
// bits 23-30: flag bit b > 23 needs mask bit b - 1.
uint32_t ReadFlagsWithin(uint32_t mask) {
  return (mask & 0x00ffffffu) | ((mask << 1) & 0xff000000u);
}

const std::vector<KnownEvent>& KnownEvents() {
  static const std::vector<KnownEvent> known = {
      {"video frames", DV_EVENT_VIDEO, DV_FLAG_VIDEO},
      {"plugin log messages", DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE},
      {"core log messages", DV_EVENT_LOG, DV_FLAG_VIDEO | DV_FLAG_LOG_MESSAGE},
      {"Memory notifications", DV_EVENT_STATUS, DV_FLAG_VIDEO | DV_FLAG_XML},
      {"flags-0 events of class1", DV_EVENT_CLASS1, 0},
      {"flags-0 events of class3", DV_EVENT_CLASS3, 0},
      {"flags-0 events of class4", DV_EVENT_CLASS4, 0},
      {"flags-0 events of class5", DV_EVENT_CLASS5, 0},
      {"flags-0 events of class7", DV_EVENT_CLASS7, 0},
      {"flags-0 events of class8", DV_EVENT_CLASS8, 0},
  };
  return known;
}

std::vector<std::string> MatchedEvents(const dv::PLUGININFO& plugin) {
  std::vector<std::string> matched;
  if (!plugin.delivers()) return matched;
  for (const KnownEvent& event : KnownEvents()) {
    if (dv::MatchesAnyClass(plugin, event.eventType, dv::DeliveryMatchKey(event.flags))) {
      matched.push_back(event.name);
    }
  }
  return matched;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

}  // namespace dvinspect
