// PluginEventCallback: the plain C function every plugin receives in Load
// and calls, from any thread, to raise events. It forwards to the attached
// entry, which the one core object attaches to its PluginEvent.
//
// The connection is a process-wide atomic pointer. AttachEntry connects it
// at the end of the core's construction; DetachEntry disconnects it at the
// start of destruction and then waits until no call is still inside.
// A call that arrives while no core is attached (a thread of a library that
// stays loaded, a detached thread that outlives the core) gets result 1 and
// touches nothing.
//
// No C++ exception ever leaves PluginEventCallback (plugins may be C): one
// thrown inside the core is caught here, the call gets result -1, and the
// failure is logged at level 100.
#pragma once

#include "plugin_api/event.h"

extern "C" int32_t PluginEventCallback(_EventParmsIn* in, _EventParmsOut* out);

namespace dv {

// Where PluginEventCallback forwards: `call(context, in, out)`. The record
// must outlive its attachment.
struct EventEntry {
  void (*call)(void* context, _EventParmsIn* in, _EventParmsOut* out);
  void* context;
};

void AttachEntry(const EventEntry* entry);
void DetachEntry();

}  // namespace dv
