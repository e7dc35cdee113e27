// Threads the core runs for plugins: one worker (IOCTL request 1) and one
// asynchronous reader (Read with an empty request) per plugin that asks.
//
// Each thread first narrows its capabilities to the process's ceiling
// (platform/thread_capabilities.h), then calls its entry point once, with
// records on its own stack, ignores the result, and ends when the plugin
// returns (which it must do once it has been closed). The core holds none of its locks meanwhile.
// Started and joined on the main thread; each handle is filled at most
// once per plugin (a second start terminates the process).
#pragma once

#include "plugins/plugin_info.h"

namespace dv {

// REQUIRES: main thread; plugin.IOCTL exported.
void ProvideWorkerThread(PLUGININFO& plugin);
// REQUIRES: main thread; plugin.Read exported.
void StartAsyncReader(PLUGININFO& plugin);

}  // namespace dv
