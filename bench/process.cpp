// Whole-process figures of the real executable, started as a child process
// on a pseudo-terminal (the core prints its log only to a terminal) from a
// throw-away folder holding a copy of the core, its plugins and a core.xml
// that switches video throttling off, so the memory monitor never changes
// what is measured:
//   - start-up time: from the fork to the "successfully started" line, with
//     20 copies of bench_idle.so (distinct IDs), the median of 5 starts;
//   - resident memory (VmRSS) of an idle core without plugins, 1 s after it
//     started;
//   - resident memory per queued event: bench_sink.so blocks the delivery
//     loop in its first Write, bench_flood.so then raises 100,000 events of
//     1 KiB; (VmRSS after - VmRSS before) / 100,000 - 1024 is what each
//     queued event costs beyond its payload.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "results.h"
#include "support/child_process.h"

namespace {

namespace fs = std::filesystem;
using dvtest::ChildOptions;
using dvtest::ChildProcess;
using dvtest::ExitStatus;
using dvtest::Stream;
using Clock = std::chrono::steady_clock;

constexpr int kFloodEvents = 100000;
const std::regex kStarted("successfully started core version");

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
    fs::copy_file(DEVOVOR_EXE, exe());
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
  bool WaitForFile(const std::string& name, std::chrono::seconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (!fs::exists(root_ / name)) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

 private:
  fs::path root_;
};

std::unique_ptr<ChildProcess> Start(const RunFolder& folder) {
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

void Stop(ChildProcess& child) {
  const ExitStatus status = child.SignalAndWaitForExit(SIGTERM, std::chrono::seconds(60));
  if (!(status == ExitStatus::Exited(0))) {
    std::ostringstream text;
    text << "the core did not stop cleanly: " << status;
    throw std::runtime_error(text.str());
  }
}

// VmRSS of `pid` in bytes.
double ResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  }
  throw std::runtime_error("no VmRSS");
}

void StartupTime() {
  RunFolder folder;
  for (int i = 0; i < 20; ++i) folder.Install(BENCH_IDLE_SO, "idle_" + std::to_string(i) + ".so");
  std::vector<double> ms;
  for (int run = 0; run < 5; ++run) {
    const auto begin = Clock::now();
    auto child = Start(folder);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    Stop(*child);
  }
  std::sort(ms.begin(), ms.end());
  dvbench::Result("process start-up, 20 plugins", ms[ms.size() / 2], "ms");
}

void IdleMemory() {
  RunFolder folder;
  auto child = Start(folder);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double rss = ResidentBytes(child->Pid());
  Stop(*child);
  dvbench::Result("process idle RSS, no plugins", rss / (1024.0 * 1024.0), "MiB", "< 8");
}

void QueuedEventMemory() {
  RunFolder folder;
  folder.Install(BENCH_SINK_SO, "sink.so");
  folder.Install(BENCH_FLOOD_SO, "flood.so");
  setenv("FLOOD_EVENTS", std::to_string(kFloodEvents).c_str(), 1);
  auto child = Start(folder);
  folder.Touch("flood.go");
  if (!folder.WaitForFile("flood.primed", std::chrono::seconds(20))) {
    throw std::runtime_error("the sink never blocked");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = ResidentBytes(child->Pid());
  folder.Touch("flood.start");
  if (!folder.WaitForFile("flood.done", std::chrono::seconds(120))) {
    folder.Touch("sink.release");
    throw std::runtime_error("the flood never ended");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double after = ResidentBytes(child->Pid());
  folder.Touch("sink.release");
  Stop(*child);
  const double perEvent = (after - before) / kFloodEvents;
  dvbench::Result("process RSS per queued 1 KiB event", perEvent, "B");
  dvbench::Result("process RSS per queued event beyond payload", perEvent - 1024, "B", "<= 300");
}

}  // namespace

int main() {
  int failures = 0;
  for (void (*measure)() : {StartupTime, IdleMemory, QueuedEventMemory}) {
    try {
      measure();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_process: %s\n", e.what());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
