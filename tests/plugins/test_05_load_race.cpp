// The load phase while earlier plugins' workers already log and raise read
// requests: the plugin list grows and names are registered under them.
// Meant for the ThreadSanitizer build as much as for the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "plugins/plugin_fixture.h"
#include "support/fake_platform.h"

namespace dvtest {
namespace {

constexpr int kCopies = 12;

TEST(LoadPhase, GrowsSafelyWhileWorkersRaiseRequestsAndLog) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  std::vector<std::string> candidates;
  for (int i = 0; i < kCopies; ++i) {
    const std::string name = "p" + std::to_string(10 + i) + ".so";
    folder.Install(name,
                   "id=" + std::to_string((i + 1) << 16) +
                       "\nworker=1\nreader=1\nmasks=0xffffffff\nreply_count=1\n"
                       "raise_in_worker=30\nraise_type=0x42\nraise_flags=0x2\n"
                       "request_in_worker=10\n");
    candidates.push_back((folder.Dir(PluginDir::kPlugins) / name).string());
  }
  dv::test::FakePlatform platform;
  devovor core(folder.exe().string(), platform);
  core.Initialize(-1);
  Peer(core).host().LoadCandidates(candidates);
  Peer(core).host().OpenPhase();
  Peer(core).host().StartAsyncReaders();
  core.RequestStop();
  Peer(core).router().RunEventLoop();
  Peer(core).host().ClosePhase();
  Peer(core).host().UnloadPhase();

  EXPECT_TRUE(Peer(core).plugins().ownerView().empty());
  for (int i = 0; i < kCopies; ++i) {
    const std::string stem = "p" + std::to_string(10 + i);
    EXPECT_TRUE(Peer(core).names().Contains(uint32_t(i + 1) << 16)) << stem;
    const auto calls = folder.CallsOf(stem);
    EXPECT_EQ(calls.back(), "Unload") << stem;
  }
  // Workers logged from their threads while names were being registered;
  // every printed tag is a registered name or "?".
  const std::string console = platform.ConsoleText();
  EXPECT_NE(console.find("worker-29"), std::string::npos);
}

}  // namespace
}  // namespace dvtest

namespace dvtest {
namespace {

void RaiseReadRequest(void* context) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.eventType = 0x2;
  in.context = context;
  _EventParmsOut out = {sizeof out, 1, 0};
  PluginEventCallback(&in, &out);
  EXPECT_EQ(out.result, 0);
}

// Read requests go on being served while plugins close: a closed plugin
// gets no new Read, and one still inside Read is waited for before Unload.
TEST(ClosePhase, ReadRequestsNeverOutliveTheirPlugin) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  folder.Install("slow.so", "id=0x10000\nreader=1\nmasks=0xffffffff\nsleep_in_read_ms=300");
  dv::test::FakePlatform platform;
  devovor core(folder.exe().string(), platform);
  core.Initialize(-1);
  Peer(core).host().LoadCandidates({(folder.Dir(PluginDir::kPlugins) / "slow.so").string()});
  Peer(core).host().OpenPhase();
  RaiseReadRequest(reinterpret_cast<void*>(0x77));
  ASSERT_TRUE(folder.WaitForCall("slow", "Read len=0 context=0x77", std::chrono::seconds(5)));
  Peer(core).host().ClosePhase();
  RaiseReadRequest(reinterpret_cast<void*>(0x78));  // after Close: no Read
  Peer(core).host().UnloadPhase();

  const auto calls = folder.CallsOf("slow");
  auto at = [&](const std::string& line) {
    return std::find(calls.begin(), calls.end(), line) - calls.begin();
  };
  EXPECT_LT(at("Read done context=0x77"), at("Unload"));
  EXPECT_EQ(at("Read len=0 context=0x78"), static_cast<long>(calls.size()));
}

}  // namespace
}  // namespace dvtest
