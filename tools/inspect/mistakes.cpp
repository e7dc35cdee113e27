#include "inspect/mistakes.h"

#include "inspect/masks.h"
#include "plugin_api/helpers.h"

namespace dvinspect {
namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The classes whose masks admit something: "video 0x001, log 0x040". The
// close-order key (class 5) counts only when the plugin asks for delivery,
// since without it the mask is only that key.
std::string SubscribedClasses(const dv::PLUGININFO& p) {
  std::vector<std::string> classes;
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if (p.mask(k) == 0 || (k == DV_MASK_CLOSE_ORDER && !p.delivers())) continue;
    classes.push_back(std::string(dv_class_name(k)) + " " + Hex(DV_CLASS_BIT(k), 3));
  }
  return Joined(classes);
}

// Masks that serve nothing but Write: with delivery asked for, or without
// a reader, whose read requests they would otherwise match.
bool SubscribesWithoutWrite(const dv::PLUGININFO& p) {
  if (p.Write != nullptr || SubscribedClasses(p).empty()) return false;
  return p.delivers() || !(p.wantsReader() && p.Read != nullptr);
}

std::string RecordHeaderChanged(const _LoadParmsOut& out) {
  return "Load changed the header of its output record to size " + std::to_string(out.size) +
         ", version " + std::to_string(out.version) + " (the core wrote " +
         std::to_string(sizeof(_LoadParmsOut)) + ", " + std::to_string(DV_LOAD_OUT_VERSION) +
         "): the core ignores both today, but a future core may refuse the plugin or misread "
         "the record; set neither size nor version of _LoadParmsOut, leave them as the core "
         "wrote them";
}

}  // namespace

std::string RefusalAdvice(const PluginReport& report) {
  if (report.refusal.find("(missing symbol)") == std::string::npos) return "";
  return "the missing symbol is Load, the one entry point the core requires: define "
         "int32_t Load(void* in, void* out) with DV_EXPORT, which exports it under its plain "
         "name (a C++ compiler would otherwise mangle it)";
}

std::vector<std::string> LoadMistakes(const PluginReport& report) {
  const dv::PLUGININFO& p = report.plugin();
  const _LoadParmsOut& out = p.loadResults;
  std::vector<std::string> mistakes;
  if (SubscribesWithoutWrite(p)) {
    mistakes.push_back("it subscribes to events (eventMasks of " + SubscribedClasses(p) +
                       ") but does not export Write: the core never delivers an event to it; "
                       "export Write, or leave the masks and deliveryOption 0");
  }
  if (out.wantsWorker && p.IOCTL == nullptr) {
    mistakes.push_back("it sets wantsWorker but does not export IOCTL: the core starts no "
                       "worker; export IOCTL (the worker is request DV_IOCTL_WORKER), or leave "
                       "wantsWorker 0");
  }
  if (out.wantsReader && p.Read == nullptr) {
    mistakes.push_back("it sets wantsReader but does not export Read: it gets no reader thread "
                       "and no read request; export Read, or leave wantsReader 0");
  }
  if (out.size != sizeof(_LoadParmsOut) || out.version != DV_LOAD_OUT_VERSION) {
    mistakes.push_back(RecordHeaderChanged(out));
  }
  return mistakes;
}

std::string DroppedParentRequest(const std::string& target) {
  return "parent-sim sent it a parent request (target " + target +
         "), which the core dropped without a message: it does not export IOCTL; to take "
         "requests from the parent, export IOCTL and handle DV_IOCTL_PARENT_REQUEST";
}

std::string StrayThreads(const std::vector<std::string>& threads) {
  return std::to_string(threads.size()) + " thread(s) still running after its Close and "
         "Unload, its library released under them: " + Joined(threads) +
         "; stop the threads it starts in Close, and join them (pthread_join) before Unload "
         "returns";
}

}  // namespace dvinspect
