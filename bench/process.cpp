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
//     1 KiB (then, in another run, of 64 B); (VmRSS after - VmRSS before) /
//     100,000 - payload is what each queued event costs beyond its payload.
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
#include "run_folder.h"

namespace {

using namespace dvbench;

constexpr int kFloodEvents = 100000;

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

void QueuedEventMemory(int payload) {
  RunFolder folder;
  folder.Install(BENCH_SINK_SO, "sink.so");
  folder.Install(BENCH_FLOOD_SO, "flood.so");
  setenv("FLOOD_EVENTS", std::to_string(kFloodEvents).c_str(), 1);
  setenv("FLOOD_SIZE", std::to_string(payload).c_str(), 1);
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
  const std::string size = payload == 1024 ? "1 KiB" : std::to_string(payload) + " B";
  dvbench::Result("process RSS per queued " + size + " event", perEvent, "B");
  dvbench::Result("process RSS per queued " + size + " event beyond payload", perEvent - payload,
                  "B", "<= 300");
}

}  // namespace

int main() {
  int failures = 0;
  for (void (*measure)() : {StartupTime, IdleMemory, +[] { QueuedEventMemory(1024); },
                            +[] { QueuedEventMemory(64); }}) {
    try {
      measure();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_process: %s\n", e.what());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
