/*
 * camera-sim: a video source. Its worker thread raises video frames at a
 * steady rate: a key frame every `key_every` frames, and at once after the
 * core refuses a frame (results 3, 4 and 5 all mean "start again with a key
 * frame"). It stops when the core closes it.
 *
 * Each frame's payload starts with the frame number (8 bytes, little
 * endian), followed by bytes (number + i) & 0xff, so a consumer can check
 * that it arrived intact.
 *
 * Every hundredth frame it logs how many it has raised.
 *
 * Settings (camera_sim.conf beside the plugin): fps (25), frame_bytes
 * (4096), key_every (50), frames (0: until closed).
 */
#include "example_util.h"

#define CAMERA_ID 0x00100000u

static PluginEventCallbackFn g_raise;
static ExClosed g_closed = EX_CLOSED_INIT;
static long g_fps = 25, g_frameBytes = 4096, g_keyEvery = 50, g_frames = 0;
static long g_raised, g_refused;

static void apply(const char* key, const char* value, void* context) {
  (void)context;
  const long number = strtol(value, NULL, 0);
  if (strcmp(key, "fps") == 0 && number > 0) g_fps = number;
  if (strcmp(key, "frame_bytes") == 0 && number >= 8) g_frameBytes = number;
  if (strcmp(key, "key_every") == 0 && number > 0) g_keyEvery = number;
  if (strcmp(key, "frames") == 0 && number >= 0) g_frames = number;
}

static void fill_frame(unsigned char* payload, uint64_t number) {
  long i;
  memcpy(payload, &number, sizeof number);
  for (i = 8; i < g_frameBytes; ++i) payload[i] = (unsigned char)((number + (uint64_t)i) & 0xff);
}

/* Raises frame `number`; returns the core's result. */
static int32_t raise_frame(unsigned char* payload, uint64_t number, int key) {
  _EventParmsIn in;
  fill_frame(payload, number);
  dv_event_init(&in, CAMERA_ID, DV_EVENT_VIDEO, DV_FLAG_VIDEO);
  dv_event_payload(&in, payload, (uint32_t)g_frameBytes);
  in.keyFrame = (uint8_t)(key ? 1 : 0);
  return dv_raise(g_raise, &in);
}

static void run_camera(void) {
  unsigned char* payload = malloc((size_t)g_frameBytes);
  uint64_t number = 0;
  int needKey = 1;
  if (payload == NULL) return;
  while (g_frames == 0 || (long)number < g_frames) {
    const int key = needKey || number % (uint64_t)g_keyEvery == 0;
    const int32_t result = raise_frame(payload, number++, key);
    if ((__atomic_add_fetch(&g_raised, 1, __ATOMIC_RELAXED) % 100) == 0) {
      char text[64];
      dv_log(g_raise, CAMERA_ID, 25, text, sizeof text, "camera-sim: %ld frames raised",
             __atomic_load_n(&g_raised, __ATOMIC_RELAXED));
    }
    needKey = result != DV_RESULT_OK;
    if (needKey) __atomic_fetch_add(&g_refused, 1, __ATOMIC_RELAXED);
    if (ex_wait_closed(&g_closed, 1000 / g_fps)) break;
  }
  free(payload);
  ex_wait_closed(&g_closed, 1L << 30); /* a worker returns only once closed */
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  dv_read_settings((const void*)apply, apply, NULL);
  result->id = CAMERA_ID;
  result->wantsWorker = 1;
  return 0;
}

DV_EXPORT int32_t IOCTL(void* in, void* out) {
  (void)out;
  if (((_IoctlParmsIn*)in)->request == DV_IOCTL_WORKER) run_camera();
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  char text[96];
  (void)in;
  (void)out;
  ex_close(&g_closed);
  dv_log(g_raise, CAMERA_ID, 25, text, sizeof text, "camera-sim: raised %ld frames, %ld refused",
         __atomic_load_n(&g_raised, __ATOMIC_RELAXED), __atomic_load_n(&g_refused, __ATOMIC_RELAXED));
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
