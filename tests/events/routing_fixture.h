// A real core with plugins made of plain functions in its plugin list.
#pragma once

#include <gtest/gtest.h>

#include "support/peers.h"
#include "events/callback.h"
#include "events/fake_plugins.h"
#include "support/fake_platform.h"

namespace dv::test {

class Routing : public ::testing::Test {
 protected:
  Routing() : core("/nonexistent/devovor", platform) {
    ResetRecorders();
    FakePlatform::failBlocks = false;
    core.Initialize(-1);
  }
  ~Routing() override {
    // Read-request threads must be out of the plugins before they go.
    for (const auto& plugin : Peer(core).plugins().ownerView()) {
      plugin->readGate.Close();
      plugin->readGate.WaitIdle();
    }
  }

  void Add(std::shared_ptr<PLUGININFO> plugin) {
    Peer(core).names().Insert(plugin->id(), plugin->name.substr(0, plugin->name.size() - 3));
    Peer(core).plugins().Append(std::move(plugin));
  }

  int32_t Raise(_EventParmsIn in) {
    _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
    EXPECT_EQ(PluginEventCallback(&in, &out), 0);
    return out.result;
  }

  int32_t RaiseWith(_EventParmsIn in, const std::string& payload) {
    in.data = const_cast<char*>(payload.data());
    in.len = static_cast<uint32_t>(payload.size());
    return Raise(in);
  }

  // Delivers everything queued, then returns (as at the end of a run).
  void Drain() {
    core.RequestStop();
    Peer(core).router().RunEventLoop();
  }

  FakePlatform platform;
  devovor core;
};

}  // namespace dv::test
