#include "platform/platform.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>

namespace dv {

int64_t Platform::SteadyNowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t Platform::WallNowSeconds() const {
  return static_cast<int64_t>(std::time(nullptr));
}

uint32_t Platform::ResidentBytes() const {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long total = 0, resident = 0;
  if (std::fscanf(f, "%lu %lu", &total, &resident) < 2) resident = 0;
  std::fclose(f);
  const long page = sysconf(_SC_PAGESIZE);
  const uint64_t bytes =
      static_cast<uint64_t>(resident) * static_cast<uint64_t>(page > 0 ? page : 0);
  const uint64_t max32 = std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(bytes > max32 ? max32 : bytes);
}

void Platform::SystemLogCritical(const char* text, int length) const {
  syslog(LOG_CRIT, "%.*s", length, text);
}

bool Platform::StdoutIsTerminal() const { return isatty(STDOUT_FILENO) == 1; }

FILE* Platform::ConsoleStream() const { return stdout; }

const Platform& Platform::Default() {
  static const Platform real;
  return real;
}

}  // namespace dv
