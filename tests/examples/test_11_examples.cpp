// The example plugins in the real executable: the camera's frames reach the
// recorder's segment files intact, and every kept block is given back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "plugins/plugin_fixture.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The frames of one segment file: [uint32 length][bytes] each.
std::vector<std::string> FramesIn(const fs::path& segment) {
  std::vector<std::string> frames;
  std::ifstream in(segment, std::ios::binary);
  uint32_t len = 0;
  while (in.read(reinterpret_cast<char*>(&len), sizeof len)) {
    std::string frame(len, '\0');
    if (!in.read(frame.data(), len)) break;
    frames.push_back(frame);
  }
  return frames;
}

bool IsFrame(const std::string& frame, uint64_t number, size_t size) {
  if (frame.size() != size) return false;
  uint64_t stored = 0;
  std::memcpy(&stored, frame.data(), sizeof stored);
  if (stored != number) return false;
  for (size_t i = 8; i < size; ++i) {
    if (static_cast<unsigned char>(frame[i]) != ((number + i) & 0xff)) return false;
  }
  return true;
}

TEST(Examples, CameraFramesReachTheRecorderIntactAndNothingLeaks) {
  PluginFolder folder(DEVOVOR_EXE, CAMERA_SIM_SO);
  folder.Install("camera_sim.so", "fps=200\nframes=120\nframe_bytes=1000\nkey_every=50\n");
  const fs::path recordings = folder.root() / "rec";
  fs::copy_file(RECORDER_SO, folder.Dir(PluginDir::kPlugins) / "recorder.so");
  std::ofstream(folder.Dir(PluginDir::kPlugins) / "recorder.conf")
      << "folder=" << recordings.string() << "\nframes_per_segment=50\n";
  // The core's routine messages on, so that a leak report would show.
  std::ofstream(folder.root() / "core.xml")
      << "<Orvel><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Orvel>";

  auto core = StartCore(folder);
  for (int i = 0; i < 500 && !fs::exists(recordings / "segment-0002.bin"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(300ms);  // the last frames
  const std::string console = StopCore(*core);

  std::vector<std::string> frames;
  for (const char* name : {"segment-0000.bin", "segment-0001.bin", "segment-0002.bin"}) {
    const auto segment = FramesIn(recordings / name);
    frames.insert(frames.end(), segment.begin(), segment.end());
  }
  ASSERT_EQ(frames.size(), 120u) << console;
  for (uint64_t n = 0; n < frames.size(); ++n) ASSERT_TRUE(IsFrame(frames[n], n, 1000)) << n;
  EXPECT_NE(console.find("recorder: segment 0: 50 frames, 50000 bytes\r\n"), std::string::npos)
      << console;
  EXPECT_NE(console.find("recorder: segment 2: 20 frames, 20000 bytes\r\n"), std::string::npos);
  EXPECT_NE(console.find("camera-sim: raised 120 frames, 0 refused\r\n"), std::string::npos);
  EXPECT_EQ(console.find("leaked by plugins"), std::string::npos) << console;
}

}  // namespace
}  // namespace dvtest

namespace dvtest {
namespace {

// Under parent-sim: the bridge answers a request, a configuration update
// from the parent changes the core's threshold and the bridge's prefix, and
// the log file holds every message of the run.
TEST(Examples, BridgeAnswersTheParentAndLogfileKeepsEveryMessage) {
  PluginFolder folder(DEVOVOR_EXE, BRIDGE_SO);
  folder.Install("bridge.so");
  fs::copy_file(LOGFILE_SO, folder.Dir(PluginDir::kPlugins) / "logfile.so");
  const fs::path log = folder.root() / "run.log";
  // A small limit, so that the file rotates during the run.
  std::ofstream(folder.Dir(PluginDir::kPlugins) / "logfile.conf")
      << "path=" << log.string() << "\nmax_bytes=200\n";
  const std::string update =
      "<U Delta=\"1\" Prefix=\"relay\"><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"
      "</Module></Modules></U>";
  ChildOptions options;
  options.argv = ParentSimArgv(PARENT_SIM, folder.exe().string(),
                               {"--stop-after", "2",
                                "--request", "0x01300000:0x10:ping",
                                "--request", "0x01300000:0x20:" + update,
                                "--request", "0x01300000:0x10:pong"});
  options.workDir = folder.root().string();
  ChildProcess sim(options);
  ASSERT_EQ(sim.StartError(), "");
  EXPECT_EQ(sim.WaitForExit(std::chrono::seconds(20)), ExitStatus::Exited(0));
  const std::string out = sim.Output(Stream::kStdout);
  EXPECT_NE(out.find("bridge: ping"), std::string::npos) << out;
  EXPECT_NE(out.find("relay: pong"), std::string::npos) << out;

  ASSERT_TRUE(fs::exists(log.string() + ".1"));  // rotated at least once
  std::ifstream older(log.string() + ".1"), in(log);
  const std::string text =
      std::string((std::istreambuf_iterator<char>(older)), std::istreambuf_iterator<char>()) +
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Rotation keeps one older file: the newest lines are all still there.
  EXPECT_NE(text.find(" 25 00130000 bridge: replies now start with \"relay\"\n"), std::string::npos);
  // After the update the core's routine messages are on: the monitor's
  // usage report is one of them.
  EXPECT_NE(text.find("  0 80000000 memory usage changed"), std::string::npos) << text;
}

}  // namespace
}  // namespace dvtest
