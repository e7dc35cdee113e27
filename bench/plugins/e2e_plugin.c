/*
 * Plugins of the end-to-end benchmark (bench_e2e). One source, two modules:
 *
 *   bench_producer.so  (BENCH_PRODUCER) ID 0x500000, with a worker. The
 *       worker waits for "producer.go" in the current directory, raises
 *       BENCH_EVENTS events of type 0x2 and BENCH_SIZE bytes (paced at
 *       BENCH_RATE events/s when set, see e2e.h), then writes the time of
 *       its first raise to "producer.done".
 *   bench_consumer.so  (BENCH_CONSUMER) copies named "consumer_<n>.so" take
 *       the ID (0x30 + n) << 16 and receive type 0x2 through Write, which
 *       reads three bytes of the payload (first, middle, last), takes the
 *       latency of a paced event, and on the BENCH_EVENTS-th event writes
 *       the time of that Write to "consumer_<n>.done" (and the latencies in
 *       ns to "consumer_<n>.lat", one uint64_t per event, when paced).
 *
 * The benchmark also dlopens the consumer copies in its own process and
 * calls the same Write from the other contenders; BenchConsumerReset,
 * BenchConsumerLast and BenchConsumerLatencies give it what the files give
 * in the core.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "e2e.h"
#include "plugin_api/plugin.h"

static volatile int g_closed;

static long env_long(const char* name) {
  const char* value = getenv(name);
  return value != NULL ? atol(value) : 0;
}

#if defined(BENCH_CONSUMER)
static unsigned g_index;
static long g_expected;
static long g_count;
static int g_stamped;
static int g_report; /* in the core: write the files at the last event */
static uint64_t g_last;
static uint64_t* g_latencies;
static volatile uint32_t g_touched;

void BenchConsumerReset(long expected, int stamped) {
  g_expected = expected;
  g_count = 0;
  g_stamped = stamped;
  g_last = 0;
  free(g_latencies);
  g_latencies = stamped ? (uint64_t*)calloc((size_t)expected, sizeof *g_latencies) : NULL;
}
uint64_t BenchConsumerLast(void) { return g_last; }
const uint64_t* BenchConsumerLatencies(void) { return g_latencies; }

static void report(void) {
  char path[64];
  char text[32];
  if (g_latencies != NULL) {
    snprintf(path, sizeof path, "consumer_%u.lat", g_index);
    e2e_write_whole(path, g_latencies, (size_t)g_expected * sizeof *g_latencies);
  }
  snprintf(path, sizeof path, "consumer_%u.done", g_index);
  snprintf(text, sizeof text, "%llu\n", (unsigned long long)g_last);
  e2e_write_whole(path, text, strlen(text));
}

int32_t Write(void* in_, void* out) {
  const _WriteParmsIn* in = (const _WriteParmsIn*)in_;
  const unsigned char* bytes = (const unsigned char*)in->data;
  const uint32_t len = in->len;
  (void)out;
  if (len > 0) g_touched += bytes[0] + bytes[len / 2] + bytes[len - 1];
  if (g_stamped && len >= sizeof(uint64_t) && g_count < g_expected) {
    uint64_t sent;
    memcpy(&sent, bytes, sizeof sent);
    g_latencies[g_count] = e2e_now_ns() - sent;
  }
  if (++g_count == g_expected) {
    g_last = e2e_now_ns();
    if (g_report) report();
  }
  return 0;
}
#endif

#if defined(BENCH_PRODUCER)
static PluginEventCallbackFn g_raise;

static void raise_event(void* context, void* data, uint32_t len) {
  _EventParmsIn in;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  (void)context;
  memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x500000u;
  in.eventType = 0x2u;
  in.data = data;
  in.len = len;
  g_raise(&in, &out);
}

static int exists(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == NULL) return 0;
  fclose(f);
  return 1;
}

/* Sleeps a millisecond at a time until `path` exists or Close came. */
static void wait_for(const char* path) {
  struct timespec ms = {0, 1000000L};
  while (!g_closed && !exists(path)) nanosleep(&ms, NULL);
}

int32_t IOCTL(void* in_, void* out) {
  const _IoctlParmsIn* in = (const _IoctlParmsIn*)in_;
  char text[32];
  uint64_t first;
  (void)out;
  if (in->request != DV_IOCTL_WORKER) return 0;
  wait_for("producer.go");
  if (g_closed) return 0;
  first = e2e_produce(raise_event, NULL, env_long("BENCH_EVENTS"),
                      (uint32_t)env_long("BENCH_SIZE"), env_long("BENCH_RATE"), &g_closed);
  snprintf(text, sizeof text, "%llu\n", (unsigned long long)first);
  e2e_write_whole("producer.done", text, strlen(text));
  while (!g_closed) {
    struct timespec ms10 = {0, 10000000L};
    nanosleep(&ms10, NULL);
  }
  return 0;
}
#endif

int32_t Load(void* in_, void* out_) {
  _LoadParmsOut* out = (_LoadParmsOut*)out_;
#if defined(BENCH_CONSUMER)
  (void)in_;
  g_index = e2e_own_index();
  out->id = (0x30u + g_index) << 16;
  out->eventMasks[0] = 0x2u;
  out->deliveryOption = 1;
  BenchConsumerReset(env_long("BENCH_EVENTS"), env_long("BENCH_RATE") > 0);
  g_report = 1;
#else
  g_raise = ((_LoadParmsIn*)in_)->PluginEventCallback;
  out->id = 0x500000u;
  out->wantsWorker = 1;
#endif
  return 0;
}

int32_t Open(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}

int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  g_closed = 1;
  return 0;
}
