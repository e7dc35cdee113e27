// The installed SDK: `cmake --install` puts the headers, a pkg-config module
// and a CMake package under a prefix; a plugin built out of tree against it,
// both ways, loads into the real core.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "plugins/plugin_fixture.h"
#include "plugins/run_core.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;

// A cross build passes its toolchain to the plugin's build.
#ifndef SDK_CMAKE_ARGS
#define SDK_CMAKE_ARGS ""
#endif
#ifndef SDK_CC
#define SDK_CC "cc"
#endif

int Shell(const std::string& command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

// What a command writes to standard output.
std::string Output(const std::string& command) {
  std::string text;
  FILE* const pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  pclose(pipe);
  return text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The core's 64-bit time_t, which the plugin headers require on a 32-bit
// target (where a build without it does not compile).
constexpr const char* kTime64 = "-D_TIME_BITS=64";

TEST(Sdk, AnOutOfTreePluginBuildsAgainstTheInstalledSdkAndLoads) {
  const fs::path work = fs::temp_directory_path() / ("dv-sdk-" + std::to_string(getpid()));
  fs::remove_all(work);
  const std::string prefix = (work / "prefix").string();
  const std::string example = std::string(SOURCE_DIR) + "/examples/sdk-hello";
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --install " + BINARY_DIR + " --prefix " + prefix +
                " --component sdk"),
            0);
  EXPECT_TRUE(fs::exists(prefix + "/include/plugin_api/plugin.h"));
  ASSERT_TRUE(fs::exists(prefix + "/share/pkgconfig/devovor-plugin.pc"));

  // With the CMake package.
  const std::string build = (work / "build").string();
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " -S " + example + " -B " + build +
                " -DCMAKE_PREFIX_PATH=" + prefix + SDK_CMAKE_ARGS),
            0);
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --build " + build), 0);
  ASSERT_TRUE(fs::exists(build + "/hello.so"));
  EXPECT_NE(ReadText(build + "/CMakeFiles/hello.dir/flags.make").find(kTime64), std::string::npos);

  // With pkg-config.
  EXPECT_NE(Output("PKG_CONFIG_PATH=" + prefix + "/share/pkgconfig pkg-config --cflags devovor-plugin")
                .find(kTime64),
            std::string::npos);
  const std::string viaPkgConfig = (work / "hello-pc.so").string();
  ASSERT_EQ(Shell("PKG_CONFIG_PATH=" + prefix + "/share/pkgconfig " SDK_CC " -std=c99 -shared -fPIC "
                "$(PKG_CONFIG_PATH=" + prefix + "/share/pkgconfig pkg-config --cflags devovor-plugin) " +
                example + "/hello.c -o " + viaPkgConfig),
            0);

  PluginFolder folder(DEVOVOR_EXE, build + "/hello.so");
  folder.Install("hello.so");
  const std::string console = RunCore(folder);
  // Raised inside Load, before the name is registered: the tag is "?".
  EXPECT_NE(console.find("\x1b[33m"), std::string::npos);
  EXPECT_NE(console.find("\x1b[36m ?     \x1b[0m hello from an SDK plugin\r\n"), std::string::npos)
      << console;
  fs::remove_all(work);
}

}  // namespace
}  // namespace dvtest
