// Load-profile figures: what routing costs the appliance at the rates its
// cameras really produce, not at the peak rate. Each profile runs against
// three contenders in turn, in the same run:
//
//   core   build/devovor as a child process (run_folder.h) with
//          load_producer.so raising from threads of its own and copies of
//          load_consumer.so receiving through Write;
//   bare   the bare handoff (handoff.h), one event per lock, to one
//          consumer thread that calls each consumer that takes the event;
//   zmq    ZeroMQ inproc PUB/SUB (when built with libzmq), one PUB socket
//          shared under a mutex, each event sent with its stream as topic,
//          one subscriber thread per consumer subscribed to its streams.
// Producers are the same paced threads (plugins/load.h, e2e_produce) in
// every contender; the bare and ZeroMQ consumers dlopen the same consumer
// copies the core loads. Each contender runs in a process of its own (the
// core's, or a fork of this one), whose own accounting gives the figures.
//
// Profiles: 64 B to 4 consumers at 1,000, 25,000 and 100,000 events/s; a
// camera profile of 16 cameras at 30 frames/s of 64 KiB video frames (a
// key frame a second) and 200 metadata events/s of 256 B, to a recorder
// (both), a video analyser and a metadata analyser.
//
// Per event, over the paced run after warm-up (the first tenth): processor
// time (user + system, every thread, getrusage in the contender's
// process), voluntary context switches (sleeps) and involuntary ones
// (preemptions: a thread lost its processor to one that woke); the
// delivering thread's mean wait on a run queue each time it was given a
// processor (its schedstat: how long it stood woken but not running; the
// core's delivery loop, the bare handoff's consumer); the latency from send to the
// Write of the last consumer that takes the event, p50/p99/p99.9; peak
// (VmHWM) and final (VmRSS) resident memory, the latter after the last
// delivery. Ratios are the core's figure over the bare handoff's.
//
// Usage: bench_load [--seconds S] [--runs N] [--profile TEXT]: each paced
// run lasts S seconds (default 10); N > 1 runs every profile N times,
// contenders interleaved, and shows the median of each figure and of each
// run's ratio; TEXT runs only the profiles whose name contains it.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef DV_HAVE_ZMQ
#include <zmq.h>
#endif

extern "C" {
#include "plugins/load.h"
}
#include "handoff.h"
#include "plugin_api/plugin.h"
#include "results.h"
#include "run_folder.h"

namespace {

using namespace dvbench;

struct Profile {
  std::string name;
  std::string streams;  // LOAD_PROFILE without its seconds
};

const Profile kProfiles[] = {
    {"64 B x4 1k/s", "1/1000/64/2/0/0;1,1,1,1"},
    {"64 B x4 25k/s", "1/25000/64/2/0/0;1,1,1,1"},
    {"64 B x4 100k/s", "1/100000/64/2/0/0;1,1,1,1"},
    // Video frames carry flag 0x1000000 and the metadata flag 0x10, so the
    // masks tell them apart: recorder 3 (both), analysers 1 and 2.
    {"camera 16x30fps", "16/30/65536/1/1000000/30,1/200/256/2/10/0;3,1,2"},
};

// One run of one contender.
struct Outcome {
  double cpuNs = 0, switches = 0, events = 0, peakBytes = 0, finalBytes = 0, preemptions = 0;
  double deliveryWaitNs = 0, deliveryRuns = 0;  // 0 where no one thread delivers
  std::vector<uint32_t> latencies;  // ns per slot, the last consumer's
};
constexpr int kFigures = 8;  // the doubles above, as a forked run sends them

load_profile Parsed() {
  load_profile p;
  if (load_parse(&p) != 0) throw std::runtime_error("bad LOAD_PROFILE");
  return p;
}

std::string ConsumerName(int index) { return "consumer_" + std::to_string(index) + ".so"; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Per slot, the latest of the consumers' latencies.
void MergeLatest(std::vector<uint32_t>& merged, const uint32_t* slots) {
  for (size_t i = 0; i < merged.size(); ++i) merged[i] = std::max(merged[i], slots[i]);
}

// ---- the core ----------------------------------------------------------

Outcome RunCore(const load_profile& p) {
  RunFolder folder;
  folder.Install(LOAD_PRODUCER_SO, "producer.so");
  for (int i = 0; i < p.consumer_count; ++i) folder.Install(LOAD_CONSUMER_SO, ConsumerName(i));
  auto child = Start(folder);
  folder.Touch("producer.go");
  const auto timeout = std::chrono::seconds(60 + long(3 * p.seconds));
  if (!folder.WaitForFile("producer.done", timeout)) {
    throw std::runtime_error("the core's producers did not finish");
  }
  Outcome outcome;
  long refused = -1;
  std::istringstream(ReadFile(folder.root() / "producer.done")) >>
      outcome.cpuNs >> outcome.switches >> outcome.events >> refused >> outcome.preemptions >>
      outcome.deliveryWaitNs >> outcome.deliveryRuns;
  // A refused event never reaches its consumers: no use waiting for them.
  if (refused != 0) throw std::runtime_error("the core refused events");
  for (int i = 0; i < p.consumer_count; ++i) {
    if (!folder.WaitForFile("consumer_" + std::to_string(i) + ".done", timeout)) {
      throw std::runtime_error("the core's consumers did not get every event");
    }
  }
  outcome.peakBytes = PeakResidentBytes(child->Pid());
  outcome.finalBytes = ResidentBytes(child->Pid());
  Stop(*child);
  outcome.latencies.assign(p.base[p.producer_count], 0);
  for (int i = 0; i < p.consumer_count; ++i) {
    const std::string stem = (folder.root() / ("consumer_" + std::to_string(i))).string();
    if (std::stol("0" + ReadFile(stem + ".count")) != load_expected(&p, i)) {
      throw std::runtime_error("the core's masks let through other events than asked");
    }
    const std::string file = ReadFile(stem + ".lat");
    if (file.size() != outcome.latencies.size() * sizeof(uint32_t)) {
      throw std::runtime_error("short .lat file");
    }
    MergeLatest(outcome.latencies, reinterpret_cast<const uint32_t*>(file.data()));
  }
  return outcome;
}

// ---- the consumers in this process ---------------------------------------

// One dlopened copy of load_consumer.so.
struct Consumer {
  int32_t (*write)(void*, void*) = nullptr;
  const uint32_t* (*slots)() = nullptr;
  long (*count)() = nullptr;
};

std::vector<Consumer> OpenConsumers(const RunFolder& folder, const load_profile& p) {
  std::vector<Consumer> consumers(p.consumer_count);
  for (int i = 0; i < p.consumer_count; ++i) {
    const std::string path = (folder.root() / "plugins" / ConsumerName(i)).string();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw std::runtime_error(dlerror());
    const auto symbol = [&](const char* name) {
      void* address = dlsym(library, name);
      if (address == nullptr) throw std::runtime_error(std::string("no ") + name);
      return address;
    };
    consumers[i].write = reinterpret_cast<int32_t (*)(void*, void*)>(symbol("Write"));
    consumers[i].slots = reinterpret_cast<const uint32_t* (*)()>(symbol("LoadConsumerSlots"));
    consumers[i].count = reinterpret_cast<long (*)()>(symbol("LoadConsumerCount"));
    if (reinterpret_cast<int (*)()>(symbol("LoadConsumerReset"))() != 0) {
      throw std::runtime_error("a consumer refused the profile");
    }
  }
  return consumers;
}

// The Write record the consumers get, as the core fills it for a stream.
struct WriteCall {
  _WriteParmsIn in;
  _WriteParmsOut out;
  WriteCall() {
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.size = sizeof in;
    in.version = DV_RECORD_VERSION;
    out.size = sizeof out;
    out.version = DV_RECORD_VERSION;
  }
  void Call(const Consumer& consumer, const load_stream& stream, void* data, uint32_t len) {
    in.eventType = stream.type;
    in.flags = stream.flags;
    in.data = data;
    in.len = len;
    consumer.write(&in, &out);
  }
};

// The stream of a stamped payload.
int StreamOf(const load_profile& p, const void* data) {
  int32_t producer;
  std::memcpy(&producer, static_cast<const char*>(data) + 8, sizeof producer);
  return p.stream_of[std::clamp(producer, 0, p.producer_count - 1)];
}

// ---- the bare handoff ------------------------------------------------------

void HandoffSend(void* target, int, const load_stream*, void* data, uint32_t len, int) {
  static_cast<Handoff*>(target)->Send(data, len);
}

void HandoffConsume(Handoff& handoff, const load_profile& p, std::vector<Consumer>& consumers,
                    std::promise<pid_t>& tid) {
  tid.set_value(gettid());
  WriteCall call;
  std::deque<Handoff::Event> batch;
  while (handoff.Take(batch, false)) {
    for (auto [block, len] : batch) {
      const int s = StreamOf(p, block);
      for (int c = 0; c < p.consumer_count; ++c) {
        if (p.takes[c] & (1u << s)) call.Call(consumers[c], p.streams[s], block, len);
      }
      std::free(block);
    }
    batch.clear();
  }
}

load_cost RunBare(const load_profile& p, std::vector<Consumer>& consumers) {
  Handoff handoff;
  std::promise<pid_t> tid;
  std::thread consumer(HandoffConsume, std::ref(handoff), std::cref(p), std::ref(consumers),
                       std::ref(tid));
  int never = 0;
  load_cost cost{};
  const int driven = load_drive(&p, HandoffSend, &handoff, &never, tid.get_future().get(), &cost);
  handoff.Stop();
  consumer.join();
  if (driven != 0) throw std::runtime_error("could not start the producers");
  return cost;
}

// ---- ZeroMQ inproc -----------------------------------------------------------

#ifdef DV_HAVE_ZMQ
// Each event goes as two frames: its topic, 'a' + its stream, then the
// payload. Topic 'z' is control: a 1-byte probe, a 2-byte end.
struct ZmqPublisher {
  const load_profile* profile;
  void* socket;
  std::mutex mu;  // ZeroMQ sockets are not thread-safe
};

void ZmqSend(void* target, int producer, const load_stream*, void* data, uint32_t len, int) {
  auto* pub = static_cast<ZmqPublisher*>(target);
  const char topic = char('a' + pub->profile->stream_of[producer]);
  std::lock_guard<std::mutex> lock(pub->mu);
  zmq_send(pub->socket, &topic, 1, ZMQ_SNDMORE);
  zmq_send(pub->socket, data, len, 0);
}

void ZmqSubscribe(void* context, const load_profile& p, int c, const Consumer& consumer,
                  std::atomic<bool>& ready) {
  void* sub = zmq_socket(context, ZMQ_SUB);
  const int unbounded = 0;
  zmq_setsockopt(sub, ZMQ_RCVHWM, &unbounded, sizeof unbounded);
  zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "z", 1);
  for (int s = 0; s < p.stream_count; ++s) {
    const char topic = char('a' + s);
    if (p.takes[c] & (1u << s)) zmq_setsockopt(sub, ZMQ_SUBSCRIBE, &topic, 1);
  }
  zmq_connect(sub, "inproc://bench-load");
  WriteCall call;
  char topic = 0;
  zmq_msg_t msg;
  for (bool end = false; !end;) {
    if (zmq_recv(sub, &topic, 1, 0) < 0) break;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, sub, 0) < 0) break;
    const size_t size = zmq_msg_size(&msg);
    if (topic == 'z') {
      if (size == 1) ready.store(true);
      end = size == 2;
    } else {
      call.Call(consumer, p.streams[topic - 'a'], zmq_msg_data(&msg), uint32_t(size));
    }
    zmq_msg_close(&msg);
  }
  zmq_close(sub);
}

void ZmqControl(ZmqPublisher& pub, const char* payload, size_t len) {
  std::lock_guard<std::mutex> lock(pub.mu);
  zmq_send(pub.socket, "z", 1, ZMQ_SNDMORE);
  zmq_send(pub.socket, payload, len, 0);
}

load_cost RunZmq(const load_profile& p, std::vector<Consumer>& consumers) {
  void* context = zmq_ctx_new();
  ZmqPublisher pub;
  pub.profile = &p;
  pub.socket = zmq_socket(context, ZMQ_PUB);
  const int unbounded = 0;
  zmq_setsockopt(pub.socket, ZMQ_SNDHWM, &unbounded, sizeof unbounded);
  if (zmq_bind(pub.socket, "inproc://bench-load") != 0) throw std::runtime_error("zmq_bind failed");
  std::vector<std::atomic<bool>> ready(p.consumer_count);
  std::vector<std::thread> subscribers;
  for (int c = 0; c < p.consumer_count; ++c) {
    subscribers.emplace_back(ZmqSubscribe, context, std::cref(p), c, std::cref(consumers[c]),
                             std::ref(ready[c]));
  }
  // Subscriptions reach the publisher asynchronously: probe until every
  // subscriber has seen one, so that no counted message is dropped.
  while (!std::all_of(ready.begin(), ready.end(), [](auto& r) { return r.load(); })) {
    ZmqControl(pub, "p", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int never = 0;
  load_cost cost;
  // Several subscriber threads deliver: no one delivering thread to watch.
  const int driven = load_drive(&p, ZmqSend, &pub, &never, 0, &cost);
  ZmqControl(pub, "eo", 2);
  for (auto& t : subscribers) t.join();
  zmq_close(pub.socket);
  zmq_ctx_term(context);
  if (driven != 0) throw std::runtime_error("could not start the producers");
  return cost;
}
#endif

// ---- a contender in a process of its own -----------------------------------

using ForkedRun = load_cost (*)(const load_profile&, std::vector<Consumer>&);

// The child's side of InFork: runs, checks every consumer got everything,
// and writes the figures and the merged latencies to `fd`.
int RunAndReport(ForkedRun run, int fd) {
  RunFolder folder;
  const load_profile p = Parsed();
  for (int i = 0; i < p.consumer_count; ++i) folder.Install(LOAD_CONSUMER_SO, ConsumerName(i));
  std::vector<Consumer> consumers = OpenConsumers(folder, p);
  const load_cost cost = run(p, consumers);
  std::vector<uint32_t> latencies(p.base[p.producer_count], 0);
  for (int c = 0; c < p.consumer_count; ++c) {
    if (consumers[c].count() != load_expected(&p, c)) throw std::runtime_error("events lost or misrouted");
    MergeLatest(latencies, consumers[c].slots());
  }
  const double figures[kFigures] = {cost.cpu_ns,        cost.voluntary_switches,
                                    cost.events,        PeakResidentBytes(getpid()),
                                    ResidentBytes(getpid()), cost.preemptions,
                                    cost.delivery_wait_ns, cost.delivery_runs};
  const size_t bytes = latencies.size() * sizeof(uint32_t);
  return write(fd, figures, sizeof figures) != ssize_t(sizeof figures) ||
         write(fd, latencies.data(), bytes) != ssize_t(bytes);
}

// Runs `run` in a fork, so that its accounting, peak memory and consumers'
// state are its own; the outcome comes back through a pipe.
Outcome InFork(const load_profile& p, ForkedRun run) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    int status = 1;
    try {
      status = RunAndReport(run, fds[1]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_load: %s\n", e.what());
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
  Outcome outcome;
  outcome.latencies.assign(p.base[p.producer_count], 0);
  const size_t expected = sizeof(double) * kFigures + outcome.latencies.size() * sizeof(uint32_t);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received.size() != expected) {
    throw std::runtime_error("a forked run failed");
  }
  double figures[kFigures];
  std::memcpy(figures, received.data(), sizeof figures);
  outcome.cpuNs = figures[0];
  outcome.switches = figures[1];
  outcome.events = figures[2];
  outcome.peakBytes = figures[3];
  outcome.finalBytes = figures[4];
  outcome.preemptions = figures[5];
  outcome.deliveryWaitNs = figures[6];
  outcome.deliveryRuns = figures[7];
  std::memcpy(outcome.latencies.data(), received.data() + sizeof figures,
              outcome.latencies.size() * sizeof(uint32_t));
  return outcome;
}

// ---- the table -------------------------------------------------------------

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The figures of one run of one contender, in the table's order.
enum Column { kCpu, kSwitches, kPreemptions, kRunQueue, kP50, kP99, kP999, kPeak, kFinal, kColumns };
using Row = std::array<double, kColumns>;

// p50/p99/p99.9 in µs of the events sent after each producer's warm-up.
std::array<double, 3> Percentiles(const load_profile& p, const std::vector<uint32_t>& slots) {
  std::vector<uint32_t> kept;
  for (int i = 0; i < p.producer_count; ++i) {
    const long count = p.base[i + 1] - p.base[i];
    kept.insert(kept.end(), slots.begin() + p.base[i] + count / E2E_WARM_UP_DIVISOR,
                slots.begin() + p.base[i + 1]);
  }
  std::array<double, 3> result{};
  if (kept.empty()) return result;
  const double at[3] = {50, 99, 99.9};
  for (int k = 0; k < 3; ++k) {
    const size_t n = std::min(kept.size() - 1, size_t(at[k] / 100.0 * kept.size()));
    std::nth_element(kept.begin(), kept.begin() + n, kept.end());
    result[k] = kept[n] / 1000.0;
  }
  return result;
}

Row RowOf(const load_profile& p, const Outcome& o) {
  if (o.events <= 0) throw std::runtime_error("no events in the measured window");
  const std::array<double, 3> latency = Percentiles(p, o.latencies);
  const double mib = 1024.0 * 1024.0;
  const double runQueueUs = o.deliveryRuns > 0 ? o.deliveryWaitNs / o.deliveryRuns / 1000.0 : 0;
  return {o.cpuNs / o.events / 1000.0, o.switches / o.events, o.preemptions / o.events, runQueueUs,
          latency[0], latency[1], latency[2], o.peakBytes / mib, o.finalBytes / mib};
}

// Median of each column over the runs.
Row MedianRow(const std::vector<Row>& runs) {
  Row median{};
  for (int k = 0; k < kColumns; ++k) {
    std::vector<double> column;
    for (const Row& run : runs) column.push_back(run[k]);
    median[k] = Median(column);
  }
  return median;
}

// Median over the runs of core[k] / bare[k].
double MedianRatio(const std::vector<Row>& core, const std::vector<Row>& bare, int k) {
  std::vector<double> ratios;
  for (size_t i = 0; i < core.size(); ++i) ratios.push_back(core[i][k] / bare[i][k]);
  return Median(ratios);
}

struct Figure {
  std::string metric;
  double value;
  std::string unit;
  std::string aim;
};

void PrintRow(const std::string& profile, const char* contender, const Row& r,
              const std::string& ratios) {
  std::printf("%-16s %-5s %9.2f %8.3f %8.3f %8.2f %8.1f %8.1f %8.1f %7.1f %7.1f %s\n",
              profile.c_str(), contender, r[kCpu], r[kSwitches], r[kPreemptions], r[kRunQueue],
              r[kP50], r[kP99], r[kP999], r[kPeak], r[kFinal], ratios.c_str());
}

void RunProfile(const Profile& profile, double seconds, int runs, std::vector<Figure>& figures) {
  const std::string text = std::to_string(seconds) + ";" + profile.streams;
  setenv("LOAD_PROFILE", text.c_str(), 1);
  const load_profile p = Parsed();
  std::vector<Row> core, bare, zmq;
  for (int run = 0; run < runs; ++run) {
    core.push_back(RowOf(p, RunCore(p)));
    bare.push_back(RowOf(p, InFork(p, RunBare)));
#ifdef DV_HAVE_ZMQ
    zmq.push_back(RowOf(p, InFork(p, RunZmq)));
#endif
  }
  const double ratio[4] = {MedianRatio(core, bare, kCpu), MedianRatio(core, bare, kSwitches),
                           MedianRatio(core, bare, kP99), MedianRatio(core, bare, kP999)};
  char ratios[64];
  std::snprintf(ratios, sizeof ratios, "%7.2f %7.2f %7.2f %7.2f", ratio[0], ratio[1], ratio[2],
                ratio[3]);
  const Row coreRow = MedianRow(core);
  PrintRow(profile.name, "core", coreRow, ratios);
  PrintRow("", "bare", MedianRow(bare), "");
  if (!zmq.empty()) PrintRow("", "zmq", MedianRow(zmq), "");
  std::fflush(stdout);
  const std::string metric = "load " + profile.name;
  figures.push_back({metric + " core cpu/event", coreRow[kCpu], "us", ""});
  figures.push_back({metric + " core ctx/event", coreRow[kSwitches], "count", ""});
  figures.push_back({metric + " core/bare cpu/event", ratio[0], "ratio", "<= 0.8"});
  figures.push_back({metric + " core/bare ctx/event", ratio[1], "ratio", "<= 0.8"});
  figures.push_back({metric + " core/bare p99", ratio[2], "ratio", "<= 1"});
  figures.push_back({metric + " core/bare p99.9", ratio[3], "ratio", "<= 1"});
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int runs = 1;
  std::string only;
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds" && i + 1 < argc) {
      seconds = std::max(0.1, std::atof(argv[i + 1]));
    } else if (option == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--profile" && i + 1 < argc) {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: bench_load [--seconds S] [--runs N] [--profile TEXT]\n");
      return 64;
    }
  }
  std::printf("load profiles, %.3g s paced runs, median of %d; per event after warm-up: "
              "processor time (us, user + system, all threads), voluntary context switches, "
              "preemptions; the delivering thread's run-queue wait per run (us, schedstat); "
              "latency to the last consumer (us); RSS (MiB); core/bare ratios\n",
              seconds, runs);
  std::printf("%-16s %-5s %9s %8s %8s %8s %8s %8s %8s %7s %7s %7s %7s %7s %7s\n", "profile", "",
              "cpu/ev", "ctx/ev", "prm/ev", "rq/run", "p50", "p99", "p99.9", "peak", "final",
              "cpu", "ctx", "p99", "p99.9");
  std::vector<Figure> figures;
  try {
    for (const Profile& profile : kProfiles) {
      if (profile.name.find(only) != std::string::npos) RunProfile(profile, seconds, runs, figures);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_load: %s\n", e.what());
    return 1;
  }
  std::printf("\n");
  for (const Figure& figure : figures) Result(figure.metric, figure.value, figure.unit, figure.aim);
#ifndef DV_HAVE_ZMQ
  std::printf("ZeroMQ benchmark skipped: built without libzmq (install libzmq3-dev)\n");
#endif
  return 0;
}
