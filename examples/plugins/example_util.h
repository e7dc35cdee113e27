/*
 * A small helper shared by the example plugins: a flag that tells threads
 * the plugin has been closed. Raising events and reading the settings file
 * beside the plugin go through the SDK's own helpers (plugin_api/helpers.h,
 * plugin_api/settings.h). Header-only, plain C99.
 */
#ifndef DEVOVOR_EXAMPLE_UTIL_H
#define DEVOVOR_EXAMPLE_UTIL_H

/* Built with _GNU_SOURCE (dladdr, memmem). */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin_api/helpers.h"
#include "plugin_api/settings.h"

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
