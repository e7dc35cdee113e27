#include "platform/crash_report.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace dv {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room for the handler's few frames plus the C library's own signal frame.
constexpr size_t kAltStackBytes = 64 * 1024;
constexpr char kSystemLogSocket[] = "/dev/log";
constexpr char kSystemLogTag[] = "devovor: ";

// A line built with no allocation and no formatting function.
class Line {
 public:
  void Add(const char* text) {
    while (*text != '\0' && used_ < sizeof text_) text_[used_++] = *text++;
  }
  void Add(int number) {
    char digits[12];
    int count = 0;
    unsigned magnitude = number < 0 ? 0u - static_cast<unsigned>(number) : number;
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0) Add("-");
    while (count > 0 && used_ < sizeof text_) text_[used_++] = digits[--count];
  }
  const char* data() const { return text_; }
  size_t size() const { return used_; }

 private:
  char text_[512];
  size_t used_ = 0;
};

void Describe(Line& line, const EntryPointMark* mark, int signal) {
  if (mark != nullptr && mark->plugin() != nullptr) {
    line.Add("plugin ");
    line.Add(mark->plugin());
    line.Add(" crashed in ");
    line.Add(mark->entry());
  } else {
    line.Add("the core crashed");
  }
  line.Add(" (signal ");
  line.Add(signal);
  line.Add(")");
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// One datagram to the system log socket, as a critical message of "devovor".
void SendToSystemLog(const Line& datagram) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kSystemLogSocket, sizeof kSystemLogSocket);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT);  // a full log never stalls the exit
  }
  close(fd);
}

void ReportFatalSignal(int signal) {
  const int savedErrno = errno;
  const EntryPointMark* mark = t_entryPointMark;
  Line line;
  Describe(line, mark, signal);
  line.Add("\n");
  WriteAll(STDOUT_FILENO, line.data(), line.size());
  Line datagram;
  datagram.Add("<");
  datagram.Add(LOG_USER | LOG_CRIT);
  datagram.Add(">");
  datagram.Add(kSystemLogTag);
  Describe(datagram, mark, signal);
  SendToSystemLog(datagram);

  // The default action ends the process: at once for a signal raised here,
  // or when the faulting instruction runs again after the return.
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
  errno = savedErrno;
}

void UseAlternateStack(void* memory, size_t size) {
  stack_t stack;
  std::memset(&stack, 0, sizeof stack);
  stack.ss_sp = memory;
  stack.ss_size = size;
  sigaltstack(&stack, nullptr);
}

}  // namespace

void InstallCrashReport() {
  if (!kCrashReportInstalled) return;
  alignas(16) static char mainThreadStack[kAltStackBytes];
  UseAlternateStack(mainThreadStack, sizeof mainThreadStack);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = ReportFatalSignal;
  sigemptyset(&action.sa_mask);
  // Other fatal signals wait while the report is written.
  for (int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_ONSTACK;
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

AlternateSignalStack::AlternateSignalStack() {
  if (!kCrashReportInstalled) return;
  void* memory = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;  // the handler then runs on the thread's stack
  memory_ = memory;
  UseAlternateStack(memory_, kAltStackBytes);
}

AlternateSignalStack::~AlternateSignalStack() {
  if (memory_ == nullptr) return;
  stack_t off;
  std::memset(&off, 0, sizeof off);
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(memory_, kAltStackBytes);
}

}  // namespace dv
