// devovor-inspect on copies of the test plugin: every refusal in the core's
// own words, the core's load order for a folder, and masks decoded exactly
// as the core's delivery and read-request matching decide.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "plugins/plugin_fixture.h"
#include "plugins/plugin_info.h"
#include "support/child_process.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  ExitStatus status;
  std::string out;
};

ToolRun Inspect(std::vector<std::string> args, const std::string& workDir = "") {
  ChildOptions options;
  options.workDir = workDir;
  options.argv = {INSPECT_EXE};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  ChildProcess child(options);
  EXPECT_EQ(child.StartError(), "");
  const ExitStatus status = child.WaitForExit(Scaled(std::chrono::seconds(20)));
  return {status, child.Output(Stream::kStdout) + child.Output(Stream::kStderr)};
}

// Run as root, the tool loads the plugins as nobody, and they write
// calls.log in the folder.
void LetNobodyIn(const PluginFolder& folder) {
  fs::permissions(folder.root(), fs::perms::all);
}

// The numbered file names of the report, in its order.
std::vector<std::string> Order(const std::string& out) {
  static const std::regex kHeading(R"((?:^|\n)\d+\. (\S+)  \()");
  std::vector<std::string> names;
  for (std::sregex_iterator it(out.begin(), out.end(), kHeading), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

TEST(Inspect, RefusesInTheCoresWordsAndListsTheCoresLoadOrder) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  LetNobodyIn(folder);
  folder.Install("a.so", "id=0x10000\n");
  folder.Install("b.so", "id=0x20000\nload_result=3\n");
  folder.Install("c.so", "id=0x30000\nload_error=5\n");
  folder.Install("d.so", "id=0x10000\n");
  folder.Install("e.so", "id=0x01000000\n");
  folder.Install("f.so", "id=0x80000000\n");
  fs::copy_file(TEST_PLUGIN_NOLOAD_SO, folder.Dir(PluginDir::kPlugins) / "g.so");
  std::ofstream(folder.Dir(PluginDir::kPlugins) / "h.so") << "not a shared object\n";
  folder.Install("i.so", "id=0x90000\nload_version=3\n");
  folder.Install("0.so", "id=0x40000\n", PluginDir::kProtected);
  folder.Install("xvUZUvi.so", "id=0x50000\n", PluginDir::kProtected);

  const ToolRun all = Inspect({folder.root().string()});
  EXPECT_EQ(all.status, ExitStatus::Exited(1)) << all.out;
  EXPECT_EQ(Order(all.out), (std::vector<std::string>{"xvUZUvi.so", "a.so", "b.so", "c.so", "d.so",
                                                      "e.so", "f.so", "g.so", "h.so", "i.so",
                                                      "0.so"}))
      << all.out;
  for (const char* refusal :
       {"refused: plugin b.so load returned 3 error 0\n",
        "refused: plugin c.so load returned 0 error 5\n",
        "refused: plugin d.so ID 0x00010000 already loaded\n  ID clash       the ID is held by a.so\n",
        "refused: plugin e.so ID 0x01000000 exceeds the log level array size, set "
        "LogLevelArraySize to 0xfff\n",
        "refused: plugin f.so ID 0x80000000 already loaded\n  ID clash       the ID is held by "
        "the core itself\n",
        "refused: Core: Failed to load plugin: g.so (missing symbol)\n"
        "                 1. the missing symbol is Load,",
        "verdict        the core loads it, but:\n                 1. Load changed the header of "
        "its output record to size 68, version 3 (the core wrote 68, 2): ",
        "refused: Core: Failed to load plugin 'h.so': "}) {
    EXPECT_NE(all.out.find(refusal), std::string::npos) << refusal << "\n" << all.out;
  }
  EXPECT_EQ(all.out.find("refused: plugin a.so"), std::string::npos);

  // A bare file name is the file in the current folder.
  const ToolRun one = Inspect({"a.so"}, folder.Dir(PluginDir::kPlugins).string());
  EXPECT_EQ(one.status, ExitStatus::Exited(0)) << one.out;
  EXPECT_NE(one.out.find("verdict        the core loads it\n"), std::string::npos) << one.out;
  EXPECT_EQ(folder.CallsOf("a"), (std::vector<std::string>{"Load", "Unload", "Load", "Unload"}))
      << "Load only, then Unload, each run";

  const ToolRun help = Inspect({"--help"});
  EXPECT_EQ(help.status, ExitStatus::Exited(0));
  EXPECT_EQ(help.out.rfind("usage: devovor-inspect ", 0), 0u) << help.out;
  EXPECT_EQ(Inspect({}).status, ExitStatus::Exited(2));
  EXPECT_EQ(Inspect({"--frobnicate", "a.so"}).status, ExitStatus::Exited(2));
}

// For every single flag bit and a few mixes, an event's flags are within
// what the tool prints for a class exactly when the core's matching lets
// that event of that class through, for Write and for read requests.
TEST(Inspect, DecodedMasksAgreeWithTheCoresMatching) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  LetNobodyIn(folder);
  const fs::path plugin = folder.Install(
      "m.so", "id=0x70000\ndelivery=1\nreader=1\nmask0=0x01000002\nmask1=0xfe00ffff\n"
              "mask2=0x00800000\nmask6=0x7fffffff\nmask8=0x80000000\nmask7=0xffffffff\n");
  const ToolRun run = Inspect({"--json", plugin.string()});
  ASSERT_EQ(run.status, ExitStatus::Exited(0)) << run.out;

  static const std::regex kMask(
      R"re("bit":(\d+),"mask":(\d+),"writeFlagsWithin":(\d+),"readFlagsWithin":(\d+))re");
  dv::PLUGININFO info;
  std::vector<std::vector<uint32_t>> rows;  // bit, mask, write within, read within
  for (std::sregex_iterator it(run.out.begin(), run.out.end(), kMask), end; it != end; ++it) {
    rows.push_back({});
    for (int g = 1; g <= 4; ++g) rows.back().push_back(uint32_t(std::stoul((*it)[g])));
    info.loadResults.eventMasks[rows.size() - 1] = rows.back()[1];
  }
  ASSERT_EQ(rows.size(), size_t(DV_MASK_COUNT)) << run.out;
  EXPECT_EQ(info.loadResults.eventMasks[1], 0xfe00ffffu) << "the masks the plugin reported";

  std::vector<uint32_t> samples = {0, 0x1000002, 0x80000001, 0xffffffff, 0x01800000};
  for (int b = 0; b < 32; ++b) samples.push_back(1u << b);
  for (size_t k = 0; k < rows.size(); ++k) {
    for (const uint32_t flags : samples) {
      const uint32_t bit = rows[k][0];
      EXPECT_EQ((flags & ~rows[k][2]) == 0,
                dv::MatchesAnyClass(info, bit, dv::DeliveryMatchKey(flags)))
          << "Write, class bit " << bit << ", flags " << std::hex << flags;
      EXPECT_EQ((flags & ~rows[k][3]) == 0, dv::MatchesAnyClass(info, bit, dv::ReadMatchKey(flags)))
          << "read request, class bit " << bit << ", flags " << std::hex << flags;
    }
  }
}

// Run as root, the tool gives up root before the plugin's code runs: its
// Load sees nobody's user ID three times. An account that cannot be taken
// stops the tool before it loads anything.
TEST(Inspect, RunAsRootItLoadsPluginsAsNobodyOrNotAtAll) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  LetNobodyIn(folder);
  const fs::path out = folder.root() / "out";
  fs::create_directory(out);
  fs::permissions(out, fs::perms::all);
  const fs::path plugin = folder.Install("ids.so", "ids_file=" + (out / "ids.txt").string());
  struct Case {
    std::vector<std::string> args;
    ExitStatus status;
    std::string said, ids;
  } const cases[] = {
      {{plugin.string()}, ExitStatus::Exited(0),
       "devovor-inspect: running as nobody (uid 65534, gid 65534), not as root", "65534 65534 65534\n"},
      {{"--user", "no-such-account", plugin.string()}, ExitStatus::Exited(2),
       "devovor-inspect: cannot give up root: there is no account no-such-account; nothing was "
       "loaded", ""},
      {{"--user", "root", plugin.string()}, ExitStatus::Exited(2),
       "devovor-inspect: cannot give up root: the account root is root's", ""},
  };
  for (const Case& c : cases) {
    fs::remove(out / "ids.txt");
    const ToolRun run = Inspect(c.args);
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_NE(run.out.find(c.said), std::string::npos) << run.out;
    std::ifstream in(out / "ids.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.ids) << run.out;
  }
}

}  // namespace
}  // namespace dvtest
