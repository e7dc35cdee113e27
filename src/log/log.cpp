#include "log/log.h"

#include <atomic>

#include "log/levels.h"
#include "plugin_api/helpers.h"

namespace dv {
namespace {

std::atomic<EventSink> g_coreSink{nullptr};

}  // namespace

void SetCoreSink(EventSink sink) { g_coreSink.store(sink); }
EventSink CoreSink() { return g_coreSink.load(); }

int QueryLogLevel(uint32_t providerId, EventSink sink) {
  return dv_query_log_level(sink, providerId);
}

bool IsLogLevelEnabled(uint32_t providerId, EventSink sink, int level) {
  return PassesThreshold(level, QueryLogLevel(providerId, sink));
}

void LogMessageV(uint32_t providerId, EventSink sink, int level, const char* format,
                 va_list args) {
  if (sink == nullptr) return;
  if (!IsLogLevelEnabled(providerId, sink, level)) return;
  char text[kMaxLogText + 1];
  _EventParmsIn in;
  if (!dv_log_event_v(&in, providerId, level, text, sizeof text, format, args)) return;
  in.flags |= DV_FLAG_VIDEO;  // the core marks the messages it raises itself
  dv_raise(sink, &in);
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

void LogCoreText(int level, const std::string& text) {
  const EventSink sink = CoreSink();
  if (text.empty() || sink == nullptr || !IsLogLevelEnabled(DV_CORE_ID, sink, level)) return;
  _EventParmsIn in;
  // Marked as the core's own, as LogMessageV marks it.
  dv_event_init(&in, DV_CORE_ID, DV_EVENT_LOG, DV_FLAG_LOG_MESSAGE | DV_FLAG_VIDEO);
  dv_event_payload(&in, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  in.level = level;
  dv_raise(sink, &in);
}

bool IsCoreLogEnabled(int level) {
  const EventSink sink = CoreSink();
  return sink != nullptr && IsLogLevelEnabled(DV_CORE_ID, sink, level);
}

}  // namespace dv
