/*
 * A plugin that breaks its side of the contract on request, for the tests
 * of devovor-inspect --exercise. Settings come from "<stem>.conf" beside
 * the copy (key=value lines, numbers in any strtol base):
 *
 *   id                      0x500000  its ID
 *   mask1                   0xffffffff  eventMasks[1] (class 0x2); it delivers
 *   keep                    0   1: keeps every Write block, never gives it back
 *   write_error             0   _WriteParmsOut.errorCode of every Write
 *   worker_after_close_ms   0   > 0: asks for a worker that returns only this
 *                               long after Close
 *   close_ms                0   Close takes this long
 *   write_ms                0   the first Write takes this long
 *   warn                    (none)  Open logs this text at level 60
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "plugin_api/helpers.h"
#include "plugin_api/settings.h"

static struct {
  uint32_t id, mask1;
  long keep, writeError, workerAfterCloseMs, closeMs, writeMs;
  char warn[256];
} g = {0x500000u, 0xffffffffu, 0, 0, 0, 0, 0, ""};
static int g_written; /* the delivery loop's own: Write runs on its thread only */

static PluginEventCallbackFn g_raise;
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_closedCond = PTHREAD_COND_INITIALIZER;
static int g_closed; /* GUARDED_BY(g_mu) */

static void apply(const char* key, const char* value, void* context) {
  (void)context;
  if (strcmp(key, "id") == 0) g.id = (uint32_t)strtoul(value, NULL, 0);
  if (strcmp(key, "mask1") == 0) g.mask1 = (uint32_t)strtoul(value, NULL, 0);
  if (strcmp(key, "keep") == 0) g.keep = strtol(value, NULL, 0);
  if (strcmp(key, "write_error") == 0) g.writeError = strtol(value, NULL, 0);
  if (strcmp(key, "worker_after_close_ms") == 0) g.workerAfterCloseMs = strtol(value, NULL, 0);
  if (strcmp(key, "close_ms") == 0) g.closeMs = strtol(value, NULL, 0);
  if (strcmp(key, "write_ms") == 0) g.writeMs = strtol(value, NULL, 0);
  if (strcmp(key, "warn") == 0) snprintf(g.warn, sizeof g.warn, "%s", value);
}

static void sleep_ms(long ms) {
  struct timespec pause;
  pause.tv_sec = ms / 1000;
  pause.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  dv_read_settings(&g, apply, NULL);
  result->id = g.id;
  result->eventMasks[1] = g.mask1;
  result->deliveryOption = 1;
  result->wantsWorker = g.workerAfterCloseMs > 0;
  return 0;
}

DV_EXPORT int32_t Open(void* in, void* out) {
  char text[300];
  (void)in;
  (void)out;
  if (g.warn[0] != '\0') dv_log(g_raise, g.id, 60, text, sizeof text, "%s", g.warn);
  return 0;
}

DV_EXPORT int32_t Write(void* in, void* out) {
  _WriteParmsOut* result = (_WriteParmsOut*)out;
  (void)in;
  result->keep = g.keep != 0;
  result->errorCode = (int32_t)g.writeError;
  if (!g_written++) sleep_ms(g.writeMs);
  return 0;
}

/* The worker: waits for Close, then ignores it for a while. */
DV_EXPORT int32_t IOCTL(void* in, void* out) {
  (void)out;
  if (((_IoctlParmsIn*)in)->request != DV_IOCTL_WORKER) return 0;
  pthread_mutex_lock(&g_mu);
  while (!g_closed) pthread_cond_wait(&g_closedCond, &g_mu);
  pthread_mutex_unlock(&g_mu);
  sleep_ms(g.workerAfterCloseMs);
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  sleep_ms(g.closeMs);
  pthread_mutex_lock(&g_mu);
  g_closed = 1;
  pthread_cond_broadcast(&g_closedCond);
  pthread_mutex_unlock(&g_mu);
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
