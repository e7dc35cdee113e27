/*
 * The driver plugin of devovor-inspect --exercise: two copies of it run in
 * the core next to the plugin under test and bracket it.
 *
 *   "first" sorts before the plugin in the load order and closes first of
 *           all (close key 0xffffffff): its Close ends just before the
 *           plugin's Close starts;
 *   "last"  sorts after it (protected-plugins/) and closes last (key 0):
 *           its Open runs after the plugin's Open, and there it raises the
 *           events the plugin subscribes to, a configuration update and the
 *           read requests it accepts; its Close starts just after the
 *           plugin's Close returned, and its Unload comes only once the core
 *           has joined the plugin's threads and called its Unload.
 *
 * Each copy appends "<role> <step> <monotonic ns>" lines to the report file
 * (open, close-start, close-end, unload), one write() per line, so the
 * checker can time the plugin's Close and see its threads end.
 *
 * Settings, "<stem>.conf" beside the copy, one key=value per line:
 *   id=N  close_key=N  role=first|last  report=PATH
 *   raise=TYPE:FLAGS   (repeatable) an event to raise in Open
 *   read=TYPE:FLAGS    (repeatable) a read request to raise in Open
 *   config=XML         a configuration update to raise in Open
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api/helpers.h"
#include "plugin_api/settings.h"

#define MAX_EVENTS 32
#define TEXT_MAX 1024

typedef struct Event {
  uint32_t type, flags;
} Event;

static struct {
  uint32_t id, closeKey;
  char role[16];
  char report[TEXT_MAX];
  char config[TEXT_MAX];
  Event raise[MAX_EVENTS];
  Event read[MAX_EVENTS];
  int raiseCount, readCount;
} g;
static PluginEventCallbackFn g_raise;

static void note(const char* step) {
  struct timespec now;
  char line[128];
  int fd, n;
  clock_gettime(CLOCK_MONOTONIC, &now);
  n = snprintf(line, sizeof line, "%s %s %lld\n", g.role, step,
               (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
  fd = open(g.report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, line, (size_t)n) != n) { /* the checker then misses one step */ }
  close(fd);
}

static void add_event(Event* list, int* count, const char* value) {
  char* colon;
  if (*count == MAX_EVENTS) return;
  list[*count].type = (uint32_t)strtoul(value, &colon, 0);
  list[*count].flags = *colon == ':' ? (uint32_t)strtoul(colon + 1, NULL, 0) : 0;
  ++*count;
}

static void apply(const char* key, const char* value, void* context) {
  (void)context;
  if (strcmp(key, "id") == 0) g.id = (uint32_t)strtoul(value, NULL, 0);
  if (strcmp(key, "close_key") == 0) g.closeKey = (uint32_t)strtoul(value, NULL, 0);
  if (strcmp(key, "role") == 0) snprintf(g.role, sizeof g.role, "%s", value);
  if (strcmp(key, "report") == 0) snprintf(g.report, sizeof g.report, "%s", value);
  if (strcmp(key, "config") == 0) snprintf(g.config, sizeof g.config, "%s", value);
  if (strcmp(key, "raise") == 0) add_event(g.raise, &g.raiseCount, value);
  if (strcmp(key, "read") == 0) add_event(g.read, &g.readCount, value);
}

/* One event of a class the plugin subscribes to. A video frame is a key
 * frame, so the core's gate lets it through; a log message carries text. */
static void raise_event(const Event* event, int n) {
  char text[96];
  _EventParmsIn in;
  const int len = snprintf(text, sizeof text, "devovor-inspect exercise event %d", n);
  dv_event_init(&in, g.id, event->type, event->flags);
  dv_event_payload(&in, text, (uint32_t)len + 1);
  in.keyFrame = 1;
  if ((event->type & DV_EVENT_LOG) && (event->flags & DV_FLAG_LOG_MESSAGE)) in.level = 25;
  dv_raise(g_raise, &in);
}

static void raise_everything(void) {
  static const char request[] = "devovor-inspect exercise request";
  int i;
  for (i = 0; i < g.raiseCount; ++i) raise_event(&g.raise[i], i);
  if (g.config[0] != '\0') dv_raise_config(g_raise, g.id, g.config, (uint32_t)strlen(g.config));
  for (i = 0; i < g.readCount; ++i) {
    void* context = (void*)(uintptr_t)(0x7e570000u + (unsigned)i);
    dv_raise_read_request(g_raise, g.read[i].type, g.read[i].flags, context, request,
                          sizeof request);
  }
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  dv_read_settings(&g, apply, NULL);
  result->id = g.id;
  result->eventMasks[DV_MASK_CLOSE_ORDER] = g.closeKey;
  return 0;
}

DV_EXPORT int32_t Open(void* in, void* out) {
  (void)in;
  (void)out;
  note("open");
  if (strcmp(g.role, "last") == 0) raise_everything();
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  note("close-start");
  note("close-end");
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  note("unload");
  return 0;
}
