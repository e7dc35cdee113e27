// Routing latency: the time from a producer's call of PluginEventCallback to
// each subscriber's Write, at a fixed offered rate of 25,000 events/s.
//
// One producer thread raises 64-byte events on a fixed schedule (one every
// 40 us; it sleeps until each one is due, and a late wake-up sends what is
// due at once, so the rate holds on average). Each payload carries
// the steady-clock time just before the call; every subscriber's Write
// records now minus that stamp. 1, 4 and 16 subscribed plugins; p50 and p99
// over every delivery, the first 2,000 events left out as warm-up.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "results.h"
#include "subscribers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 25000;
constexpr int kWarmup = 2000;
constexpr int kMeasured = 50000;

std::vector<int64_t> g_latencies;  // delivery loop only, read after it ends
std::atomic<uint64_t> g_delivered{0};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

int32_t StampWrite(void* in, void*) {
  const int64_t now = NowNs();
  const auto* write = static_cast<const _WriteParmsIn*>(in);
  int64_t stamp;
  std::memcpy(&stamp, write->data, sizeof stamp);
  if (stamp != 0) g_latencies.push_back(now - stamp);
  g_delivered.fetch_add(1, std::memory_order_release);
  return 0;
}

double Percentile(std::vector<int64_t>& values, double p) {
  if (values.empty()) return 0;
  const size_t k = std::min(values.size() - 1, size_t(p * double(values.size())));
  std::nth_element(values.begin(), values.begin() + k, values.end());
  return double(values[k]);
}

void Measure(int plugins) {
  devovor core("/nonexistent/devovor");
  core.Initialize(-1);
  dvbench::AddSubscribers(core, plugins, StampWrite, "latency");
  g_latencies.clear();
  g_latencies.reserve(size_t(kMeasured) * plugins);
  g_delivered = 0;
  std::thread loop([&] { Peer(core).router().RunEventLoop(); });

  char payload[64] = {};
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x00090000;
  in.eventType = 0x2;
  in.data = payload;
  in.len = sizeof payload;
  const int64_t period = 1'000'000'000 / kRate;
  int64_t due = NowNs();
  for (int i = 0; i < kWarmup + kMeasured; ++i) {
    due += period;
    std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(due)));
    const int64_t stamp = i < kWarmup ? 0 : NowNs();
    std::memcpy(payload, &stamp, sizeof stamp);
    _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
    PluginEventCallback(&in, &out);
  }
  const uint64_t all = uint64_t(kWarmup + kMeasured) * plugins;
  while (g_delivered.load(std::memory_order_acquire) < all) std::this_thread::yield();
  core.RequestStop();
  loop.join();

  std::printf("latency %2d plugins: p90 %.1f us, p95 %.1f us, p98 %.1f us, p99.9 %.1f us, max %.1f us\n",
              plugins, Percentile(g_latencies, 0.90) / 1000.0, Percentile(g_latencies, 0.95) / 1000.0,
              Percentile(g_latencies, 0.98) / 1000.0, Percentile(g_latencies, 0.999) / 1000.0,
              Percentile(g_latencies, 1.0) / 1000.0);
  const std::string label = std::to_string(plugins) + "pl";
  dvbench::Result("latency p50 25k ev/s " + label, Percentile(g_latencies, 0.50) / 1000.0, "us");
  dvbench::Result("latency p99 25k ev/s " + label, Percentile(g_latencies, 0.99) / 1000.0, "us",
                  "< 100");
}

}  // namespace

int main() {
  for (int plugins : {1, 4, 16}) Measure(plugins);
  return 0;
}
