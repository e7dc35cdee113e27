#include "platform/crash_report.h"

#include <signal.h>
#include <ucontext.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>

#include "platform/mutex.h"
#include "platform/plugin_code.h"

namespace dv {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room for the handler's few frames plus the C library's own signal frame.
constexpr size_t kAltStackBytes = 64 * 1024;
// Only the core's threads hold one; read by the handler on the faulting thread.
thread_local bool t_coreThread __attribute__((tls_model("initial-exec"))) = false;
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
  void AddHex(uint32_t number) {
    char digits[8];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[number % 16];
      number /= 16;
    } while (number != 0);
    Add("0x");
    while (count > 0 && used_ < sizeof text_) text_[used_++] = digits[--count];
  }
  void AddUnsigned(uint32_t number) {
    char digits[10];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + number % 10);
      number /= 10;
    } while (number != 0);
    while (count > 0 && used_ < sizeof text_) text_[used_++] = digits[--count];
  }
  const char* data() const { return text_; }
  size_t size() const { return used_; }

 private:
  char text_[512];
  size_t used_ = 0;
};

// A signal another process sent (kill, sigqueue, tgkill), or one this
// process sent with kill or sigqueue: it names no faulting instruction and
// may land on any thread. Only abort and raise (tgkill to the calling
// thread, from this process) count as the thread's own.
bool SentFromOutside(const siginfo_t& info) {
  if (info.si_code > 0) return false;  // a fault, or the kernel's own
  return !(info.si_code == SI_TKILL && info.si_pid == getpid());
}

// The address of the instruction the thread was at; 0 where unknown.
uintptr_t InterruptedInstruction(const void* context) {
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr) return 0;
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#elif defined(__arm__)
  return static_cast<uintptr_t>(uc->uc_mcontext.arm_pc);
#else
  return 0;
#endif
}

// The event a Write was handed: the fields an operator tells events by.
void DescribeEvent(Line& line, const _WriteParmsIn& event) {
  line.Add(" of event type ");
  line.AddHex(event.eventType);
  line.Add(" from provider ");
  line.AddHex(event.providerID);
  line.Add(" length ");
  line.AddUnsigned(event.len);
}

// Where a fault on this thread happened: the innermost mark, else the core
// on its own threads, else the plugin whose code holds the instruction.
void DescribeFault(Line& line, const ThreadMarks& marks, uintptr_t instruction) {
  const EntryPoint* mark = EntryOf(marks.entry.load(std::memory_order_relaxed));
  if (mark != nullptr && mark->plugin != nullptr) {
    line.Add("plugin ");
    line.Add(mark->plugin);
    line.Add(" crashed in ");
    line.Add(mark->entry);
    const _WriteParmsIn* event = marks.event.load(std::memory_order_relaxed);
    if (mark->handedEvent && event != nullptr) DescribeEvent(line, *event);
    return;
  }
  if (mark != nullptr || t_coreThread) {
    line.Add("the core crashed");
    return;
  }
  const char* plugin = instruction != 0 ? PluginHoldingCode(instruction) : nullptr;
  if (plugin != nullptr) {
    line.Add("plugin ");
    line.Add(plugin);
    line.Add(" crashed in a thread of its own");
  } else {
    line.Add("a thread the core did not start crashed");
  }
}

void Describe(Line& line, const siginfo_t& info, const void* context, int signal) {
  if (SentFromOutside(info)) {
    line.Add("the core was ended by signal ");
    line.Add(signal);
    line.Add(" from process ");
    line.Add(static_cast<int>(info.si_pid));
    return;
  }
  DescribeFault(line, t_threadMarks, InterruptedInstruction(context));
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

void ReportFatalSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  Line line;
  Describe(line, *info, context, signal);
  line.Add("\n");
  WriteAll(STDOUT_FILENO, line.data(), line.size());
  Line datagram;
  datagram.Add("<");
  datagram.Add(LOG_USER | LOG_CRIT);
  datagram.Add(">");
  datagram.Add(kSystemLogTag);
  Describe(datagram, *info, context, signal);
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

size_t PageBytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// The alternate stack and one inaccessible page below it, where a stack
// grows to: a handler that overruns the stack faults there (and the process
// dies by SIGSEGV) instead of writing over whatever lies below.
size_t GuardedStackBytes() { return PageBytes() + kAltStackBytes; }

// The mapping, or null; the stack starts one page above it.
void* MapGuardedStack() {
  void* mapping = mmap(nullptr, GuardedStackBytes(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  char* stack = static_cast<char*>(mapping) + PageBytes();
  if (mprotect(stack, kAltStackBytes, PROT_READ | PROT_WRITE) != 0) {
    munmap(mapping, GuardedStackBytes());
    return nullptr;
  }
  UseAlternateStack(stack, kAltStackBytes);
  return mapping;
}

// One plugin file's records, with the name they point into.
struct NamedEntryPoints {
  explicit NamedEntryPoints(const std::string& fileName) : name(fileName) {
    const char* file = name.c_str();
    points = {{file, "Write", true},   {file, "Load", false},  {file, "Open", false},
              {file, "Close", false},  {file, "Unload", false}, {file, "IOCTL", false},
              {file, "Read", false}};
  }
  const std::string name;
  PluginEntryPoints points;
};

// Never destroyed: a record may be read by a crash handler or the hang
// watch at any moment, up to the process's very end. A deque keeps every
// element where it was made.
struct EntryPointTable {
  Mutex mu;
  std::deque<NamedEntryPoints> plugins GUARDED_BY(mu);
};

EntryPointTable& Table() {
  static EntryPointTable* const table = new EntryPointTable;
  return *table;
}

}  // namespace

const PluginEntryPoints& EntryPointsOf(const std::string& fileName) {
  EntryPointTable& table = Table();
  MutexLock lock(table.mu);
  for (const NamedEntryPoints& known : table.plugins) {
    if (known.name == fileName) return known.points;
  }
  return table.plugins.emplace_back(fileName).points;
}

void InstallCrashReport() {
  if (!kCrashReportInstalled) return;
  t_coreThread = true;
  MapGuardedStack();  // the main thread's, for the life of the process; none: its own stack
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = ReportFatalSignal;
  sigemptyset(&action.sa_mask);
  // Other fatal signals wait while the report is written.
  for (int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_ONSTACK | SA_SIGINFO;
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

AlternateSignalStack::AlternateSignalStack() {
  if (!kCrashReportInstalled) return;
  t_coreThread = true;
  memory_ = MapGuardedStack();  // null: the handler runs on the thread's stack
}

AlternateSignalStack::~AlternateSignalStack() {
  if (memory_ == nullptr) return;
  stack_t off;
  std::memset(&off, 0, sizeof off);
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(memory_, GuardedStackBytes());
}

}  // namespace dv
