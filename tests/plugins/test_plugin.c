/*
 * The configurable test plugin: every integration test drives the core with
 * copies of this one shared object.
 *
 * Identity. Each copy finds its own file with dladdr() (every copy is a
 * separate dlopen, so each has its own globals) and takes its stem, the file
 * name without ".so": "plugins/a.so" is plugin "a". Its settings come from
 * "<dir>/<stem>.conf", read once on the first call; a missing file means
 * every default. It appends one line per call to "<dir>/../calls.log",
 * shared by every copy in both plugin directories, so one file shows the
 * order of calls across all of them. Each line is written with a single
 * write() on an O_APPEND descriptor, so lines from several threads or copies
 * never interleave.
 *
 * Settings file: one `key=value` per line; lines whose first non-blank
 * character is '#' are comments; unknown keys are ignored; blanks around key
 * and value are trimmed. Numbers go through strtol/strtoul with base 0, so
 * decimal, 0x-hex and negative values all work.
 *
 *   key                  default  meaning
 *   id                   0x10000  _LoadParmsOut.id, and the providerID raised
 *   masks                0        all nine eventMasks
 *   mask0 .. mask8       masks    one eventMasks entry (wins over masks)
 *   worker               0        wantsWorker
 *   reader               0        wantsReader
 *   delivery             0        deliveryOption
 *   loglevel             0        defaultLogLevel
 *   load_result          0        return value of Load
 *   load_error           0        _LoadParmsOut.errorCode
 *   open_result          0        return value of Open
 *   close_result         0        return value of Close
 *   close_error          0        _CloseParmsOut.errorCode
 *   unload_result        0        return value of Unload
 *   unload_error         0        _UnloadParmsOut.errorCode
 *   write_result         0        return value of Write
 *   write_error          0        _WriteParmsOut.errorCode
 *   ioctl_result         0        return value of every IOCTL (1, 2, 4, ...)
 *   ioctl_error          0        _IoctlParmsOut.errorCode of every IOCTL
 *   keep                 0        1: keep the block of every Write and
 *                                 IOCTL 2 that has one (out->keep = 1)
 *   release_kept         keep     1: give kept blocks back with
 *                                 DV_EVENT_RELEASE events, from the worker
 *                                 as soon as they are kept (while it runs),
 *                                 otherwise from Close
 *   log_on_load          (none)   text of a log message raised inside Load
 *   log_level_on_load    50       its level
 *   raise_type           0x2      eventType of raised events, requests and
 *                                 replies
 *   raise_flags          0        their flags
 *   raise_on_open        0        Open raises this many events, payloads
 *                                 "open-0", "open-1", ...
 *   send_on_open         0        Open sends this many blocks to the parent
 *                                 (DV_EVENT_PARENT_SEND), block n of
 *                                 send_size bytes, byte i = (n * 31 + i) & 0xff;
 *                                 logs "Sent n=<n> len=<len> result=<r>"
 *   send_size            16       see send_on_open
 *   send_empty_first     0        1: before its blocks, Open sends one with
 *                                 data NULL and len send_size, logging
 *                                 "Sent null len=<len> result=<r>", then a
 *                                 malloc'ed one of len 0 (logged as n=-1)
 *   echo_requests        0        1: every parent request (IOCTL 4) is sent
 *                                 back to the parent byte for byte
 *   alloc_mb             0        Open allocates and touches this many MiB
 *   alloc_piece_kb       0        ... in pieces of this many KiB, each one
 *                                 followed by a small block kept until
 *                                 Unload, so that freeing the pieces leaves
 *                                 the heap fragmented (0: in one block)
 *   log_caps             0        1: Load and Open log the calling thread's
 *                                 "Caps <call> eff=<hex> prm=<hex> inh=<hex>"
 *                                 as /proc/thread-self/status shows them
 *   video_frames         0        the worker raises this many video frames
 *                                 (DV_EVENT_VIDEO, DV_FLAG_VIDEO), one every
 *                                 video_interval_ms (100), frame n a key
 *                                 frame when n % key_every == 0 (key_every 0:
 *                                 only frame 0); logs "Frame n=<n> key=<k>
 *                                 result=<r>"; at frame free_at_frame (when
 *                                 set) it first frees what Open allocated
 *   raise_payload        (none)   the payload of every raised event instead
 *                                 of the numbered texts (e.g. an XML update)
 *   raise_in_worker      0        the worker raises this many events,
 *                                 payloads "worker-0", "worker-1", ...
 *   request_delay_ms     0        the worker waits this long (or until
 *                                 Close) before raising its requests
 *   request_in_worker    0        the worker then raises this many read
 *                                 requests: providerID 0, context
 *                                 0x1000 + n, payload "request-<n>"
 *   reply_count          0        a read request is answered with this many
 *                                 replies, payload "reply-<n>-<context>"
 *                                 with the context as in the log, e.g.
 *                                 "reply-0-0x1000"
 *   sleep_in_open_ms     0        Open sleeps this long after logging
 *   sleep_in_write_ms    0        Write sleeps this long after logging
 *   sleep_in_read_ms     0        a read request sleeps this long after its
 *                                 replies, then logs "Read done"
 *   worker_end_delay_ms  0        the worker sleeps this long after Close
 *                                 woke it, before "Worker end"
 *   sleep_in_close_ms    0        Close sleeps this long after logging and
 *                                 waking the worker and the reader
 *   log_thread           0        1: end every line with " thread=<kind>"
 *   own_thread           0        1: Load starts a thread of the plugin's
 *                                 own, which logs "Own thread tid=<tid>" and
 *                                 waits for Close; Unload joins it. 2: the
 *                                 same, with every signal blocked in it
 *   late_thread_ms       0        the own thread, this long after it started,
 *                                 starts one more thread (with the own
 *                                 thread's signal mask), which logs "Late
 *                                 thread tid=<tid>" and waits for Close
 *   own_narrow_handler   0        1: Load installs a handler of its own,
 *                                 which does nothing, for SIGRTMIN+3; 2:
 *                                 the own thread installs it just before
 *                                 it starts the late thread
 *   late_unblocks        0        1: the late thread unblocks SIGRTMIN+3
 *   request_in_own_thread 0       the own thread, once the first Write has
 *                                 come, raises this many read requests (as
 *                                 request_in_worker does)
 *   read_waits_close     0        1: a read request, after its replies,
 *                                 waits for Close before it returns
 *   setuid_in_open       0        1: Open tries setuid(0) and setgid(0) and
 *                                 logs "Setuid result=<r> setgid result=<r>"
 *   spawn_on_write       (none)   the first Write runs this command with
 *                                 /bin/sh -c in a child process, waits for
 *                                 it and logs "Spawned status=<exit code>"
 *   run_in_load          (none)   Load runs this command with /bin/sh -c,
 *                                 the plugin's folder as $1, and waits for it
 *   ids_file             (none)   Load writes the calling thread's user IDs
 *                                 (getresuid) to this file as "r e s\n"
 *   crash_in             (none)   the named entry point (Load, Open, Close,
 *                                 Unload, Write, IOCTL, Read) stores through
 *                                 a null pointer after logging its line;
 *                                 "OwnThread": the own thread does, after
 *                                 its first line; "WriteOverflow": Write
 *                                 recurses until its stack runs out
 *   load_size            0        when not 0: Load writes it into the size
 *                                 of _LoadParmsOut, which the core filled
 *   load_version         0        the same for its version
 *   thread_after_close   0        1: Open starts a detached thread named
 *                                 "tp-stray" that nothing ever ends
 *   fork_in_open         0        1: Open forks a child process that waits
 *                                 until the core has ended, and logs
 *                                 "Forked pid=<pid>"
 *
 * The copy built with DV_TEST_NO_WRITE_IOCTL exports neither Write nor
 * IOCTL (they are there, hidden), so the core delivers nothing to it and
 * gives it no worker and no parent request.
 *
 * Raised events carry providerID = id (requests: 0) and their payload text
 * without a terminating NUL, so len is the text length. Log messages are
 * the exception: len = strlen + 1.
 *
 * The worker (IOCTL 1) logs its start, raises its events, waits out the
 * request delay, raises its requests, then gives kept blocks back as they
 * come until Close has been called, and returns. The reader (Read with no
 * context and no payload) just waits for Close. Both wait on a condition
 * variable, so Close ends them at once.
 *
 * Write and IOCTL 2 log their line before the block goes on the kept list,
 * and never touch the block afterwards: its release line always follows.
 *
 * calls.log lines, "<stem> " followed by one of:
 *
 *   Load
 *   Open
 *   Close
 *   Unload
 *   Seek
 *   Write type=0x<t> provider=0x<p> len=<n> keep=<0|1>[ data=<text>]
 *   IOCTL <request> len=<n>[ data=<text>]     requests other than 1
 *   Worker start                              IOCTL 1 entered
 *   Worker end                                IOCTL 1 returning
 *   Reader start                              Read, no context and no data
 *   Reader end
 *   Read len=<n> context=0x<c>[ data=<text>]  a read request
 *   Read done context=0x<c>                    the read request returns
 *   Raised type=0x<t> result=<r>              an event raised by Load, Open,
 *                                             the worker, or a release of a
 *                                             kept block (type=0x200)
 *   Request type=0x<t> context=0x<c> result=<r>   a read request raised
 *   Reply result=<r> context=0x<c>            a reply raised by Read
 *   Own thread tid=<tid>                      the own thread has started
 *   Setuid result=<n> setgid result=<n>       Open tried to regain root:
 *                                             the calls' return values
 *   Spawned status=<s>                        the spawned command ended
 *   Forked pid=<pid>                          Open forked its child
 *
 * Numbers after "0x" are lower-case hex; other numbers are decimal. " data="
 * appears only when the payload is printable ASCII (one trailing NUL is
 * allowed and not shown) and shows at most its first 64 characters. <r> is
 * _EventParmsOut.result, or "none" when no callback was received (the copy
 * built without Load). With log_thread=1 every line ends in " thread=" and
 * one of: main (the thread of the first call, which is Load's), worker,
 * reader, request (inside a read request), or other.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plugin_api/helpers.h"

#define TP_PATH_MAX 4096
#define TP_NAME_MAX 256
#define TP_TEXT_MAX 256
#define TP_LINE_MAX 1024
#define TP_DATA_SHOWN 64
#define TP_REQUEST_CONTEXT_BASE 0x1000u

/* ---- Settings ----------------------------------------------------------- */

typedef struct Config {
  uint32_t id;
  uint32_t allMasks;
  uint32_t masks[DV_MASK_COUNT];
  uint32_t maskGiven; /* bit i: "mask<i>" was set on its own */
  long worker, reader, delivery, loglevel;
  long loadResult, loadError, openResult, closeResult, closeError;
  long unloadResult, unloadError, writeResult, writeError;
  long ioctlResult, ioctlError;
  long keep, releaseKept; /* releaseKept < 0: not given, follows keep */
  char logOnLoad[TP_TEXT_MAX];
  char raisePayload[TP_TEXT_MAX];
  long logLevelOnLoad;
  uint32_t raiseType, raiseFlags;
  long raiseOnOpen, raiseInWorker, requestInWorker, requestDelayMs;
  long replyCount;
  long sleepInOpenMs, sleepInWriteMs, sleepInCloseMs, sleepInReadMs, workerEndDelayMs;
  long sendOnOpen, sendSize, sendEmptyFirst, echoRequests;
  long allocMb, allocPieceKb, videoFrames, videoIntervalMs, keyEvery, freeAtFrame;
  long logCaps;
  long logThread;
  long ownThread, requestInOwnThread, readWaitsClose, setuidInOpen;
  long lateThreadMs, ownNarrowHandler, lateUnblocks;
  long loadSize, loadVersion, threadAfterClose, forkInOpen;
  char spawnOnWrite[TP_TEXT_MAX];
  char runInLoad[TP_TEXT_MAX];
  char idsFile[TP_TEXT_MAX];
  char crashIn[TP_TEXT_MAX];
} Config;

typedef enum KeyKind { KEY_LONG, KEY_U32, KEY_TEXT, KEY_MASK } KeyKind;

typedef struct Key {
  const char* name;
  KeyKind kind;
  size_t offset; /* of the field in Config; unused for KEY_MASK */
  int index;     /* KEY_MASK: which eventMasks entry */
} Key;

#define LONG_KEY(name, field) {name, KEY_LONG, offsetof(Config, field), 0}
#define U32_KEY(name, field) {name, KEY_U32, offsetof(Config, field), 0}
#define MASK_KEY(i) {"mask" #i, KEY_MASK, 0, i}

static const Key kKeys[] = {
    U32_KEY("id", id),
    U32_KEY("masks", allMasks),
    MASK_KEY(0), MASK_KEY(1), MASK_KEY(2), MASK_KEY(3), MASK_KEY(4),
    MASK_KEY(5), MASK_KEY(6), MASK_KEY(7), MASK_KEY(8),
    LONG_KEY("worker", worker),
    LONG_KEY("reader", reader),
    LONG_KEY("delivery", delivery),
    LONG_KEY("loglevel", loglevel),
    LONG_KEY("load_result", loadResult),
    LONG_KEY("load_error", loadError),
    LONG_KEY("open_result", openResult),
    LONG_KEY("close_result", closeResult),
    LONG_KEY("close_error", closeError),
    LONG_KEY("unload_result", unloadResult),
    LONG_KEY("unload_error", unloadError),
    LONG_KEY("write_result", writeResult),
    LONG_KEY("write_error", writeError),
    LONG_KEY("ioctl_result", ioctlResult),
    LONG_KEY("ioctl_error", ioctlError),
    LONG_KEY("keep", keep),
    LONG_KEY("release_kept", releaseKept),
    {"log_on_load", KEY_TEXT, offsetof(Config, logOnLoad), 0},
    {"raise_payload", KEY_TEXT, offsetof(Config, raisePayload), 0},
    LONG_KEY("log_level_on_load", logLevelOnLoad),
    U32_KEY("raise_type", raiseType),
    U32_KEY("raise_flags", raiseFlags),
    LONG_KEY("raise_on_open", raiseOnOpen),
    LONG_KEY("raise_in_worker", raiseInWorker),
    LONG_KEY("request_in_worker", requestInWorker),
    LONG_KEY("request_delay_ms", requestDelayMs),
    LONG_KEY("reply_count", replyCount),
    LONG_KEY("sleep_in_open_ms", sleepInOpenMs),
    LONG_KEY("sleep_in_write_ms", sleepInWriteMs),
    LONG_KEY("sleep_in_read_ms", sleepInReadMs),
    LONG_KEY("send_on_open", sendOnOpen),
    LONG_KEY("send_size", sendSize),
    LONG_KEY("send_empty_first", sendEmptyFirst),
    LONG_KEY("echo_requests", echoRequests),
    LONG_KEY("alloc_mb", allocMb),
    LONG_KEY("alloc_piece_kb", allocPieceKb),
    LONG_KEY("log_caps", logCaps),
    LONG_KEY("video_frames", videoFrames),
    LONG_KEY("video_interval_ms", videoIntervalMs),
    LONG_KEY("key_every", keyEvery),
    LONG_KEY("free_at_frame", freeAtFrame),
    LONG_KEY("sleep_in_close_ms", sleepInCloseMs),
    LONG_KEY("worker_end_delay_ms", workerEndDelayMs),
    LONG_KEY("log_thread", logThread),
    LONG_KEY("own_thread", ownThread),
    LONG_KEY("request_in_own_thread", requestInOwnThread),
    LONG_KEY("late_thread_ms", lateThreadMs),
    LONG_KEY("own_narrow_handler", ownNarrowHandler),
    LONG_KEY("late_unblocks", lateUnblocks),
    LONG_KEY("read_waits_close", readWaitsClose),
    LONG_KEY("setuid_in_open", setuidInOpen),
    {"spawn_on_write", KEY_TEXT, offsetof(Config, spawnOnWrite), 0},
    {"run_in_load", KEY_TEXT, offsetof(Config, runInLoad), 0},
    {"ids_file", KEY_TEXT, offsetof(Config, idsFile), 0},
    {"crash_in", KEY_TEXT, offsetof(Config, crashIn), 0},
    LONG_KEY("load_size", loadSize),
    LONG_KEY("load_version", loadVersion),
    LONG_KEY("thread_after_close", threadAfterClose),
    LONG_KEY("fork_in_open", forkInOpen),
};

/* Written once under g_once, read-only afterwards. */
static Config g_config;
static char g_dir[TP_PATH_MAX];
static char g_stem[TP_NAME_MAX];
static pthread_t g_mainThread;
static pthread_key_t g_threadKind; /* a static string, or null */
static pthread_once_t g_once = PTHREAD_ONCE_INIT;

static void set_defaults(Config* c) {
  memset(c, 0, sizeof *c);
  c->id = 0x10000u;
  c->releaseKept = -1;
  c->logLevelOnLoad = 50;
  c->raiseType = DV_EVENT_CLASS1;
}

static void finish_config(Config* c) {
  int i;
  for (i = 0; i < DV_MASK_COUNT; ++i) {
    if ((c->maskGiven & (1u << i)) == 0) c->masks[i] = c->allMasks;
  }
  if (c->releaseKept < 0) c->releaseKept = c->keep != 0;
}

static const Key* find_key(const char* name) {
  size_t i;
  for (i = 0; i < sizeof kKeys / sizeof kKeys[0]; ++i) {
    if (strcmp(kKeys[i].name, name) == 0) return &kKeys[i];
  }
  return NULL;
}

static void apply_value(Config* c, const Key* key, const char* value) {
  char* field = (char*)c + key->offset;
  switch (key->kind) {
    case KEY_LONG:
      *(long*)(void*)field = strtol(value, NULL, 0);
      break;
    case KEY_U32:
      *(uint32_t*)(void*)field = (uint32_t)strtoul(value, NULL, 0);
      break;
    case KEY_TEXT:
      snprintf(field, TP_TEXT_MAX, "%s", value);
      break;
    case KEY_MASK:
      c->masks[key->index] = (uint32_t)strtoul(value, NULL, 0);
      c->maskGiven |= 1u << key->index;
      break;
  }
}

static char* skip_blanks(char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  return s;
}

static void trim_end(char* s) {
  size_t n = strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' ||
                   s[n - 1] == '\n')) {
    s[--n] = '\0';
  }
}

static void parse_line(Config* c, char* line) {
  char* key = skip_blanks(line);
  char* eq = strchr(key, '=');
  const Key* known;
  if (*key == '#' || eq == NULL) return;
  *eq = '\0';
  trim_end(key);
  trim_end(eq + 1);
  known = find_key(key);
  if (known != NULL) apply_value(c, known, skip_blanks(eq + 1));
}

static void read_config(Config* c, const char* path) {
  char line[TP_LINE_MAX];
  FILE* file = fopen(path, "r");
  if (file == NULL) return;
  while (fgets(line, sizeof line, file) != NULL) parse_line(c, line);
  fclose(file);
}

/* ---- Where this copy lives ---------------------------------------------- */

static void strip_suffix(char* name, const char* suffix) {
  size_t n = strlen(name), k = strlen(suffix);
  if (n > k && strcmp(name + n - k, suffix) == 0) name[n - k] = '\0';
}

/* The path the core opened this copy under; any address inside it works. */
static const char* own_file(void) {
  Dl_info info;
  if (dladdr((void*)&g_config, &info) != 0 && info.dli_fname != NULL) {
    return info.dli_fname;
  }
  return "unknown.so";
}

static void locate_self(void) {
  const char* file = own_file();
  const char* slash = strrchr(file, '/');
  if (slash == NULL) {
    snprintf(g_dir, sizeof g_dir, ".");
    snprintf(g_stem, sizeof g_stem, "%s", file);
  } else {
    snprintf(g_dir, sizeof g_dir, "%.*s", (int)(slash - file), file);
    snprintf(g_stem, sizeof g_stem, "%s", slash + 1);
  }
  strip_suffix(g_stem, ".so");
}

static void init_once(void) {
  char path[TP_PATH_MAX + TP_NAME_MAX + 8];
  g_mainThread = pthread_self();
  pthread_key_create(&g_threadKind, NULL);
  locate_self();
  set_defaults(&g_config);
  snprintf(path, sizeof path, "%s/%s.conf", g_dir, g_stem);
  read_config(&g_config, path);
  finish_config(&g_config);
}

static void tp_init(void) { pthread_once(&g_once, init_once); }

/* ---- The call log ------------------------------------------------------- */

static void set_thread_kind(const char* kind) {
  pthread_setspecific(g_threadKind, kind);
}

static const char* thread_kind(void) {
  const char* kind = (const char*)pthread_getspecific(g_threadKind);
  if (kind != NULL) return kind;
  return pthread_equal(pthread_self(), g_mainThread) ? "main" : "other";
}

/* Appends to buf (capacity cap, *len used), never past cap - 2, so that
 * room for the newline is always left. */
static void append_v(char* buf, size_t cap, size_t* len, const char* fmt,
                     va_list args) {
  int n = vsnprintf(buf + *len, cap - 1 - *len, fmt, args);
  if (n > 0) *len += (size_t)n;
  if (*len > cap - 2) *len = cap - 2;
}

static void append(char* buf, size_t cap, size_t* len, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  append_v(buf, cap, len, fmt, args);
  va_end(args);
}

static void write_log(const char* line, size_t len) {
  char path[TP_PATH_MAX + 16];
  ssize_t written;
  int fd;
  snprintf(path, sizeof path, "%s/../calls.log", g_dir);
  fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  written = write(fd, line, len); /* one write: the line stays whole */
  (void)written;
  close(fd);
}

static void log_line(const char* fmt, ...) {
  char line[TP_LINE_MAX];
  size_t len = 0;
  va_list args;
  append(line, sizeof line, &len, "%s ", g_stem);
  va_start(args, fmt);
  append_v(line, sizeof line, &len, fmt, args);
  va_end(args);
  if (g_config.logThread) append(line, sizeof line, &len, " thread=%s", thread_kind());
  line[len++] = '\n';
  write_log(line, len);
}

/* Length of the text to show, or -1 when the payload is not printable
 * ASCII. A single trailing NUL is allowed and not counted. */
static long printable_length(const unsigned char* data, uint32_t len) {
  uint32_t i;
  if (len > 0 && data[len - 1] == '\0') --len;
  if (len == 0) return -1;
  for (i = 0; i < len; ++i) {
    if (data[i] < 0x20 || data[i] > 0x7e) return -1;
  }
  return (long)len;
}

/* " data=<text>" for a printable payload, else an empty string. */
static void format_data(char* out, size_t cap, const void* data, uint32_t len) {
  long shown = data != NULL ? printable_length((const unsigned char*)data, len) : -1;
  out[0] = '\0';
  if (shown < 0) return;
  if (shown > TP_DATA_SHOWN) shown = TP_DATA_SHOWN;
  snprintf(out, cap, " data=%.*s", (int)shown, (const char*)data);
}

static void sleep_ms(long ms) {
  struct timespec left;
  if (ms <= 0) return;
  left.tv_sec = ms / 1000;
  left.tv_nsec = (ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0) {
  }
}

/* ---- Shared state ------------------------------------------------------- */

/* Guards everything in g_state. Never held while the core is called. */
static struct {
  pthread_mutex_t mu;
  pthread_cond_t changed; /* Close was called, a block was kept, a Write came */
  int closed;
  int written;
  PluginEventCallbackFn callback;
  void** kept;
  size_t keptCount, keptCap;
} g_state = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, NULL, NULL, 0, 0};

/* A batch of kept blocks taken out of g_state to be given back. */
typedef struct Kept {
  void** blocks;
  size_t count;
} Kept;

static PluginEventCallbackFn get_callback(void) {
  PluginEventCallbackFn callback;
  pthread_mutex_lock(&g_state.mu);
  callback = g_state.callback;
  pthread_mutex_unlock(&g_state.mu);
  return callback;
}

/* Caller holds g_state.mu. Returns 0 when there is no memory for it. */
static int push_kept_locked(void* block) {
  if (g_state.keptCount == g_state.keptCap) {
    size_t cap = g_state.keptCap ? g_state.keptCap * 2 : 16;
    void** grown = (void**)realloc(g_state.kept, cap * sizeof *grown);
    if (grown == NULL) return 0;
    g_state.kept = grown;
    g_state.keptCap = cap;
  }
  g_state.kept[g_state.keptCount++] = block;
  return 1;
}

static int wants_to_keep(const void* block) { return g_config.keep && block != NULL; }

/* Puts the block on the kept list, from where the worker may give it back
 * at once: the caller must be done reading it. Returns the value for
 * out->keep, 0 only when the list cannot grow. */
static uint32_t keep_block(void* block) {
  int kept;
  pthread_mutex_lock(&g_state.mu);
  kept = push_kept_locked(block);
  pthread_cond_broadcast(&g_state.changed);
  pthread_mutex_unlock(&g_state.mu);
  return (uint32_t)kept;
}

/* Caller holds g_state.mu. */
static Kept take_kept_locked(void) {
  Kept batch;
  batch.blocks = g_state.kept;
  batch.count = g_state.keptCount;
  g_state.kept = NULL;
  g_state.keptCount = g_state.keptCap = 0;
  return batch;
}

static void mark_closed(void) {
  pthread_mutex_lock(&g_state.mu);
  g_state.closed = 1;
  pthread_cond_broadcast(&g_state.changed);
  pthread_mutex_unlock(&g_state.mu);
}

static void mark_written(void) {
  pthread_mutex_lock(&g_state.mu);
  g_state.written = 1;
  pthread_cond_broadcast(&g_state.changed);
  pthread_mutex_unlock(&g_state.mu);
}

static void wait_closed(void) {
  pthread_mutex_lock(&g_state.mu);
  while (!g_state.closed) pthread_cond_wait(&g_state.changed, &g_state.mu);
  pthread_mutex_unlock(&g_state.mu);
}

/* Waits up to ms or until Close; returns non-zero once Close was called.
 * The wall clock is good enough for the short delays of a test. */
static int wait_closed_for(long ms) {
  struct timespec until;
  int closed;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += (ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&g_state.mu);
  while (!g_state.closed &&
         pthread_cond_timedwait(&g_state.changed, &g_state.mu, &until) == 0) {
  }
  closed = g_state.closed;
  pthread_mutex_unlock(&g_state.mu);
  return closed;
}

/* The worker's wait: until Close, or until there are kept blocks to give
 * back. Hands those over in *batch; returns non-zero once Close was called. */
static int wait_closed_or_kept(Kept* batch) {
  int closed;
  const int releasing = g_config.releaseKept != 0;
  pthread_mutex_lock(&g_state.mu);
  while (!g_state.closed && !(releasing && g_state.keptCount > 0)) {
    pthread_cond_wait(&g_state.changed, &g_state.mu);
  }
  closed = g_state.closed;
  batch->count = 0;
  batch->blocks = NULL;
  if (releasing) *batch = take_kept_locked();
  pthread_mutex_unlock(&g_state.mu);
  return closed;
}

/* ---- Raising events ----------------------------------------------------- */

#define TP_NO_CALLBACK INT32_MIN

/* Returns the core's result, or TP_NO_CALLBACK. */
static int32_t event_send(_EventParmsIn* in) {
  PluginEventCallbackFn callback = get_callback();
  if (callback == NULL) return TP_NO_CALLBACK;
  return dv_raise(callback, in);
}

static void format_result(char* out, size_t cap, int32_t result) {
  if (result == TP_NO_CALLBACK) {
    snprintf(out, cap, "none");
  } else {
    snprintf(out, cap, "%d", (int)result);
  }
}

static void set_text(_EventParmsIn* in, char* text) {
  dv_event_payload(in, text, (uint32_t)strlen(text));
}

static void log_raised(uint32_t type, int32_t result) {
  char shown[16];
  format_result(shown, sizeof shown, result);
  log_line("Raised type=0x%x result=%s", (unsigned)type, shown);
}

/* An event from this plugin with the payload "<prefix>-<n>". */
static void raise_numbered(const char* prefix, long n) {
  char text[64];
  _EventParmsIn in;
  dv_event_init(&in, g_config.id, g_config.raiseType, g_config.raiseFlags);
  snprintf(text, sizeof text, "%s-%ld", prefix, n);
  set_text(&in, g_config.raisePayload[0] != '\0' ? g_config.raisePayload : text);
  log_raised(in.eventType, event_send(&in));
}

/* A malloc'ed block to the parent; ownership passes to the core. */
static void send_to_parent(const void* bytes, uint32_t len, long n) {
  _EventParmsIn in;
  char shown[16];
  dv_event_init(&in, g_config.id, DV_EVENT_PARENT_SEND, 0);
  in.data = malloc(len ? len : 1);
  if (in.data != NULL && len != 0) memcpy(in.data, bytes, len);
  in.len = len;
  {
    const int32_t result = event_send(&in);
    if (result == TP_NO_CALLBACK) free(in.data);
    format_result(shown, sizeof shown, result);
  }
  log_line("Sent n=%ld len=%u result=%s", n, (unsigned)len, shown);
}

/* The two blocks that carry nothing to send: no bytes for a length, and a
 * length of 0. */
static void send_empty_blocks(void) {
  _EventParmsIn in;
  char shown[16];
  dv_event_init(&in, g_config.id, DV_EVENT_PARENT_SEND, 0);
  in.len = (uint32_t)(g_config.sendSize > 0 ? g_config.sendSize : 16);
  format_result(shown, sizeof shown, event_send(&in));
  log_line("Sent null len=%u result=%s", (unsigned)in.len, shown);
  send_to_parent("", 0, -1);
}

static void send_pattern_blocks(long count) {
  long n;
  uint32_t i;
  const uint32_t len = (uint32_t)(g_config.sendSize > 0 ? g_config.sendSize : 16);
  unsigned char* bytes = malloc(len);
  if (bytes == NULL) return;
  for (n = 0; n < count; ++n) {
    for (i = 0; i < len; ++i) bytes[i] = (unsigned char)((n * 31 + i) & 0xff);
    send_to_parent(bytes, len, n);
  }
  free(bytes);
}

static void raise_series(const char* prefix, long count) {
  long n;
  for (n = 0; n < count; ++n) raise_numbered(prefix, n);
}

static void release_block(void* block) {
  _EventParmsIn in;
  dv_event_init(&in, g_config.id, DV_EVENT_RELEASE, 0);
  in.data = block;
  log_raised(in.eventType, event_send(&in));
}

static void release_batch(Kept* batch) {
  size_t i;
  for (i = 0; i < batch->count; ++i) release_block(batch->blocks[i]);
  free(batch->blocks);
}

static void release_all_kept(void) {
  Kept batch;
  pthread_mutex_lock(&g_state.mu);
  batch = take_kept_locked();
  pthread_mutex_unlock(&g_state.mu);
  release_batch(&batch);
}

/* Drops the list itself; blocks still on it stay with the core as leaks. */
static void forget_kept(void) {
  Kept batch;
  pthread_mutex_lock(&g_state.mu);
  batch = take_kept_locked();
  pthread_mutex_unlock(&g_state.mu);
  free(batch.blocks);
}

static void raise_request(long n) {
  char text[64], shown[16];
  _EventParmsIn in;
  dv_event_init(&in, 0, g_config.raiseType, g_config.raiseFlags);
  in.context = (void*)(uintptr_t)(TP_REQUEST_CONTEXT_BASE + (uintptr_t)n);
  snprintf(text, sizeof text, "request-%ld", n);
  set_text(&in, text);
  format_result(shown, sizeof shown, event_send(&in));
  log_line("Request type=0x%x context=0x%" PRIxPTR " result=%s",
           (unsigned)in.eventType, (uintptr_t)in.context, shown);
}

static void raise_reply(void* context, long n) {
  char text[64], shown[16];
  _EventParmsIn in;
  dv_event_init(&in, g_config.id, g_config.raiseType, g_config.raiseFlags);
  in.context = context;
  snprintf(text, sizeof text, "reply-%ld-0x%" PRIxPTR, n, (uintptr_t)context);
  set_text(&in, text);
  format_result(shown, sizeof shown, event_send(&in));
  log_line("Reply result=%s context=0x%" PRIxPTR, shown, (uintptr_t)context);
}

/* ---- Worker and reader -------------------------------------------------- */

static void raise_requests(void) {
  long n;
  if (g_config.requestInWorker <= 0) return;
  if (g_config.requestDelayMs > 0 && wait_closed_for(g_config.requestDelayMs)) return;
  for (n = 0; n < g_config.requestInWorker; ++n) raise_request(n);
}

/* Gives kept blocks back as they come, until Close. */
static void worker_wait(void) {
  Kept batch;
  int closed;
  do {
    closed = wait_closed_or_kept(&batch);
    release_batch(&batch);
  } while (!closed);
}

/* Copies the hex value of one "Cap...:" line of the thread's status. */
static void read_cap(const char* key, char* out, size_t cap) {
  char line[256];
  FILE* status = fopen("/proc/thread-self/status", "r");
  snprintf(out, cap, "?");
  if (status == NULL) return;
  while (fgets(line, sizeof line, status) != NULL) {
    if (strncmp(line, key, strlen(key)) == 0) {
      sscanf(line + strlen(key), "%31s", out);
      break;
    }
  }
  fclose(status);
}

static void log_caps(const char* call) {
  char eff[32], prm[32], inh[32];
  if (!g_config.logCaps) return;
  read_cap("CapEff:", eff, sizeof eff);
  read_cap("CapPrm:", prm, sizeof prm);
  read_cap("CapInh:", inh, sizeof inh);
  log_line("Caps %s eff=%s prm=%s inh=%s", call, eff, prm, inh);
}

/* Open's allocation in pieces, freed by the worker, and the small blocks
 * between them, freed by Unload. */
static void** g_pieces;
static void** g_spacers;
static size_t g_pieceCount;

static void allocate_memory(void) {
  const size_t total = (size_t)g_config.allocMb * 1024 * 1024;
  const size_t piece = g_config.allocPieceKb > 0 ? (size_t)g_config.allocPieceKb * 1024 : total;
  size_t i;
  int ok = 1;
  if (total == 0) return;
  g_pieceCount = total / piece;
  g_pieces = calloc(g_pieceCount, sizeof *g_pieces);
  g_spacers = calloc(g_pieceCount, sizeof *g_spacers);
  for (i = 0; g_pieces != NULL && g_spacers != NULL && i < g_pieceCount; ++i) {
    g_pieces[i] = malloc(piece);
    if (g_pieces[i] != NULL) memset(g_pieces[i], 0x5a, piece); /* resident, not just reserved */
    if (g_config.allocPieceKb > 0) g_spacers[i] = malloc(32);
    ok = ok && g_pieces[i] != NULL;
  }
  log_line("Allocated mb=%ld ok=%d", g_config.allocMb, ok && g_pieces != NULL && g_spacers != NULL);
}

static void free_pieces(void) {
  size_t i;
  if (g_pieces == NULL) return;
  for (i = 0; i < g_pieceCount; ++i) free(g_pieces[i]);
  free(g_pieces);
  g_pieces = NULL;
}

static void free_spacers(void) {
  size_t i;
  if (g_spacers == NULL) return;
  for (i = 0; i < g_pieceCount; ++i) free(g_spacers[i]);
  free(g_spacers);
  g_spacers = NULL;
}

static void raise_frame(long n) {
  _EventParmsIn in;
  char shown[16];
  const long every = g_config.keyEvery;
  dv_event_init(&in, g_config.id, DV_EVENT_VIDEO, DV_FLAG_VIDEO);
  in.keyFrame = (uint8_t)(every > 0 ? n % every == 0 : n == 0);
  format_result(shown, sizeof shown, event_send(&in));
  log_line("Frame n=%ld key=%d result=%s", n, (int)in.keyFrame, shown);
}

static void raise_frames(void) {
  long n;
  const long interval = g_config.videoIntervalMs > 0 ? g_config.videoIntervalMs : 100;
  for (n = 0; n < g_config.videoFrames; ++n) {
    if (n == g_config.freeAtFrame && g_pieces != NULL) {
      free_pieces();
      log_line("Freed");
    }
    raise_frame(n);
    if (wait_closed_for(interval)) break;
  }
}

static void run_worker(void) {
  set_thread_kind("worker");
  log_line("Worker start");
  raise_series("worker", g_config.raiseInWorker);
  raise_frames();
  raise_requests();
  worker_wait();
  sleep_ms(g_config.workerEndDelayMs);
  log_line("Worker end");
  set_thread_kind(NULL);
}

static void run_reader(void) {
  set_thread_kind("reader");
  log_line("Reader start");
  wait_closed();
  log_line("Reader end");
  set_thread_kind(NULL);
}

static void run_read_request(const _ReadParmsIn* in) {
  char data[TP_DATA_SHOWN + 16];
  long n;
  set_thread_kind("request");
  format_data(data, sizeof data, in->data, in->len);
  log_line("Read len=%u context=0x%" PRIxPTR "%s", (unsigned)in->len,
           (uintptr_t)in->context, data);
  for (n = 0; n < g_config.replyCount; ++n) raise_reply(in->context, n);
  sleep_ms(g_config.sleepInReadMs);
  if (g_config.readWaitsClose) wait_closed();
  log_line("Read done context=0x%" PRIxPTR, (uintptr_t)in->context);
  set_thread_kind(NULL);
}

/* ---- Powers a plugin may try ------------------------------------------- */

static pthread_t g_ownThread;
static int g_ownThreadRunning; /* Load and Unload: main thread only */

static void join_own_thread(void) {
  if (!g_ownThreadRunning) return;
  mark_closed();
  pthread_join(g_ownThread, NULL);
  g_ownThreadRunning = 0;
}

static void try_regain_root(void) {
  int uid, gid;
  if (!g_config.setuidInOpen) return;
  uid = setuid(0);
  gid = setgid(0);
  log_line("Setuid result=%d setgid result=%d", uid, gid);
}

static int g_spawned; /* Write: main thread only */

static void spawn_once(void) {
  pid_t child;
  int status = -1;
  if (g_config.spawnOnWrite[0] == '\0' || g_spawned) return;
  g_spawned = 1;
  child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", g_config.spawnOnWrite, (char*)NULL);
    _exit(127);
  }
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    status = WEXITSTATUS(status);
  } else {
    status = -1;
  }
  log_line("Spawned status=%d", status);
}

#ifndef DV_TEST_NO_LOAD
/* Load: what a plugin may do to the files around it before the core runs. */
static void run_in_load(void) {
  pid_t child;
  int status;
  if (g_config.runInLoad[0] == '\0') return;
  child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", g_config.runInLoad, "sh", g_dir, (char*)NULL);
    _exit(127);
  }
  if (child > 0) waitpid(child, &status, 0);
}
#endif

/* A thread that outlives the plugin: it blocks in read() on a pipe nobody
 * writes to, which signal handlers installed with SA_RESTART (the core's)
 * resume, so it never returns into the plugin's code once that is gone. */
static void* run_stray_thread(void* arg) {
  int* ends = (int*)arg;
  char byte;
  prctl(PR_SET_NAME, "tp-stray", 0, 0, 0);
  while (read(ends[0], &byte, 1) < 0) {
  }
  return NULL;
}

static void start_stray_thread(void) {
  static int ends[2];
  pthread_t thread;
  if (!g_config.threadAfterClose || pipe(ends) != 0) return;
  if (pthread_create(&thread, NULL, run_stray_thread, ends) == 0) pthread_detach(thread);
}

/* A child process that keeps the sets Open ran with. It waits on a pipe
 * whose write end only the core holds (close-on-exec, so no program the
 * core starts holds it too), and ends once the core has. */
static void fork_child(void) {
  int ends[2];
  pid_t child;
  char byte;
  if (!g_config.forkInOpen || pipe2(ends, O_CLOEXEC) != 0) return;
  child = fork();
  if (child == 0) {
    close(ends[1]);
    while (read(ends[0], &byte, 1) < 0) {
    }
    _exit(0);
  }
  close(ends[0]);
  log_line("Forked pid=%d", (int)child);
}

/* ---- Entry points ------------------------------------------------------- */

/* Hidden in the copy built with DV_TEST_NO_WRITE_IOCTL: the core finds
 * neither name, and nothing here goes unused. */
#ifdef DV_TEST_NO_WRITE_IOCTL
#define TP_WRITE_IOCTL_EXPORT __attribute__((visibility("hidden")))
#else
#define TP_WRITE_IOCTL_EXPORT DV_EXPORT
#endif

/* The address comes from a volatile, so the compiler cannot see the null
 * store and turn it into a trap instruction: the fault stays a SIGSEGV. */
static volatile uintptr_t g_nowhere;

static void crash_if(const char* entry) {
  if (strcmp(g_config.crashIn, entry) == 0) *(volatile int*)g_nowhere = 1;
}

/* Each frame keeps a volatile kilobyte alive across the call, so the
 * recursion is neither a loop nor a tail call: it ends in a fault on the
 * stack's guard (the volatile test, never true, only keeps the compiler
 * from calling it endless). */
static int overflow_stack(int depth) {
  volatile char frame[1024];
  if (g_nowhere != 0) return 0;
  frame[0] = (char)depth;
  return overflow_stack(depth + 1) + frame[0];
}

/* Load and its helpers: absent from the copy built with DV_TEST_NO_LOAD,
 * which exports every other entry point. */
#ifndef DV_TEST_NO_LOAD
/* Waits until the first Write or Close; returns non-zero once Close was
 * called. */
static int wait_written(void) {
  int closed;
  pthread_mutex_lock(&g_state.mu);
  while (!g_state.closed && !g_state.written) pthread_cond_wait(&g_state.changed, &g_state.mu);
  closed = g_state.closed;
  pthread_mutex_unlock(&g_state.mu);
  return closed;
}

static void on_narrow_signal(int signal) { (void)signal; }

static void install_narrow_handler(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_narrow_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGRTMIN + 3, &action, NULL);
}

static void* run_late_thread(void* arg) {
  sigset_t narrow;
  (void)arg;
  if (g_config.lateUnblocks) {
    sigemptyset(&narrow);
    sigaddset(&narrow, SIGRTMIN + 3);
    pthread_sigmask(SIG_UNBLOCK, &narrow, NULL);
  }
  log_line("Late thread tid=%ld", (long)syscall(SYS_gettid));
  wait_closed();
  return NULL;
}

static void* run_own_thread(void* arg) {
  long n;
  pthread_t late;
  int lateRunning = 0;
  (void)arg;
  log_line("Own thread tid=%ld", (long)syscall(SYS_gettid));
  crash_if("OwnThread");
  if (g_config.lateThreadMs > 0) {
    sleep_ms(g_config.lateThreadMs);
    if (g_config.ownNarrowHandler == 2) install_narrow_handler();
    lateRunning = pthread_create(&late, NULL, run_late_thread, NULL) == 0;
  }
  if (g_config.requestInOwnThread > 0 && !wait_written()) {
    for (n = 0; n < g_config.requestInOwnThread; ++n) raise_request(n);
  }
  wait_closed();
  if (lateRunning) pthread_join(late, NULL);
  return NULL;
}

/* A plugin that takes the core's narrowing signal for itself. */
static void install_own_narrow_handler(void) {
  if (g_config.ownNarrowHandler == 1) install_narrow_handler();
}

/* With own_thread=2 the thread starts with every signal blocked. */
static void start_own_thread(void) {
  sigset_t all, before;
  if (!g_config.ownThread || g_ownThreadRunning) return;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, g_config.ownThread == 2 ? &all : NULL, &before);
  g_ownThreadRunning = pthread_create(&g_ownThread, NULL, run_own_thread, NULL) == 0;
  pthread_sigmask(SIG_SETMASK, &before, NULL);
}

static void set_callback(PluginEventCallbackFn callback) {
  pthread_mutex_lock(&g_state.mu);
  g_state.callback = callback;
  pthread_mutex_unlock(&g_state.mu);
}

static void raise_log_message(const char* text, int32_t level) {
  _EventParmsIn in;
  dv_event_init(&in, g_config.id, DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE);
  in.level = level;
  dv_event_payload(&in, text, (uint32_t)strlen(text) + 1);
  log_raised(in.eventType, event_send(&in));
}

static void fill_load_out(_LoadParmsOut* out) {
  int i;
  out->id = g_config.id;
  for (i = 0; i < DV_MASK_COUNT; ++i) out->eventMasks[i] = g_config.masks[i];
  out->wantsWorker = g_config.worker != 0;
  out->wantsReader = g_config.reader != 0;
  out->deliveryOption = g_config.delivery != 0;
  out->errorCode = (int32_t)g_config.loadError;
  out->defaultLogLevel = (int32_t)g_config.loglevel;
  if (g_config.loadSize != 0) out->size = (uint32_t)g_config.loadSize;
  if (g_config.loadVersion != 0) out->version = (uint32_t)g_config.loadVersion;
}

/* Whose powers Load runs with, for tools that load plugins. */
static void write_ids(void) {
  uid_t r, e, s;
  FILE* f;
  if (g_config.idsFile[0] == '\0' || getresuid(&r, &e, &s) != 0) return;
  f = fopen(g_config.idsFile, "w");
  if (f == NULL) return;
  fprintf(f, "%u %u %u\n", (unsigned)r, (unsigned)e, (unsigned)s);
  fclose(f);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  const _LoadParmsIn* li = (const _LoadParmsIn*)in;
  tp_init();
  log_line("Load");
  crash_if("Load");
  run_in_load();
  write_ids();
  log_caps("load");
  set_callback(li->PluginEventCallback);
  fill_load_out((_LoadParmsOut*)out);
  start_own_thread();
  install_own_narrow_handler();
  if (g_config.logOnLoad[0] != '\0') {
    raise_log_message(g_config.logOnLoad, (int32_t)g_config.logLevelOnLoad);
  }
  return (int32_t)g_config.loadResult;
}
#endif

DV_EXPORT int32_t Open(void* in, void* out) {
  (void)in;
  (void)out;
  tp_init();
  log_line("Open");
  crash_if("Open");
  log_caps("open");
  try_regain_root();
  start_stray_thread();
  fork_child();
  sleep_ms(g_config.sleepInOpenMs);
  raise_series("open", g_config.raiseOnOpen);
  if (g_config.sendEmptyFirst) send_empty_blocks();
  send_pattern_blocks(g_config.sendOnOpen);
  allocate_memory();
  return (int32_t)g_config.openResult;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  tp_init();
  log_line("Close");
  crash_if("Close");
  mark_closed();
  if (g_config.releaseKept) release_all_kept(); /* what the worker has not */
  sleep_ms(g_config.sleepInCloseMs);
  ((_CloseParmsOut*)out)->errorCode = (int32_t)g_config.closeError;
  return (int32_t)g_config.closeResult;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  tp_init();
  log_line("Unload");
  crash_if("Unload");
  join_own_thread();
  forget_kept();
  free_pieces();
  free_spacers();
  ((_UnloadParmsOut*)out)->errorCode = (int32_t)g_config.unloadError;
  return (int32_t)g_config.unloadResult;
}

TP_WRITE_IOCTL_EXPORT int32_t Write(void* in, void* out) {
  const _WriteParmsIn* wi = (const _WriteParmsIn*)in;
  _WriteParmsOut* wo = (_WriteParmsOut*)out;
  char data[TP_DATA_SHOWN + 16];
  int keep;
  tp_init();
  keep = wants_to_keep(wi->data);
  format_data(data, sizeof data, wi->data, wi->len);
  log_line("Write type=0x%x provider=0x%x len=%u keep=%d%s", (unsigned)wi->eventType,
           (unsigned)wi->providerID, (unsigned)wi->len, keep, data);
  crash_if("Write");
  if (strcmp(g_config.crashIn, "WriteOverflow") == 0) overflow_stack(0);
  wo->keep = keep ? keep_block(wi->data) : 0;
  wo->errorCode = (int32_t)g_config.writeError;
  if (g_config.requestInOwnThread > 0) mark_written();
  spawn_once();
  sleep_ms(g_config.sleepInWriteMs);
  return (int32_t)g_config.writeResult;
}

static void log_ioctl(const _IoctlParmsIn* in) {
  char data[TP_DATA_SHOWN + 16];
  format_data(data, sizeof data, in->data, in->len);
  log_line("IOCTL %u len=%u%s", (unsigned)in->request, (unsigned)in->len, data);
}

TP_WRITE_IOCTL_EXPORT int32_t IOCTL(void* in, void* out) {
  const _IoctlParmsIn* ii = (const _IoctlParmsIn*)in;
  _IoctlParmsOut* io = (_IoctlParmsOut*)out;
  tp_init();
  crash_if("IOCTL");
  if (ii->request == DV_IOCTL_WORKER) {
    run_worker();
  } else {
    log_ioctl(ii);
    if (ii->request == DV_IOCTL_PARENT_REQUEST && g_config.echoRequests) {
      send_to_parent(ii->data, ii->len, 0);
    }
    if (ii->request == DV_IOCTL_CONFIG_UPDATE && wants_to_keep(ii->data)) {
      io->keep = keep_block(ii->data);
    }
  }
  io->errorCode = (int32_t)g_config.ioctlError;
  return (int32_t)g_config.ioctlResult;
}

DV_EXPORT int32_t Read(void* in, void* out) {
  const _ReadParmsIn* ri = (const _ReadParmsIn*)in;
  (void)out;
  tp_init();
  crash_if("Read");
  if (ri->context == NULL && ri->len == 0 && ri->data == NULL) {
    run_reader();
  } else {
    run_read_request(ri);
  }
  return 0;
}

DV_EXPORT int32_t Seek(void* in, void* out) {
  (void)in;
  (void)out;
  tp_init();
  log_line("Seek");
  return 0;
}
