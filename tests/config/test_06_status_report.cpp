// The status report and configuration updates in the real executable:
// core.xml as saved, the report event as plugins receive it, thresholds
// that persist to the next start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "plugins/plugin_fixture.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Millisecond figures depend on the machine; everything else must match.
std::string WithoutTimes(const std::string& xml) {
  static const std::regex times("(LoadTimeMs|OpenTimeMs|TotalLoadTimeMs|TotalOpenTimeMs)=\"[0-9]+\"");
  return std::regex_replace(xml, times, "$1=\"0\"");
}

std::string Expected(const std::string& name) {
  return ReadFile(std::filesystem::path(EXPECTED_DIR) / name);
}

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0;
  return n;
}

class StatusReport : public ::testing::Test {
 protected:
  PluginFolder folder{DEVOVOR_EXE, TEST_PLUGIN_SO};
  std::filesystem::path coreXml() const { return folder.root() / "core.xml"; }
};

TEST_F(StatusReport, WithoutPluginsIsTheCoreAloneOwnerOnly) {
  RunCore(folder);
  EXPECT_EQ(ReadFile(coreXml()), Expected("core_no_plugins.xml"));
  struct stat info;
  ASSERT_EQ(stat(coreXml().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(folder.root() / "core.xml.pending"));
}

TEST_F(StatusReport, ListsPluginsFailuresAndSettingsInOrder) {
  std::ofstream(folder.root() / "product.xml") << "<X><Product Family=\"Nova\" Version=\"3.1.4\"/></X>";
  std::ofstream(folder.root() / "core.xml")
      << "<Orvel><Memory Throttling=\"0\"/><Modules><Module>"
         "<Plugin ID=\"393216\" LogLevel=\"40\"/></Module></Modules></Orvel>";
  folder.Install("a.so", "id=0x10000\nloglevel=30\nopen_result=-7");
  folder.Install("high.so", "id=0x80090000");
  folder.Install("first.so", "id=0x60000\nloglevel=55");  // core.xml's 40 wins
  std::ofstream(folder.Dir(PluginDir::kPlugins) / "bad1.so") << "junk";
  std::ofstream(folder.Dir(PluginDir::kProtected) / "bad2.so") << "junk";
  RunCore(folder);

  std::string expected = Expected("core_with_plugins.xml");
  const std::string saved = WithoutTimes(ReadFile(coreXml()));
  // The loader's texts name the files' full paths: take them from the file.
  const std::regex version("<Module ID=\"([12])\" Name=\"bad[12].so\" Version=\"([^\"]*)\"");
  for (std::sregex_iterator it(saved.begin(), saved.end(), version), end; it != end; ++it) {
    const std::string placeholder = "@BAD" + (*it)[1].str() + "@";
    expected.replace(expected.find(placeholder), placeholder.size(), (*it)[2].str());
    EXPECT_NE((*it)[2].str().find("bad"), std::string::npos);
  }
  EXPECT_EQ(saved, expected);
}

// The raised report carries Product last and reaches plugins through
// IOCTL request 2; an update that changes a threshold writes exactly one
// more report, and the threshold persists to the next start.
TEST_F(StatusReport, AnEffectiveUpdateWritesOneReportThatPersists) {
  const std::string update =
      "<U Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"60\"/></Module>"
      "</Modules></U>";
  folder.Install("a.so", "id=0x10000\nraise_on_open=1\nraise_type=0x100\nraise_payload=" + update);
  folder.Install("b.so", "id=0x50000");
  auto core = StartCore(folder);
  ASSERT_TRUE(folder.WaitForCall("b", "IOCTL 2 len=" + std::to_string(update.size()) + " data=" +
                                          update.substr(0, 64),
                                 std::chrono::seconds(5)));
  const std::string report = "IOCTL 2 len=";
  const auto reports = [&] {
    int n = 0;
    for (const std::string& line : folder.CallsOf("b")) {
      n += line.rfind(report, 0) == 0 && line.find("data=<?xml ?><Orvel Delta=\"0\">") != std::string::npos;
    }
    return n;
  };
  for (int i = 0; i < 200 && reports() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  StopCore(*core);
  EXPECT_EQ(reports(), 2);
  const std::string bAt60 =
      "<Plugin ID=\"327680\" Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
      "OpenCode=\"0\" LogLevel=\"60\" LogLevelDefault=\"-1\" />";
  EXPECT_NE(WithoutTimes(ReadFile(coreXml())).find(bAt60), std::string::npos);
  EXPECT_EQ(Count(folder.CallsOf("a"), "IOCTL 2"), 2);  // the reports, not its own update

  // Next start: the kind's threshold comes back from core.xml, so an update
  // to the same value changes nothing and writes no report.
  std::filesystem::remove(folder.root() / "calls.log");
  RunCore(folder);
  int after = 0;
  for (const std::string& line : folder.CallsOf("b")) {
    after += line.find("data=<?xml ?><Orvel Delta=\"0\">") != std::string::npos;
  }
  EXPECT_EQ(after, 1);
  EXPECT_NE(WithoutTimes(ReadFile(coreXml())).find(bAt60), std::string::npos);
}

}  // namespace
}  // namespace dvtest
