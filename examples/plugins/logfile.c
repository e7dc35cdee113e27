/*
 * logfile: every log message of the system, with its level and source, in
 * a text file that rotates.
 *
 * It subscribes to log events (class 0x40) and writes one line per message:
 * "<UTC time> <level> <providerID in hex> <text>". When the file passes
 * `max_bytes` it is renamed to "<path>.1" (replacing an older one) and a
 * new file is started. Write runs on the core's main thread, one event at a
 * time, so the file needs no lock.
 *
 * Settings (logfile.conf beside the plugin): path ("devovor.log", relative
 * to the core's current directory), max_bytes (1048576).
 */
#include "example_util.h"

#define LOGFILE_ID 0x00120000u

static char g_path[1024] = "devovor.log";
static long g_maxBytes = 1048576;
static FILE* g_file;
static long g_written;

static void apply(const char* key, const char* value, void* context) {
  (void)context;
  if (strcmp(key, "path") == 0) snprintf(g_path, sizeof g_path, "%s", value);
  if (strcmp(key, "max_bytes") == 0 && strtol(value, NULL, 0) > 0) {
    g_maxBytes = strtol(value, NULL, 0);
  }
}

static void rotate_if_full(void) {
  char older[1100];
  if (g_file != NULL && g_written < g_maxBytes) return;
  if (g_file != NULL) {
    fclose(g_file);
    snprintf(older, sizeof older, "%s.1", g_path);
    rename(g_path, older);
  }
  g_file = fopen(g_path, "a");
  g_written = 0;
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  (void)in;
  dv_read_settings((const void*)apply, apply, NULL);
  result->id = LOGFILE_ID;
  result->eventMasks[6] = 0xffffffffu; /* class 0x40: log messages */
  result->deliveryOption = 1;
  return 0;
}

DV_EXPORT int32_t Write(void* in, void* out) {
  const _WriteParmsIn* event = (const _WriteParmsIn*)in;
  time_t now = time(NULL);
  struct tm utc;
  int n;
  (void)out;
  if ((event->eventType & DV_EVENT_LOG) == 0 || (event->flags & DV_FLAG_LOG_MESSAGE) == 0) return 0;
  if (event->data == NULL || event->len == 0) return 0;
  rotate_if_full();
  if (g_file == NULL) return 0;
  gmtime_r(&now, &utc);
  /* The text is bounded by len, NUL-terminated or not. */
  n = fprintf(g_file, "%02d:%02d:%02d %3d %08x %.*s\n", utc.tm_hour, utc.tm_min, utc.tm_sec,
              (int)event->level, (unsigned)event->providerID,
              (int)strnlen((const char*)event->data, event->len), (const char*)event->data);
  if (n > 0) g_written += n;
  fflush(g_file);
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  if (g_file != NULL) fclose(g_file);
  g_file = NULL;
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
