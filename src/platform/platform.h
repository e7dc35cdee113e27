// The thin layer between the core and the operating system's clocks,
// memory figures, system log and terminal.
//
// Contract: every function may be called from any thread at any time and
// touches no state of the core. The core reads these facts only through a
// Platform, so tests can substitute a subclass (a fake clock, a fake system
// log) without changing the code under test. The default instance is the
// real operating system and lives for the whole process.
#pragma once

#include <cstdint>
#include <cstdio>

namespace dv {

class Platform {
 public:
  virtual ~Platform() = default;

  // Monotonic time in nanoseconds since an unspecified epoch.
  virtual int64_t SteadyNowNs() const;
  // Wall-clock time in whole seconds since the epoch (time()).
  virtual int64_t WallNowSeconds() const;
  // Resident memory of this process in bytes, 0 when it cannot be read.
  // A 64-bit figure too large for 32 bits saturates instead of wrapping.
  virtual uint32_t ResidentBytes() const;
  // Sends the first `length` bytes of `text` to the system log at priority
  // LOG_CRIT with the process's default identity and facility.
  virtual void SystemLogCritical(const char* text, int length) const;
  // Whether standard output is a terminal.
  virtual bool StdoutIsTerminal() const;
  // Where console lines go: standard output.
  virtual FILE* ConsoleStream() const;

  // The real operating system.
  static const Platform& Default();
};

}  // namespace dv
