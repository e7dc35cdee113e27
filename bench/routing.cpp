// Routing throughput: events raised through PluginEventCallback by 1 or 2
// producer threads, delivered by the core's loop to 4 subscribed plugins
// whose Write returns at once; against a bare baseline doing the same work
// in the same run: one malloc+memcpy per event, a mutex + condition
// variable + deque handoff to one consumer thread, 4 indirect calls, free.
//
// Prints Google Benchmark's table, then the core's rate over the baseline's
// for each payload size and producer count.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/devovor.h"
#include "events/callback.h"

namespace {

constexpr int kPlugins = 4;
constexpr int kBatch = 20000;  // events per iteration, over all producers

std::atomic<uint64_t> g_delivered{0};

int32_t CountingWrite(void*, void*) {
  g_delivered.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

_EventParmsIn EventOf(const std::vector<char>& payload) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x00090000;
  in.eventType = 0x2;
  in.data = const_cast<char*>(payload.data());
  in.len = static_cast<uint32_t>(payload.size());
  return in;
}

void WaitDelivered(uint64_t target) {
  while (g_delivered.load(std::memory_order_relaxed) < target) std::this_thread::yield();
}

template <typename Produce>
void RunProducers(int producers, Produce produce) {
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) threads.emplace_back(produce, kBatch / producers);
  for (auto& t : threads) t.join();
}

void BM_Core(benchmark::State& state) {
  const std::vector<char> payload(state.range(0), 'p');
  const int producers = static_cast<int>(state.range(1));
  devovor core("/nonexistent/devovor");
  core.Initialize(-1);
  for (int i = 0; i < kPlugins; ++i) {
    auto plugin = std::make_shared<dv::PLUGININFO>();
    plugin->name = "bench" + std::to_string(i) + ".so";
    plugin->loadResults.id = 0x00010000u * (i + 1);
    for (uint32_t& mask : plugin->loadResults.eventMasks) mask = 0xffffffffu;
    plugin->loadResults.deliveryOption = 1;
    plugin->Write = CountingWrite;
    core.plugins().Append(plugin);
  }
  g_delivered = 0;
  std::thread loop([&] { core.router().RunEventLoop(); });
  uint64_t target = 0;
  for (auto _ : state) {
    RunProducers(producers, [&](int count) {
      _EventParmsIn in = EventOf(payload);
      for (int i = 0; i < count; ++i) {
        _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
        PluginEventCallback(&in, &out);
      }
    });
    target += uint64_t(kBatch) * kPlugins;
    WaitDelivered(target);
  }
  core.RequestStop();
  loop.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}

struct Handoff {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::pair<void*, uint32_t>> queue;
  bool stop = false;
};

void BM_Baseline(benchmark::State& state) {
  const std::vector<char> payload(state.range(0), 'p');
  const int producers = static_cast<int>(state.range(1));
  Handoff handoff;
  int32_t (*volatile write)(void*, void*) = CountingWrite;
  g_delivered = 0;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> lock(handoff.mu);
    for (;;) {
      if (handoff.queue.empty()) {
        if (handoff.stop) return;
        handoff.cv.wait(lock);
        continue;
      }
      auto [block, len] = handoff.queue.front();
      handoff.queue.pop_front();
      lock.unlock();
      for (int i = 0; i < kPlugins; ++i) write(block, &len);
      std::free(block);
      lock.lock();
    }
  });
  uint64_t target = 0;
  for (auto _ : state) {
    RunProducers(producers, [&](int count) {
      for (int i = 0; i < count; ++i) {
        void* block = std::malloc(payload.size());
        std::memcpy(block, payload.data(), payload.size());
        {
          std::lock_guard<std::mutex> lock(handoff.mu);
          handoff.queue.emplace_back(block, static_cast<uint32_t>(payload.size()));
        }
        handoff.cv.notify_one();
      }
    });
    target += uint64_t(kBatch) * kPlugins;
    WaitDelivered(target);
  }
  {
    std::lock_guard<std::mutex> lock(handoff.mu);
    handoff.stop = true;
  }
  handoff.cv.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void Arguments(benchmark::internal::Benchmark* b) {
  for (int producers : {1, 2}) {
    for (int size : {64, 1024, 65536}) b->Args({size, producers});
  }
  b->ArgNames({"payload", "producers"})->UseRealTime()->MinTime(0.3);
}

BENCHMARK(BM_Core)->Apply(Arguments);
BENCHMARK(BM_Baseline)->Apply(Arguments);

// Keeps each run's rate so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      const auto slash = name.find('/');
      const auto it = run.counters.find("items_per_second");
      if (slash == std::string::npos || it == run.counters.end()) continue;
      rates[name.substr(slash)][name.substr(0, slash)] = it->second;
    }
  }
  void PrintRatios() const {
    std::printf("\n%-34s %14s %14s %8s\n", "case", "core ev/s", "baseline ev/s", "ratio");
    for (const auto& [args, byName] : rates) {
      const auto core = byName.find("BM_Core");
      const auto base = byName.find("BM_Baseline");
      if (core == byName.end() || base == byName.end()) continue;
      std::printf("%-34s %14.0f %14.0f %8.2f\n", args.c_str(), core->second, base->second,
                  core->second / base->second);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
