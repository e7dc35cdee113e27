/*
 * recorder: writes every video frame into segment files.
 *
 * Write keeps each frame's payload block (keep = 1) and queues it; the
 * recorder's worker thread appends it to the current segment file as
 * [uint32 length][bytes] and then gives the block back (a release event).
 * A new segment starts every `frames_per_segment` frames, and each finished
 * segment is logged. While a Memory notification says video is throttled
 * the recorder pauses: it takes no frames until memory is ok again.
 *
 * Settings (recorder.conf beside the plugin): folder ("recordings",
 * relative to the core's current directory), frames_per_segment (250).
 */
#include <sys/stat.h>

#include "example_util.h"

#define RECORDER_ID 0x00110000u

typedef struct Frame {
  void* block;
  uint32_t len;
  struct Frame* next;
} Frame;

static PluginEventCallbackFn g_raise;
static ExClosed g_closed = EX_CLOSED_INIT;
static char g_folder[1024] = "recordings";
static long g_perSegment = 250;
static int g_paused; /* written and read on the main thread only */

static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_queued = PTHREAD_COND_INITIALIZER;
static Frame* g_head; /* GUARDED_BY(g_mu) */
static Frame** g_tail = &g_head;

static void apply(const char* key, const char* value, void* context) {
  (void)context;
  if (strcmp(key, "folder") == 0) snprintf(g_folder, sizeof g_folder, "%s", value);
  if (strcmp(key, "frames_per_segment") == 0 && strtol(value, NULL, 0) > 0) {
    g_perSegment = strtol(value, NULL, 0);
  }
}

static void enqueue(void* block, uint32_t len) {
  Frame* frame = malloc(sizeof *frame);
  if (frame == NULL) return;
  frame->block = block;
  frame->len = len;
  frame->next = NULL;
  pthread_mutex_lock(&g_mu);
  *g_tail = frame;
  g_tail = &frame->next;
  pthread_cond_signal(&g_queued);
  pthread_mutex_unlock(&g_mu);
}

/* The next queued frame, or NULL once closed and drained. */
static Frame* dequeue(void) {
  Frame* frame;
  pthread_mutex_lock(&g_mu);
  while (g_head == NULL) {
    pthread_mutex_unlock(&g_mu);
    if (ex_wait_closed(&g_closed, 50)) {
      pthread_mutex_lock(&g_mu);
      if (g_head == NULL) {
        pthread_mutex_unlock(&g_mu);
        return NULL;
      }
      break;
    }
    pthread_mutex_lock(&g_mu);
  }
  frame = g_head;
  g_head = frame->next;
  if (g_head == NULL) g_tail = &g_head;
  pthread_mutex_unlock(&g_mu);
  return frame;
}

static void finish_segment(FILE* file, long segment, long frames, long bytes) {
  char text[96];
  if (file == NULL) return;
  fclose(file);
  dv_log(g_raise, RECORDER_ID, 25, text, sizeof text, "recorder: segment %ld: %ld frames, %ld bytes",
         segment, frames, bytes);
}

static void run_recorder(void) {
  FILE* file = NULL;
  long segment = 0, frames = 0, bytes = 0;
  Frame* frame;
  mkdir(g_folder, 0755);
  while ((frame = dequeue()) != NULL) {
    if (file == NULL) {
      char path[1200];
      snprintf(path, sizeof path, "%s/segment-%04ld.bin", g_folder, segment);
      file = fopen(path, "wb");
    }
    if (file != NULL) {
      fwrite(&frame->len, sizeof frame->len, 1, file);
      fwrite(frame->block, 1, frame->len, file);
    }
    bytes += (long)frame->len;
    dv_release(g_raise, RECORDER_ID, frame->block);
    free(frame);
    if (++frames == g_perSegment) {
      finish_segment(file, segment++, frames, bytes);
      file = NULL;
      frames = bytes = 0;
    }
  }
  finish_segment(file, segment, frames, bytes);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  dv_read_settings((const void*)apply, apply, NULL);
  result->id = RECORDER_ID;
  result->eventMasks[0] = 0xffffffffu; /* video, whatever its flags */
  result->eventMasks[2] = 0xffffffffu; /* status: the Memory notification */
  result->wantsWorker = 1;
  result->deliveryOption = 1;
  return 0;
}

DV_EXPORT int32_t Write(void* in, void* out) {
  const _WriteParmsIn* event = (const _WriteParmsIn*)in;
  if (event->eventType & DV_EVENT_STATUS) {
    /* <Orvel><Memory ... Throttling="1" .../></Orvel> */
    if (event->data != NULL && event->len > 0) {
      g_paused = memmem(event->data, event->len, "Throttling=\"1\"", 14) != NULL;
    }
    return 0;
  }
  if ((event->eventType & DV_EVENT_VIDEO) == 0 || (event->flags & DV_FLAG_VIDEO) == 0) return 0;
  if (g_paused || event->data == NULL) return 0;
  ((_WriteParmsOut*)out)->keep = 1;
  enqueue(event->data, event->len);
  return 0;
}

DV_EXPORT int32_t IOCTL(void* in, void* out) {
  (void)out;
  if (((_IoctlParmsIn*)in)->request == DV_IOCTL_WORKER) run_recorder();
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  ex_close(&g_closed);
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
