// Which plugin entry point each thread is inside, and the one line the core
// leaves when a fatal signal ends it.
//
// Every call from the core into a plugin (Load, Open, Close, Unload, Write,
// IOCTL, Read) is bracketed by an `EntryPointMark` on the calling thread's
// stack: one thread-local pointer store before the call and one after, no
// lock, no allocation, so the delivery loop pays nothing measurable. Code
// of the core that a plugin calls back into (`PluginEventCallback`) puts a
// `BackInCore` mark over it, so a fault there is the core's.
//
// `InstallCrashReport` (main thread, once, at the start of `devovor::Start`)
// gives the main thread an alternate signal stack and installs one handler
// (SA_SIGINFO) for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT. Threads the
// core starts hold an `AlternateSignalStack` for their whole life, so the
// handler runs even when the fault was a stack overflow; a plugin's own
// thread may have none, and the handler then runs on that thread's stack.
// Every alternate stack has an inaccessible page below it, so a handler
// that overruns it faults instead of writing over other memory. The
// handler uses async-signal-safe calls only (write, socket, connect, send,
// sigaction, getpid, raise) and takes no lock; it writes one line:
//     "the core was ended by signal <n> from process <pid>"
//         a signal another process sent (kill, sigqueue, tgkill; si_code
//         <= 0), or this process with kill or sigqueue: it may land on any
//         thread, so no thread's mark says anything about it;
//     "plugin <file> crashed in <entry point> (signal <n>)"
//         a fault (or abort/raise) inside a marked call into a plugin;
//     "the core crashed (signal <n>)"
//         one on a thread the core started (or in a `BackInCore` mark),
//         outside every plugin's mark;
//     "plugin <file> crashed in a thread of its own (signal <n>)"
//         one on a thread the core did not start, whose interrupted
//         instruction lies in that plugin's code (see plugin_code.h);
//     "a thread the core did not start crashed (signal <n>)"
//         one on such a thread, at an instruction of no recorded plugin
//         (the C library's, say, or where the architecture's context is
//         not read);
// to standard output and, as a critical message of "devovor", to the
// system log socket "/dev/log"; then it puts back the default action and
// raises the signal again, so the process dies by the same signal, with
// the same exit status and core dump as without it.
//
// A thread of the process that sends a fatal signal to another with
// tgkill or pthread_kill cannot be told from the target raising it itself:
// such a signal is described as the target thread's own.
//
// Sanitizer builds install neither handlers nor alternate stacks: the
// sanitizers catch these signals themselves to print their own reports,
// which ours would pre-empt (`kCrashReportInstalled` is then false).
#pragma once

namespace dv {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kCrashReportInstalled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kCrashReportInstalled = false;
#else
inline constexpr bool kCrashReportInstalled = true;
#endif
#else
inline constexpr bool kCrashReportInstalled = true;
#endif

class EntryPointMark;

// The innermost mark of the calling thread; null outside every mark.
// Initial-exec: the core's own TLS is static, so the signal handler reads it
// without any call into the dynamic loader.
inline thread_local const EntryPointMark* t_entryPointMark
    __attribute__((tls_model("initial-exec"))) = nullptr;

class EntryPointMark {
 public:
  // `plugin` (the plugin's file name) and `entry` must outlive the mark;
  // a null plugin marks code of the core.
  EntryPointMark(const char* plugin, const char* entry)
      : plugin_(plugin), entry_(entry), outer_(t_entryPointMark) {
    t_entryPointMark = this;
  }
  ~EntryPointMark() { t_entryPointMark = outer_; }
  EntryPointMark(const EntryPointMark&) = delete;
  EntryPointMark& operator=(const EntryPointMark&) = delete;

  const char* plugin() const { return plugin_; }
  const char* entry() const { return entry_; }

 private:
  const char* const plugin_;
  const char* const entry_;
  const EntryPointMark* const outer_;
};

// Calls a plugin's entry point `fn` with a mark around the call, so that a
// crash inside it names `plugin` and `entry`.
template <typename Fn, typename... Args>
auto CallMarked(const char* plugin, const char* entry, Fn fn, Args... args) {
  const EntryPointMark mark(plugin, entry);
  return fn(args...);
}

// Core code running inside a plugin's call (a callback into the core).
class BackInCore : public EntryPointMark {
 public:
  BackInCore() : EntryPointMark(nullptr, nullptr) {}
};

// REQUIRES: main thread, once, before plugins load.
void InstallCrashReport();

// An alternate signal stack for the calling thread while the object lives;
// it also marks the thread as one the core started, for the crash report.
// Construct it first thing in a thread the core starts; never move it.
class AlternateSignalStack {
 public:
  AlternateSignalStack();
  ~AlternateSignalStack();
  AlternateSignalStack(const AlternateSignalStack&) = delete;
  AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

 private:
  void* memory_ = nullptr;  // the mapping: guard page, then the stack
};

}  // namespace dv
