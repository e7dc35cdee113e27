// Where each loaded plugin's code lies, for the crash report.
//
// When a thread the core did not start faults, the crash report names the
// plugin whose code holds the faulting instruction. The signal handler may
// take no lock and may not call into the dynamic loader, so the core
// records each plugin's executable segments right after dlopen, in a fixed
// table of `kPluginCodeSlots` slots, and forgets them right before dlclose:
//
//   - A slot is filled once and published by a release store of the
//     number of slots in use; its range and name never change afterwards,
//     and slots are never reused, so a reader sees a slot whole or not at
//     all. Only the slot's `live` flag changes later: cleared (release)
//     before the library is closed, so code that is no longer mapped, or
//     is mapped again for another library, is never blamed on it.
//   - A plugin loaded once the table is full is not recorded: a fault on
//     its own threads is then reported without its name.
//
// Threads: RecordPluginCode and ForgetPluginCode on the main thread only
// (the plugin host's load and unload); PluginHoldingCode on any thread,
// from a signal handler too (async-signal-safe: atomic loads only).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dv {

inline constexpr size_t kPluginCodeSlots = 128;

// Records the executable segments of `library` (a dlopen handle) under
// `name` (the plugin's file name, truncated to 255 bytes).
// REQUIRES: main thread.
void RecordPluginCode(void* library, const char* name);

// Forgets every record of `library`. Call before dlclose.
// REQUIRES: main thread.
void ForgetPluginCode(void* library);

// The name of the live plugin whose executable segments hold `address`,
// or null. Async-signal-safe.
const char* PluginHoldingCode(uintptr_t address);

}  // namespace dv
