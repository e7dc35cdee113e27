/*
 * my_plugin: a starting point for a plugin of your own. Copy this folder,
 * rename the file and the target, and pick your ID below.
 *
 * What it does, so that you can see it run:
 *   - it subscribes to video (class 0x1) and counts the frames it gets;
 *     every 250th is logged;
 *   - its worker thread logs a line every 5 seconds and returns when the
 *     core closes the plugin, as every worker must;
 *   - it answers each request from the parent daemon with one block,
 *     "my_plugin: <n> bytes";
 *   - at Close it logs how many frames it saw.
 *
 * Threads: Load, Open, Write, Close and Unload run on the core's main
 * thread, the worker (IOCTL request 1) on a thread of its own, parent
 * requests (IOCTL request 4) on the core's I/O thread. State shared between
 * them is guarded below.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime in strict C99 */
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "plugin_api/helpers.h"

/* Bits 16-23 are your kind (your log threshold's index); bits 24-27 must
 * be 0; no two plugins may share an ID. A parent request comes to this
 * plugin when bits 20-31 of its target equal bits 16-27 of the ID (the ID
 * moved left by 4 bits): here 0x070 in bits 20-31, for example target
 * 0x07000000 ("parent-sim --request 0x07000000:0x10:hello"). */
#define MY_ID 0x00700000u

static PluginEventCallbackFn g_raise;
static unsigned long g_frames; /* Write and Close: main thread only */

static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_closedCond = PTHREAD_COND_INITIALIZER;
static int g_closed; /* GUARDED_BY(g_mu) */

/* Waits up to `seconds` for Close; returns non-zero once closed. */
static int wait_closed(int seconds) {
  struct timespec until;
  int closed;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += seconds;
  pthread_mutex_lock(&g_mu);
  while (!g_closed && pthread_cond_timedwait(&g_closedCond, &g_mu, &until) == 0) {
  }
  closed = g_closed;
  pthread_mutex_unlock(&g_mu);
  return closed;
}

static void run_worker(void) {
  char text[64];
  int beats = 0;
  while (!wait_closed(5)) {
    dv_log(g_raise, MY_ID, 25, text, sizeof text, "my_plugin: worker alive (%d)", ++beats);
  }
}

/* The reply is malloc'ed: the core owns it once sent, and frees it. */
static void answer_parent(uint32_t len) {
  char* reply = malloc(64);
  int n;
  if (reply == NULL) return;
  n = snprintf(reply, 64, "my_plugin: %u bytes", (unsigned)len);
  dv_send_to_parent(g_raise, MY_ID, reply, (uint32_t)n);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  char text[64];
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  result->id = MY_ID;
  result->eventMasks[0] = 0xffffffffu; /* video, whatever its flags */
  result->deliveryOption = 1;          /* matching events reach Write */
  result->wantsWorker = 1;             /* IOCTL request 1 on a core thread */
  result->defaultLogLevel = 25;        /* start/stop lines and above */
  dv_log(g_raise, MY_ID, 25, text, sizeof text, "my_plugin: loaded");
  return 0;
}

DV_EXPORT int32_t Open(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}

DV_EXPORT int32_t Write(void* in, void* out) {
  const _WriteParmsIn* event = (const _WriteParmsIn*)in;
  char text[64];
  (void)out; /* keep stays 0: the core frees the block when all are done */
  if ((event->eventType & DV_EVENT_VIDEO) && (event->flags & DV_FLAG_VIDEO)) {
    if (++g_frames % 250 == 0) {
      dv_log(g_raise, MY_ID, 25, text, sizeof text, "my_plugin: %lu frames", g_frames);
    }
  }
  return 0;
}

DV_EXPORT int32_t IOCTL(void* in, void* out) {
  const _IoctlParmsIn* request = (const _IoctlParmsIn*)in;
  (void)out;
  if (request->request == DV_IOCTL_WORKER) run_worker();
  if (request->request == DV_IOCTL_PARENT_REQUEST) answer_parent(request->len);
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  char text[64];
  (void)in;
  (void)out;
  pthread_mutex_lock(&g_mu);
  g_closed = 1;
  pthread_cond_broadcast(&g_closedCond);
  pthread_mutex_unlock(&g_mu);
  dv_log(g_raise, MY_ID, 25, text, sizeof text, "my_plugin: closed after %lu frames", g_frames);
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
