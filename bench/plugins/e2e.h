/*
 * The work of the end-to-end benchmark (bench_e2e), shared by its plugins
 * and by the contenders it runs in its own process, so that every contender
 * produces and consumes exactly the same way:
 *   - e2e_produce sends `count` events of `size` bytes through a callback,
 *     either as fast as the callback returns or paced at `rate` events/s;
 *   - a paced event carries its send time (CLOCK_MONOTONIC, ns, the same
 *     clock in every process) in its first 8 bytes, so that a consumer can
 *     take the latency.
 */
#ifndef DV_BENCH_E2E_H
#define DV_BENCH_E2E_H

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define E2E_WARM_UP_DIVISOR 10 /* the first tenth of a paced run is warm-up */

static inline uint64_t e2e_now_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

typedef void (*e2e_send_fn)(void* context, void* data, uint32_t len);

/* Sends the events; returns the time just before the first send, or 0 when
 * `stop` was set first. Paced: each event is due 1/rate after the previous
 * one; the sender sleeps until it is due, and a late wake-up sends what is
 * due at once, so the rate holds on average. */
static inline uint64_t e2e_produce(e2e_send_fn send, void* context, long count, uint32_t size,
                                   long rate, volatile int* stop) {
  char* payload = (char*)malloc(size);
  uint64_t first = 0;
  uint64_t due;
  long i;
  if (payload == NULL) return 0;
  memset(payload, 'p', size);
  due = e2e_now_ns();
  for (i = 0; i < count && !*stop; ++i) {
    if (rate > 0) {
      uint64_t sent;
      due += 1000000000u / (uint64_t)rate;
      if (e2e_now_ns() < due) {
        struct timespec at = {(time_t)(due / 1000000000u), (long)(due % 1000000000u)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL);
      }
      sent = e2e_now_ns();
      if (size >= sizeof sent) memcpy(payload, &sent, sizeof sent);
      if (first == 0) first = sent;
    } else if (first == 0) {
      first = e2e_now_ns();
    }
    send(context, payload, size);
  }
  free(payload);
  return first;
}

/* Writes `size` bytes to `path` through a temporary file, so that a reader
 * waiting for `path` sees it whole. */
static inline void e2e_write_whole(const char* path, const void* data, size_t size) {
  char temporary[256];
  FILE* f;
  snprintf(temporary, sizeof temporary, "%s.tmp", path);
  f = fopen(temporary, "wb");
  if (f == NULL) return;
  fwrite(data, 1, size, f);
  fclose(f);
  rename(temporary, path);
}

/* The n of the module "consumer_<n>.so" that this code was linked into
 * (0 when the name says nothing): copies of one consumer tell themselves
 * apart by their file names. */
static inline unsigned e2e_own_index(void) {
  Dl_info info;
  const char* base;
  unsigned n = 0;
  if (dladdr((void*)e2e_own_index, &info) == 0 || info.dli_fname == NULL) return 0;
  base = strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  if (sscanf(base, "consumer_%u", &n) != 1 || n > 0x3f) n = 0;
  return n;
}

#endif
