/*
 * The load profiles of bench_load, shared by its plugins (inside the core)
 * and by the contenders it runs in its own forks, so that every contender
 * produces, routes and consumes exactly the same traffic.
 *
 * A profile travels in the environment variable LOAD_PROFILE:
 *   "<seconds>;<stream>[,<stream>...];<takes>[,<takes>...]"
 * with each stream "<producers>/<rate>/<size>/<type hex>/<flags hex>/<key>":
 * that many producer threads, each paced at `rate` events/s (e2e_produce)
 * for `seconds`, raising events of `size` bytes, `eventType` and `flags`;
 * with `key` > 0 every key-th frame of a producer, its first included, is a
 * key frame. Each `takes` is one consumer: bit s set = it takes stream s,
 * which its subscription masks select (load_masks).
 *
 * Producers are numbered across the streams in order. Every payload
 * carries its send time (bytes 0-7, CLOCK_MONOTONIC ns), its producer
 * (8-11) and its number within that producer (12-15), so a consumer files
 * the latency of each event it gets in the event's own slot; the slots of
 * producer p start at load_layout's base[p].
 */
#ifndef DV_BENCH_LOAD_H
#define DV_BENCH_LOAD_H

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "e2e.h"

#define LOAD_MAX_STREAMS 4
#define LOAD_MAX_PRODUCERS 64
#define LOAD_MAX_CONSUMERS 8
#define LOAD_HEADER_BYTES 16 /* send time, producer, number */

typedef struct {
  int producers;
  long rate;
  uint32_t size;
  uint32_t type;
  uint32_t flags;
  int key_every;
} load_stream;

typedef struct {
  double seconds;
  int stream_count;
  load_stream streams[LOAD_MAX_STREAMS];
  int consumer_count;
  unsigned takes[LOAD_MAX_CONSUMERS];
  /* derived */
  int producer_count;
  int stream_of[LOAD_MAX_PRODUCERS];
  long base[LOAD_MAX_PRODUCERS + 1]; /* base[producer_count] = all slots */
} load_profile;

static inline long load_events_per_producer(const load_profile* p, int stream) {
  return (long)(p->streams[stream].rate * p->seconds);
}

/* Parses LOAD_PROFILE; 0 on success. */
static inline int load_parse(load_profile* p) {
  const char* text = getenv("LOAD_PROFILE");
  char streams[512], takes[128];
  char *item, *save;
  int i, s;
  memset(p, 0, sizeof *p);
  if (text == NULL || sscanf(text, "%lf;%511[^;];%127s", &p->seconds, streams, takes) != 3) {
    return -1;
  }
  for (item = strtok_r(streams, ",", &save); item != NULL; item = strtok_r(NULL, ",", &save)) {
    load_stream* st = &p->streams[p->stream_count];
    if (p->stream_count == LOAD_MAX_STREAMS ||
        sscanf(item, "%d/%ld/%u/%x/%x/%d", &st->producers, &st->rate, &st->size, &st->type,
               &st->flags, &st->key_every) != 6 ||
        st->size < LOAD_HEADER_BYTES) {
      return -1;
    }
    ++p->stream_count;
  }
  for (item = strtok_r(takes, ",", &save); item != NULL; item = strtok_r(NULL, ",", &save)) {
    if (p->consumer_count == LOAD_MAX_CONSUMERS) return -1;
    p->takes[p->consumer_count++] = (unsigned)strtoul(item, NULL, 0);
  }
  for (s = 0; s < p->stream_count; ++s) {
    for (i = 0; i < p->streams[s].producers; ++i) {
      if (p->producer_count == LOAD_MAX_PRODUCERS) return -1;
      p->stream_of[p->producer_count] = s;
      p->base[p->producer_count + 1] = p->base[p->producer_count] + load_events_per_producer(p, s);
      ++p->producer_count;
    }
  }
  return 0;
}

/* The events consumer `c` gets in a whole run. */
static inline long load_expected(const load_profile* p, int c) {
  long n = 0;
  int i;
  for (i = 0; i < p->producer_count; ++i) {
    if (p->takes[c] & (1u << p->stream_of[i])) n += p->base[i + 1] - p->base[i];
  }
  return n;
}

/* The subscription class of an event type: its mask's index. */
static inline int load_class(uint32_t type) {
  return type == 0x400u ? 8 : __builtin_ctz(type);
}

/* The key the core matches against a mask: bits 24-30 of `flags` move up
 * one bit, the low 24 stay. */
static inline uint32_t load_key(uint32_t flags) {
  return ((flags << 1) & 0xfe000000u) | (flags & 0x00ffffffu);
}

/* The masks that select exactly the streams consumer `c` takes, given that
 * the streams of one class differ in their flags. */
static inline void load_masks(const load_profile* p, int c, uint32_t masks[9]) {
  int s;
  memset(masks, 0, 9 * sizeof *masks);
  for (s = 0; s < p->stream_count; ++s) {
    if (p->takes[c] & (1u << s)) masks[load_class(p->streams[s].type)] |= load_key(p->streams[s].flags);
  }
}

/* ---- producing ---------------------------------------------------------- */

/* Sends one stamped event; `key_frame` is 1 for a key frame. */
typedef void (*load_send_fn)(void* target, int producer, const load_stream* stream, void* data,
                             uint32_t len, int key_frame);

typedef struct {
  const load_profile* profile;
  load_send_fn send;
  void* target;
  int index;
  uint32_t number; /* events sent so far, read by the coordinator */
  volatile int* stop;
} load_producer;

static inline void load_stamp_and_send(void* context, void* data, uint32_t len) {
  load_producer* producer = (load_producer*)context;
  const load_stream* stream = &producer->profile->streams[producer->profile->stream_of[producer->index]];
  const uint32_t number = producer->number;
  const int32_t index = producer->index;
  memcpy((char*)data + 8, &index, sizeof index);
  memcpy((char*)data + 12, &number, sizeof number);
  producer->send(producer->target, producer->index, stream, data, len,
                 stream->key_every > 0 && number % (uint32_t)stream->key_every == 0);
  __atomic_store_n(&producer->number, number + 1, __ATOMIC_RELAXED);
}

static inline void* load_producer_main(void* arg) {
  load_producer* producer = (load_producer*)arg;
  const load_profile* p = producer->profile;
  const int s = p->stream_of[producer->index];
  e2e_produce(load_stamp_and_send, producer, load_events_per_producer(p, s), p->streams[s].size,
              p->streams[s].rate, producer->stop);
  return NULL;
}

/* What the process spent while the paced run went on, warm-up left out:
 * processor time (user + system, every thread), voluntary context switches
 * (a thread went to sleep) and involuntary ones (a thread lost its
 * processor to another that woke: the scheduler's preemptions) from
 * getrusage(RUSAGE_SELF), and the events sent meanwhile; and, from the
 * scheduler's own accounting of the delivering thread (schedstat), the
 * time it spent runnable but waiting for a processor, and its runs. */
typedef struct {
  double cpu_ns;
  double voluntary_switches;
  double events;
  double preemptions;
  double delivery_wait_ns;
  double delivery_runs;
} load_cost;

/* The scheduler's figures of thread `tid` of this process: nanoseconds
 * waiting on a run queue, and the times it was given a processor. */
static inline void load_schedstat(pid_t tid, double* wait_ns, double* runs) {
  char path[64];
  unsigned long long run = 0, wait = 0, slices = 0;
  FILE* f;
  *wait_ns = *runs = 0;
  snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", (int)tid);
  if ((f = fopen(path, "r")) == NULL) return;
  if (fscanf(f, "%llu %llu %llu", &run, &wait, &slices) == 3) {
    *wait_ns = (double)wait;
    *runs = (double)slices;
  }
  fclose(f);
}

static inline double load_rusage_cpu_ns(const struct rusage* u) {
  return (u->ru_utime.tv_sec + u->ru_stime.tv_sec) * 1e9 +
         (u->ru_utime.tv_usec + u->ru_stime.tv_usec) * 1e3;
}

static inline long load_sent(load_producer* producers, int count) {
  long n = 0;
  int i;
  for (i = 0; i < count; ++i) n += __atomic_load_n(&producers[i].number, __ATOMIC_RELAXED);
  return n;
}

/* Runs every producer of the profile on a thread of its own, all at once;
 * returns once they have all sent their events. The cost is taken from the
 * end of the warm-up (a tenth of the run) to the last send: the events in
 * flight then are a few against thousands. */
static inline int load_drive(const load_profile* p, load_send_fn send, void* target,
                             volatile int* stop, pid_t delivering, load_cost* cost) {
  load_producer producers[LOAD_MAX_PRODUCERS];
  pthread_t threads[LOAD_MAX_PRODUCERS];
  struct rusage before, after;
  double wait_before = 0, runs_before = 0;
  struct timespec warm_up;
  const uint64_t warm_up_ns = (uint64_t)(p->seconds * 1e9) / E2E_WARM_UP_DIVISOR;
  long sent_before;
  int i, started = 0;
  for (i = 0; i < p->producer_count; ++i) {
    producers[i].profile = p;
    producers[i].send = send;
    producers[i].target = target;
    producers[i].index = i;
    producers[i].number = 0;
    producers[i].stop = stop;
  }
  {
    const uint64_t until = e2e_now_ns() + warm_up_ns;
    warm_up.tv_sec = (time_t)(until / 1000000000u);
    warm_up.tv_nsec = (long)(until % 1000000000u);
  }
  for (i = 0; i < p->producer_count; ++i) {
    if (pthread_create(&threads[i], NULL, load_producer_main, &producers[i]) != 0) break;
    ++started;
  }
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &warm_up, NULL);
  getrusage(RUSAGE_SELF, &before);
  if (delivering > 0) load_schedstat(delivering, &wait_before, &runs_before);
  sent_before = load_sent(producers, started);
  for (i = 0; i < started; ++i) pthread_join(threads[i], NULL);
  getrusage(RUSAGE_SELF, &after);
  if (delivering > 0) {
    load_schedstat(delivering, &cost->delivery_wait_ns, &cost->delivery_runs);
    cost->delivery_wait_ns -= wait_before;
    cost->delivery_runs -= runs_before;
  }
  cost->cpu_ns = load_rusage_cpu_ns(&after) - load_rusage_cpu_ns(&before);
  cost->voluntary_switches = (double)(after.ru_nvcsw - before.ru_nvcsw);
  cost->events = (double)(load_sent(producers, started) - sent_before);
  cost->preemptions = (double)(after.ru_nivcsw - before.ru_nivcsw);
  return started == p->producer_count ? 0 : -1;
}

/* ---- consuming ---------------------------------------------------------- */

/* Files the latency of one received event (ns, at most ~4.29 s) in its
 * slot; returns 0 for a payload that is not a stamped event. */
static inline int load_file_latency(const load_profile* p, uint32_t* slots, const void* data,
                                    uint32_t len) {
  uint64_t sent;
  int32_t producer;
  uint32_t number;
  uint64_t latency;
  if (len < LOAD_HEADER_BYTES) return 0;
  memcpy(&sent, data, sizeof sent);
  memcpy(&producer, (const char*)data + 8, sizeof producer);
  memcpy(&number, (const char*)data + 12, sizeof number);
  if (producer < 0 || producer >= p->producer_count ||
      (long)number >= p->base[producer + 1] - p->base[producer]) {
    return 0;
  }
  latency = e2e_now_ns() - sent;
  slots[p->base[producer] + number] = latency > 0xffffffffu ? 0xffffffffu : (uint32_t)latency;
  return 1;
}

#endif
