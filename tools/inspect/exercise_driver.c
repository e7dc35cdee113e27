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
 * Threads the plugin left running. "first" lists the core's tasks in its
 * Load, before the plugin's Load ("first task <tid>" lines): the main
 * thread and whatever the runtime around the core runs. "last", in its
 * Unload, comes after the core has stopped its I/O thread, joined the
 * plugin's worker and reader, called the plugin's Unload and released its
 * library; any task not in that list is then the plugin's own (or a Read
 * of a read request that never returned). It waits up to stray_wait_ms for
 * such tasks to end, then reports each that stayed as "last stayed <tid>
 * <comm>".
 *
 * Settings, "<stem>.conf" beside the copy, one key=value per line:
 *   id=N  close_key=N  role=first|last  report=PATH
 *   stray_wait_ms=N    how long "last" waits for the plugin's threads (1000)
 *   raise=TYPE:FLAGS   (repeatable) an event to raise in Open
 *   read=TYPE:FLAGS    (repeatable) a read request to raise in Open
 *   config=XML         a configuration update to raise in Open
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api/helpers.h"
#include "plugin_api/settings.h"

#define MAX_EVENTS 32
#define TEXT_MAX 1024
#define MAX_TASKS 512

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
  long strayWaitMs;
} g;
static PluginEventCallbackFn g_raise;

/* One line of the report, "<role> " and the formatted rest, in one write(). */
static void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void report(const char* format, ...) {
  char line[256];
  va_list args;
  int fd, n = snprintf(line, sizeof line, "%s ", g.role);
  va_start(args, format);
  n += vsnprintf(line + n, sizeof line - (size_t)n, format, args);
  va_end(args);
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  fd = open(g.report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, line, (size_t)n) != n) { /* the checker then misses one line */ }
  close(fd);
}

static int64_t now_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void note(const char* step) { report("%s %lld", step, (long long)now_ns()); }

/* ---- the plugin's threads ------------------------------------------------ */

/* The process's task IDs, at most `max`; -1 when they cannot be listed. */
static int list_tasks(int* tids, int max) {
  DIR* dir = opendir("/proc/self/task");
  struct dirent* entry;
  int n = 0;
  if (dir == NULL) return -1;
  while ((entry = readdir(dir)) != NULL && n < max) {
    if (entry->d_name[0] != '.') tids[n++] = atoi(entry->d_name);
  }
  closedir(dir);
  return n;
}

static void* return_at_once(void* arg) { return arg; }

/* A runtime that starts a helper thread with the process's first thread
 * (ThreadSanitizer does) has it running after this, inside the list. */
static void note_baseline(void) {
  int tids[MAX_TASKS], n, i;
  pthread_t thread;
  if (pthread_create(&thread, NULL, return_at_once, NULL) == 0) pthread_join(thread, NULL);
  n = list_tasks(tids, MAX_TASKS);
  for (i = 0; i < n; ++i) report("task %d", tids[i]);
}

/* The tasks "first" listed, read back from the report. */
static int read_baseline(int* tids, int max) {
  char line[256], role[16], word[16];
  long long number;
  int n = 0;
  FILE* file = fopen(g.report, "r");
  if (file == NULL) return 0;
  while (n < max && fgets(line, sizeof line, file) != NULL) {
    if (sscanf(line, "%15s %15s %lld", role, word, &number) == 3 && strcmp(role, "first") == 0 &&
        strcmp(word, "task") == 0) {
      tids[n++] = (int)number;
    }
  }
  fclose(file);
  return n;
}

static int contains(const int* tids, int n, int tid) {
  int i;
  for (i = 0; i < n; ++i) {
    if (tids[i] == tid) return 1;
  }
  return 0;
}

/* The tasks now running that are not in `baseline`. */
static int strays(const int* baseline, int known, int* stray) {
  int tids[MAX_TASKS], n = list_tasks(tids, MAX_TASKS), i, found = 0;
  for (i = 0; i < n; ++i) {
    if (!contains(baseline, known, tids[i])) stray[found++] = tids[i];
  }
  return found;
}

static void report_stray(int tid) {
  char path[64], comm[64] = "?";
  ssize_t got;
  int fd;
  snprintf(path, sizeof path, "/proc/self/task/%d/comm", tid);
  fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    got = read(fd, comm, sizeof comm - 1);
    if (got > 0) comm[comm[got - 1] == '\n' ? got - 1 : got] = '\0';
    close(fd);
  }
  report("stayed %d %s", tid, comm);
}

static void note_stray_threads(void) {
  int baseline[MAX_TASKS], stray[MAX_TASKS], known, found, i;
  const int64_t deadline = now_ns() + (int64_t)g.strayWaitMs * 1000000;
  const struct timespec step = {0, 20 * 1000000};
  known = read_baseline(baseline, MAX_TASKS);
  if (known == 0) return;
  while ((found = strays(baseline, known, stray)) > 0 && now_ns() < deadline) {
    nanosleep(&step, NULL);
  }
  for (i = 0; i < found; ++i) report_stray(stray[i]);
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
  if (strcmp(key, "stray_wait_ms") == 0) g.strayWaitMs = strtol(value, NULL, 0);
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
  g.strayWaitMs = 1000;
  dv_read_settings(&g, apply, NULL);
  if (strcmp(g.role, "first") == 0) note_baseline();
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
  if (strcmp(g.role, "last") == 0) note_stray_threads();
  return 0;
}
