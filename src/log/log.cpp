#include "log/log.h"

#include "log/levels.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace dv {
namespace {

std::atomic<EventSink> g_coreSink{nullptr};

}  // namespace

void SetCoreSink(EventSink sink) { g_coreSink.store(sink); }
EventSink CoreSink() { return g_coreSink.load(); }

int QueryLogLevel(uint32_t providerId, EventSink sink) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = providerId;
  in.eventType = DV_EVENT_LOG;
  in.flags = DV_FLAG_LOG_QUERY;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  sink(&in, &out);
  return out.result;
}

bool IsLogLevelEnabled(uint32_t providerId, EventSink sink, int level) {
  return PassesThreshold(level, QueryLogLevel(providerId, sink));
}

void LogMessageV(uint32_t providerId, EventSink sink, int level, const char* format,
                 va_list args) {
  if (sink == nullptr) return;
  if (!IsLogLevelEnabled(providerId, sink, level)) return;
  char text[kMaxLogText + 1];
  const int n = std::vsnprintf(text, sizeof text, format, args);
  if (n <= 0) return;
  const uint32_t stored = static_cast<uint32_t>(n < kMaxLogText ? n : kMaxLogText);
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.len = stored + 1;
  in.data = text;
  in.providerID = providerId;
  in.eventType = DV_EVENT_LOG;
  in.flags = DV_FLAG_VIDEO | DV_FLAG_LOG_MESSAGE;
  in.level = level;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  sink(&in, &out);
}

void LogMessage(uint32_t providerId, EventSink sink, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(providerId, sink, level, format, args);
  va_end(args);
}

void LogCoreV(int level, const char* format, va_list args) {
  LogMessageV(DV_CORE_ID, CoreSink(), level, format, args);
}

void LogCore(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogCoreV(level, format, args);
  va_end(args);
}

bool IsCoreLogEnabled(int level) {
  const EventSink sink = CoreSink();
  return sink != nullptr && IsLogLevelEnabled(DV_CORE_ID, sink, level);
}

}  // namespace dv
