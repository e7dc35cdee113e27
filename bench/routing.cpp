// Routing throughput. Events raised through PluginEventCallback by one (or
// two) producer threads, delivered by the core's loop to 1, 4 or 16
// subscribed plugins; against, in the same run and with the same work per
// delivery:
//   - a bare baseline: one malloc+memcpy per event, a mutex + condition
//     variable + deque handoff to one consumer thread that takes one event
//     per lock, the plugins' calls, free;
//   - a draining baseline: the same, but the consumer takes the whole deque
//     per lock;
//   - ZeroMQ inproc PUB/SUB (when built with libzmq): one publisher, one
//     subscriber thread per plugin, high-water marks unbounded.
// Every delivery touches the payload the same way (three bytes: first,
// middle, last) and counts itself.
//
// Prints Google Benchmark's table (medians of three runs), then one result
// line per figure (see results.h): the core's rate and its ratio to each of
// the others.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifdef DV_HAVE_ZMQ
#include <zmq.h>
#endif

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "handoff.h"
#include "results.h"
#include "subscribers.h"

namespace {

using dvbench::Handoff;

constexpr int kBatch = 20000;  // events per iteration, over all producers

// Written by the one delivering thread (the core's loop, or a baseline's
// consumer) without a read-modify-write; read by the waiting thread.
alignas(64) std::atomic<uint64_t> g_delivered{0};
alignas(64) std::atomic<uint32_t> g_touched{0};

inline void CountDelivery(uint32_t touched) {
  g_touched.store(g_touched.load(std::memory_order_relaxed) + touched, std::memory_order_relaxed);
  g_delivered.store(g_delivered.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// What every subscriber does with a payload: reads three of its bytes.
inline uint32_t Touch(const void* data, uint32_t len) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  return len == 0 ? 0u : uint32_t(bytes[0]) + bytes[len / 2] + bytes[len - 1];
}

int32_t CountingWrite(void* in, void*) {
  const auto* write = static_cast<const _WriteParmsIn*>(in);
  CountDelivery(Touch(write->data, write->len));
  return 0;
}

// The baselines' plugin call: the same touch and count.
int32_t BaselineWrite(void* data, uint32_t len) {
  CountDelivery(Touch(data, len));
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
  if (producers == 1) {
    produce(kBatch);
    return;
  }
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) threads.emplace_back(produce, kBatch / producers);
  for (auto& t : threads) t.join();
}

struct Case {
  std::vector<char> payload;
  int plugins;
  int producers;
  explicit Case(const benchmark::State& state)
      : payload(state.range(0), 'p'),
        plugins(static_cast<int>(state.range(1))),
        producers(static_cast<int>(state.range(2))) {}
};

void BM_Core(benchmark::State& state) {
  const Case c(state);
  devovor core("/nonexistent/devovor");
  core.Initialize(-1);
  dvbench::AddSubscribers(core, c.plugins, CountingWrite, "bench");
  g_delivered = 0;
  std::thread loop([&] { Peer(core).router().RunEventLoop(); });
  uint64_t target = 0;
  for (auto _ : state) {
    RunProducers(c.producers, [&](int count) {
      _EventParmsIn in = EventOf(c.payload);
      for (int i = 0; i < count; ++i) {
        _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
        PluginEventCallback(&in, &out);
      }
    });
    target += uint64_t(kBatch) * c.plugins;
    WaitDelivered(target);
  }
  core.RequestStop();
  loop.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The consumer of both baselines; `drain` takes the whole deque per lock.
void Consume(Handoff& handoff, int plugins, bool drain) {
  int32_t (*volatile write)(void*, uint32_t) = BaselineWrite;
  std::deque<Handoff::Event> batch;
  while (handoff.Take(batch, drain)) {
    for (auto [block, len] : batch) {
      for (int i = 0; i < plugins; ++i) write(block, len);
      std::free(block);
    }
    batch.clear();
  }
}

void RunBaseline(benchmark::State& state, bool drain) {
  const Case c(state);
  Handoff handoff;
  g_delivered = 0;
  std::thread consumer(Consume, std::ref(handoff), c.plugins, drain);
  uint64_t target = 0;
  for (auto _ : state) {
    RunProducers(c.producers, [&](int count) {
      const uint32_t size = static_cast<uint32_t>(c.payload.size());
      for (int i = 0; i < count; ++i) handoff.Send(c.payload.data(), size);
    });
    target += uint64_t(kBatch) * c.plugins;
    WaitDelivered(target);
  }
  handoff.Stop();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Bare(benchmark::State& state) { RunBaseline(state, false); }
void BM_Drain(benchmark::State& state) { RunBaseline(state, true); }

#ifdef DV_HAVE_ZMQ
// One counter per subscriber, each on its own cache line.
struct alignas(64) SubscriberCount {
  std::atomic<uint64_t> received{0};
  std::atomic<bool> ready{false};
};

void BM_Zmq(benchmark::State& state) {
  const Case c(state);
  static int instance = 0;
  const std::string endpoint = "inproc://bench-route-" + std::to_string(++instance);
  void* context = zmq_ctx_new();
  void* pub = zmq_socket(context, ZMQ_PUB);
  const int unbounded = 0;
  zmq_setsockopt(pub, ZMQ_SNDHWM, &unbounded, sizeof unbounded);
  if (zmq_bind(pub, endpoint.c_str()) != 0) {
    state.SkipWithError("zmq_bind failed");
    zmq_close(pub);
    zmq_ctx_term(context);
    return;
  }
  const size_t size = c.payload.size();
  std::vector<SubscriberCount> counts(c.plugins);
  std::vector<std::thread> subscribers;
  for (int s = 0; s < c.plugins; ++s) {
    subscribers.emplace_back([&, s] {
      void* sub = zmq_socket(context, ZMQ_SUB);
      zmq_setsockopt(sub, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
      zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
      zmq_connect(sub, endpoint.c_str());
      zmq_msg_t msg;
      for (;;) {
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, sub, 0) < 0) break;
        const size_t got = zmq_msg_size(&msg);
        if (got == size) {
          g_touched.fetch_add(Touch(zmq_msg_data(&msg), uint32_t(got)),
                              std::memory_order_relaxed);
          counts[s].received.fetch_add(1, std::memory_order_relaxed);
        } else if (got == 1) {
          counts[s].ready.store(true);  // a probe: this subscription is live
        } else if (got == 2) {
          zmq_msg_close(&msg);
          break;  // the end
        }
        zmq_msg_close(&msg);
      }
      zmq_close(sub);
    });
  }
  // Subscriptions reach the publisher asynchronously: probe until every
  // subscriber has seen one, so that no counted message is dropped.
  for (;;) {
    bool all = true;
    for (const auto& count : counts) all = all && count.ready.load();
    if (all) break;
    zmq_send(pub, "p", 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  uint64_t target = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) zmq_send(pub, c.payload.data(), size, 0);
    target += uint64_t(kBatch);
    for (const auto& count : counts) {
      while (count.received.load(std::memory_order_relaxed) < target) std::this_thread::yield();
    }
  }
  zmq_send(pub, "eo", 2, 0);
  for (auto& t : subscribers) t.join();
  zmq_close(pub);
  zmq_ctx_term(context);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
#endif

const int kPayloads[] = {64, 1024, 65536};
const int kPluginCounts[] = {1, 4, 16};

// Registers every case with its contenders next to each other, so that the
// runs a ratio compares are close in time; each is repeated three times and
// its median rate counts.
void RegisterCases() {
  const auto add = [](const char* name, benchmark::internal::Function* fn, int size,
                      int plugins, int producers) {
    benchmark::RegisterBenchmark(name, fn)
        ->Args({size, plugins, producers})
        ->ArgNames({"payload", "plugins", "producers"})
        ->UseRealTime()
        ->MinTime(0.2)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
  };
  for (int producers : {1, 2}) {
    for (int plugins : kPluginCounts) {
      if (producers == 2 && plugins != 4) continue;
      for (int size : kPayloads) {
        add("BM_Core", BM_Core, size, plugins, producers);
        add("BM_Bare", BM_Bare, size, plugins, producers);
        add("BM_Drain", BM_Drain, size, plugins, producers);
#ifdef DV_HAVE_ZMQ
        if (producers == 1) add("BM_Zmq", BM_Zmq, size, plugins, producers);
#endif
      }
    }
  }
}

// Keeps each run's rate by case and by contender.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const std::string name = run.benchmark_name();
      const auto slash = name.find('/');
      const auto it = run.counters.find("items_per_second");
      if (slash == std::string::npos || it == run.counters.end()) continue;
      // "/payload:64/plugins:4/producers:1", without the run options.
      const auto options = name.find("/min_time");
      rates[name.substr(slash, options == std::string::npos ? std::string::npos : options - slash)]
           [name.substr(0, slash)] = it->second;
    }
  }

  // One result line per figure.
  void Report() const {
    for (int producers : {1, 2}) {
      for (int plugins : kPluginCounts) {
        for (int size : kPayloads) Report(size, plugins, producers);
      }
    }
  }

 private:
  static std::string SizeName(int size) {
    return size >= 1024 ? std::to_string(size / 1024) + "KiB" : std::to_string(size) + "B";
  }

  void Report(int size, int plugins, int producers) const {
    const std::string args = "/payload:" + std::to_string(size) + "/plugins:" +
                             std::to_string(plugins) + "/producers:" + std::to_string(producers);
    const auto found = rates.find(args);
    if (found == rates.end()) return;
    const auto& byName = found->second;
    const auto rate = [&](const char* name) {
      const auto it = byName.find(name);
      return it == byName.end() ? 0.0 : it->second;
    };
    const double core = rate("BM_Core");
    const std::string label = SizeName(size) + " " + std::to_string(plugins) + "pl" +
                              (producers > 1 ? " 2prod" : "");
    const bool fourAt64 = size == 64 && plugins == 4;
    dvbench::Result("route core " + label, core, "ev/s", fourAt64 ? ">= 1000000" : "");
    if (const double bare = rate("BM_Bare"); bare > 0) {
      dvbench::Result("route bare baseline " + label, bare, "ev/s");
      const char* aim = size == 64 ? ">= 0.5" : size == 65536 ? ">= 0.8" : "";
      dvbench::Result("route core/bare " + label, core / bare, "ratio", aim);
    }
    if (const double drain = rate("BM_Drain"); drain > 0) {
      dvbench::Result("route drain baseline " + label, drain, "ev/s");
      dvbench::Result("route core/drain " + label, core / drain, "ratio");
    }
    if (const double zmq = rate("BM_Zmq"); zmq > 0) {
      dvbench::Result("route zmq inproc " + label, zmq, "ev/s");
      dvbench::Result("route core/zmq " + label, core / zmq, "ratio", ">= 1");
    }
  }

  std::map<std::string, std::map<std::string, double>> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterCases();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Report();
#ifndef DV_HAVE_ZMQ
  std::printf("ZeroMQ benchmark skipped: built without libzmq (install libzmq3-dev)\n");
#endif
  benchmark::Shutdown();
  return 0;
}
