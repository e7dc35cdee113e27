// Runs a program as a child process for tests that drive the real executable.
//
// Standard output goes to a pseudo-terminal or to a pipe, standard error to
// its own pipe, standard input reads /dev/null. Every wait takes a time-out
// and gives up when it passes, so a misbehaving child fails a test instead of
// hanging it. When the object goes away, the child and every process it
// started that is still in its process group are killed.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// GCC 12 with -fsanitize=address warns inside <regex> itself (GCC bug
// 105616, a false positive); silence it for this header only, so the
// sanitizer builds of the tests stay warning-free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

namespace dvtest {

// The emulator that runs the programs under test (the build's
// CMAKE_CROSSCOMPILING_EMULATOR, compiled in as DV_TEST_EMULATOR, a
// ';'-separated command); empty in a native build.
const std::vector<std::string>& Emulator();
// True when `path` needs the emulator: it is a program of the processor the
// tests were built for, and the tests run under an emulator.
bool NeedsEmulator(const std::string& path);
// `path` as one shell word, preceded by the emulator when it needs one.
std::string ShellCommandFor(const std::string& path);
// `argv` preceded by the emulator when its program needs one. For a program
// that another one (setpriv, a launcher) execs: ChildProcess puts the
// emulator only in front of the program it starts itself.
std::vector<std::string> WithEmulator(std::vector<std::string> argv);
// The command line of parent-sim (`sim`) starting the core `core`, then
// `rest`; the core goes through the emulator when it needs one.
std::vector<std::string> ParentSimArgv(const std::string& sim, const std::string& core,
                                       std::vector<std::string> rest);
// How much slower than native the programs run: DV_TEST_SLOWDOWN from the
// environment, else 1 natively and 5 under an emulator. Scales only the
// time-outs that a slower run would overrun, never a duration under test.
int Slowdown();
template <typename Duration>
Duration Scaled(Duration d) { return d * Slowdown(); }
// Waits until the file at `path` holds `text`; false after `timeout`.
bool WaitForFileContaining(const std::string& path, const std::string& text,
                           std::chrono::milliseconds timeout);

enum class Stdout { kPipe, kTerminal };
enum class Stream { kStdout, kStderr };

struct ChildOptions {
  std::vector<std::string> argv;  // argv[0] is passed as given
  std::string path;               // program to run; empty: argv[0]
  std::string workDir;            // empty: inherit the current directory
  bool removeWorkDir = false;     // the child removes workDir after entering it
  bool subreaper = false;         // the program adopts the orphans of its descendants
  Stdout stdoutMode = Stdout::kPipe;
};

// How a child ended, or that it had not ended in time.
struct ExitStatus {
  enum Kind { kExited, kSignaled, kTimedOut } kind = kTimedOut;
  int value = 0;  // exit code or signal number

  static ExitStatus Exited(int code) { return {kExited, code}; }
  static ExitStatus Signaled(int sig) { return {kSignaled, sig}; }
  bool operator==(const ExitStatus& o) const { return kind == o.kind && value == o.value; }
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

class ChildProcess {
 public:
  using Millis = std::chrono::milliseconds;

  explicit ChildProcess(const ChildOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Empty when the child runs; otherwise why it could not be started.
  const std::string& StartError() const { return startError_; }
  // The child's process: under an emulator, the emulator's process, which
  // forwards signals to the program it runs.
  pid_t Pid() const { return pid_; }
  bool Emulated() const { return emulated_; }

  // Reads until `pattern` matches somewhere in everything the stream has
  // produced so far. Returns the match and its groups, or nothing when the
  // time-out passes or the stream closes first.
  std::optional<std::vector<std::string>> WaitFor(Stream stream, const std::regex& pattern,
                                                   Millis timeout);
  // Waits until the child has a handler installed for `sig`. Not usable
  // under an emulator, which catches every fatal signal itself (see
  // Emulated()).
  bool WaitUntilCatching(int sig, Millis timeout);
  bool Signal(int sig);
  // Sends `sig` to `target` (the child itself when 0) and waits for the
  // child to end. Under ThreadSanitizer a signal is now and then never seen
  // by the process (a fault of the sanitizer's signal handling), so there
  // the signal is repeated every second until the child ends.
  ExitStatus SignalAndWaitForExit(int sig, Millis timeout, pid_t target = 0);
  // Holds the child stopped (SIGSTOP); true once it has stopped. Signals
  // sent meanwhile stay pending until Resume, so they reach it together.
  bool Pause(Millis timeout);
  bool Resume() { return Signal(SIGCONT); }
  // Reaps the child, then reads what is left of its output.
  ExitStatus WaitForExit(Millis timeout);

  const std::string& Output(Stream stream) const { return buffers_[Index(stream)]; }

 private:
  using Clock = std::chrono::steady_clock;
  template <typename Done>
  bool PumpUntil(Clock::time_point deadline, Done done);
  void PumpOnce(Clock::time_point deadline);
  bool ReadInto(int index);
  bool Reap(int options, bool* stopped = nullptr);
  bool StreamsClosed() const { return fds_[0] < 0 && fds_[1] < 0; }
  static int Index(Stream stream) { return stream == Stream::kStdout ? 0 : 1; }

  pid_t pid_ = -1;
  bool emulated_ = false;
  bool reaped_ = false;
  ExitStatus status_;
  int fds_[2] = {-1, -1};
  std::string buffers_[2];
  std::string startError_;
};

}  // namespace dvtest
