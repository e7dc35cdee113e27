/*
 * devovor plugin SDK: the event records.
 *
 * Every event travels as one _EventParmsIn answered by one _EventParmsOut.
 * A plugin raises an event by calling the PluginEventCallback it received in
 * Load, from any thread, with both records on its own stack. The helpers
 * in plugin_api/helpers.h fill and raise the record of each event kind:
 *
 *   _EventParmsIn in;
 *   dv_event_init(&in, MY_ID, DV_EVENT_CLASS3, 0);   // zeroed, size, version
 *   dv_event_payload(&in, bytes, len);
 *   result = dv_raise(callback, &in);                 // out.result
 *
 * The core copies whatever it keeps: both records and the payload may be
 * reused as soon as the call returns. The one exception is the parent-send
 * command (DV_EVENT_PARENT_SEND), whose malloc'ed payload passes to the core.
 *
 * Layout on the 32-bit appliance (offsets pinned below): size 0, version 4,
 * len 8, data 12, providerID 16, context 20, eventType 24, flags 28,
 * pass-through 32..39, level 40, producer word 44, pass-through 48..49,
 * keyFrame 50, pass-through 51..183; 184 bytes in all.
 */
#ifndef DEVOVOR_PLUGIN_API_EVENT_H
#define DEVOVOR_PLUGIN_API_EVENT_H

#include "plugin_api/abi.h"

DV_BEGIN_DECLS

typedef struct _EventParmsIn {
  uint32_t size;        /* sizeof(_EventParmsIn) */
  uint32_t version;     /* DV_EVENT_VERSION */
  uint32_t len;         /* bytes at data; 0 when there is no payload */
  void* data;           /* payload, owned by the raiser (copied by the core) */
  uint32_t providerID;  /* who the event is from or about; 0 = request */
  void* context;        /* opaque request handle, or null */
  uint32_t eventType;   /* DV_EVENT_* bits */
  uint32_t flags;       /* DV_FLAG_* bits; high byte takes part in matching */
  uint8_t passThrough0[8];
  int32_t level;        /* severity of a log message */
  uint32_t producerWord; /* producer-specific word of video frames */
  uint8_t passThrough1[2];
  uint8_t keyFrame;     /* video frames: 1 = key frame */
  uint8_t passThrough2[133];
} _EventParmsIn;

typedef struct _EventParmsOut {
  uint32_t size;     /* sizeof(_EventParmsOut) */
  uint32_t version;  /* DV_EVENT_VERSION */
  int32_t result;    /* set to 0 by the raiser; DV_RESULT_* from the core */
} _EventParmsOut;

/* The function a plugin calls to raise an event; it always returns 0. */
typedef int32_t (*PluginEventCallbackFn)(_EventParmsIn* in,
                                         _EventParmsOut* out);

#define DV_EVENT_VERSION 1u

/* eventType bits. 0x1..0x80 and 0x400 are the nine subscription classes. */
#define DV_EVENT_VIDEO 0x1u         /* class 0; frames carry DV_FLAG_VIDEO */
#define DV_EVENT_CLASS1 0x2u
#define DV_EVENT_STATUS 0x4u        /* class 2; the Memory notification */
#define DV_EVENT_CLASS3 0x8u
#define DV_EVENT_CLASS4 0x10u
#define DV_EVENT_CLASS5 0x20u
#define DV_EVENT_LOG 0x40u          /* class 6 */
#define DV_EVENT_CLASS7 0x80u
#define DV_EVENT_CONFIG 0x100u      /* configuration update / status report */
#define DV_EVENT_RELEASE 0x200u     /* command: give back a kept block */
#define DV_EVENT_CLASS8 0x400u
#define DV_EVENT_CLOSE_REQUEST 0x1000u /* command: close the handle in context */
#define DV_EVENT_PARENT_SEND 0x2000u   /* command: send data to the parent */

/* Subscription class k (0 to 8) is eventType bit DV_CLASS_BIT(k), matched
 * against the plugin's eventMasks[k]; DV_CLASS_BITS has all nine. */
#define DV_CLASS_BIT(k) ((k) < 8 ? 1u << (k) : DV_EVENT_CLASS8)
#define DV_CLASS_BITS 0x4ffu

/* flags bits. */
#define DV_FLAG_LOG_QUERY 0x1u        /* with DV_EVENT_LOG: ask for the level */
#define DV_FLAG_LOG_MESSAGE 0x2u      /* with DV_EVENT_LOG: text in data */
#define DV_FLAG_XML 0x10u             /* data holds XML text */
/* Bit 24. Together with DV_EVENT_VIDEO it makes the event a video frame,
 * which the core gates (key frames, throttling). The core also sets it on
 * every event it raises itself: its log messages, the status report and the
 * Memory notification. So the bit alone does not mean video, and
 * subscribers filter on it: a mask for the log class without bit 25 (where
 * the delivery key moves bit 24) leaves the core's own messages out. */
#define DV_FLAG_VIDEO 0x1000000u

/* Values the core writes into _EventParmsOut.result. */
#define DV_RESULT_OK 0                /* queued, done, or requests started */
#define DV_RESULT_REFUSED 1           /* stopping, channel closed, bad handle */
#define DV_RESULT_NO_MEMORY (-1)      /* the payload copy could not be made */
#define DV_RESULT_NO_KEY_FRAME 3      /* no key frame seen for this stream */
#define DV_RESULT_TOO_MANY_FRAMES 4   /* restart the stream with a key frame */
#define DV_RESULT_THROTTLED 5         /* memory is low: video is throttled */

/* Provider identifiers. */
#define DV_CORE_ID 0x80000000u        /* the core's own identifier */
#define DV_KIND_INDEX(providerID) (((providerID) >> 16) & 0xfffu)
#define DV_LOG_KINDS 255u             /* entries of each log level table */

DV_PIN_OFFSET(_EventParmsIn, size, 0);
DV_PIN_OFFSET(_EventParmsIn, version, 4);
DV_PIN_OFFSET(_EventParmsIn, len, 8);
DV_PIN_OFFSET(_EventParmsIn, data, 12);
DV_PIN_OFFSET(_EventParmsIn, providerID, 16);
DV_PIN_OFFSET(_EventParmsIn, context, 20);
DV_PIN_OFFSET(_EventParmsIn, eventType, 24);
DV_PIN_OFFSET(_EventParmsIn, flags, 28);
DV_PIN_OFFSET(_EventParmsIn, passThrough0, 32);
DV_PIN_OFFSET(_EventParmsIn, level, 40);
DV_PIN_OFFSET(_EventParmsIn, producerWord, 44);
DV_PIN_OFFSET(_EventParmsIn, passThrough1, 48);
DV_PIN_OFFSET(_EventParmsIn, keyFrame, 50);
DV_PIN_OFFSET(_EventParmsIn, passThrough2, 51);
DV_PIN_SIZE(_EventParmsIn, 184);
DV_PIN_OFFSET(_EventParmsOut, result, 8);
DV_PIN_SIZE(_EventParmsOut, 12);

DV_END_DECLS

#endif /* DEVOVOR_PLUGIN_API_EVENT_H */
