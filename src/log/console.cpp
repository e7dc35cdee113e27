#include "log/console.h"

#include <cstring>
#include <ctime>

namespace dv {
namespace {

// ANSI colour of the time stamp, indexed by level / 25.
constexpr int kLevelColours[] = {5, 2, 3, 1, 1};
constexpr uint32_t kSystemLogLevel = 100;
constexpr uint32_t kHighestColouredLevel = 100;

size_t BoundedLength(const char* text, uint32_t maxLen) {
  const void* nul = std::memchr(text, '\0', maxLen);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : maxLen;
}

}  // namespace

ConsoleWriter::ConsoleWriter(const NameRegistry& names, const Platform& platform)
    : names_(names), platform_(platform) {}

bool ConsoleWriter::IsTerminal() {
  std::call_once(terminalOnce_, [this] { terminal_ = platform_.StdoutIsTerminal(); });
  return terminal_;
}

void ConsoleWriter::Write(uint32_t providerId, uint32_t level, const char* text,
                          uint32_t maxLen) {
  if (text == nullptr) return;
  const bool terminal = IsTerminal();
  const int length = static_cast<int>(BoundedLength(text, maxLen));
  if (level == kSystemLogLevel) platform_.SystemLogCritical(text, length);
  if (!terminal || background_.load()) return;

  const time_t now = static_cast<time_t>(platform_.WallNowSeconds());
  struct tm utc;
  std::memset(&utc, 0, sizeof utc);
  gmtime_r(&now, &utc);
  char tag[NameRegistry::kTagChars + 1];
  names_.CopyTag(providerId, tag);

  FILE* out = platform_.ConsoleStream();
  if (colour_.load() && level <= kHighestColouredLevel) {
    std::fprintf(out, "\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %.*s\n",
                 kLevelColours[level / 25], utc.tm_hour, utc.tm_min, utc.tm_sec, tag, length,
                 text);
  } else {
    std::fprintf(out, "%02d:%02d:%02d %-6.6s %.*s\n", utc.tm_hour, utc.tm_min, utc.tm_sec,
                 tag, length, text);
  }
}

}  // namespace dv
