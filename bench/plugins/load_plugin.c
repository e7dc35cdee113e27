/*
 * Plugins of the load-profile benchmark (bench_load); the traffic is the
 * profile in LOAD_PROFILE (load.h). One source, two modules:
 *
 *   load_producer.so  (LOAD_PRODUCER) ID 0x500000, with a worker. The
 *       worker waits for "producer.go" in the current directory, runs every
 *       producer of the profile on a thread of its own, each raising with
 *       its own stream identifier (0x500001 + producer: the key-frame gate
 *       keys on it), then writes "producer.done": the process's processor
 *       time (ns) and voluntary context switches over the paced run after
 *       warm-up, the events sent meanwhile, the events the core refused,
 *       the involuntary context switches, and the delivery loop's run-queue
 *       wait (ns) and runs.
 *   load_consumer.so  (LOAD_CONSUMER) copies named "consumer_<n>.so" take
 *       the ID (0x30 + n) << 16 and the masks that select the streams
 *       consumer n takes. Write reads three bytes of the payload and files
 *       the event's latency; at its last expected event it writes the
 *       latencies ("consumer_<n>.lat", one uint32_t ns per slot, 0 for
 *       events it does not take) and then "consumer_<n>.done"; at Close,
 *       the number of events it got in "consumer_<n>.count".
 *
 * bench_load also dlopens the consumer copies in its own forks and calls
 * the same Write; LoadConsumerReset and LoadConsumerSlots give it what the
 * files give in the core.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "load.h"
#include "plugin_api/plugin.h"

static volatile int g_closed;
static load_profile g_profile;

#if defined(LOAD_CONSUMER)
static unsigned g_index;
static long g_expected;
static long g_count;
static int g_report; /* in the core: write the files at the last event */
static uint32_t* g_slots;
static volatile uint32_t g_touched;

/* 0 when the profile is usable. */
int LoadConsumerReset(void) {
  g_index = e2e_own_index();
  g_count = 0;
  free(g_slots);
  g_slots = NULL;
  if (load_parse(&g_profile) != 0 || (int)g_index >= g_profile.consumer_count) return -1;
  g_expected = load_expected(&g_profile, (int)g_index);
  g_slots = (uint32_t*)calloc((size_t)g_profile.base[g_profile.producer_count] + 1, sizeof *g_slots);
  if (g_slots == NULL) return -1;
  /* Fault every page in now, not at the consumer's first event in it:
   * otherwise page faults show in the latency tails. */
  for (size_t i = 0; i <= (size_t)g_profile.base[g_profile.producer_count]; i += 1024) {
    ((volatile uint32_t*)g_slots)[i] = 0;
  }
  return 0;
}
const uint32_t* LoadConsumerSlots(void) { return g_slots; }
long LoadConsumerCount(void) { return g_count; }

static void report(void) {
  char path[64];
  snprintf(path, sizeof path, "consumer_%u.lat", g_index);
  e2e_write_whole(path, g_slots, (size_t)g_profile.base[g_profile.producer_count] * sizeof *g_slots);
  snprintf(path, sizeof path, "consumer_%u.done", g_index);
  e2e_write_whole(path, "done\n", 5);
}

int32_t Write(void* in_, void* out) {
  const _WriteParmsIn* in = (const _WriteParmsIn*)in_;
  const unsigned char* bytes = (const unsigned char*)in->data;
  const uint32_t len = in->len;
  (void)out;
  if (len > 0) g_touched += bytes[0] + bytes[len / 2] + bytes[len - 1];
  if (!load_file_latency(&g_profile, g_slots, bytes, len)) return 0;
  if (++g_count == g_expected && g_report) report();
  return 0;
}
#endif

#if defined(LOAD_PRODUCER)
static PluginEventCallbackFn g_raise;
static long g_refused;

static void raise_event(void* target, int producer, const load_stream* stream, void* data,
                        uint32_t len, int key_frame) {
  _EventParmsIn in;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  (void)target;
  memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x500001u + (uint32_t)producer;
  in.eventType = stream->type;
  in.flags = stream->flags;
  in.keyFrame = (uint8_t)key_frame;
  in.data = data;
  in.len = len;
  g_raise(&in, &out);
  if (out.result != 0) __atomic_add_fetch(&g_refused, 1, __ATOMIC_RELAXED);
}

static int exists(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == NULL) return 0;
  fclose(f);
  return 1;
}

int32_t IOCTL(void* in_, void* out) {
  const _IoctlParmsIn* in = (const _IoctlParmsIn*)in_;
  const struct timespec ms = {0, 1000000L};
  const struct timespec ms10 = {0, 10000000L};
  load_cost cost = {0, 0, 0, 0, 0, 0};
  char text[128];
  (void)out;
  if (in->request != DV_IOCTL_WORKER) return 0;
  while (!g_closed && !exists("producer.go")) nanosleep(&ms, NULL);
  if (g_closed) return 0;
  /* The core's delivery loop runs on its main thread, whose ID is the
   * process's. */
  if (load_drive(&g_profile, raise_event, NULL, &g_closed, getpid(), &cost) != 0) g_refused = -1;
  snprintf(text, sizeof text, "%.0f %.0f %.0f %ld %.0f %.0f %.0f\n", cost.cpu_ns,
           cost.voluntary_switches, cost.events, g_refused, cost.preemptions,
           cost.delivery_wait_ns, cost.delivery_runs);
  e2e_write_whole("producer.done", text, strlen(text));
  while (!g_closed) nanosleep(&ms10, NULL);
  return 0;
}
#endif

int32_t Load(void* in_, void* out_) {
  _LoadParmsOut* out = (_LoadParmsOut*)out_;
#if defined(LOAD_CONSUMER)
  (void)in_;
  if (LoadConsumerReset() != 0) {
    out->errorCode = 1;
    return -1;
  }
  out->id = (0x30u + g_index) << 16;
  load_masks(&g_profile, (int)g_index, out->eventMasks);
  out->deliveryOption = 1;
  g_report = 1;
#else
  if (load_parse(&g_profile) != 0) {
    out->errorCode = 1;
    return -1;
  }
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
#if defined(LOAD_CONSUMER)
  /* After the last delivery: what the masks let through, to be checked. */
  char path[64], text[32];
  snprintf(path, sizeof path, "consumer_%u.count", g_index);
  snprintf(text, sizeof text, "%ld\n", g_count);
  if (g_report) e2e_write_whole(path, text, strlen(text));
#endif
  (void)in;
  (void)out;
  g_closed = 1;
  return 0;
}
