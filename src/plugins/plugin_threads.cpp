#include "plugins/plugin_threads.h"

#include <cstring>
#include <exception>

namespace dv {
namespace {

void RunWorker(PluginEntryFn ioctl) {
  _IoctlParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_RECORD_VERSION;
  in.request = DV_IOCTL_WORKER;
  in.blockSize = DV_BLOCK_HEADER_ONLY;
  in.blockVersion = DV_RECORD_VERSION;
  _IoctlParmsOut out;
  std::memset(&out, 0, sizeof out);
  out.size = sizeof out;
  out.version = DV_RECORD_VERSION;
  out.request = DV_IOCTL_WORKER;
  out.blockSize = DV_BLOCK_HEADER_ONLY;
  out.blockVersion = DV_RECORD_VERSION;
  ioctl(&in, &out);
}

void RunReader(PluginEntryFn read) {
  _ReadParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_RECORD_VERSION;
  in.readFlag = 1;
  _ReadParmsOut out;
  std::memset(&out, 0, sizeof out);
  out.size = sizeof out;
  out.version = DV_RECORD_VERSION;
  read(&in, &out);
}

void StartOnce(std::thread& slot, void (*body)(PluginEntryFn), PluginEntryFn entry) {
  if (slot.joinable()) std::terminate();
  slot = std::thread(body, entry);
}

}  // namespace

void ProvideWorkerThread(PLUGININFO& plugin) { StartOnce(plugin.worker, RunWorker, plugin.IOCTL); }

void StartAsyncReader(PLUGININFO& plugin) { StartOnce(plugin.reader, RunReader, plugin.Read); }

}  // namespace dv
