// PluginEventCallback: the plain C function every plugin receives in Load
// and calls, from any thread, to raise events. It forwards to
// devovor::PluginEvent of the one core object.
//
// The connection is a process-wide atomic pointer. AttachCore connects it at
// the end of the core's construction; DetachCore disconnects it at the start
// of destruction and then waits until no call is still inside the core.
// A call that arrives while no core is attached (a thread of a library that
// stays loaded, a detached thread that outlives the core) gets result 1 and
// touches nothing.
//
// No C++ exception ever leaves PluginEventCallback (plugins may be C): one
// thrown inside the core is caught here, the call gets result -1, and the
// failure is logged at level 100.
#pragma once

#include "plugin_api/event.h"

class devovor;

extern "C" int32_t PluginEventCallback(_EventParmsIn* in, _EventParmsOut* out);

namespace dv {

void AttachCore(devovor* core);
void DetachCore();

}  // namespace dv
