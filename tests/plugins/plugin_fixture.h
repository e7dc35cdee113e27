// A throw-away installation of the core for integration tests.
//
// PluginFolder makes a fresh folder under /tmp holding a copy of the core
// executable and empty plugins/ and protected-plugins/ directories, installs
// copies of the test plugin into them, each with its own settings file, and
// reads back the calls.log the copies write. The folder and everything in it
// are removed when the object goes away.
//
//   dvtest::PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
//   folder.Install("a.so", "worker=1\nmasks=0x2\ndelivery=1\n");
//   ... run folder.exe() ...
//   EXPECT_EQ(folder.CallsOf("a").front(), "Load");
//
// A stem installed in both directories writes both copies' lines under
// the same prefix.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace dvtest {

enum class PluginDir { kPlugins, kProtected };

class PluginFolder {
 public:
  using Path = std::filesystem::path;

  // coreExe: the built core; pluginFile: the built test_plugin.so (or any
  // other plugin file to install copies of).
  PluginFolder(const std::string& coreExe, const std::string& pluginFile)
      : root_(MakeTempDir()), plugin_(pluginFile), exe_(root_ / Path(coreExe).filename()) {
    try {
      std::filesystem::create_directory(Dir(PluginDir::kPlugins));
      std::filesystem::create_directory(Dir(PluginDir::kProtected));
      std::filesystem::copy_file(coreExe, exe_);
      std::filesystem::permissions(exe_, std::filesystem::status(coreExe).permissions());
    } catch (...) {
      RemoveRoot();
      throw;
    }
  }

  ~PluginFolder() { RemoveRoot(); }

  PluginFolder(const PluginFolder&) = delete;
  PluginFolder& operator=(const PluginFolder&) = delete;

  const Path& root() const { return root_; }
  const Path& exe() const { return exe_; }

  // Lays the folder out as a set-user-ID core requires, for a core that
  // takes nobody's account: the folder root's and entered only by root and
  // nobody's group (so no other local user reaches a set-user-ID copy),
  // the core 0755 whatever the build's umask, calls.log open to the
  // plugins, and work/ for the core's own files. Returns work/.
  Path LayOutForNobody() {
    const Path work = root_ / "work";
    std::filesystem::create_directory(work);
    using std::filesystem::perms;
    if (chown(root_.c_str(), 0, kNobody) != 0 || chmod(root_.c_str(), 0750) != 0 ||
        chmod(exe_.c_str(), 0755) != 0 || chmod(work.c_str(), 0777) != 0) {
      throw std::runtime_error("cannot lay out " + root_.string());
    }
    WriteFile(root_ / "calls.log", "");
    std::filesystem::permissions(root_ / "calls.log", perms::all & ~perms::owner_exec &
                                                          ~perms::group_exec & ~perms::others_exec);
    return work;
  }

  Path Dir(PluginDir where) const {
    return root_ / (where == PluginDir::kPlugins ? "plugins" : "protected-plugins");
  }

  // Copies the plugin as `fileName` (e.g. "a.so") into `where` and writes
  // `config` to the matching "<stem>.conf". Returns the installed file.
  Path Install(const std::string& fileName, const std::string& config = "",
               PluginDir where = PluginDir::kPlugins) {
    const Path installed = Dir(where) / fileName;
    std::filesystem::copy_file(plugin_, installed,
                               std::filesystem::copy_options::overwrite_existing);
    const std::string stem = StemOf(fileName);
    const Path settings = Dir(where) / (stem + ".conf");
    WriteFile(settings, config);
    // As a package installs them, whatever umask the build ran under: a
    // set-user-ID core loads no file that group or others can write.
    using std::filesystem::perms;
    std::filesystem::permissions(installed, perms::owner_all | perms::group_read |
                                                perms::group_exec | perms::others_read |
                                                perms::others_exec);
    std::filesystem::permissions(settings,
                                 perms::owner_read | perms::owner_write | perms::group_read |
                                     perms::others_read);
    return installed;
  }

  // Every line of calls.log, shared by the plugins of both directories, in
  // order; none before the first call.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::ifstream in(root_ / "calls.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The lines of one plugin, without their "<stem> " prefix.
  std::vector<std::string> CallsOf(const std::string& stem) const {
    const std::string prefix = stem + " ";
    std::vector<std::string> lines;
    for (const std::string& line : Calls()) {
      if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }

  // Polls until CallsOf(stem) holds `line`; false when `timeout` passes.
  bool WaitForCall(const std::string& stem, const std::string& line,
                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (Contains(CallsOf(stem), line)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // The plugin's rule: the file name without a trailing ".so".
  static std::string StemOf(const std::string& fileName) {
    const std::string suffix = ".so";
    const bool hasSuffix = fileName.size() > suffix.size() &&
                           fileName.compare(fileName.size() - suffix.size(), suffix.size(),
                                            suffix) == 0;
    return hasSuffix ? fileName.substr(0, fileName.size() - suffix.size()) : fileName;
  }

 private:
  static Path MakeTempDir() {
    std::string pattern = "/tmp/devovor-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }

  void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  static void WriteFile(const Path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }

  static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& each : lines) {
      if (each == line) return true;
    }
    return false;
  }

  static constexpr uid_t kNobody = 65534;

  Path root_;
  Path plugin_;
  Path exe_;
};

}  // namespace dvtest
