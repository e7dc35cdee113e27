#include "log/console.h"

#include <cstring>
#include <ctime>
#include <string>

#include "platform/thread_annotations.h"

namespace dv {
namespace {

// ANSI colour of the time stamp, indexed by level / 25.
constexpr int kLevelColours[] = {5, 2, 3, 1, 1};
constexpr uint32_t kSystemLogLevel = 100;
constexpr uint32_t kHighestColouredLevel = 100;

// The system log's copy of a line fits here unless it is very long.
constexpr size_t kSystemLogBuffer = 1024;

size_t BoundedLength(const char* text, uint32_t maxLen) {
  const void* nul = std::memchr(text, '\0', maxLen);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : maxLen;
}

// Control bytes would let a message move the cursor, recolour or clear the
// terminal, or start what looks like a line of its own; tab is harmless.
bool Printable(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return (byte >= 0x20 && byte != 0x7f) || byte == '\t';
}

void CopyPrintable(const char* text, size_t length, char* out) {
  for (size_t i = 0; i < length; ++i) out[i] = Printable(text[i]) ? text[i] : '?';
}

// stdio's own lock of a stream, held for one whole line so that lines of
// different threads never interleave; the unlocked writes need it held.
class CAPABILITY("stream lock") LockedStream {
 public:
  explicit LockedStream(FILE* stream) ACQUIRE() : stream_(stream) { flockfile(stream_); }
  ~LockedStream() RELEASE() { funlockfile(stream_); }
  LockedStream(const LockedStream&) = delete;
  LockedStream& operator=(const LockedStream&) = delete;
  FILE* stream() const { return stream_; }

 private:
  FILE* const stream_;
};

// Writes `text` with every control byte as '?', in runs.
void PutPrintable(const char* text, size_t length, LockedStream& line) REQUIRES(line) {
  FILE* const out = line.stream();
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i < length && Printable(text[i])) continue;
    std::fwrite(text + start, 1, i - start, out);
    if (i < length) putc_unlocked('?', out);
    start = i + 1;
  }
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
  const size_t length = BoundedLength(text, maxLen);
  if (level == kSystemLogLevel) LogToSystem(text, length);
  if (!terminal || background_.load()) return;

  const time_t now = static_cast<time_t>(platform_.WallNowSeconds());
  struct tm utc;
  std::memset(&utc, 0, sizeof utc);
  gmtime_r(&now, &utc);
  char tag[NameRegistry::kTagChars + 1];
  names_.CopyTag(providerId, tag);

  LockedStream line(platform_.ConsoleStream());
  FILE* const out = line.stream();
  if (colour_.load() && level <= kHighestColouredLevel) {
    std::fprintf(out, "\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m ",
                 kLevelColours[level / 25], utc.tm_hour, utc.tm_min, utc.tm_sec, tag);
  } else {
    std::fprintf(out, "%02d:%02d:%02d %-6.6s ", utc.tm_hour, utc.tm_min, utc.tm_sec, tag);
  }
  PutPrintable(text, length, line);
  putc_unlocked('\n', out);
}

void ConsoleWriter::LogToSystem(const char* text, size_t length) {
  char line[kSystemLogBuffer];
  std::string longLine;
  char* copy = line;
  if (length > sizeof line) {
    longLine.resize(length);
    copy = longLine.data();
  }
  CopyPrintable(text, length, copy);
  platform_.SystemLogCritical(copy, static_cast<int>(length));
}

}  // namespace dv
