#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace dvtest {
namespace {

// A wait whose condition is not output-driven re-checks at this period.
constexpr auto kSlice = std::chrono::milliseconds(10);
// After the child is reaped, its output is read for at most this long.
constexpr auto kDrainTime = std::chrono::seconds(2);

// What the child inherits. Index 0 of each pair is the parent's end. The
// report pipe is close-on-exec, so it reads end-of-file once exec succeeds
// and a failure record otherwise.
struct Plumbing {
  int in = -1;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};
};

struct ExecFailure {
  const char* step;  // a literal, at the same address in parent and child
  int error;
};

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void ClosePlumbing(Plumbing* p) {
  for (int* fd : {&p->in, p->out, p->out + 1, p->err, p->err + 1, p->report, p->report + 1})
    CloseFd(fd);
}

// out[0] becomes the master, out[1] the slave the child writes to.
bool OpenTerminal(int fds[2]) {
  fds[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fds[0] < 0 || grantpt(fds[0]) != 0 || unlockpt(fds[0]) != 0) return false;
  char name[64];
  if (ptsname_r(fds[0], name, sizeof name) != 0) return false;
  fds[1] = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  return fds[1] >= 0;
}

bool OpenPlumbing(Stdout mode, Plumbing* p) {
  p->in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const bool out = mode == Stdout::kTerminal ? OpenTerminal(p->out) : pipe2(p->out, O_CLOEXEC) == 0;
  return p->in >= 0 && out && pipe2(p->err, O_CLOEXEC) == 0 && pipe2(p->report, O_CLOEXEC) == 0;
}

// Only async-signal-safe calls from here to exec: the parent may have threads.
[[noreturn]] void FailInChild(int reportFd, const char* step) {
  const ExecFailure failure{step, errno};
  if (write(reportFd, &failure, sizeof failure) < 0) _exit(126);
  _exit(127);
}

[[noreturn]] void RunChild(const ChildOptions& o, const char* path, char* const* argv,
                           const Plumbing& p) {
  setsid();  // no terminal signals from the test runner's session
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) signal(sig, SIG_DFL);
  if (dup2(p.in, 0) < 0 || dup2(p.out[1], 1) < 0 || dup2(p.err[1], 2) < 0)
    FailInChild(p.report[1], "dup2");
  if (!o.workDir.empty() && chdir(o.workDir.c_str()) != 0) FailInChild(p.report[1], "chdir");
  if (o.removeWorkDir && rmdir(o.workDir.c_str()) != 0) FailInChild(p.report[1], "rmdir");
  // Kept across execve: the program run becomes the reaper of its orphans.
  if (o.subreaper && prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
    FailInChild(p.report[1], "prctl");
  }
  execv(path, argv);
  FailInChild(p.report[1], "execv");
}

// Blocks until the child has exec'd or failed to; empty on success.
std::string ReadExecReport(int fd) {
  ExecFailure failure{};
  ssize_t n;
  do n = read(fd, &failure, sizeof failure);
  while (n < 0 && errno == EINTR);
  if (n == 0) return {};
  if (n != static_cast<ssize_t>(sizeof failure)) return "lost the exec report";
  return std::string(failure.step) + ": " + std::strerror(failure.error);
}

bool Catches(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::strtoull(line.c_str() + 7, nullptr, 16) >> (sig - 1)) & 1;
  }
  return false;
}

// The ELF machine of the program at `path`; 0 when it is not an ELF file.
unsigned ElfMachine(const char* path) {
  unsigned char header[20] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
  if (std::memcmp(header, "\x7f" "ELF", 4) != 0) return 0;
  const bool little = header[5] == 1;  // EI_DATA
  return little ? header[18] | header[19] << 8 : header[19] | header[18] << 8;
}

}  // namespace

const std::vector<std::string>& Emulator() {
  static const std::vector<std::string> command = [] {
    std::vector<std::string> words;
#ifdef DV_TEST_EMULATOR
    std::istringstream in(DV_TEST_EMULATOR);
    for (std::string word; std::getline(in, word, ';');) {
      if (!word.empty()) words.push_back(word);
    }
#endif
    return words;
  }();
  return command;
}

bool NeedsEmulator(const std::string& path) {
  if (Emulator().empty()) return false;
  // The emulator shows the emulated program as /proc/self/exe.
  static const unsigned self = ElfMachine("/proc/self/exe");
  const unsigned machine = ElfMachine(path.c_str());
  return machine != 0 && machine == self;
}

std::vector<std::string> ParentSimArgv(const std::string& sim, const std::string& core,
                                       std::vector<std::string> rest) {
  std::vector<std::string> argv = {sim, "--core", core};
  if (NeedsEmulator(core)) argv.insert(argv.end(), {"--emulator", Emulator().front()});
  argv.insert(argv.end(), rest.begin(), rest.end());
  return argv;
}

std::vector<std::string> WithEmulator(std::vector<std::string> argv) {
  if (argv.empty() || !NeedsEmulator(argv.front())) return argv;
  std::vector<std::string> words = Emulator();
  words.insert(words.end(), argv.begin(), argv.end());
  return words;
}

std::string ShellCommandFor(const std::string& path) {
  std::string command;
  if (NeedsEmulator(path)) {
    for (const std::string& word : Emulator()) command += "'" + word + "' ";
  }
  return command + "'" + path + "'";
}

int Slowdown() {
  static const int factor = [] {
    const char* text = std::getenv("DV_TEST_SLOWDOWN");
    const int given = text != nullptr ? std::atoi(text) : 0;
    if (given > 0) return given;
    return Emulator().empty() ? 1 : 5;
  }();
  return factor;
}

bool WaitForFileContaining(const std::string& path, const std::string& text,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (content.find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kSlice);
  }
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.kind == ExitStatus::kTimedOut) return out << "still running at the time-out";
  return out << (status.kind == ExitStatus::kExited ? "exited with code " : "killed by signal ")
             << status.value;
}

ChildProcess::ChildProcess(const ChildOptions& options) {
  Plumbing p;
  std::string path = options.path.empty() ? options.argv.at(0) : options.path;
  std::vector<std::string> words = options.argv;
  if (NeedsEmulator(path)) {
    // qemu-user: EMULATOR -0 ARGV0 PROGRAM ARGS..., so the program sees
    // the argv[0] it was given.
    emulated_ = true;
    words = Emulator();
    words.insert(words.end(), {"-0", options.argv.at(0), path});
    words.insert(words.end(), options.argv.begin() + 1, options.argv.end());
    path = words.front();
  }
  std::vector<char*> argv;
  for (const std::string& arg : words) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (OpenPlumbing(options.stdoutMode, &p)) pid_ = fork();
  if (pid_ == 0) RunChild(options, path.c_str(), argv.data(), p);
  if (pid_ < 0) startError_ = std::string("could not start: ") + std::strerror(errno);
  std::swap(fds_[0], p.out[0]);
  std::swap(fds_[1], p.err[0]);
  CloseFd(&p.report[1]);
  if (pid_ > 0) startError_ = ReadExecReport(p.report[0]);
  ClosePlumbing(&p);
}

// The child leads its own session and process group (RunChild), and every
// process it starts joins that group unless it leaves it: killing the group
// also ends a core that parent-sim or a shell started, even when a failed
// test leaves it running under another account, which clears its
// parent-death signal.
ChildProcess::~ChildProcess() {
  if (pid_ > 0) kill(-pid_, SIGKILL);
  if (pid_ > 0 && !reaped_) {
    while (!Reap(0) && errno == EINTR) {
    }
  }
  CloseFd(&fds_[0]);
  CloseFd(&fds_[1]);
}

// Collects a change of the child's state: true once it has ended, with
// *stopped set instead when it has only stopped (options has WUNTRACED).
bool ChildProcess::Reap(int options, bool* stopped) {
  if (reaped_) return true;
  int status = 0;
  if (pid_ <= 0 || waitpid(pid_, &status, options) != pid_) return false;
  if (WIFSTOPPED(status)) {
    if (stopped != nullptr) *stopped = true;
    return false;
  }
  reaped_ = true;
  status_ = WIFEXITED(status) ? ExitStatus::Exited(WEXITSTATUS(status))
                              : ExitStatus::Signaled(WTERMSIG(status));
  return true;
}

// Reads one chunk; false once the stream has ended (a pty master reports
// EIO when the last slave is gone).
bool ChildProcess::ReadInto(int index) {
  char chunk[4096];
  const ssize_t n = read(fds_[index], chunk, sizeof chunk);
  if (n > 0) buffers_[index].append(chunk, static_cast<size_t>(n));
  if (n > 0 || (n < 0 && errno == EINTR)) return true;
  CloseFd(&fds_[index]);
  return false;
}

// Waits at most one slice for output and reads whatever arrived.
void ChildProcess::PumpOnce(Clock::time_point deadline) {
  const auto until = std::min(deadline, Clock::now() + kSlice);
  const auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
  pollfd polled[2];
  int indexes[2];
  nfds_t count = 0;
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0) continue;
    polled[count] = {fds_[i], POLLIN, 0};
    indexes[count++] = i;
  }
  if (poll(polled, count, static_cast<int>(std::max<decltype(left)>(left, 0))) <= 0) return;
  for (nfds_t k = 0; k < count; ++k)
    if (polled[k].revents != 0) ReadInto(indexes[k]);
}

template <typename Done>
bool ChildProcess::PumpUntil(Clock::time_point deadline, Done done) {
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    PumpOnce(deadline);
  }
  return true;
}

std::optional<std::vector<std::string>> ChildProcess::WaitFor(Stream stream,
                                                              const std::regex& pattern,
                                                              Millis timeout) {
  const int i = Index(stream);
  std::smatch match;
  PumpUntil(Clock::now() + timeout,
            [&] { return std::regex_search(buffers_[i], match, pattern) || fds_[i] < 0; });
  if (match.empty()) return std::nullopt;
  return std::vector<std::string>(match.begin(), match.end());
}

bool ChildProcess::WaitUntilCatching(int sig, Millis timeout) {
  bool caught = false;
  PumpUntil(Clock::now() + timeout, [&] { return (caught = Catches(pid_, sig)) || Reap(WNOHANG); });
  return caught;
}

bool ChildProcess::Signal(int sig) { return pid_ > 0 && !reaped_ && kill(pid_, sig) == 0; }

ExitStatus ChildProcess::SignalAndWaitForExit(int sig, Millis timeout, pid_t target) {
  const pid_t to = target > 0 ? target : pid_;
  kill(to, sig);
#if defined(__SANITIZE_THREAD__)
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const ExitStatus status = WaitForExit(Millis(1000));
    if (status.kind != ExitStatus::kTimedOut || Clock::now() >= deadline) return status;
    kill(to, sig);
  }
#else
  return WaitForExit(timeout);
#endif
}

bool ChildProcess::Pause(Millis timeout) {
  bool stopped = false;
  if (!Signal(SIGSTOP)) return false;
  PumpUntil(Clock::now() + timeout, [&] { return Reap(WNOHANG | WUNTRACED, &stopped) || stopped; });
  return stopped;
}

ExitStatus ChildProcess::WaitForExit(Millis timeout) {
  if (!PumpUntil(Clock::now() + timeout, [this] { return Reap(WNOHANG); })) return {};
  PumpUntil(Clock::now() + kDrainTime, [this] { return StreamsClosed(); });
  return status_;
}

}  // namespace dvtest
