// Plugin discovery on real directories: what qualifies and in which order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "plugins/discovery.h"
#include "plugins/plugin_host.h"

namespace {
namespace fs = boost::filesystem;

class Discovery : public ::testing::Test {
 protected:
  Discovery() {
    char pattern[] = "/tmp/dv-discovery-XXXXXX";
    root = mkdtemp(pattern);
    exe = root + "/devovor";
  }
  ~Discovery() override { fs::remove_all(root); }

  void Touch(const std::string& relative) {
    fs::create_directories(fs::path(root + "/" + relative).parent_path());
    std::ofstream(root + "/" + relative) << "x";
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const std::string& path : dv::DiscoverPlugins(exe)) names.push_back(path.substr(root.size() + 1));
    return names;
  }

  std::string root;
  std::string exe;
};

TEST_F(Discovery, NoDirectoriesMeansNoCandidates) { EXPECT_TRUE(Names().empty()); }

TEST_F(Discovery, ByteOrderWithinADirectoryAndPluginsBeforeProtected) {
  Touch("plugins/a.so");
  Touch("plugins/B.so");
  Touch("protected-plugins/0.so");
  EXPECT_EQ(Names(), (std::vector<std::string>{"plugins/B.so", "plugins/a.so",
                                               "protected-plugins/0.so"}));
}

TEST_F(Discovery, TheMarkerComesFirstFromEitherDirectory) {
  Touch("plugins/a.so");
  Touch("protected-plugins/xvUZUviy.so");
  Touch("plugins/xvuzuviy.so");  // the marker is case-sensitive
  EXPECT_EQ(Names(), (std::vector<std::string>{"protected-plugins/xvUZUviy.so", "plugins/a.so",
                                               "plugins/xvuzuviy.so"}));
}

TEST_F(Discovery, OnlyRegularFilesWithExactlyTheSoExtensionDirectlyInside) {
  Touch("plugins/sub/inner.so");
  Touch("plugins/.so");
  Touch("plugins/x.so.1");
  Touch("plugins/x.SO");
  Touch("plugins/noext");
  fs::create_directories(root + "/plugins/d.so");
  Touch("plugins/ok.so");
  EXPECT_EQ(Names(), std::vector<std::string>{"plugins/ok.so"});
}

TEST_F(Discovery, LinksCountUnderTheirOwnNameAndDanglingOnesNot) {
  Touch("elsewhere/real.bin");
  fs::create_directories(root + "/plugins");
  fs::create_symlink(root + "/elsewhere/real.bin", root + "/plugins/l.so");
  fs::create_symlink(root + "/elsewhere/missing", root + "/plugins/dangling.so");
  fs::create_directory_symlink(root + "/elsewhere", root + "/plugins/dirlink.so");
  EXPECT_EQ(Names(), std::vector<std::string>{"plugins/l.so"});
}

TEST_F(Discovery, TheSameNameInBothDirectoriesGivesTwoCandidates) {
  Touch("plugins/same.so");
  Touch("protected-plugins/same.so");
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"plugins/same.so", "protected-plugins/same.so"}));
}

TEST_F(Discovery, AFileWhereADirectoryShouldBeContributesNothing) {
  Touch("plugins");  // a file, not a directory
  Touch("protected-plugins/p.so");
  EXPECT_EQ(Names(), std::vector<std::string>{"protected-plugins/p.so"});
}

TEST_F(Discovery, AnUnreadableDirectoryContributesNothing) {
  Touch("plugins/a.so");
  Touch("protected-plugins/b.so");
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
  ASSERT_EQ(chmod((root + "/plugins").c_str(), 0), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Root reads any directory; an ordinary account cannot read this one.
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    const std::vector<std::string> found = dv::DiscoverPlugins(exe);
    _exit(found.size() == 1 && found[0] == root + "/protected-plugins/b.so" ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod((root + "/plugins").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RegisteredName, LowerCasesAsciiLettersOfTheStemOnly) {
  EXPECT_EQ(dv::RegisteredName("Video.so"), "video");
  EXPECT_EQ(dv::RegisteredName("MiXeD-9_Z.so"), "mixed-9_z");
  EXPECT_EQ(dv::RegisteredName("\xc3\x89T\xc3\x89.so"), "\xc3\x89t\xc3\x89");
}

}  // namespace
