/*
 * Small helpers shared by the example plugins: settings from a file beside
 * the plugin, and a flag that tells threads the plugin has been closed.
 * Raising events goes through the SDK's own helpers (plugin_api/helpers.h).
 * Header-only, plain C99.
 */
#ifndef DEVOVOR_EXAMPLE_UTIL_H
#define DEVOVOR_EXAMPLE_UTIL_H

/* Built with _GNU_SOURCE (dladdr, memmem). */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin_api/helpers.h"

/* Reads "<dir>/<stem>.conf" beside the shared object that holds `anchor`
 * and calls `apply(key, value)` for every "key=value" line. */
static inline void ex_read_settings(void* anchor, void (*apply)(const char* key, const char* value)) {
  Dl_info info;
  char path[4096];
  char line[512];
  FILE* file;
  size_t n;
  if (dladdr(anchor, &info) == 0 || info.dli_fname == NULL) return;
  snprintf(path, sizeof path, "%s", info.dli_fname);
  n = strlen(path);
  if (n > 3 && strcmp(path + n - 3, ".so") == 0) path[n - 3] = '\0';
  strncat(path, ".conf", sizeof path - strlen(path) - 1);
  file = fopen(path, "r");
  if (file == NULL) return;
  while (fgets(line, sizeof line, file) != NULL) {
    char* eq = strchr(line, '=');
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] == '#' || eq == NULL) continue;
    *eq = '\0';
    apply(line, eq + 1);
  }
  fclose(file);
}

/* Closed flag with a wait that ends early when the plugin is closed. */
typedef struct ExClosed {
  pthread_mutex_t mu;
  pthread_cond_t changed;
  int closed;
} ExClosed;

#define EX_CLOSED_INIT {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0}

static inline void ex_close(ExClosed* c) {
  pthread_mutex_lock(&c->mu);
  c->closed = 1;
  pthread_cond_broadcast(&c->changed);
  pthread_mutex_unlock(&c->mu);
}

/* Waits up to `ms` milliseconds; returns non-zero once closed. */
static inline int ex_wait_closed(ExClosed* c, long ms) {
  struct timespec until;
  int closed;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += (ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&c->mu);
  while (!c->closed && pthread_cond_timedwait(&c->changed, &c->mu, &until) == 0) {
  }
  closed = c->closed;
  pthread_mutex_unlock(&c->mu);
  return closed;
}

#endif /* DEVOVOR_EXAMPLE_UTIL_H */
