// The log functions the core's own code uses.
//
// There is no logger object: a message is a log event (type 0x40, flag
// 0x2) raised through an event sink, normally the core's event entry, which
// filters it by its kind's threshold, prints it and queues it for plugins.
//
// The core's own sink: the core installs its event entry here while it
// exists (SetCoreSink), and every subsystem logs through LogCore without
// knowing the entry. Without an installed sink the core's messages and
// events go nowhere.
//
// Any thread may call these functions. They use only the caller's stack:
// LogMessage formats into a 512-byte stack buffer and allocates nothing,
// and a message below its kind's threshold is neither formatted nor raised.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "plugin_api/event.h"

namespace dv {

using EventSink = PluginEventCallbackFn;

// Longest text a log message carries; longer texts are cut.
constexpr int kMaxLogText = 511;

// The current threshold of the provider's kind (-1 = no threshold).
int QueryLogLevel(uint32_t providerId, EventSink sink);

// True when a message of `level` from `providerId` would pass its threshold.
bool IsLogLevelEnabled(uint32_t providerId, EventSink sink, int level);

// Formats like printf and raises the text as a log message. Empty texts and
// formatting errors raise nothing. A null sink does nothing.
void LogMessage(uint32_t providerId, EventSink sink, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogMessageV(uint32_t providerId, EventSink sink, int level, const char* format,
                 va_list args) __attribute__((format(printf, 4, 0)));

void SetCoreSink(EventSink sink);
EventSink CoreSink();

// LogMessage and friends for the core's own messages (provider DV_CORE_ID)
// into the core's sink.
void LogCore(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogCoreV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
bool IsCoreLogEnabled(int level);

// Raises `text` as it is (NUL-terminated, any length) as one of the core's
// messages at `level`: for a report too long for LogMessage's buffer, whose
// lines must all arrive as one message (the leak report). Nothing is
// formatted or cut; an empty text raises nothing.
void LogCoreText(int level, const std::string& text);

}  // namespace dv
