// Micro costs of the event entry, in ns per call, with one core whose
// delivery loop runs on its own thread and whose console is off:
//   - a log message below its kind's threshold (LogMessage, level 0 from the
//     core, threshold 25): one threshold query, nothing formatted;
//   - a log message that passes (level 50): query, format, the console
//     writer (off), the copy and the queue;
//   - a log-level query (QueryLogLevel);
//   - a video frame the video gate refuses (no key frame yet).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "log/levels.h"
#include "log/log.h"
#include "results.h"

namespace {

void BM_LogSuppressed(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) dv::LogMessage(DV_CORE_ID, PluginEventCallback, 0, "routine %d", ++i);
}

void BM_LogPassing(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) dv::LogMessage(DV_CORE_ID, PluginEventCallback, 50, "warning %d", ++i);
}

void BM_LogLevelQuery(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(dv::QueryLogLevel(DV_CORE_ID, PluginEventCallback));
  }
}

void BM_VideoRefused(benchmark::State& state) {
  char frame[256] = {};
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x00070001;  // a stream that never sent a key frame
  in.eventType = DV_EVENT_VIDEO;
  in.flags = DV_FLAG_VIDEO;
  in.keyFrame = 0;
  in.data = frame;
  in.len = sizeof frame;
  for (auto _ : state) {
    _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
    PluginEventCallback(&in, &out);
    if (out.result != DV_RESULT_NO_KEY_FRAME) state.SkipWithError("frame was not refused");
  }
}

BENCHMARK(BM_LogSuppressed)->MinTime(0.2);
BENCHMARK(BM_LogPassing)->MinTime(0.2);
BENCHMARK(BM_LogLevelQuery)->MinTime(0.2);
BENCHMARK(BM_VideoRefused)->MinTime(0.2);

class ResultReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      nsPerOp[name.substr(0, name.find('/'))] = run.GetAdjustedRealTime();
    }
  }
  void Report() const {
    Emit("BM_LogSuppressed", "log message suppressed", "< 50");
    Emit("BM_LogPassing", "log message passing, console off", "");
    Emit("BM_LogLevelQuery", "log level query", "");
    Emit("BM_VideoRefused", "video frame refused by the gate", "");
  }

 private:
  void Emit(const std::string& name, const std::string& metric, const std::string& aim) const {
    const auto it = nsPerOp.find(name);
    if (it != nsPerOp.end()) dvbench::Result(metric, it->second, "ns/op", aim);
  }
  std::map<std::string, double> nsPerOp;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  devovor core("/nonexistent/devovor");
  core.Initialize(-1);
  Peer(core).console().SetBackground(true);  // the console prints nothing
  std::thread loop([&] { Peer(core).router().RunEventLoop(); });
  ResultReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  core.RequestStop();
  loop.join();
  reporter.Report();
  benchmark::Shutdown();
  return 0;
}
