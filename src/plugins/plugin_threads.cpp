#include "plugins/plugin_threads.h"

#include <exception>

#include "platform/crash_report.h"
#include "platform/thread_capabilities.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

// `where` is one of the plugin's entry-point records, which live for the
// whole process.
void RunWorker(PluginEntryFn ioctl, const EntryPoint* where) {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  IoctlCall call = IoctlRecords(DV_IOCTL_WORKER);
  CallMarked(*where, ioctl, &call.in, &call.out);
}

void RunReader(PluginEntryFn read, const EntryPoint* where) {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  ReadCall call = ReadRecords();
  CallMarked(*where, read, &call.in, &call.out);
}

void StartOnce(std::thread& slot, void (*body)(PluginEntryFn, const EntryPoint*),
               PluginEntryFn entry, const EntryPoint& where) {
  if (slot.joinable()) std::terminate();
  slot = std::thread(body, entry, &where);
}

}  // namespace

void ProvideWorkerThread(PLUGININFO& plugin) {
  StartOnce(plugin.worker, RunWorker, plugin.IOCTL, plugin.entryPoints->ioctl);
}

void StartAsyncReader(PLUGININFO& plugin) {
  StartOnce(plugin.reader, RunReader, plugin.Read, plugin.entryPoints->read);
}

}  // namespace dv
