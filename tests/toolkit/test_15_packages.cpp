// The Debian packages, as an integrator gets them: built by CPack from this
// build once for the suite, unpacked with dpkg -x into a scratch root. The
// template builds against the unpacked SDK and passes its tests with the
// unpacked devovor-inspect and core, and the unpacked core runs the unpacked
// example plugins and the template's plugin under the unpacked parent-sim,
// which finds that core by itself. Installed as the package installs it and
// set-user-ID root, the core finds a plugin's library in its lib/.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"
#include "support/setuid_copy.h"

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

// CPack names a debug-symbols package .ddeb; scripts/package renames it .deb.
fs::path PackageIn(const fs::path& dir, const std::string& name) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string file = entry.path().filename().string();
    const fs::path extension = entry.path().extension();
    if (file.rfind(name + "_", 0) == 0 && (extension == ".deb" || extension == ".ddeb")) {
      return entry.path();
    }
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

const char* const kPackages[] = {"devovor", "devovor-examples", "devovor-plugin-dev"};

// Builds the packages once (under a umask that leaves group write on: the
// modes are the packages' own, not the packager's) and unpacks them all
// into one scratch root.
class Packages : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = new fs::path(fs::temp_directory_path() / ("dv-packages-" + std::to_string(getpid())));
    fs::remove_all(*work_);
    if (Shell("umask 002; " + std::string(CPACK_COMMAND) + " -G DEB --config " + BINARY_DIR +
              "/CPackConfig.cmake -B " + Debs().string()) != 0) {
      return;
    }
    for (const char* name : kPackages) {
      const fs::path deb = PackageIn(Debs(), name);
      if (deb.empty() || Shell("dpkg -x " + deb.string() + " " + Root().string()) != 0) return;
    }
    built_ = true;
  }
  static void TearDownTestSuite() {
    fs::remove_all(*work_);
    delete work_;
  }
  void SetUp() override {
#ifdef DV_TEST_EMULATOR
    GTEST_SKIP() << "cross-built: scripts/package --arch=armhf builds these packages";
#endif
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "file", "readelf"}) {
      if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps --package)";
    }
    ASSERT_TRUE(built_) << "cpack or dpkg -x failed in " << *work_;
  }

  static fs::path Debs() { return *work_ / "debs"; }
  static fs::path Root() { return *work_ / "root"; }
  static std::string Usr() { return (Root() / "usr").string(); }
  static std::string Core() { return Usr() + "/lib/devovor/devovor"; }

  static fs::path* work_;
  static bool built_;
};
fs::path* Packages::work_ = nullptr;
bool Packages::built_ = false;

TEST_F(Packages, HoldRootsFilesWithTheirDependencies) {
  for (const char* name : kPackages) {
    const fs::path deb = PackageIn(Debs(), name);
    ExpectRootsAndWritableByRootAlone(deb);
    // Depends from the shared-library dependencies of what it holds.
    const std::string depends = OutputOf("dpkg-deb -f " + deb.string() + " Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << name << ": " << depends;
  }
  EXPECT_NE(OutputOf("dpkg-deb -f " + PackageIn(Debs(), "devovor-examples").string() + " Depends")
                .find("devovor (= "),
            std::string::npos);
}

// The core names its lib/ by absolute path too (a set-user-ID program
// ignores $ORIGIN), in the old tag that also serves its plugins' libraries.
// It is stripped, and its debug symbols are in devovor-dbgsym under its
// build ID, where debuggers look them up.
TEST_F(Packages, TheCoreIsStrippedWithItsLibrarySearchPathAndItsSymbolsApart) {
  const std::string dynamic = OutputOf("readelf -d " + Core());
  EXPECT_NE(dynamic.find("(RPATH)              Library rpath: [$ORIGIN/lib:/usr/lib/devovor/lib]"),
            std::string::npos)
      << dynamic;
  EXPECT_EQ(dynamic.find("RUNPATH"), std::string::npos) << dynamic;
  for (const std::string& program : {Core(), Usr() + "/bin/devovor-inspect",
                                    Usr() + "/libexec/devovor/parent-sim"}) {
    EXPECT_NE(OutputOf("file -b " + program).find(", stripped"), std::string::npos) << program;
  }
  std::string buildId = OutputOf("readelf -n " + Core() + " | sed -n 's/.*Build ID: //p'");
  buildId.erase(buildId.find_last_not_of("\n") + 1);
  ASSERT_GT(buildId.size(), 2u);
  const fs::path dbgsym = PackageIn(Debs(), "devovor-dbgsym");
  ASSERT_FALSE(dbgsym.empty());
  ExpectRootsAndWritableByRootAlone(dbgsym);
  EXPECT_NE(OutputOf("dpkg-deb -c " + dbgsym.string())
                .find("./usr/lib/debug/.build-id/" + buildId.substr(0, 2) + "/" + buildId.substr(2) +
                      ".debug\n"),
            std::string::npos)
      << buildId;
}

TEST_F(Packages, UnpackedTheyBuildTheTemplateAndRunTheExamplesUnderParentSim) {
  const std::string usr = Usr();
  const std::string build = (*work_ / "template").string();
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " -S " + usr + "/share/devovor/plugin-template -B " +
                  build + " -DCMAKE_PREFIX_PATH=" + usr),
            0);
  ASSERT_EQ(Shell(std::string(CMAKE_COMMAND) + " --build " + build), 0);
  const std::string tests = OutputOf(std::string(CTEST_COMMAND) + " --test-dir " + build + " 2>&1");
  EXPECT_NE(tests.find("100% tests passed, 0 tests failed out of 2"), std::string::npos) << tests;

  // The installed parent-sim finds the installed core by itself; the
  // template's plugin answers a request sent as its ID comment says.
  const fs::path run = *work_ / "run";
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
}

// The core package installed where it installs (/usr/lib/devovor, seen
// through an overlay in a private mount namespace, so the machine's /usr is
// untouched), its core set-user-ID root and started by a parent of nobody:
// a plugin that needs a library only lib/ holds loads, and Load ran the
// library's code (its ID comes from there).
TEST_F(Packages, ASetUserIdCoreFindsAPluginsLibraryInItsLib) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  if (Shell("unshare -m sh -c 'mount -t tmpfs dv-probe /mnt'") != 0) {
    GTEST_SKIP() << "cannot mount in a private mount namespace (unshare -m, CAP_SYS_ADMIN)";
  }
  const fs::path root = *work_ / "core-only", home = root / "usr/lib/devovor";
  ASSERT_EQ(Shell("dpkg -x " + PackageIn(Debs(), "devovor").string() + " " + root.string()), 0);
  fs::copy_file(LIB_PROBE_SO, home / "lib" / fs::path(LIB_PROBE_SO).filename());
  fs::copy_file(LIB_USER_SO, home / "plugins/lib_user.so");
  // Only root can write the core's folder and those above it, as where the
  // package installs it (the packages were built under a umask that leaves
  // group write on).
  fs::permissions(*work_, fs::perms(0755));
  ASSERT_EQ(MakeSetUserIdRoot((home / "devovor").string()), "");
  const fs::path run = *work_ / "nobody-run";
  fs::create_directories(run);
  ASSERT_EQ(Shell("chown nobody " + run.string()), 0);

  const std::string started = OutputOf(
      "cd " + run.string() + " && unshare -m sh -c 'mount -t overlay dv-packages -o lowerdir=" +
      (root / "usr/lib").string() + ":/usr/lib /usr/lib && exec " + BINARY_DIR +
      "/tools/parent-sim --user nobody --stop-after 1 --core /usr/lib/devovor/devovor' 2>&1; echo exit $?");
  EXPECT_NE(started.find("exit 0\n"), std::string::npos) << started;
  std::stringstream report;
  report << std::ifstream(run / "core.xml").rdbuf();
  EXPECT_NE(report.str().find(R"(<Plugin ID="4390912" Filename="lib_user.so" Opened="1")"),
            std::string::npos)
      << report.str();
}

}  // namespace
}  // namespace dvtest
