/*
 * bridge: talks with the parent daemon.
 *
 * A parent request (IOCTL request 4, on the core's I/O thread) is answered
 * with a reply block sent to the parent (a parent-send event): the text
 * "bridge: <payload>" where <payload> is the request's payload after its
 * 16-byte header. A configuration update it is sent (IOCTL request 2, on the
 * main thread) is applied: its root's `Prefix` attribute, if any, replaces
 * the "bridge" prefix of later replies. The prefix is shared by the two
 * threads, so it is guarded.
 *
 * A request of type 0x20 carries a configuration document instead: the
 * bridge applies it itself and raises it as a configuration event, so the
 * core applies the thresholds in it and every other plugin receives it.
 *
 * Its ID, 0x00130000, makes it the plugin for parent requests whose target
 * has 0x013 in bits 20-31 (for example 0x01300000).
 */
#include "example_util.h"

#define BRIDGE_ID 0x00130000u
#define HEADER_BYTES 16u
#define CONFIGURE_TYPE 0x20u

static PluginEventCallbackFn g_raise;
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
static char g_prefix[64] = "bridge"; /* GUARDED_BY(g_mu) */

static void reply_to_parent(const unsigned char* packet, uint32_t len) {
  char prefix[64];
  const uint32_t payload = len > HEADER_BYTES ? len - HEADER_BYTES : 0;
  size_t size;
  char* block;
  pthread_mutex_lock(&g_mu);
  snprintf(prefix, sizeof prefix, "%s", g_prefix);
  pthread_mutex_unlock(&g_mu);
  size = strlen(prefix) + 2 + payload;
  block = malloc(size); /* the core owns it from the send on */
  if (block == NULL) return;
  memcpy(block, prefix, strlen(prefix));
  memcpy(block + strlen(prefix), ": ", 2);
  memcpy(block + strlen(prefix) + 2, packet + HEADER_BYTES, payload);
  dv_send_to_parent(g_raise, BRIDGE_ID, block, (uint32_t)size);
}

static void apply_update(const char* xml, uint32_t len);

/* Applies the request's payload and raises it as a configuration event. */
static void forward_configuration(const unsigned char* packet, uint32_t len) {
  const char* xml = (const char*)(packet + HEADER_BYTES);
  if (len <= HEADER_BYTES) return;
  apply_update(xml, len - HEADER_BYTES);  /* a raiser gets no copy of its own */
  dv_raise_config(g_raise, BRIDGE_ID, xml, len - HEADER_BYTES);
}

/* Takes Prefix="..." from the update's text, if it has one. */
static void apply_update(const char* xml, uint32_t len) {
  const char* key = "Prefix=\"";
  const char* at = memmem(xml, len, key, strlen(key));
  const char* end;
  char text[128];
  if (at == NULL) return;
  at += strlen(key);
  end = memchr(at, '"', (size_t)(xml + len - at));
  if (end == NULL || end - at >= 64) return;
  pthread_mutex_lock(&g_mu);
  memcpy(g_prefix, at, (size_t)(end - at));
  g_prefix[end - at] = '\0';
  pthread_mutex_unlock(&g_mu);
  dv_log(g_raise, BRIDGE_ID, 25, text, sizeof text, "bridge: replies now start with \"%.*s\"",
         (int)(end - at), at);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = ((_LoadParmsIn*)in)->PluginEventCallback;
  result->id = BRIDGE_ID;
  return 0;
}

DV_EXPORT int32_t IOCTL(void* in, void* out) {
  const _IoctlParmsIn* request = (const _IoctlParmsIn*)in;
  (void)out;
  if (request->request == DV_IOCTL_PARENT_REQUEST && request->data != NULL) {
    const unsigned char* packet = (const unsigned char*)request->data;
    uint32_t type = 0;
    if (request->len >= HEADER_BYTES) memcpy(&type, packet + 8, sizeof type);
    if (type == CONFIGURE_TYPE) {
      forward_configuration(packet, request->len);
    } else {
      reply_to_parent(packet, request->len);
    }
  } else if (request->request == DV_IOCTL_CONFIG_UPDATE && request->data != NULL) {
    apply_update((const char*)request->data, request->len);
  }
  return 0;
}

DV_EXPORT int32_t Close(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}

DV_EXPORT int32_t Unload(void* in, void* out) {
  (void)in;
  (void)out;
  return 0;
}
