#include "plugins/plugin_threads.h"

#include <exception>

#include "platform/thread_capabilities.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

void RunWorker(PluginEntryFn ioctl) {
  NarrowCallingThread();
  IoctlCall call = IoctlRecords(DV_IOCTL_WORKER);
  ioctl(&call.in, &call.out);
}

void RunReader(PluginEntryFn read) {
  NarrowCallingThread();
  ReadCall call = ReadRecords();
  read(&call.in, &call.out);
}

void StartOnce(std::thread& slot, void (*body)(PluginEntryFn), PluginEntryFn entry) {
  if (slot.joinable()) std::terminate();
  slot = std::thread(body, entry);
}

}  // namespace

void ProvideWorkerThread(PLUGININFO& plugin) { StartOnce(plugin.worker, RunWorker, plugin.IOCTL); }

void StartAsyncReader(PLUGININFO& plugin) { StartOnce(plugin.reader, RunReader, plugin.Read); }

}  // namespace dv
