// Capabilities of every thread of the process.
//
// Linux keeps capability sets per thread, and capset() changes only the
// calling thread's. Narrowing the main thread alone would leave every other
// thread (the I/O thread, plugin workers, readers, read-request threads and
// threads the plugins started themselves) with the wider sets for the rest
// of the run. NarrowOtherThreads therefore does for capset what the C
// library does for setuid: it sends one real-time signal to every task
// listed in /proc/self/task, and the handler, running on that task, makes
// the capset system call for itself.
//
//   - The handler narrows its own thread to the process's ceiling: the
//     effective and permitted sets lose every capability outside the mask,
//     the inheritable set is emptied. It never adds a capability, so it
//     cannot fail for lack of one, and a late or repeated signal is
//     harmless. It then writes one acknowledgement {tid, ceiling} into a
//     non-blocking pipe. It calls only capget, capset, gettid and write,
//     all async-signal-safe, and keeps errno.
//   - The handler is installed with SA_RESTART, so most interrupted system
//     calls resume; those that never resume (nanosleep, poll, ...) see
//     EINTR once, as they do when the C library runs setuid on all threads.
//   - The caller waits for the acknowledgements with a bounded wait (2 s
//     in all); a task that has ended, or whose status has shown the signal
//     blocked for 100 ms on end, is not waited for any longer (a signal
//     blocked only for a moment is taken as soon as it is unblocked). Tasks may end between listing and
//     signalling (ESRCH: nothing to do) and new ones may appear meanwhile:
//     the listing is repeated until a pass finds no task it has not
//     signalled. A thread created after its creator acknowledged inherits
//     the narrow sets.
//   - Then every task's sets (CapPrm, CapEff, CapInh, CapAmb) are read
//     back from /proc/self/task/<tid>/status, the last task listed as much
//     as the first. A task that still holds a capability outside the mask
//     (it blocks the signal, or did not answer in time) is returned by its
//     thread ID, and the core reports it at level 100 and goes on: such a
//     thread is a plugin's own (or the runtime's), it held the same powers
//     while the plugin loaded and opened, and stopping the appliance
//     because a plugin blocks signals in its threads would trade its
//     service for a report the operator already gets in the system log.
//   - After that pass, LookAtNewTasks (the monitor's tick) lists the tasks
//     again and reads only those it has not judged: a thread created by
//     one that was never narrowed inherits its wide sets. Such a task is
//     signalled; still wide at the next look, it is returned once, and the
//     core names it. A task within the ceiling is judged for good: sets
//     can only shrink without an execve.
//   - A status that cannot be read is judged by why: a task that has ended
//     (ENOENT, ESRCH) holds nothing, but any other failure (EMFILE, ENOMEM)
//     counts as all capabilities held, so a read that fails never passes
//     a task as narrow.
//   - Child processes (fork, or clone without CLONE_THREAD) keep the sets
//     of the thread that made them, and the core cannot narrow another
//     process. After each pass, and at each look, LookAtNewChildren lists
//     the children of every task (/proc/self/task/<tid>/children) and reads
//     the sets of each child it has not judged since the pass from
//     /proc/<pid>/status, with the same rules; a child wider than the
//     ceiling is returned once, and the core names it. A child within the
//     ceiling is judged for good: what a program it executes is granted
//     (a set-user-ID or file-capability program) is the system's grant.
//     A child of a child is not the core's to judge: its parent was.
//   - The handler is installed again on every pass and every look, so a
//     plugin that replaced it (or ignored the signal) is overruled, and
//     the read-back judges every task whatever its handler did.
//   - Once a ceiling is set the signal keeps its handler for the life of
//     the process, so a signal still pending on a thread that blocked it
//     can never take the default action (which would end the process).
//
// The signal is SIGRTMIN + 3: above the C library's reserved ones (below
// SIGRTMIN), not SIGRTMAX (which an emulator may not carry), and unused by
// Boost.Asio, which only handles the signals added to a signal set. From
// the first narrowing on it belongs to the core.
//
// Threads the core starts itself (the I/O thread, workers, readers,
// read-request threads) call NarrowCallingThread first, so they never run
// plugin code with more than the ceiling even when their creator could not
// be reached.
//
// Why not libpsx (libcap-dev): it runs a system call on the threads it
// knows, and it knows only threads created through its pthread_create
// wrapper, which is bound at link time (-Wl,--wrap=pthread_create). Plugins
// are shared objects linked on their own; their threads come from the C
// library's pthread_create and would be missed. It would also take SIGSYS
// for the whole process. The per-task walk covers every task the kernel
// lists, whoever created it.
//
// The signal's mask survives execve: a parent that starts the core with it
// blocked would leave it blocked in every thread the core ever starts.
// main therefore unblocks it before any thread exists (UnblockNarrowSignal).
//
// Every status and children file is read through a Platform (ReadFile), so
// that tests can make the reads fail.
//
// Threads: NarrowOtherThreads on the main thread; LookAtNewTasks and
// LookAtNewChildren on the I/O thread, or on the main thread after a pass;
// one at a time (a leaf lock of this file orders them).
// NarrowCallingThread and UnblockNarrowSignal on any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace dv {

// A task (a thread, or a child process) that holds capabilities outside the
// ceiling.
struct WideTask {
  int tid;  // its thread ID, or a child's process ID
  uint64_t held;  // the capabilities outside the ceiling
};

// Sets the process's ceiling to `mask`, narrows every other task to it and
// verifies every task, the caller's included (see above). False when the
// tasks cannot be listed; otherwise `*wide` holds every task still wider
// than `mask` (none, as a rule).
bool NarrowOtherThreads(uint32_t mask, std::vector<WideTask>* wide,
                        const Platform& os = Platform::Default());

// One look after the pass (see above): `*named` holds the tasks that stayed
// wider than the ceiling since the previous look, each returned once.
// Nothing to do before a ceiling is set. False when the tasks cannot be
// listed.
bool LookAtNewTasks(std::vector<WideTask>* named, const Platform& os = Platform::Default());

// One look at the child processes (see above): `*named` holds the children
// not judged since the last pass that hold more than the ceiling, each
// returned once. Nothing to do before a ceiling is set. False when the
// tasks or their children cannot be listed.
bool LookAtNewChildren(std::vector<WideTask>* named, const Platform& os = Platform::Default());

// Narrows the calling thread to the ceiling; nothing before one is set.
void NarrowCallingThread();

// The narrowing signal, SIGRTMIN + 3.
int NarrowSignal();

// Unblocks the narrowing signal in the calling thread's mask.
void UnblockNarrowSignal();

}  // namespace dv
