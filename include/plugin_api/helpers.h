/*
 * devovor plugin SDK: helpers for raising events.
 *
 * Every event a plugin raises is an _EventParmsIn handed to the
 * PluginEventCallback it received in Load. These helpers fill the record the
 * way the core expects it (every field zero, then size, version and the
 * fields of the event kind) and raise it with a fresh _EventParmsOut, so a
 * plugin writes one call instead of a dozen assignments:
 *
 *   dv_log(raise, MY_ID, 25, text, sizeof text, "started %d streams", n);
 *   dv_release(raise, MY_ID, kept_block);
 *   dv_send_to_parent(raise, MY_ID, malloced_block, len);
 *
 * Plain C99 and C++, header only, static inline: nothing to link. The
 * helpers use only the caller's stack and the buffers it passes, so any
 * thread may call them, from inside any entry point, Load included. Each
 * returns the core's result (DV_RESULT_*, or the threshold for a log-level
 * query); a null callback raises nothing and returns DV_RESULT_REFUSED.
 */
#ifndef DEVOVOR_PLUGIN_API_HELPERS_H
#define DEVOVOR_PLUGIN_API_HELPERS_H

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "plugin_api/plugin.h"

DV_BEGIN_DECLS

/* ---- Building and raising one record ---------------------------------- */

/* Zeroes `in`, then sets size, version, providerID, eventType and flags. */
static inline void dv_event_init(_EventParmsIn* in, uint32_t providerID, uint32_t eventType,
                                 uint32_t flags) {
  memset(in, 0, sizeof *in);
  in->size = (uint32_t)sizeof *in;
  in->version = DV_EVENT_VERSION;
  in->providerID = providerID;
  in->eventType = eventType;
  in->flags = flags;
}

/* Points the record at a payload; the core copies it during the raise. */
static inline void dv_event_payload(_EventParmsIn* in, const void* data, uint32_t len) {
  in->data = (void*)data;
  in->len = len;
}

/* Raises a filled record; returns _EventParmsOut.result. */
static inline int32_t dv_raise(PluginEventCallbackFn raise, _EventParmsIn* in) {
  _EventParmsOut out;
  out.size = (uint32_t)sizeof out;
  out.version = DV_EVENT_VERSION;
  out.result = DV_RESULT_OK;
  if (raise == NULL) return DV_RESULT_REFUSED;
  raise(in, &out);
  return out.result;
}

/* An event of one or more class bits with an optional payload. */
static inline int32_t dv_raise_event(PluginEventCallbackFn raise, uint32_t providerID,
                                     uint32_t eventType, uint32_t flags, const void* data,
                                     uint32_t len) {
  _EventParmsIn in;
  dv_event_init(&in, providerID, eventType, flags);
  dv_event_payload(&in, data, len);
  return dv_raise(raise, &in);
}

/* ---- Logging ----------------------------------------------------------- */

/* Formats a log message into `buffer` (cut to size - 1 characters) and
 * fills `in` to carry it: DV_EVENT_LOG with DV_FLAG_LOG_MESSAGE, `level`,
 * the text in data and its length with the NUL in len. Returns 0, leaving
 * nothing to raise, for an empty text or a formatting error. */
static inline int dv_log_event_v(_EventParmsIn* in, uint32_t providerID, int32_t level,
                                 char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 6, 0)));
static inline int dv_log_event_v(_EventParmsIn* in, uint32_t providerID, int32_t level,
                                 char* buffer, size_t size, const char* format, va_list args) {
  int n;
  size_t stored;
  if (buffer == NULL || size < 2) return 0;
  n = vsnprintf(buffer, size, format, args);
  if (n <= 0) return 0;
  stored = (size_t)n < size - 1 ? (size_t)n : size - 1;
  dv_event_init(in, providerID, DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE);
  dv_event_payload(in, buffer, (uint32_t)(stored + 1));
  in->level = level;
  return 1;
}

/* Raises a printf-style log message at `level` (0 routine, 25 start and
 * stop, 50 warning, 75 configuration error, 100 failure). */
static inline int32_t dv_log_v(PluginEventCallbackFn raise, uint32_t providerID, int32_t level,
                               char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 6, 0)));
static inline int32_t dv_log_v(PluginEventCallbackFn raise, uint32_t providerID, int32_t level,
                               char* buffer, size_t size, const char* format, va_list args) {
  _EventParmsIn in;
  if (!dv_log_event_v(&in, providerID, level, buffer, size, format, args)) return DV_RESULT_OK;
  return dv_raise(raise, &in);
}

static inline int32_t dv_log(PluginEventCallbackFn raise, uint32_t providerID, int32_t level,
                             char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
static inline int32_t dv_log(PluginEventCallbackFn raise, uint32_t providerID, int32_t level,
                             char* buffer, size_t size, const char* format, ...) {
  int32_t result;
  va_list args;
  va_start(args, format);
  result = dv_log_v(raise, providerID, level, buffer, size, format, args);
  va_end(args);
  return result;
}

/* The current threshold of the provider's kind: -1 (none) or 0..100. */
static inline int32_t dv_query_log_level(PluginEventCallbackFn raise, uint32_t providerID) {
  _EventParmsIn in;
  dv_event_init(&in, providerID, DV_EVENT_LOG, DV_FLAG_LOG_QUERY);
  return dv_raise(raise, &in);
}

/* ---- Commands ---------------------------------------------------------- */

/* Gives back a payload block this plugin kept (keep = 1 in Write or in
 * IOCTL request 2). */
static inline int32_t dv_release(PluginEventCallbackFn raise, uint32_t providerID, void* block) {
  _EventParmsIn in;
  dv_event_init(&in, providerID, DV_EVENT_RELEASE, 0);
  in.data = block;
  return dv_raise(raise, &in);
}

/* Sends a malloc'ed block to the parent daemon. The core owns the block
 * from this call on, whatever the result, and frees it. */
static inline int32_t dv_send_to_parent(PluginEventCallbackFn raise, uint32_t providerID,
                                        void* block, uint32_t len) {
  _EventParmsIn in;
  dv_event_init(&in, providerID, DV_EVENT_PARENT_SEND, 0);
  dv_event_payload(&in, block, len);
  return dv_raise(raise, &in);
}

/* ---- Read requests ----------------------------------------------------- */

/* A read request: every plugin whose masks match (the read key of `flags`)
 * and that accepts Read gets its own Read call with a copy of the payload
 * and `context`, on a new thread. Opens the handle `context` again if it
 * was closed. */
static inline int32_t dv_raise_read_request(PluginEventCallbackFn raise, uint32_t eventType,
                                            uint32_t flags, void* context, const void* data,
                                            uint32_t len) {
  _EventParmsIn in;
  dv_event_init(&in, 0, eventType, flags);
  dv_event_payload(&in, data, len);
  in.context = context;
  return dv_raise(raise, &in);
}

/* A reply to a read request, raised from the thread that runs its Read,
 * with the request's `context`. A reply with a payload waits until the
 * previous reply's block has been released. */
static inline int32_t dv_raise_reply(PluginEventCallbackFn raise, uint32_t providerID,
                                     uint32_t eventType, uint32_t flags, void* context,
                                     const void* data, uint32_t len) {
  _EventParmsIn in;
  dv_event_init(&in, providerID, eventType, flags);
  dv_event_payload(&in, data, len);
  in.context = context;
  return dv_raise(raise, &in);
}

/* Closes the request handle `context`: later replies that carry it are
 * refused until a new read request opens it again. */
static inline int32_t dv_close_request(PluginEventCallbackFn raise, void* context) {
  _EventParmsIn in;
  dv_event_init(&in, 0, DV_EVENT_CLOSE_REQUEST, 0);
  in.context = context;
  return dv_raise(raise, &in);
}

/* ---- Configuration ----------------------------------------------------- */

/* A configuration event: the XML document `xml` of `len` bytes (no NUL
 * needed) reaches every other plugin through IOCTL request 2; a root with a
 * non-zero Delta also changes the core's thresholds. */
static inline int32_t dv_raise_config(PluginEventCallbackFn raise, uint32_t providerID,
                                      const char* xml, uint32_t len) {
  return dv_raise_event(raise, providerID, DV_EVENT_CONFIG, DV_FLAG_XML, xml, len);
}

/* ---- Identifiers and classes ------------------------------------------- */

/* The kind of an ID: bits 16-27, the index of its log threshold. */
static inline uint32_t dv_id_kind(uint32_t id) { return DV_KIND_INDEX(id); }

/* Non-zero when the core accepts `id` as a plugin's ID as far as its bits
 * go: bits 24-27 clear (it may still be taken by another plugin). */
static inline int dv_id_is_loadable(uint32_t id) { return (id & 0x0F000000u) == 0; }

/* The name of subscription class k (0 to 8, eventMasks[k], eventType bit
 * DV_CLASS_BIT(k)), or NULL for any other k. */
static inline const char* dv_class_name(int k) {
  static const char* const names[DV_MASK_COUNT] = {"video",  "class1", "status",
                                                   "class3", "class4", "class5",
                                                   "log",    "class7", "class8"};
  return k >= 0 && k < DV_MASK_COUNT ? names[k] : NULL;
}

DV_END_DECLS

#endif /* DEVOVOR_PLUGIN_API_HELPERS_H */
