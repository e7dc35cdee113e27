// The parent channel with the real executable and a real socket pair.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "ipc/parent_fixture.h"
#include "support/fake_platform.h"
#include "support/peers.h"

namespace dvtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ParentChannel : public ::testing::Test {
 protected:
  void StopAndExpectExit0(Parent& parent) {
    ASSERT_TRUE(parent.Send(Stop()));
    EXPECT_EQ(parent.core->WaitForExit(20s), ExitStatus::Exited(0))
        << parent.core->Output(Stream::kStdout) << parent.core->Output(Stream::kStderr);
  }
  std::string CoreXml() const { return ReadFile(folder.root() / "core.xml"); }

  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
};

TEST_F(ParentChannel, IdentityNamesTheParentAndBackgroundSilencesTheConsole) {
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("libvd.so\0" "1.2.3\0" "Background:true", 30))));
  if (parent.core->Emulated()) {
    // The emulator's own handlers hide the core's: the status report naming
    // the parent, written once the core has started, is the sign instead.
    ASSERT_TRUE(WaitForFileContaining((folder.root() / "core.xml").string(), "libvd.so",
                                      Scaled(10s)));
  } else {
    ASSERT_TRUE(parent.core->WaitUntilCatching(SIGTERM, 10s));
  }
  std::this_thread::sleep_for(300ms);
  StopAndExpectExit0(parent);
  // Only what came before the identity reached the console.
  EXPECT_EQ(parent.core->Output(Stream::kStdout).find("successfully started"), std::string::npos);
  EXPECT_NE(CoreXml().find("<Library Name=\"vantord\" Filename=\"libvd.so\" Version=\"1.2.3\" />"),
            std::string::npos)
      << CoreXml();
}

TEST_F(ParentChannel, AnyOtherThirdFieldKeepsTheConsole) {
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("libvd.so\0" "2\0" "background:true", 26))));
  ASSERT_TRUE(parent.WaitForOutput("successfully started core version"));
  StopAndExpectExit0(parent);
  EXPECT_NE(CoreXml().find("Filename=\"libvd.so\" Version=\"2\""), std::string::npos);
}

TEST_F(ParentChannel, AOneFieldIdentityWritesNoLibrary) {
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity("libvd.so")));
  ASSERT_TRUE(parent.WaitForOutput("successfully started core version"));
  StopAndExpectExit0(parent);
  EXPECT_EQ(CoreXml().find("<Library"), std::string::npos);
}

TEST_F(ParentChannel, ARequestGoesToTheFirstMatchingPluginOnlyByteForByte) {
  folder.Install("a.so", "id=0x10000\necho_requests=1");
  folder.Install("b.so", "id=0x80010000\necho_requests=1");  // the same bits 16-27
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  ASSERT_TRUE(parent.WaitForOutput("successfully started core version"));
  const Bytes request = Packet(0x1234, 0x0015678f, "payload for a");
  ASSERT_TRUE(parent.Send(request));
  Bytes echoed;
  ASSERT_TRUE(parent.Receive(&echoed));
  EXPECT_EQ(echoed, request);
  StopAndExpectExit0(parent);
  const auto b = folder.CallsOf("b");
  EXPECT_EQ(std::find(b.begin(), b.end(), "IOCTL 4 len=29"), b.end());
  const auto a = folder.CallsOf("a");
  EXPECT_NE(std::find(a.begin(), a.end(), "IOCTL 4 len=29"), a.end());
}

TEST_F(ParentChannel, BlocksArriveWholeAndInOrder) {
  folder.Install("a.so", "id=0x10000\nsend_on_open=3\nsend_size=65536");
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  for (int n = 0; n < 3; ++n) {
    Bytes block;
    ASSERT_TRUE(parent.Receive(&block)) << n;
    ASSERT_EQ(block.size(), 65536u) << n;
    for (size_t i = 0; i < block.size(); ++i) {
      ASSERT_EQ(block[i], uint8_t((n * 31 + i) & 0xff)) << n << " at " << i;
    }
  }
  StopAndExpectExit0(parent);
}

// A block with no bytes for its length would fail its send, which ends all
// sending for the run; an empty packet reads as the end of the stream.
// Neither reaches the socket, and the blocks after them still arrive.
TEST_F(ParentChannel, BlocksWithoutBytesAreNotSentAndLaterBlocksStillArrive) {
  folder.Install("a.so", "id=0x10000\nsend_empty_first=1\nsend_on_open=2\nsend_size=100");
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  for (int n = 0; n < 2; ++n) {
    Bytes block;
    ASSERT_TRUE(parent.Receive(&block)) << n;
    ASSERT_EQ(block.size(), 100u) << n;
    EXPECT_EQ(block[1], uint8_t(n * 31 + 1)) << n;
  }
  StopAndExpectExit0(parent);
  const auto a = folder.CallsOf("a");
  EXPECT_NE(std::find(a.begin(), a.end(), "Sent null len=100 result=1"), a.end());
  EXPECT_NE(std::find(a.begin(), a.end(), "Sent n=-1 len=0 result=0"), a.end());
}

TEST_F(ParentChannel, PacketLengthsAreChecked) {
  folder.Install("a.so", "id=0x10000\necho_requests=1");
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  ASSERT_TRUE(parent.WaitForOutput("successfully started core version"));
  const Bytes biggest = Packet(0x1000, 0x00100000, std::string(65536 - 16, 'x'));
  ASSERT_TRUE(parent.Send(biggest));
  Bytes echoed;
  ASSERT_TRUE(parent.Receive(&echoed));
  EXPECT_EQ(echoed, biggest);
  for (uint32_t bad : {65537u, 0u, 15u}) {
    ASSERT_TRUE(parent.Send(Packet(0x1000, 0x00100000, "dropped", bad)));
    const Bytes next = Packet(0x1000, 0x00100000, "next " + std::to_string(bad));
    ASSERT_TRUE(parent.Send(next));
    ASSERT_TRUE(parent.Receive(&echoed)) << bad;
    EXPECT_EQ(echoed, next);
  }
  StopAndExpectExit0(parent);
  std::string console = parent.core->Output(Stream::kStdout);
  int bad = 0;
  for (size_t at = 0; (at = console.find("\x1b[36m core  \x1b[0m bad ipc packet length\r\n", at)) !=
                      std::string::npos;
       ++at) {
    ++bad;
  }
  EXPECT_EQ(bad, 3);
}

TEST_F(ParentChannel, APacketLargerThanTheFreeBufferIsABadLength) {
  Parent parent(folder);
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  ASSERT_TRUE(parent.WaitForOutput("successfully started core version"));
  ASSERT_TRUE(parent.Send(Packet(0x1000, 0x00100000, std::string(70000, 'y'))));
  EXPECT_TRUE(parent.WaitForOutput("bad ipc packet length"));
  StopAndExpectExit0(parent);
}

TEST_F(ParentChannel, ANeverIdentifyingParentDelaysOpenByTenSeconds) {
  folder.Install("a.so", "id=0x10000");
  const auto start = Clock::now();
  Parent parent(folder);
  ASSERT_TRUE(folder.WaitForCall("a", "Open", 15s));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 10s);
  EXPECT_LT(waited, 11500ms);
  StopAndExpectExit0(parent);
}

// An identity, or a stop packet from a parent that never says who it is,
// ends the wait at once, even when it came before the wait began.
TEST_F(ParentChannel, AnIdentityOrAStopEndsTheWaitAtOnce) {
  folder.Install("a.so", "id=0x10000\nworker=1\nraise_in_worker=1\nraise_type=0x40\nraise_flags=0x2");
  for (const Bytes& packet : {Identity(std::string("p\0v", 3)), Stop()}) {
    std::filesystem::remove(folder.root() / "calls.log");
    const auto start = Clock::now();
    Parent parent(folder);
    ASSERT_TRUE(parent.Send(packet));
    ASSERT_TRUE(folder.WaitForCall("a", "Open", 15s));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(waited.count(), 5000) << "ms before Open";
    parent.Send(Stop());  // after a stop packet the core may be gone already
    EXPECT_EQ(parent.core->WaitForExit(20s), ExitStatus::Exited(0));
  }
}

// Seeded random packets of every type but stop, then a stop packet.
TEST_F(ParentChannel, RandomPacketsAreAllHandled) {
  folder.Install("a.so", "id=0x10000");
  Parent parent(folder, Stdout::kPipe);  // thousands of messages: no console
  ASSERT_TRUE(parent.Send(Identity(std::string("p\0v", 3))));
  std::mt19937 random(20261208);
  for (int i = 0; i < 3000; ++i) {
    Bytes packet(1 + random() % 300);  // an empty record reads as end of stream
    for (uint8_t& b : packet) b = uint8_t(random());
    if (packet.size() >= 12 && random() % 2) {
      const uint32_t length = random() % 4 ? uint32_t(packet.size()) : uint32_t(random());
      const uint32_t type = random() % 4 == 0 ? 7u : 0x100u + random() % 16;
      std::memcpy(packet.data(), &length, 4);
      std::memcpy(packet.data() + 8, &type, 4);
    }
    if (packet.size() >= 12 && *reinterpret_cast<uint32_t*>(packet.data() + 8) == 8) packet[8] = 9;
    ASSERT_TRUE(parent.Send(packet)) << i << ": " << std::strerror(errno);
  }
  // A packet may still wait for bytes it declared: one full-size record
  // with a bad length empties the buffer before the stop packet.
  ASSERT_TRUE(parent.Send(Packet(0x1000, 0, std::string(65536 - 16, 'z'), 65537)));
  StopAndExpectExit0(parent);
}

}  // namespace
}  // namespace dvtest

namespace dvtest {
namespace {

// parent-sim plays the parent: identity, requests, printed blocks, stop.
TEST(ParentSim, SendsRequestsPrintsBlocksAndForwardsTheExitCode) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  folder.Install("a.so", "id=0x10000\necho_requests=1");
  ChildOptions options;
  options.argv = ParentSimArgv(PARENT_SIM, folder.exe().string(),
                               {"--stop-after", "1.5", "--request", "0x100000:0x99:hello parent"});
  options.workDir = folder.root().string();
  ChildProcess sim(options);
  ASSERT_EQ(sim.StartError(), "");
  EXPECT_EQ(sim.WaitForExit(std::chrono::seconds(20)), ExitStatus::Exited(0));
  const std::string out = sim.Output(Stream::kStdout);
  EXPECT_NE(out.find("block 0: 28 bytes\n"), std::string::npos) << out;
  EXPECT_NE(out.find("hello parent"), std::string::npos) << out;
  EXPECT_NE(ReadFile(folder.root() / "core.xml").find("Filename=\"libparentsim.so\" Version=\"1.0\""),
            std::string::npos);
}

}  // namespace
}  // namespace dvtest

namespace dvtest {
namespace {

// A descriptor that is not an open socket cannot be the parent channel:
// not open at all, or standard input on /dev/null (a non-number reads as 0).
TEST(ParentOpen, ADescriptorThatIsNotAnOpenSocketFailsWithExitCode2) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  for (const char* descriptor : {"99", "not-a-number", "-v"}) {
    ChildOptions options;
    options.argv = {folder.exe().string(), std::string("-x"), descriptor};
    options.workDir = folder.root().string();
    options.stdoutMode = Stdout::kTerminal;
    ChildProcess core(options);
    if (std::string(descriptor) == "-v") {
      // Only options: no channel at all, so the core runs.
      ASSERT_TRUE(core.WaitFor(Stream::kStdout, std::regex("successfully started"),
                               std::chrono::seconds(10)));
      EXPECT_EQ(core.SignalAndWaitForExit(SIGTERM, std::chrono::seconds(10)), ExitStatus::Exited(0));
      continue;
    }
    EXPECT_EQ(core.WaitForExit(std::chrono::seconds(10)), ExitStatus::Exited(2)) << descriptor;
    EXPECT_EQ(core.Output(Stream::kStderr), "failed to initialize core\n");
    EXPECT_NE(core.Output(Stream::kStdout).find("\x1b[31m"), std::string::npos);
    EXPECT_NE(core.Output(Stream::kStdout).find("core  \x1b[0m failed to open ipc pipe\r\n"),
              std::string::npos)
        << core.Output(Stream::kStdout);
  }
}

// The minute the core lingers after losing its parent, on a virtual clock:
// a core in this process whose parent is gone before it starts sleeps
// exactly that minute through its platform. The real minute is the slow
// test's.
TEST(ParentLoss, TheCoreLingersOneMinuteOnItsOwnClock) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("dv-linger-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);  // core.xml is written here
  dv::test::FakePlatform platform;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  {
    devovor core("/nonexistent/devovor", platform);
    ASSERT_TRUE(core.Initialize(-1));
    ASSERT_TRUE(dv::test::Peer(core).parent().Open(pair[0]));
    close(pair[1]);
    core.Start();
  }
  std::filesystem::current_path(before);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(platform.sleptNs.load(), 60'000'000'000);
  EXPECT_NE(platform.ConsoleText().find("sleeping for one minute"), std::string::npos);
}

}  // namespace
}  // namespace dvtest
