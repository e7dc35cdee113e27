#include "log/console.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>


namespace dv {
namespace {

// ANSI colour of the time stamp, indexed by level / 25.
constexpr int kLevelColours[] = {5, 2, 3, 1, 1};
constexpr uint32_t kSystemLogLevel = 100;
constexpr uint32_t kHighestColouredLevel = 100;

// Room for `size` bytes: on the stack for the usual line, which keeps the
// console free of allocations, on the heap for a very long one.
class LineBuffer {
 public:
  explicit LineBuffer(size_t size) {
    if (size > sizeof stack_) {
      heap_.resize(size);
      data_ = heap_.data();
    }
  }
  char* data() { return data_; }

 private:
  char stack_[1024];
  std::string heap_;
  char* data_ = stack_;
};

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

  // One whole line per fwrite: stdio writes it under the stream's lock, so
  // lines of different threads never interleave.
  char prefix[64];
  const int prefixLength =
      level <= kHighestColouredLevel
          ? std::snprintf(prefix, sizeof prefix, "\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m ",
                          kLevelColours[level / 25], utc.tm_hour, utc.tm_min, utc.tm_sec, tag)
          : std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d %-6.6s ", utc.tm_hour,
                          utc.tm_min, utc.tm_sec, tag);
  const size_t size = static_cast<size_t>(prefixLength) + length + 1;
  LineBuffer buffer(size);
  char* const line = buffer.data();
  std::memcpy(line, prefix, static_cast<size_t>(prefixLength));
  CopyPrintable(text, length, line + prefixLength);
  line[size - 1] = '\n';
  std::fwrite(line, 1, size, platform_.ConsoleStream());
}

void ConsoleWriter::LogToSystem(const char* text, size_t length) {
  LineBuffer buffer(length);
  char* const copy = buffer.data();
  CopyPrintable(text, length, copy);
  platform_.SystemLogCritical(copy, static_cast<int>(length));
}

}  // namespace dv
