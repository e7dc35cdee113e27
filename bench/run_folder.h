// The real executable as a child process, for the whole-process benchmarks:
// a throw-away folder holding a copy of the core, its plugin folders and a
// core.xml that switches video throttling off (so the memory monitor never
// changes what is measured); starting the core there on a pseudo-terminal
// (it prints its log only to a terminal), stopping it, reading its memory.
// Plugins and the benchmark speak through files in that folder, the core's
// working directory. DV_BENCH_CORE, when set, names the core to copy in
// place of this build's (to compare two builds on the same run folder).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/child_process.h"

namespace dvbench {

namespace fs = std::filesystem;
using dvtest::ChildOptions;
using dvtest::ChildProcess;
using dvtest::ExitStatus;
using dvtest::Stream;
using Clock = std::chrono::steady_clock;

inline const std::regex kStarted("successfully started core version");

// A fresh folder with a copy of the core, empty plugin folders and a
// core.xml; removed with the object.
class RunFolder {
 public:
  RunFolder() {
    std::string pattern = "/tmp/devovor-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directory(root_ / "plugins");
    fs::create_directory(root_ / "protected-plugins");
    // DV_BENCH_CORE names another build of the core, for a comparison.
    const char* core = std::getenv("DV_BENCH_CORE");
    fs::copy_file(core != nullptr && *core != '\0' ? core : DEVOVOR_EXE, exe());
    std::ofstream(root_ / "core.xml") << "<Orvel><Memory Throttling=\"0\"/></Orvel>\n";
  }
  ~RunFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  fs::path exe() const { return root_ / "devovor"; }
  const fs::path& root() const { return root_; }
  void Install(const char* plugin, const std::string& name) const {
    fs::copy_file(plugin, root_ / "plugins" / name);
  }
  void Touch(const std::string& name) const { std::ofstream(root_ / name) << ""; }
  // Looks every 20 ms: the figures come from the files' contents, not from
  // when they are seen, and a poll every few milliseconds would take the
  // measured core's CPUs away from it often enough to show in its p99.
  bool WaitForFile(const std::string& name, std::chrono::seconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (!fs::exists(root_ / name)) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  fs::path root_;
};

inline std::unique_ptr<ChildProcess> Start(const RunFolder& folder) {
  ChildOptions options;
  options.argv = {folder.exe().string()};
  options.workDir = folder.root().string();
  options.stdoutMode = dvtest::Stdout::kTerminal;
  auto child = std::make_unique<ChildProcess>(options);
  if (!child->StartError().empty()) throw std::runtime_error(child->StartError());
  if (!child->WaitFor(Stream::kStdout, kStarted, std::chrono::seconds(30))) {
    throw std::runtime_error("the core did not start:\n" + child->Output(Stream::kStdout));
  }
  return child;
}

inline void Stop(ChildProcess& child) {
  const ExitStatus status = child.SignalAndWaitForExit(SIGTERM, std::chrono::seconds(60));
  if (!(status == ExitStatus::Exited(0))) {
    std::ostringstream text;
    text << "the core did not stop cleanly: " << status;
    throw std::runtime_error(text.str());
  }
}

// A field of /proc/<pid>/status given in kB ("VmRSS", "VmHWM"), in bytes.
inline double StatusBytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = field + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) * 1024.0;
  }
  throw std::runtime_error("no " + field);
}

// VmRSS of `pid` in bytes.
inline double ResidentBytes(pid_t pid) { return StatusBytes(pid, "VmRSS"); }
// VmHWM (peak resident memory) of `pid` in bytes.
inline double PeakResidentBytes(pid_t pid) { return StatusBytes(pid, "VmHWM"); }

}  // namespace dvbench
