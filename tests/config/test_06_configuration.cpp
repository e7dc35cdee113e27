// Configuration files read in process: product.xml, core.xml, updates.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include <boost/filesystem.hpp>

#include "config/configuration.h"
#include "config/status_report.h"
#include "config/xml_file.h"
#include "support/peers.h"

using dv::test::Peer;
#include "support/fake_platform.h"

namespace {
namespace fs = boost::filesystem;

// A core in a fresh current directory, with its console captured.
class Configuration : public ::testing::Test {
 protected:
  Configuration() : core("/nonexistent/devovor", platform) {
    char pattern[] = "/tmp/dv-config-XXXXXX";
    dir = mkdtemp(pattern);
    previous = fs::current_path();
    fs::current_path(dir);
    core.Initialize(-1);
  }
  ~Configuration() override {
    fs::current_path(previous);
    fs::remove_all(dir);
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
  void Load() {
    dv::LoadConfiguration({&family, &version, &Peer(core).throttlingEnabled(), &Peer(core).logLevel()});
  }
  static std::string Nested(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += i == 0 ? "<Orvel>" : "<a>";
    for (int i = levels - 1; i >= 0; --i) text += i == 0 ? "</Orvel>" : "</a>";
    return text;
  }
  static std::string WithPlugins(const std::string& plugins) {
    return "<Orvel><Modules><Module>" + plugins + "</Module></Modules></Orvel>";
  }

  dv::test::FakePlatform platform;
  devovor core;
  std::string dir;
  fs::path previous;
  std::string family = "Vantora";
  std::string version = "21.09.7.0";
};

const char kRed[] = "\x1b[31m22:13:20\x1b[36m core  \x1b[0m ";

TEST_F(Configuration, MissingCoreXmlIsReportedAndChangesNothing) {
  Load();
  EXPECT_EQ(platform.ConsoleText(),
            std::string(kRed) + "Failed to load/parse core.xml 2 - Failed to open file.\n");
  EXPECT_TRUE(Peer(core).throttlingEnabled());
  EXPECT_EQ(family, "Vantora");
}

TEST_F(Configuration, AnotherRootIsReportedAsMissingOrvel) {
  Write("core.xml", "<Other><Memory Throttling=\"0\"/></Other>");
  Load();
  EXPECT_EQ(platform.ConsoleText(),
            std::string(kRed) + "Failed to load core.xml, missing Orvel node.\n");
  EXPECT_TRUE(Peer(core).throttlingEnabled());
}

TEST_F(Configuration, NestingIsLimitedTo100Levels) {
  Write("core.xml", Nested(100));
  Load();
  EXPECT_EQ(platform.ConsoleText(), "");
  Write("core.xml", Nested(101));
  Load();
  EXPECT_EQ(platform.ConsoleText(),
            std::string(kRed) +
                "Failed to load/parse core.xml 17 - Elements nested too deeply (exceeds the "
                "configured maximum parse depth)..\n");
}

TEST_F(Configuration, AMillionLevelsAreRefusedWithoutACrash) {
  Write("core.xml", Nested(1'000'000));
  Load();
  EXPECT_NE(platform.ConsoleText().find("core.xml 17 - Elements nested too deeply"),
            std::string::npos);
}

TEST_F(Configuration, ThrottlingZeroDisablesAndAWordChangesNothing) {
  Write("core.xml", "<Orvel><Memory Throttling=\"word\"/></Orvel>");
  Load();
  EXPECT_TRUE(Peer(core).throttlingEnabled());
  Write("core.xml", "<Orvel><Memory Throttling=\" 0 trailing\"/></Orvel>");
  Load();
  EXPECT_FALSE(Peer(core).throttlingEnabled());
  Write("core.xml", "<Orvel><Memory Throttling=\"7\"/></Orvel>");
  Load();
  EXPECT_TRUE(Peer(core).throttlingEnabled());
}

TEST_F(Configuration, PluginThresholdsAndTheirValidityRules) {
  Write("core.xml", WithPlugins(
                        "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"          // the core: 0
                        "<Plugin ID=\"589824\" LogLevel=\"-1\" LogLevelDefault=\"50\"/>"  // 9: 50
                        "<Plugin ID=\"196608\" LogLevel=\"20\"/>"               // 3: below 0x40000
                        "<Plugin ID=\"262144\" LogLevel=\"-1\"/>"               // 4: none
                        "<Plugin ID=\"327680\" LogLevel=\"40\"/>"               // 5: 40
                        "<Plugin ID=\"327680\" LogLevel=\"45\"/>"               // 5: last wins
                        "<Plugin ID=\"262143\" LogLevel=\"10\"/>"               // below 0x40000
                        "<Plugin ID=\"16711680\" LogLevel=\"10\"/>"             // index 255
                        "<Plugin ID=\"16777216\" LogLevel=\"10\"/>"             // bits 24-27
                        "<Plugin ID=\"393216\" LogLevel=\"101\"/>"              // 6: too high
                        "<Plugin ID=\"393216\" LogLevel=\"-2\"/>"               // 6: too low
                        "<Plugin ID=\"458752\"/>"                               // 7: no level
                        "<Plugin ID=\"x\" LogLevel=\"10\"/>"                    // not a number
                        "<Plugin ID=\"4294967296\" LogLevel=\"10\"/>"           // out of range
                        "<Plugin ID=\"524288\" LogLevel=\"-1\" LogLevelDefault=\"150\"/>"));
  Peer(core).logLevel().Set(4, 33);
  Peer(core).logLevel().Set(8, 33);
  Load();
  EXPECT_EQ(Peer(core).logLevel().Get(0), 0);
  EXPECT_EQ(Peer(core).logLevel().Get(9), 50);
  EXPECT_EQ(Peer(core).logLevel().Get(3), -1);
  EXPECT_EQ(Peer(core).logLevel().Get(4), -1);
  EXPECT_EQ(Peer(core).logLevel().Get(5), 45);
  EXPECT_EQ(Peer(core).logLevel().Get(6), -1);
  EXPECT_EQ(Peer(core).logLevel().Get(7), -1);
  EXPECT_EQ(Peer(core).logLevel().Get(8), -1);  // a default out of range counts as absent
  EXPECT_EQ(Peer(core).logLevel().Get(0xff), 0);  // no entry: reads the core's
  EXPECT_EQ(Peer(core).logLevelDefault().Get(9), -1);  // core.xml never writes defaults
}

TEST_F(Configuration, ProductXmlNamesFamilyAndVersionUnderAnyRoot) {
  Write("product.xml", "<Anything><Product Family=\"Orbis\"/></Anything>");
  Write("core.xml", "<Orvel/>");
  Load();
  EXPECT_EQ(family, "Orbis");
  EXPECT_EQ(version, "21.09.7.0");
  Write("product.xml", "<P><Other/><Product Version=\"9.9\" Family=\"Z\"/></P>");
  Load();
  EXPECT_EQ(family, "Z");
  EXPECT_EQ(version, "9.9");
  EXPECT_EQ(platform.ConsoleText(), "");
}

// A missing core.xml after a good product.xml is never read as product.xml.
TEST_F(Configuration, AMissingCoreXmlIsNotTheProductXmlLoadedBefore) {
  Write("product.xml", "<Orvel><Memory Throttling=\"0\"/><Product Family=\"F\"/></Orvel>");
  Load();
  EXPECT_TRUE(Peer(core).throttlingEnabled());
  EXPECT_NE(platform.ConsoleText().find("core.xml 2 - Failed to open file."), std::string::npos);
}

TEST_F(Configuration, UpdatesNeedDeltaAndChangeOnlyWhatDiffers) {
  Peer(core).logLevelDefault().Set(5, 70);
  const auto update = [&](const std::string& delta, const std::string& plugins) {
    return dv::ApplyConfigurationUpdate(
        "<U" + delta + "><Modules><Module>" + plugins + "</Module></Modules></U>",
        Peer(core).logLevel(), Peer(core).logLevelDefault());
  };
  EXPECT_FALSE(update("", "<Plugin ID=\"327680\" LogLevel=\"30\"/>"));
  EXPECT_FALSE(update(" Delta=\"0\"", "<Plugin ID=\"327680\" LogLevel=\"30\"/>"));
  EXPECT_FALSE(update(" Delta=\"yes\"", "<Plugin ID=\"327680\" LogLevel=\"30\"/>"));
  EXPECT_EQ(Peer(core).logLevel().Get(5), -1);
  EXPECT_TRUE(update(" Delta=\"1\"", "<Plugin ID=\"327680\" LogLevel=\"30\"/>"));
  EXPECT_EQ(Peer(core).logLevel().Get(5), 30);
  EXPECT_FALSE(update(" Delta=\"1\"", "<Plugin ID=\"327680\" LogLevel=\"30\"/>"));
  EXPECT_TRUE(update(" Delta=\"-4\"", "<Plugin ID=\"327680\" LogLevel=\"-1\"/>"));
  EXPECT_EQ(Peer(core).logLevel().Get(5), 70);  // back to the kind's default
  EXPECT_FALSE(dv::ApplyConfigurationUpdate("<U Delta=\"1\"><Modules>", Peer(core).logLevel(),
                                            Peer(core).logLevelDefault()));
  EXPECT_FALSE(dv::ApplyConfigurationUpdate("", Peer(core).logLevel(), Peer(core).logLevelDefault()));
}

// TinyXML reads core.xml (no declared encoding) as UTF-8 and takes a lead
// byte with the bytes its sequence needs, whatever they are. A parent
// version ending in such a byte used to swallow the attribute's closing
// quote: core.xml no longer loaded at the next start, and every threshold
// it kept was lost. Found by tests/fuzz/parent_packets.
TEST_F(Configuration, AReportWithUtf8CutShortStillLoadsBack) {
  dv::LogLevelTable levels;
  dv::LogLevelTable defaults;
  levels.Set(0, 42);
  dv::StatusFigures figures;
  figures.coreVersion = "21.09\xc3";
  figures.coreFileName = "devovor\xe2\x82";
  figures.throttlingEnabled = false;
  figures.plugins = Peer(core).plugins().snapshot();
  figures.logLevel = &levels;
  figures.logLevelDefault = &defaults;
  figures.parentFileName = "vantord\xee";
  figures.parentVersion = "7.1\xf0\x9f\x98 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  figures.failedPlugins["bad\xdf.so"] = "error \xf4";
  dv::XmlStatus status;
  ASSERT_TRUE(dv::SaveXmlFile(*dv::BuildStatusReport(figures), "core.xml", &status));

  TiXmlDocument report;
  ASSERT_TRUE(dv::LoadXmlFile(&report, "core.xml", &status)) << status.description;
  const TiXmlElement* core_module =
      report.RootElement()->FirstChildElement("Modules")->FirstChildElement("Module");
  ASSERT_NE(core_module, nullptr);
  EXPECT_STREQ(core_module->Attribute("Version"), "21.09?");
  const TiXmlElement* library = core_module->FirstChildElement("Library");
  ASSERT_NE(library, nullptr);
  EXPECT_STREQ(library->Attribute("Filename"), "vantord?");
  // Whole sequences stay as they are.
  EXPECT_STREQ(library->Attribute("Version"),
               "7.1?\x9f\x98 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");

  Load();
  EXPECT_EQ(Peer(core).logLevel().Get(0), 42);
  EXPECT_FALSE(Peer(core).throttlingEnabled());
  EXPECT_EQ(platform.ConsoleText().find("Failed"), std::string::npos);
}

}  // namespace
