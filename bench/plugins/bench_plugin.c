/*
 * Plugins for the whole-process benchmarks (bench_process). One source,
 * three modules, chosen at build time:
 *
 *   bench_idle.so   (BENCH_IDLE)  loads, subscribes to nothing, does nothing.
 *                   Copies named "idle_<n>.so" take the ID (0x20 + n) << 16,
 *                   so twenty copies load side by side with distinct IDs.
 *   bench_sink.so   (BENCH_SINK)  ID 0x400000, receives event type 0x2
 *                   through Write. Its first Write creates "sink.blocked" in
 *                   the current directory and returns only once
 *                   "sink.release" exists: the delivery loop stands still
 *                   and everything raised meanwhile stays queued.
 *   bench_flood.so  (BENCH_FLOOD) ID 0x410000, with a worker. The worker
 *                   waits for "flood.go", raises one 1 KiB event of type 0x2
 *                   (the one the sink blocks on), waits for "sink.blocked",
 *                   creates "flood.primed", waits for "flood.start", raises
 *                   FLOOD_EVENTS (default 100000) more of FLOOD_SIZE bytes
 *                   (default 1024), then creates "flood.done". Every wait
 *                   ends when Close is called.
 *
 * The files are the protocol with the benchmark, which plays the other side
 * and reads the core's resident memory between the steps.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api/plugin.h"

static PluginEventCallbackFn g_raise;
static volatile int g_closed;

#if !defined(BENCH_IDLE)
static int exists(const char* path) { return access(path, F_OK) == 0; }

static void touch(const char* path) {
  FILE* f = fopen(path, "w");
  if (f != NULL) fclose(f);
}

/* Polls every millisecond until `path` exists; 0 when Close came first. */
static int wait_for(const char* path) {
  struct timespec ms = {0, 1000000L};
  while (!exists(path)) {
    if (g_closed) return 0;
    nanosleep(&ms, NULL);
  }
  return 1;
}
#endif

static uint32_t own_id(void) {
#if defined(BENCH_IDLE)
  Dl_info info;
  const char* base;
  unsigned n = 0;
  if (dladdr((void*)own_id, &info) == 0 || info.dli_fname == NULL) return 0x200000u;
  base = strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  if (sscanf(base, "idle_%u", &n) != 1 || n > 0x7f) n = 0;
  return (0x20u + n) << 16;
#elif defined(BENCH_SINK)
  return 0x400000u;
#else
  return 0x410000u;
#endif
}

int32_t Load(void* in_, void* out_) {
  _LoadParmsIn* in = (_LoadParmsIn*)in_;
  _LoadParmsOut* out = (_LoadParmsOut*)out_;
  g_raise = in->PluginEventCallback;
  out->id = own_id();
#if defined(BENCH_SINK)
  out->eventMasks[0] = 0x2u;
  out->deliveryOption = 1;
#elif defined(BENCH_FLOOD)
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

#if defined(BENCH_SINK)
static int g_blockedOnce;

int32_t Write(void* in, void* out) {
  (void)in;
  (void)out;
  if (!g_blockedOnce) {
    g_blockedOnce = 1;
    touch("sink.blocked");
    wait_for("sink.release");
  }
  return 0;
}
#endif

#if defined(BENCH_FLOOD)
static int32_t raise_one(const char* payload, uint32_t len) {
  _EventParmsIn in;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x410000u;
  in.eventType = 0x2u;
  in.data = (void*)payload;
  in.len = len;
  g_raise(&in, &out);
  return out.result;
}

int32_t IOCTL(void* in_, void* out) {
  _IoctlParmsIn* in = (_IoctlParmsIn*)in_;
  static char payload[1024];
  long count = 100000;
  uint32_t len = 1024;
  long i;
  const char* env = getenv("FLOOD_EVENTS");
  const char* size = getenv("FLOOD_SIZE");
  (void)out;
  if (in->request != DV_IOCTL_WORKER) return 0;
  if (env != NULL) count = atol(env);
  if (size != NULL && atol(size) > 0 && atol(size) <= 1024) len = (uint32_t)atol(size);
  memset(payload, 'f', sizeof payload);
  if (!wait_for("flood.go")) return 0;
  raise_one(payload, len);
  if (!wait_for("sink.blocked")) return 0;
  touch("flood.primed");
  if (!wait_for("flood.start")) return 0;
  for (i = 0; i < count && !g_closed; ++i) raise_one(payload, len);
  touch("flood.done");
  while (!g_closed) {
    struct timespec ms = {0, 10000000L};
    nanosleep(&ms, NULL);
  }
  return 0;
}
#endif
