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

// Room for a level-100 text on its way to the system log: on the stack for
// the usual message, on the heap for a very long one.
class SystemLogBuffer {
 public:
  explicit SystemLogBuffer(size_t size) {
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

// Collects a console line in a fixed buffer and hands it to the stream
// whenever the buffer fills, so a line of any length costs no allocation.
// The caller holds the stream's lock for the whole line.
class ConsoleOut {
 public:
  explicit ConsoleOut(FILE* stream) : stream_(stream) {}
  ~ConsoleOut() { Flush(); }
  ConsoleOut(const ConsoleOut&) = delete;
  ConsoleOut& operator=(const ConsoleOut&) = delete;

  void Put(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
  }
  void Put(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) Put(text[i]);
  }
  void Blanks(size_t count) {
    for (size_t i = 0; i < count; ++i) Put(' ');
  }

 private:
  void Flush() {
    std::fwrite(buffer_, 1, used_, stream_);
    used_ = 0;
  }

  FILE* const stream_;
  char buffer_[1024];
  size_t used_ = 0;
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

char PrintableOrMark(char c) { return Printable(c) ? c : '?'; }

void CopyPrintable(const char* text, size_t length, char* out) {
  for (size_t i = 0; i < length; ++i) out[i] = PrintableOrMark(text[i]);
}

// The line end of the text itself is the writer's own: newlines that end a
// message are not printed twice.
size_t WithoutTrailingNewlines(const char* text, size_t length) {
  while (length > 0 && text[length - 1] == '\n') --length;
  return length;
}

// The text after the prefix. A newline inside it starts a continuation
// indented by the prefix's visible width, so no continuation can pass for a
// console entry of its own (which always begins with a time stamp in the
// first column).
void PutText(const char* text, size_t length, size_t indent, ConsoleOut* out) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      out->Put('\n');
      out->Blanks(indent);
    } else {
      out->Put(PrintableOrMark(text[i]));
    }
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

  // The prefix's visible width: "HH:MM:SS ", the six-column tag and a blank.
  constexpr size_t kPrefixWidth = 8 + 1 + NameRegistry::kTagChars + 1;
  char prefix[64];
  const int prefixLength =
      level <= kHighestColouredLevel
          ? std::snprintf(prefix, sizeof prefix, "\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m ",
                          kLevelColours[level / 25], utc.tm_hour, utc.tm_min, utc.tm_sec, tag)
          : std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d %-6.6s ", utc.tm_hour,
                          utc.tm_min, utc.tm_sec, tag);
  // The whole message goes out under the stream's lock, so the lines of
  // different threads never interleave, however many pieces it takes.
  FILE* const stream = platform_.ConsoleStream();
  flockfile(stream);
  {
    ConsoleOut out(stream);
    out.Put(prefix, static_cast<size_t>(prefixLength));
    PutText(text, WithoutTrailingNewlines(text, length), kPrefixWidth, &out);
    out.Put('\n');
  }
  funlockfile(stream);
}

void ConsoleWriter::LogToSystem(const char* text, size_t length) {
  SystemLogBuffer buffer(length);
  char* const copy = buffer.data();
  CopyPrintable(text, length, copy);
  platform_.SystemLogCritical(copy, static_cast<int>(length));
}

}  // namespace dv
