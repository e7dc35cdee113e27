/*
 * devovor plugin SDK: entry points and their parameter records.
 *
 * A plugin is a shared object exporting up to eight entry points under
 * plain names, each of the shape `int32_t Name(void* in, void* out)`:
 *
 *   Load     mandatory; called once, first, on the core's main thread
 *   Open     after every plugin has loaded (main thread)
 *   Write    one queued event the plugin subscribed to (main thread)
 *   IOCTL    request 1 on a worker thread, 2 on the main thread,
 *            4 on the core's I/O thread
 *   Read     on the asynchronous reader and on read-request threads
 *   Close    after the delivery loop has stopped (main thread)
 *   Unload   last, after the plugin's threads have returned (main thread)
 *   Seek     never called
 *
 * Calls on different threads may overlap: a plugin guards its own state.
 * IOCTL request 1 and every Read must return once Close has been called.
 *
 * The core builds both records on its stack, fills `size` with sizeof the
 * record and `version` with the DV_*_VERSION below, zeroes everything else
 * it does not set, and reads back only the fields documented as outputs.
 * A result of 0 means success; a non-zero `errorCode` is a failure too.
 *
 * Offsets in the comments are those of the 32-bit appliance, where the
 * static assertions below pin them.
 */
#ifndef DEVOVOR_PLUGIN_API_PLUGIN_H
#define DEVOVOR_PLUGIN_API_PLUGIN_H

#include "plugin_api/event.h"

DV_BEGIN_DECLS

/* The shape of every entry point. */
typedef int32_t (*PluginEntryFn)(void* in, void* out);

/* ---- Load ------------------------------------------------------------ */

typedef struct _LoadParmsIn {
  uint32_t size;                             /* 0: 16 */
  uint32_t version;                          /* 4: 3 */
  void* core;                                /* 8: opaque handle */
  PluginEventCallbackFn PluginEventCallback; /* 12: raise events, log */
} _LoadParmsIn;

#define DV_LOAD_IN_VERSION 3u

/* Subscription classes, indexes into eventMasks. */
#define DV_MASK_COUNT 9
#define DV_MASK_CLOSE_ORDER 5 /* eventMasks[5] doubles as the close order key */

typedef struct _LoadParmsOut {
  uint32_t size;                  /* 0: 68 */
  uint32_t version;               /* 4: 2 */
  uint32_t id;                    /* 8: the plugin's ID */
  uint32_t eventMasks[DV_MASK_COUNT]; /* 12: class bits 0x1..0x80, 0x400 */
  uint32_t reserved48;            /* 48: not read */
  uint8_t wantsWorker;            /* 52: run IOCTL request 1 on a thread */
  uint8_t reserved53;             /* 53: not read */
  uint8_t wantsReader;            /* 54: accept Read calls on core threads */
  uint8_t deliveryOption;         /* 55: receive matching events via Write */
  uint32_t reserved56;            /* 56: not read */
  int32_t errorCode;              /* 60: non-zero fails the load */
  int32_t defaultLogLevel;        /* 64: -1..100 proposed; 0 = no proposal */
} _LoadParmsOut;

#define DV_LOAD_OUT_VERSION 2u

/* ---- Open / Close / Unload -------------------------------------------- */

typedef struct _OpenParmsIn {
  uint32_t size;      /* 20 */
  uint32_t version;   /* 1 */
  uint32_t reserved[3];
} _OpenParmsIn;

typedef struct _OpenParmsOut {
  uint32_t size;      /* 16 */
  uint32_t version;   /* 1 */
  uint32_t reserved[2]; /* never read back: only the result counts */
} _OpenParmsOut;

typedef struct _CloseParmsIn {
  uint32_t size;      /* 12 */
  uint32_t version;   /* 1 */
  uint32_t reserved;
} _CloseParmsIn;

typedef struct _CloseParmsOut {
  uint32_t size;      /* 12 */
  uint32_t version;   /* 1 */
  int32_t errorCode;  /* 8 */
} _CloseParmsOut;

typedef struct _UnloadParmsIn {
  uint32_t size;      /* 8 */
  uint32_t version;   /* 1 */
} _UnloadParmsIn;

typedef struct _UnloadParmsOut {
  uint32_t size;      /* 12 */
  uint32_t version;   /* 1 */
  int32_t errorCode;  /* 8 */
} _UnloadParmsOut;

#define DV_RECORD_VERSION 1u /* version of every record except Load's */

/* ---- Write ------------------------------------------------------------- */

/* Fields from `len` on are the queued event's bytes 8..183, unchanged. */
typedef struct _WriteParmsIn {
  uint32_t size;        /* 0: 192 */
  uint32_t version;     /* 4: 1 */
  uint32_t reserved;    /* 8: 0 */
  uint8_t reserved12;   /* 12: 0 */
  uint8_t padding[3];   /* 13 */
  uint32_t len;         /* 16: payload length */
  void* data;           /* 20: the core's payload block */
  uint32_t providerID;  /* 24 */
  void* context;        /* 28 */
  uint32_t eventType;   /* 32 */
  uint32_t flags;       /* 36 */
  uint8_t passThrough0[8]; /* 40 */
  int32_t level;        /* 48 */
  uint32_t producerWord; /* 52 */
  uint8_t passThrough1[2]; /* 56 */
  uint8_t keyFrame;     /* 58 */
  uint8_t passThrough2[133]; /* 59 */
} _WriteParmsIn;

typedef struct _WriteParmsOut {
  uint32_t size;        /* 0: 24 */
  uint32_t version;     /* 4: 1 */
  uint32_t reserved[2]; /* 8 */
  int32_t errorCode;    /* 16 */
  uint32_t keep;        /* 20: non-zero holds the payload block; give it
                           back later with a DV_EVENT_RELEASE event */
} _WriteParmsOut;

/* ---- IOCTL ------------------------------------------------------------- */

#define DV_IOCTL_WORKER 1u        /* run the plugin's worker; no data */
#define DV_IOCTL_CONFIG_UPDATE 2u /* len/data: a configuration event's block */
#define DV_IOCTL_PARENT_REQUEST 4u /* len/data: a packet from the parent */

typedef struct _IoctlParmsIn {
  uint32_t size;         /* 0: 28 */
  uint32_t version;      /* 4: 1 */
  uint32_t request;      /* 8: DV_IOCTL_* */
  uint32_t blockSize;    /* 12: DV_BLOCK_HEADER_ONLY, or DV_IOCTL_IN_BLOCK */
  uint32_t blockVersion; /* 16: 1 */
  uint32_t len;          /* 20: data word 1 */
  void* data;            /* 24: data word 2, valid only during the call */
} _IoctlParmsIn;

typedef struct _IoctlParmsOut {
  uint32_t size;         /* 0: 28 */
  uint32_t version;      /* 4: 1 */
  uint32_t request;      /* 8: same code as the input */
  int32_t errorCode;     /* 12 */
  uint32_t keep;         /* 16: request 2 only, as in _WriteParmsOut */
  uint32_t blockSize;    /* 20: 8 */
  uint32_t blockVersion; /* 24: 1 */
} _IoctlParmsOut;

/* Value of a nested block-size word for a block with no data words. */
#define DV_BLOCK_HEADER_ONLY 8u
/* Value for the input block that carries the two data words (16 on ARM). */
#define DV_IOCTL_IN_BLOCK \
  ((uint32_t)(sizeof(_IoctlParmsIn) - offsetof(_IoctlParmsIn, blockSize)))

/* ---- Read -------------------------------------------------------------- */

typedef struct _ReadParmsIn {
  uint32_t size;        /* 0: 28 */
  uint32_t version;     /* 4: 1 */
  uint32_t reserved;    /* 8: 0 */
  uint8_t readFlag;     /* 12: always 1 */
  uint8_t padding[3];   /* 13 */
  uint32_t len;         /* 16: request payload length; 0 for the reader */
  void* data;           /* 20: the thread's own payload copy, or null */
  void* context;        /* 24: the request handle, or null */
} _ReadParmsIn;

typedef struct _ReadParmsOut {
  uint32_t size;        /* 20 */
  uint32_t version;     /* 1 */
  uint32_t reserved[3];
} _ReadParmsOut;

/* ---- Entry point prototypes (for plugin sources) ----------------------- */

#define DV_ENTRY_POINTS(X) \
  X(Load) X(Unload) X(Open) X(Close) X(Read) X(Write) X(Seek) X(IOCTL)

/* ---- The layout of the 32-bit appliance -------------------------------- */

DV_PIN_SIZE(_LoadParmsIn, 16);
DV_PIN_OFFSET(_LoadParmsIn, core, 8);
DV_PIN_OFFSET(_LoadParmsIn, PluginEventCallback, 12);
DV_PIN_SIZE(_LoadParmsOut, 68);
DV_PIN_OFFSET(_LoadParmsOut, id, 8);
DV_PIN_OFFSET(_LoadParmsOut, eventMasks, 12);
DV_PIN_OFFSET(_LoadParmsOut, reserved48, 48);
DV_PIN_OFFSET(_LoadParmsOut, wantsWorker, 52);
DV_PIN_OFFSET(_LoadParmsOut, wantsReader, 54);
DV_PIN_OFFSET(_LoadParmsOut, deliveryOption, 55);
DV_PIN_OFFSET(_LoadParmsOut, errorCode, 60);
DV_PIN_OFFSET(_LoadParmsOut, defaultLogLevel, 64);
DV_PIN_SIZE(_OpenParmsIn, 20);
DV_PIN_SIZE(_OpenParmsOut, 16);
DV_PIN_SIZE(_CloseParmsIn, 12);
DV_PIN_SIZE(_CloseParmsOut, 12);
DV_PIN_OFFSET(_CloseParmsOut, errorCode, 8);
DV_PIN_SIZE(_UnloadParmsIn, 8);
DV_PIN_SIZE(_UnloadParmsOut, 12);
DV_PIN_OFFSET(_UnloadParmsOut, errorCode, 8);
DV_PIN_SIZE(_WriteParmsIn, 192);
DV_PIN_OFFSET(_WriteParmsIn, reserved12, 12);
DV_PIN_OFFSET(_WriteParmsIn, len, 16);
DV_PIN_OFFSET(_WriteParmsIn, data, 20);
DV_PIN_OFFSET(_WriteParmsIn, providerID, 24);
DV_PIN_OFFSET(_WriteParmsIn, context, 28);
DV_PIN_OFFSET(_WriteParmsIn, eventType, 32);
DV_PIN_OFFSET(_WriteParmsIn, flags, 36);
DV_PIN_OFFSET(_WriteParmsIn, passThrough0, 40);
DV_PIN_OFFSET(_WriteParmsIn, level, 48);
DV_PIN_OFFSET(_WriteParmsIn, producerWord, 52);
DV_PIN_OFFSET(_WriteParmsIn, keyFrame, 58);
DV_PIN_OFFSET(_WriteParmsIn, passThrough2, 59);
DV_PIN_SIZE(_WriteParmsOut, 24);
DV_PIN_OFFSET(_WriteParmsOut, errorCode, 16);
DV_PIN_OFFSET(_WriteParmsOut, keep, 20);
DV_PIN_SIZE(_IoctlParmsIn, 28);
DV_PIN_OFFSET(_IoctlParmsIn, request, 8);
DV_PIN_OFFSET(_IoctlParmsIn, blockSize, 12);
DV_PIN_OFFSET(_IoctlParmsIn, blockVersion, 16);
DV_PIN_OFFSET(_IoctlParmsIn, len, 20);
DV_PIN_OFFSET(_IoctlParmsIn, data, 24);
DV_PIN_SIZE(_IoctlParmsOut, 28);
DV_PIN_OFFSET(_IoctlParmsOut, request, 8);
DV_PIN_OFFSET(_IoctlParmsOut, errorCode, 12);
DV_PIN_OFFSET(_IoctlParmsOut, keep, 16);
DV_PIN_OFFSET(_IoctlParmsOut, blockSize, 20);
DV_PIN_OFFSET(_IoctlParmsOut, blockVersion, 24);
DV_PIN_SIZE(_ReadParmsIn, 28);
DV_PIN_OFFSET(_ReadParmsIn, readFlag, 12);
DV_PIN_OFFSET(_ReadParmsIn, len, 16);
DV_PIN_OFFSET(_ReadParmsIn, data, 20);
DV_PIN_OFFSET(_ReadParmsIn, context, 24);
DV_PIN_SIZE(_ReadParmsOut, 20);
#if DV_ABI_32BIT
DV_STATIC_ASSERT(DV_IOCTL_IN_BLOCK == 16, "IOCTL data block is 16 bytes");
#endif

/* The event fields from passThrough0 to the end are laid out identically in
 * _EventParmsIn and _WriteParmsIn on every target, so they copy as a block. */
DV_STATIC_ASSERT(sizeof(_EventParmsIn) - offsetof(_EventParmsIn, passThrough0) ==
                     sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, passThrough0),
                 "event tail and write tail differ");

DV_END_DECLS

#endif /* DEVOVOR_PLUGIN_API_PLUGIN_H */
