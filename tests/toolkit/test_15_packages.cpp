// The Debian packages, as an integrator gets them: built by CPack from this
// build, unpacked with dpkg -x into a scratch root, the template builds
// against the unpacked SDK and passes its tests with the unpacked
// devovor-inspect and core, and the unpacked core runs the unpacked example
// plugins and the template's plugin under the unpacked parent-sim, which
// finds that core by itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;

int Shell(const std::string& command) {
  return std::system((command + " > /dev/null 2>&1").c_str());
}

std::string OutputOf(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

bool OnPath(const std::string& program) {
  return Shell("command -v " + program) == 0;
}

fs::path PackageIn(const fs::path& dir, const std::string& name) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind(name + "_", 0) == 0 && entry.path().extension() == ".deb") return entry.path();
  }
  return {};
}

// Every entry of `deb` as dpkg-deb lists it: root's, writable by its owner
// alone, never set-user-ID or set-group-ID (a link's own mode is moot).
void ExpectRootsAndWritableByRootAlone(const fs::path& deb) {
  std::istringstream listing(OutputOf("dpkg-deb -c " + deb.string()));
  int entries = 0;
  for (std::string mode, owner, rest; listing >> mode >> owner && std::getline(listing, rest);) {
    ++entries;
    EXPECT_EQ(owner, "root/root") << rest;
    if (mode[0] == 'l') continue;
    EXPECT_TRUE(mode.size() == 10 && mode[5] != 'w' && mode[8] != 'w' &&
                std::string("sS").find(mode[3]) == std::string::npos &&
                std::string("sS").find(mode[6]) == std::string::npos)
        << deb.filename() << ": " << mode << rest;
  }
  EXPECT_GT(entries, 3) << deb;
}

TEST(Packages, UnpackedTheyBuildTheTemplateAndRunTheExamplesUnderParentSim) {
#ifdef DV_TEST_EMULATOR
  GTEST_SKIP() << "cross-built: scripts/package --arch=armhf builds these packages";
#endif
  for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "file"}) {
    if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps --package)";
  }
  const fs::path work = fs::temp_directory_path() / ("dv-packages-" + std::to_string(getpid()));
  fs::remove_all(work);
  const fs::path debs = work / "debs", root = work / "root";
  // Under a umask that leaves group write on: the modes are the packages'
  // own, not the packager's.
  ASSERT_EQ(Shell("umask 002; " + std::string(CPACK_COMMAND) + " -G DEB --config " + BINARY_DIR +
                  "/CPackConfig.cmake -B " + debs.string()),
            0);
  for (const char* name : {"devovor", "devovor-examples", "devovor-plugin-dev"}) {
    const fs::path deb = PackageIn(debs, name);
    ASSERT_FALSE(deb.empty()) << name;
    ExpectRootsAndWritableByRootAlone(deb);
    // Depends from the shared-library dependencies of what it holds.
    const std::string depends = OutputOf("dpkg-deb -f " + deb.string() + " Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << name << ": " << depends;
    ASSERT_EQ(Shell("dpkg -x " + deb.string() + " " + root.string()), 0) << name;
  }
  const std::string usr = (root / "usr").string();
  EXPECT_NE(OutputOf("dpkg-deb -f " + PackageIn(debs, "devovor-examples").string() + " Depends")
                .find("devovor (= "),
            std::string::npos);

  const std::string build = (work / "template").string();
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " -S " + usr + "/share/devovor/plugin-template -B " +
                  build + " -DCMAKE_PREFIX_PATH=" + usr),
            0);
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --build " + build), 0);
  const std::string tests = OutputOf(std::string(CTEST_COMMAND) + " --test-dir " + build + " 2>&1");
  EXPECT_NE(tests.find("100% tests passed, 0 tests failed out of 2"), std::string::npos) << tests;

  // The installed parent-sim finds the installed core by itself; the
  // template's plugin answers a request sent as its ID comment says.
  const fs::path run = work / "run";
  fs::create_directories(run);
  fs::copy_file(build + "/my_plugin.so", usr + "/lib/devovor/plugins/my_plugin.so");
  ChildOptions options;
  options.argv = {usr + "/libexec/devovor/parent-sim", "--stop-after", "2",
                  "--request", "0x01300000:0x10:ping", "--request", "0x07000000:0x10:hello"};
  options.workDir = run.string();
  ChildProcess sim(options);
  ASSERT_EQ(sim.StartError(), "");
  EXPECT_EQ(sim.WaitForExit(Scaled(std::chrono::seconds(30))), ExitStatus::Exited(0));
  // parent-sim's dump shows 16 bytes of text a row.
  for (const char* reply : {"bridge: ping", "my_plugin: 21 by"}) {
    EXPECT_NE(sim.Output(Stream::kStdout).find(reply), std::string::npos)
        << reply << "\n" << sim.Output(Stream::kStdout);
  }
  EXPECT_TRUE(fs::exists(run / "recordings" / "segment-0000.bin")) << "camera to recorder";
  EXPECT_TRUE(fs::exists(run / "devovor.log")) << "the log file plugin";
  fs::remove_all(work);
}

}  // namespace
}  // namespace dvtest
