#include "plugins/plugin_threads.h"

#include <exception>

#include "platform/crash_report.h"
#include "platform/thread_capabilities.h"
#include "plugins/plugin_records.h"

namespace dv {
namespace {

// `name` is the plugin's file name, which outlives the thread: the record
// is released only after the thread has been joined.
void RunWorker(PluginEntryFn ioctl, const char* name) {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  IoctlCall call = IoctlRecords(DV_IOCTL_WORKER);
  CallMarked(name, "IOCTL", ioctl, &call.in, &call.out);
}

void RunReader(PluginEntryFn read, const char* name) {
  AlternateSignalStack altStack;
  NarrowCallingThread();
  ReadCall call = ReadRecords();
  CallMarked(name, "Read", read, &call.in, &call.out);
}

void StartOnce(std::thread& slot, void (*body)(PluginEntryFn, const char*), PluginEntryFn entry,
               const std::string& name) {
  if (slot.joinable()) std::terminate();
  slot = std::thread(body, entry, name.c_str());
}

}  // namespace

void ProvideWorkerThread(PLUGININFO& plugin) {
  StartOnce(plugin.worker, RunWorker, plugin.IOCTL, plugin.name);
}

void StartAsyncReader(PLUGININFO& plugin) {
  StartOnce(plugin.reader, RunReader, plugin.Read, plugin.name);
}

}  // namespace dv
