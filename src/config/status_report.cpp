#include "config/status_report.h"

#include <tinyxml.h>

#include "config/xml_file.h"
#include "config/xml_event.h"
#include "log/log.h"
#include "plugin_api/event.h"

namespace dv {
namespace {

constexpr int32_t kFailedOpenCode = 79;

// Identifiers and 64-bit figures are written as the signed value of their
// low 32 bits.
int AsSigned32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

// Text from outside the core (the parent's identity, file names, error
// texts, product.xml read in a legacy encoding) as it may go into core.xml.
// TinyXML reads that file, which declares no encoding, as UTF-8 and takes a
// lead byte (0xC2..0xF4) together with the bytes its sequence needs,
// whatever they are: a sequence cut short would swallow the closing quote of
// the attribute, and core.xml would no longer load at the next start. Each
// lead byte not followed by its continuation bytes becomes '?'.
std::string ReadableText(std::string text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t need = lead >= 0xf0 && lead <= 0xf4 ? 4
                        : lead >= 0xe0 && lead <= 0xef ? 3
                        : lead >= 0xc2 && lead <= 0xdf ? 2
                                                       : 1;
    size_t have = 1;
    while (have < need && i + have < text.size() &&
           (static_cast<unsigned char>(text[i + have]) & 0xc0) == 0x80) {
      ++have;
    }
    if (have < need) text[i] = '?';
    i += have;
  }
  return text;
}

// A kind beyond the level tables has no thresholds of its own: -1.
int LevelOf(const LogLevelTable& table, uint32_t id) {
  const uint32_t kind = KindIndex(id);
  return kind < DV_LOG_KINDS ? table.Get(kind) : -1;
}

TiXmlElement PluginElement(int64_t id, const std::string& fileName, int64_t loadMs,
                           int64_t openMs, int32_t openCode, int logLevel, int logLevelDefault) {
  TiXmlElement plugin("Plugin");
  plugin.SetAttribute("ID", AsSigned32(id));
  plugin.SetAttribute("Filename", ReadableText(fileName));
  plugin.SetAttribute("Opened", 1);
  plugin.SetAttribute("LoadTimeMs", AsSigned32(loadMs));
  plugin.SetAttribute("OpenTimeMs", AsSigned32(openMs));
  plugin.SetAttribute("OpenCode", openCode);
  plugin.SetAttribute("LogLevel", logLevel);
  plugin.SetAttribute("LogLevelDefault", logLevelDefault);
  return plugin;
}

TiXmlElement ModuleElement(int64_t id, const std::string& name, const std::string& version) {
  TiXmlElement module("Module");
  module.SetAttribute("ID", AsSigned32(id));
  module.SetAttribute("Name", ReadableText(name));
  module.SetAttribute("Version", ReadableText(version));
  return module;
}

TiXmlElement MemoryElement(bool throttling) {
  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", AsSigned32(DV_CORE_ID));
  memory.SetAttribute("Throttling", throttling ? 1 : 0);
  return memory;
}

std::unique_ptr<TiXmlDocument> DocumentWith(const TiXmlElement& root) {
  auto document = std::make_unique<TiXmlDocument>();
  document->InsertEndChild(TiXmlDeclaration("", "", ""));
  document->InsertEndChild(root);
  return document;
}

}  // namespace

std::unique_ptr<TiXmlDocument> BuildStatusReport(const StatusFigures& f) {
  TiXmlElement core = ModuleElement(DV_CORE_ID, "Core", f.coreVersion);
  core.InsertEndChild(PluginElement(DV_CORE_ID, f.coreFileName, 0, 0, 0, f.logLevel->Get(0),
                                    f.logLevelDefault->Get(0)));
  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const PluginList::Record& plugin : *f.plugins) {
    core.InsertEndChild(PluginElement(plugin->id(), plugin->name, plugin->loadTimeMs,
                                      plugin->openTimeMs, plugin->openCode,
                                      LevelOf(*f.logLevel, plugin->id()),
                                      LevelOf(*f.logLevelDefault, plugin->id())));
    totalLoadMs += plugin->loadTimeMs;
    totalOpenMs += plugin->openTimeMs;
  }
  if (!f.parentVersion.empty()) {
    TiXmlElement library("Library");
    library.SetAttribute("Name", "vantord");
    library.SetAttribute("Filename", ReadableText(f.parentFileName));
    library.SetAttribute("Version", ReadableText(f.parentVersion));
    core.InsertEndChild(library);
  }
  TiXmlElement modules("Modules");
  modules.SetAttribute("TotalLoadTimeMs", AsSigned32(totalLoadMs));
  modules.SetAttribute("TotalOpenTimeMs", AsSigned32(totalOpenMs));
  int n = 1;
  for (const auto& [fileName, error] : f.failedPlugins) {
    core.InsertEndChild(PluginElement(n++, fileName, 0, 0, kFailedOpenCode, -1, -1));
  }
  modules.InsertEndChild(core);
  n = 1;
  for (const auto& [fileName, error] : f.failedPlugins) {
    modules.InsertEndChild(ModuleElement(n++, fileName, error));
  }
  TiXmlElement root("Orvel");
  root.SetAttribute("Delta", 0);
  root.InsertEndChild(MemoryElement(f.throttlingEnabled));
  root.InsertEndChild(modules);
  return DocumentWith(root);
}

void AddProduct(TiXmlDocument* report, const StatusFigures& figures) {
  TiXmlElement product("Product");
  product.SetAttribute("Family", ReadableText(figures.productFamily));
  product.SetAttribute("Version", ReadableText(figures.coreVersion));
  report->FirstChildElement("Orvel")->InsertEndChild(product);
}

void WriteStatusReport(const StatusFigures& figures, const Platform& platform) {
  std::unique_ptr<TiXmlDocument> report = BuildStatusReport(figures);
  XmlStatus status;
  if (!SaveXmlFile(*report, "core.xml", &status, platform)) {
    LogCore(75, "Failed to save config %d - %s", status.id, status.description.c_str());
  }
  AddProduct(report.get(), figures);
  RaiseXmlEvent(*report, DV_EVENT_CONFIG);
}

std::unique_ptr<TiXmlDocument> BuildMemoryNotification(bool throttling, int64_t wallSeconds) {
  TiXmlElement memory = MemoryElement(throttling);
  memory.SetAttribute("Time", AsSigned32(wallSeconds));
  TiXmlElement root("Orvel");
  root.InsertEndChild(memory);
  return DocumentWith(root);
}

}  // namespace dv
