// Which plugin entry point each thread is inside, and the one line the core
// leaves when a fatal signal ends it.
//
// Every call from the core into a plugin (Load, Open, Close, Unload, Write,
// IOCTL, Read) is marked (`CallMarked`): the calling thread's mark holds a
// pointer to the plugin's precomputed record of that entry point while the
// call runs. One store before the call and one after, no lock, no
// allocation, so the delivery loop pays next to nothing. Code of the core
// that a plugin calls back into (`PluginEventCallback`) puts a `BackInCore`
// mark over it, so a fault there is the core's.
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
//     "plugin <file> crashed in Write of event type 0x<t> from provider
//      0x<p> length <n> (signal <n>)"
//         the same inside a Write, with the event the plugin was handed
//         (as the core built it, whatever the plugin did to its copy);
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

#include <atomic>
#include <cstdint>
#include <string>

#include "plugin_api/plugin.h"

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

// One entry point of one plugin, as the crash line and the hang watch name
// it. Records are made once per plugin file name (EntryPointsOf) and kept
// for the life of the process, so a pointer to one, wherever it was read,
// can always be followed: no torn or dangling name is possible.
struct EntryPoint {
  const char* plugin;  // the plugin's file name; null marks code of the core
  const char* entry;   // "Load", "Write", ...
  bool handedEvent;    // Write: the thread's DeliveredEvent is the call's event
};

// Every entry point of one plugin file. `write` comes first: the delivery
// loop takes its address once per call.
struct PluginEntryPoints {
  EntryPoint write, load, open, close, unload, ioctl, read;
};

// The records of the plugin file `fileName`, made on first use and the same
// for every later use of the name. Any thread; takes the entry-point
// table's lock (a leaf, see events/event_router.h), never while plugin
// code runs.
const PluginEntryPoints& EntryPointsOf(const std::string& fileName);

// What a thread's marks say: written by that thread only, read by its own
// crash handler, and by the hang watch (another thread) for the thread it
// watches.
//   entry  the innermost marked call's EntryPoint, or 0 outside every mark.
//          The hang watch sets its lowest bit (kWatchedBit, compare and
//          swap) when it first sees a call; every store of the thread
//          clears it, so a value still bearing the bit at a later look
//          means no call began or ended in between (see
//          monitor/hang_watch.h). Readers mask the bit off.
//   event  the record the thread's Write calls are copied from: the
//          delivery loop stores the address of its per-event record (on
//          its stack) before the event's calls. Only followed while a
//          Write's mark is on, when that record is live; the stack it
//          points into stays mapped for the thread's life, so a look by
//          the hang watch that races with the next event reads stale
//          bytes, never unmapped memory, and drops them (hang_watch.h).
struct ThreadMarks {
  std::atomic<uintptr_t> entry{0};
  std::atomic<const _WriteParmsIn*> event{nullptr};
};
inline constexpr uintptr_t kWatchedBit = 1;

inline const EntryPoint* EntryOf(uintptr_t mark) {
  return reinterpret_cast<const EntryPoint*>(mark & ~kWatchedBit);
}

// The calling thread's marks. Local-exec: the core is linked into its
// executable (never into a shared object: the link would fail), so the
// signal handler and every marked call reach them with one access relative
// to the thread pointer, at an offset fixed at link time, with no call into
// the dynamic loader and no offset loaded first.
inline thread_local ThreadMarks t_threadMarks __attribute__((tls_model("local-exec")));

// Calls a plugin's entry point `fn` with `where` marked around the call, so
// that a crash inside it names the plugin and the entry point. One load and
// two stores: the release store orders everything the thread wrote before
// the call (the event record, the record `where` itself) before the mark,
// for the hang watch's acquire (free on x86; one barrier on ARM).
template <typename Fn, typename... Args>
auto CallMarked(const EntryPoint& where, Fn fn, Args... args) {
  std::atomic<uintptr_t>& mark = t_threadMarks.entry;
  const uintptr_t outer = mark.load(std::memory_order_relaxed);
  mark.store(reinterpret_cast<uintptr_t>(&where), std::memory_order_release);
  const auto result = fn(args...);
  mark.store(outer, std::memory_order_relaxed);
  return result;
}

// As CallMarked, for a caller that runs outside every mark (the delivery
// loop): the mark goes back to 0 without the outer one being read.
template <typename Fn, typename... Args>
auto CallMarkedOutermost(const EntryPoint& where, Fn fn, Args... args) {
  std::atomic<uintptr_t>& mark = t_threadMarks.entry;
  mark.store(reinterpret_cast<uintptr_t>(&where), std::memory_order_release);
  const auto result = fn(args...);
  mark.store(0, std::memory_order_relaxed);
  return result;
}

// Core code running inside a plugin's call (a callback into the core): a
// fault there is the core's, and the hang watch leaves it alone.
class BackInCore {
 public:
  BackInCore() : outer_(t_threadMarks.entry.load(std::memory_order_relaxed)) {
    t_threadMarks.entry.store(reinterpret_cast<uintptr_t>(&kCore), std::memory_order_relaxed);
  }
  ~BackInCore() { t_threadMarks.entry.store(outer_, std::memory_order_relaxed); }
  BackInCore(const BackInCore&) = delete;
  BackInCore& operator=(const BackInCore&) = delete;

 private:
  static constexpr EntryPoint kCore{nullptr, nullptr, false};
  const uintptr_t outer_;
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
