// Subscribed plugins for the in-process benchmarks: `count` records with
// IDs 0x10000, 0x20000, ..., every class subscribed, delivery on, and
// `write` as their Write entry point, appended to the core's plugin list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/peers.h"

using dv::test::Peer;

namespace dvbench {

inline void AddSubscribers(devovor& core, int count, int32_t (*write)(void*, void*),
                           const std::string& stem) {
  for (int i = 0; i < count; ++i) {
    auto plugin = std::make_shared<dv::PLUGININFO>();
    plugin->name = stem + std::to_string(i) + ".so";
    plugin->loadResults.id = 0x00010000u * (i + 1);
    for (uint32_t& mask : plugin->loadResults.eventMasks) mask = 0xffffffffu;
    plugin->loadResults.deliveryOption = 1;
    plugin->Write = write;
    Peer(core).plugins().Append(plugin);
  }
}

}  // namespace dvbench
