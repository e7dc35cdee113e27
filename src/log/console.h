// The console writer: one line per log message on standard output, and
// the system log for level-100 messages.
//
// Line format, time in UTC:
//   coloured: ESC[3<c>mHH:MM:SS ESC[36m<tag:6>ESC[0m <text>
//   plain:    HH:MM:SS <tag:6> <text>
// The time stamp's colour <c> comes from the level: 0-24 magenta, 25-49
// green, 50-74 yellow, 75-100 red; a level above 100 prints plain. The tag is
// the source's registered name padded or cut to six characters, or "?".
//
// Honest lines: in the text of a message, on the console and in the system
// log, every byte below 0x20 but tab and newline, and 0x7f, is written as
// '?'. A newline inside a message's text starts a continuation line on the
// console, indented by the width of the line prefix (16 columns), so a
// multi-line message (the leak report: one line per block) reads as lines,
// and no continuation can pass for an entry of its own, which always starts
// with its time stamp in the first column. Newlines that end the text are
// dropped: the writer ends the entry itself. In the system log a newline is
// '?' like any other control byte, so one message stays one entry. A
// message (a plugin's, or the core's quoting a file name) can thus neither
// forge an entry nor move, recolour or clear the terminal. The escape
// sequences, line ends and indents above are the writer's own. The text
// itself is never changed: log events carry it as it was raised.
//
// Thread safety: Write may be called from any thread. Each message goes out
// under the stream's lock (flockfile), so the lines of different threads
// never interleave. The terminal test runs exactly once, on the first
// Write, and its answer holds for the writer's lifetime. The background
// flag is atomic. The console line is assembled in a fixed
// buffer on the stack and handed to the stream piece by piece, so printing
// allocates nothing whatever the text's length; only the system log's copy
// of a level-100 text longer than 1024 bytes is allocated.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "log/name_registry.h"
#include "platform/platform.h"

namespace dv {

class ConsoleWriter {
 public:
  ConsoleWriter(const NameRegistry& names, const Platform& platform);

  // Writes one message. `text` is read up to its NUL or `maxLen` bytes,
  // whichever comes first; it need not be NUL-terminated within `maxLen`.
  void Write(uint32_t providerId, uint32_t level, const char* text, uint32_t maxLen);

  // Set when the parent runs in the background: nothing is printed then.
  void SetBackground(bool background) { background_.store(background); }

 private:
  bool IsTerminal();
  void LogToSystem(const char* text, size_t length);

  const NameRegistry& names_;
  const Platform& platform_;
  std::atomic<bool> background_{false};
  std::once_flag terminalOnce_;
  bool terminal_ = false;  // written once under terminalOnce_
};

}  // namespace dv
