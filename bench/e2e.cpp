// End-to-end figures: the real executable against the bare handoff and
// ZeroMQ inproc, each doing the same work in the same run.
//
//   core   build/devovor as a child process (see run_folder.h) with
//          bench_producer.so raising from its worker thread and 1, 4 or 16
//          copies of bench_consumer.so receiving through Write;
//   bare   one producer thread: malloc + memcpy + mutex/condvar/deque
//          handoff, one event per lock, to one consumer thread that calls
//          each consumer's Write in turn, then frees the block;
//   zmq    ZeroMQ inproc PUB/SUB (when built with libzmq), high-water marks
//          unbounded, one subscriber thread per consumer calling its Write.
// The bare and ZeroMQ consumers dlopen the same consumer .so copies the core
// loads and call the same Write; their producers run the same e2e_produce
// (plugins/e2e.h). Each contender runs in a process of its own (the core's,
// or a fork of this one), so that its peak resident memory (VmHWM) is its
// own.
//
// Throughput: events/s from the producer's first send to the last
// consumer's last Write, at 64 B, 1 KiB and 64 KiB, 1/4/16 consumers; each
// contender runs --repeat times (default 3), in turn with the others, and
// its median run counts.
// Latency: paced at 25,000 events/s, 64 B, 1 and 4 consumers: per event,
// the time from its send to the Write of the last consumer to get it;
// p50/p99/p99.9 of each run (warm-up left out), core and bare runs paired,
// the median over --runs pairs of each figure and of each pair's ratio.
//
// Usage: bench_e2e [--runs N] [--scale F] [--repeat N]   (events per
// throughput run times F; --runs 3 --scale 0.2 --repeat 1 is a quick look). Prints two tables and one
// result line per figure (see results.h).
#include <dlfcn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#ifdef DV_HAVE_ZMQ
#include <zmq.h>
#endif

extern "C" {
#include "plugins/e2e.h"
}
#include "plugin_api/plugin.h"
#include "handoff.h"
#include "results.h"
#include "run_folder.h"

namespace {

using namespace dvbench;

// Result lines wait until the tables are printed, so the tables stay whole.
struct Figure {
  std::string metric;
  double value;
  std::string unit;
  std::string aim;
};
std::vector<Figure> g_figures;
void Keep(const std::string& metric, double value, const std::string& unit,
          const std::string& aim = "") {
  g_figures.push_back({metric, value, unit, aim});
}

constexpr long kPacedRate = 25000;
constexpr long kPacedEvents = 10000;

struct Case {
  int consumers;
  uint32_t size;
  long events;
  long rate;  // 0: as fast as possible
};

// What one run of one contender gives.
struct Outcome {
  double eventsPerSecond = 0;
  double peakBytes = 0;
  std::vector<uint64_t> latencies;  // ns per event, paced runs only
};

std::string ConsumerName(int index) { return "consumer_" + std::to_string(index) + ".so"; }

// Per event, the largest of the consumers' latencies: when the last one got it.
std::vector<uint64_t> LastArrivals(const std::vector<const uint64_t*>& perConsumer, long events) {
  std::vector<uint64_t> last(events, 0);
  for (const uint64_t* latencies : perConsumer) {
    for (long i = 0; i < events; ++i) last[i] = std::max(last[i], latencies[i]);
  }
  return last;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the core ----------------------------------------------------------

Outcome RunCore(const Case& c) {
  RunFolder folder;
  folder.Install(BENCH_PRODUCER_SO, "producer.so");
  for (int i = 0; i < c.consumers; ++i) folder.Install(BENCH_CONSUMER_SO, ConsumerName(i));
  setenv("BENCH_EVENTS", std::to_string(c.events).c_str(), 1);
  setenv("BENCH_SIZE", std::to_string(c.size).c_str(), 1);
  setenv("BENCH_RATE", std::to_string(c.rate).c_str(), 1);
  auto child = Start(folder);
  folder.Touch("producer.go");
  const auto timeout = std::chrono::seconds(300);
  bool done = folder.WaitForFile("producer.done", timeout);
  for (int i = 0; done && i < c.consumers; ++i) {
    done = folder.WaitForFile("consumer_" + std::to_string(i) + ".done", timeout);
  }
  if (!done) throw std::runtime_error("the core run did not finish");
  Outcome outcome;
  outcome.peakBytes = PeakResidentBytes(child->Pid());
  Stop(*child);
  const uint64_t first = std::stoull(ReadFile(folder.root() / "producer.done"));
  uint64_t last = 0;
  std::vector<std::string> latencyFiles;
  for (int i = 0; i < c.consumers; ++i) {
    const std::string stem = (folder.root() / ("consumer_" + std::to_string(i))).string();
    last = std::max<uint64_t>(last, std::stoull(ReadFile(stem + ".done")));
    if (c.rate > 0) latencyFiles.push_back(ReadFile(stem + ".lat"));
  }
  outcome.eventsPerSecond = c.events * 1e9 / double(last - first);
  if (c.rate > 0) {
    std::vector<const uint64_t*> perConsumer;
    for (const std::string& file : latencyFiles) {
      if (file.size() != c.events * sizeof(uint64_t)) throw std::runtime_error("short .lat file");
      perConsumer.push_back(reinterpret_cast<const uint64_t*>(file.data()));
    }
    outcome.latencies = LastArrivals(perConsumer, c.events);
  }
  return outcome;
}

// ---- the consumers in this process ---------------------------------------

// One dlopened copy of bench_consumer.so.
struct Consumer {
  void* library = nullptr;
  int32_t (*write)(void*, void*) = nullptr;
  void (*reset)(long, int) = nullptr;
  uint64_t (*last)() = nullptr;
  const uint64_t* (*latencies)() = nullptr;
};

std::vector<Consumer> OpenConsumers(const RunFolder& folder, const Case& c) {
  std::vector<Consumer> consumers(c.consumers);
  for (int i = 0; i < c.consumers; ++i) {
    Consumer& consumer = consumers[i];
    const std::string path = (folder.root() / "plugins" / ConsumerName(i)).string();
    consumer.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (consumer.library == nullptr) throw std::runtime_error(dlerror());
    const auto symbol = [&](const char* name) {
      void* address = dlsym(consumer.library, name);
      if (address == nullptr) throw std::runtime_error(std::string("no ") + name);
      return address;
    };
    consumer.write = reinterpret_cast<int32_t (*)(void*, void*)>(symbol("Write"));
    consumer.reset = reinterpret_cast<void (*)(long, int)>(symbol("BenchConsumerReset"));
    consumer.last = reinterpret_cast<uint64_t (*)()>(symbol("BenchConsumerLast"));
    consumer.latencies = reinterpret_cast<const uint64_t* (*)()>(symbol("BenchConsumerLatencies"));
    consumer.reset(c.events, c.rate > 0);
  }
  return consumers;
}

// The Write record the consumers get: what the core passes, with the event.
struct WriteCall {
  _WriteParmsIn in;
  _WriteParmsOut out;
  WriteCall() {
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.size = sizeof in;
    in.version = DV_RECORD_VERSION;
    in.providerID = 0x500000u;
    in.eventType = 0x2u;
    out.size = sizeof out;
    out.version = DV_RECORD_VERSION;
  }
  void Call(const Consumer& consumer, void* data, uint32_t len) {
    in.data = data;
    in.len = len;
    consumer.write(&in, &out);
  }
};

Outcome Collect(const std::vector<Consumer>& consumers, const Case& c, uint64_t first) {
  Outcome outcome;
  uint64_t last = 0;
  std::vector<const uint64_t*> perConsumer;
  for (const Consumer& consumer : consumers) {
    last = std::max(last, consumer.last());
    perConsumer.push_back(consumer.latencies());
  }
  outcome.eventsPerSecond = c.events * 1e9 / double(last - first);
  if (c.rate > 0) outcome.latencies = LastArrivals(perConsumer, c.events);
  return outcome;
}

// ---- the bare handoff ------------------------------------------------------

void HandoffSend(void* context, void* data, uint32_t len) {
  static_cast<Handoff*>(context)->Send(data, len);
}

void HandoffConsume(Handoff& handoff, std::vector<Consumer>& consumers) {
  WriteCall call;
  std::deque<Handoff::Event> batch;
  while (handoff.Take(batch, false)) {
    for (auto [block, len] : batch) {
      for (const Consumer& consumer : consumers) call.Call(consumer, block, len);
      std::free(block);
    }
    batch.clear();
  }
}

Outcome RunBare(const RunFolder& folder, const Case& c) {
  std::vector<Consumer> consumers = OpenConsumers(folder, c);
  Handoff handoff;
  std::thread consumer(HandoffConsume, std::ref(handoff), std::ref(consumers));
  int never = 0;
  const uint64_t first = e2e_produce(HandoffSend, &handoff, c.events, c.size, c.rate, &never);
  handoff.Stop();
  consumer.join();
  return Collect(consumers, c, first);
}

// ---- ZeroMQ inproc -----------------------------------------------------------

#ifdef DV_HAVE_ZMQ
void ZmqSend(void* publisher, void* data, uint32_t len) { zmq_send(publisher, data, len, 0); }

// Receives until the end message (2 bytes); a 1-byte probe marks the
// subscription live.
void ZmqSubscribe(void* context, const Consumer& consumer, std::atomic<bool>& ready) {
  void* sub = zmq_socket(context, ZMQ_SUB);
  const int unbounded = 0;
  zmq_setsockopt(sub, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
  zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
  zmq_connect(sub, "inproc://bench-e2e");
  WriteCall call;
  zmq_msg_t msg;
  for (bool end = false; !end;) {
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, sub, 0) < 0) break;
    const size_t size = zmq_msg_size(&msg);
    if (size == 1) ready.store(true);
    end = size == 2;
    if (size > 2) call.Call(consumer, zmq_msg_data(&msg), uint32_t(size));
    zmq_msg_close(&msg);
  }
  zmq_close(sub);
}

Outcome RunZmq(const RunFolder& folder, const Case& c) {
  std::vector<Consumer> consumers = OpenConsumers(folder, c);
  void* context = zmq_ctx_new();
  void* pub = zmq_socket(context, ZMQ_PUB);
  const int unbounded = 0;
  zmq_setsockopt(pub, ZMQ_SNDHWM, &unbounded, sizeof unbounded);
  if (zmq_bind(pub, "inproc://bench-e2e") != 0) throw std::runtime_error("zmq_bind failed");
  std::vector<std::atomic<bool>> ready(c.consumers);
  std::vector<std::thread> subscribers;
  for (int i = 0; i < c.consumers; ++i) {
    subscribers.emplace_back(ZmqSubscribe, context, std::cref(consumers[i]), std::ref(ready[i]));
  }
  // Subscriptions reach the publisher asynchronously: probe until every
  // subscriber has seen one, so that no counted message is dropped.
  while (!std::all_of(ready.begin(), ready.end(), [](auto& r) { return r.load(); })) {
    zmq_send(pub, "p", 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int never = 0;
  const uint64_t first = e2e_produce(ZmqSend, pub, c.events, c.size, c.rate, &never);
  zmq_send(pub, "eo", 2, 0);
  for (auto& t : subscribers) t.join();
  zmq_close(pub);
  zmq_ctx_term(context);
  return Collect(consumers, c, first);
}
#endif

// ---- a contender in a process of its own -----------------------------------

// Runs `run` in a fork, so that its peak memory and its consumers' state are
// its own; the outcome comes back through a pipe.
template <typename Run>
Outcome InFork(const Case& c, Run run) {
  RunFolder folder;
  for (int i = 0; i < c.consumers; ++i) folder.Install(BENCH_CONSUMER_SO, ConsumerName(i));
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    int status = 0;
    try {
      Outcome outcome = run(folder, c);
      const double figures[3] = {outcome.eventsPerSecond, PeakResidentBytes(getpid()),
                                 double(outcome.latencies.size())};
      status |= write(fds[1], figures, sizeof figures) != sizeof figures;
      const size_t bytes = outcome.latencies.size() * sizeof(uint64_t);
      status |= write(fds[1], outcome.latencies.data(), bytes) != ssize_t(bytes);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_e2e: %s\n", e.what());
      status = 1;
    }
    _exit(status);
  }
  close(fds[1]);
  std::string received;
  char buffer[65536];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double figures[3];
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received.size() < sizeof figures) {
    throw std::runtime_error("a forked run failed");
  }
  std::memcpy(figures, received.data(), sizeof figures);
  Outcome outcome;
  outcome.eventsPerSecond = figures[0];
  outcome.peakBytes = figures[1];
  outcome.latencies.resize(size_t(figures[2]));
  std::memcpy(outcome.latencies.data(), received.data() + sizeof figures,
              std::min(received.size() - sizeof figures, outcome.latencies.size() * 8));
  return outcome;
}

// ---- the tables ------------------------------------------------------------

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The p-th percentile (0..100) of a run's latencies in µs, warm-up left out.
double PercentileMicros(const std::vector<uint64_t>& latencies, double p) {
  std::vector<uint64_t> kept(latencies.begin() + latencies.size() / E2E_WARM_UP_DIVISOR,
                             latencies.end());
  if (kept.empty()) return 0;
  const size_t at = std::min(kept.size() - 1, size_t(p / 100.0 * kept.size()));
  std::nth_element(kept.begin(), kept.begin() + at, kept.end());
  return kept[at] / 1000.0;
}

std::string SizeName(uint32_t size) {
  return size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
}

double MiB(double bytes) { return bytes / (1024.0 * 1024.0); }

// The run with the median rate of `runs` (runs of one contender, taken
// in turn with the others'), with the highest peak RSS of them all.
Outcome MedianRun(std::vector<Outcome> runs) {
  std::sort(runs.begin(), runs.end(), [](const Outcome& a, const Outcome& b) {
    return a.eventsPerSecond < b.eventsPerSecond;
  });
  Outcome median = runs[runs.size() / 2];
  for (const Outcome& run : runs) median.peakBytes = std::max(median.peakBytes, run.peakBytes);
  return median;
}

// Events per run: enough for a quarter second or more of the core's
// delivery; fewer with 16 consumers, where ZeroMQ's subscribers take longer.
long EventsFor(uint32_t size, int consumers) {
  const long perSize = size == 64 ? 2'000'000 : size == 1024 ? 1'000'000 : 50'000;
  return consumers == 16 ? perSize / 5 : consumers == 4 ? perSize / 2 : perSize;
}

void Throughput(double scale, int repeats) {
  std::printf("end-to-end throughput, events/s (peak RSS, MiB), median of %d runs\n", repeats);
  std::printf("%-16s %18s %18s %18s %9s %9s\n", "case", "core", "bare", "zmq", "core/bare",
              "core/zmq");
  for (uint32_t size : {64u, 1024u, 65536u}) {
    for (int consumers : {1, 4, 16}) {
      const Case c{consumers, size, std::max(1000L, long(EventsFor(size, consumers) * scale)), 0};
      std::vector<Outcome> coreRuns, bareRuns, zmqRuns;
      for (int run = 0; run < repeats; ++run) {
        coreRuns.push_back(RunCore(c));
        bareRuns.push_back(InFork(c, RunBare));
#ifdef DV_HAVE_ZMQ
        zmqRuns.push_back(InFork(c, RunZmq));
#endif
      }
      const Outcome core = MedianRun(coreRuns);
      const Outcome bare = MedianRun(bareRuns);
      const Outcome zmq = zmqRuns.empty() ? Outcome() : MedianRun(zmqRuns);
      const std::string label = SizeName(size) + ", " + std::to_string(consumers);
      const auto cell = [](const Outcome& o) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3fM (%.0f)", o.eventsPerSecond / 1e6, MiB(o.peakBytes));
        return std::string(text);
      };
      std::printf("%-16s %18s %18s %18s %9.2f %9.2f\n", label.c_str(), cell(core).c_str(),
                  cell(bare).c_str(), zmq.eventsPerSecond > 0 ? cell(zmq).c_str() : "-",
                  core.eventsPerSecond / bare.eventsPerSecond,
                  zmq.eventsPerSecond > 0 ? core.eventsPerSecond / zmq.eventsPerSecond : 0.0);
      std::fflush(stdout);
      const std::string metric = "e2e " + label;
      Keep(metric + " core", core.eventsPerSecond, "ev/s");
      Keep(metric + " core peak RSS", MiB(core.peakBytes), "MiB");
      Keep(metric + " core/bare", core.eventsPerSecond / bare.eventsPerSecond, "ratio", ">= 1");
      if (zmq.eventsPerSecond > 0) {
        Keep(metric + " core/zmq", core.eventsPerSecond / zmq.eventsPerSecond, "ratio", ">= 1");
      }
    }
  }
  std::printf("\n");
}

void Latency(int runs) {
  std::printf("end-to-end latency at %ld events/s, 64 B, us, median of %d paired runs\n",
              kPacedRate, runs);
  std::printf("%-9s %8s %8s %8s %8s %8s %8s %10s %12s\n", "consumers", "core p50", "p99",
              "p99.9", "bare p50", "p99", "p99.9", "p99 ratio", "p99.9 ratio");
  const double percentiles[3] = {50, 99, 99.9};
  for (int consumers : {1, 4}) {
    const Case c{consumers, 64, kPacedEvents, kPacedRate};
    std::vector<double> core[3], bare[3], ratio[3];
    for (int run = 0; run < runs; ++run) {
      const Outcome coreRun = RunCore(c);
      const Outcome bareRun = InFork(c, RunBare);
      for (int p = 0; p < 3; ++p) {
        core[p].push_back(PercentileMicros(coreRun.latencies, percentiles[p]));
        bare[p].push_back(PercentileMicros(bareRun.latencies, percentiles[p]));
        ratio[p].push_back(core[p].back() / bare[p].back());
      }
    }
    std::printf("%-9d %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %10.2f %12.2f\n", consumers,
                Median(core[0]), Median(core[1]), Median(core[2]), Median(bare[0]),
                Median(bare[1]), Median(bare[2]), Median(ratio[1]), Median(ratio[2]));
    std::fflush(stdout);
    const std::string metric = "e2e latency " + std::to_string(consumers) + " consumers";
    Keep(metric + " core p99", Median(core[1]), "us");
    Keep(metric + " core/bare p99", Median(ratio[1]), "ratio", "<= 1");
    Keep(metric + " core/bare p99.9", Median(ratio[2]), "ratio", "<= 1.5");
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  double scale = 1.0;
  int repeats = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--scale") {
      scale = std::atof(argv[i + 1]);
    } else if (option == "--repeat") {
      repeats = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: bench_e2e [--runs N] [--scale F] [--repeat N]\n");
      return 64;
    }
  }
  try {
    Throughput(scale, repeats);
    Latency(runs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_e2e: %s\n", e.what());
    return 1;
  }
  for (const Figure& figure : g_figures) {
    Result(figure.metric, figure.value, figure.unit, figure.aim);
  }
#ifndef DV_HAVE_ZMQ
  std::printf("ZeroMQ benchmark skipped: built without libzmq (install libzmq3-dev)\n");
#endif
  return 0;
}
