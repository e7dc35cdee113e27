#include "config/configuration.h"

#include <tinyxml.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "config/xml_file.h"
#include "log/log.h"

namespace dv {
namespace {

constexpr uint32_t kLowestConfigurableId = 0x40000;
constexpr uint32_t kHighestKind = DV_LOG_KINDS - 1;

struct PluginLevel {
  uint32_t kind;
  int32_t level;
};

// The validity test shared by core.xml and updates.
bool ReadPluginLevel(const TiXmlElement& plugin, PluginLevel* out) {
  int32_t id = 0;
  int32_t level = 0;
  if (!ReadIntAttribute(plugin, "ID", &id) || !ReadIntAttribute(plugin, "LogLevel", &level)) {
    return false;
  }
  const uint32_t unsignedId = static_cast<uint32_t>(id);
  const uint32_t kind = KindIndex(unsignedId);
  if (unsignedId < kLowestConfigurableId || kind > kHighestKind) return false;
  if (level < -1 || level > 100) return false;
  *out = {kind, level};
  return true;
}

// Calls `visit` for every Modules/Module/Plugin element under `parent`, in
// document order.
void ForEachPlugin(const TiXmlElement& parent,
                   const std::function<void(const TiXmlElement&)>& visit) {
  const TiXmlElement* modules = parent.FirstChildElement("Modules");
  if (modules == nullptr) return;
  for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
       module = module->NextSiblingElement("Module")) {
    for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
         plugin = plugin->NextSiblingElement("Plugin")) {
      visit(*plugin);
    }
  }
}

void ReadProduct(const ConfigurationTargets& targets, const Platform& platform) {
  TiXmlDocument document;
  XmlStatus status;
  if (!LoadXmlFile(&document, "product.xml", &status, platform)) return;
  const TiXmlElement* root = document.RootElement();
  const TiXmlElement* product = root ? root->FirstChildElement("Product") : nullptr;
  if (product == nullptr) return;
  if (const char* family = product->Attribute("Family")) *targets.productFamily = family;
  if (const char* version = product->Attribute("Version")) *targets.coreVersion = version;
}

void ReadCore(const ConfigurationTargets& targets, const Platform& platform) {
  TiXmlDocument document;
  XmlStatus status;
  const bool loaded = LoadXmlFile(&document, "core.xml", &status, platform);
  const TiXmlElement* orvel = loaded ? document.FirstChildElement("Orvel") : nullptr;
  if (orvel == nullptr) {
    if (!loaded) {
      LogCore(75, "Failed to load/parse core.xml %d - %s.", status.id, status.description.c_str());
    } else {
      LogCore(75, "Failed to load core.xml, missing Orvel node.");
    }
    return;
  }
  int32_t throttling = 0;
  const TiXmlElement* memory = orvel->FirstChildElement("Memory");
  if (memory != nullptr && ReadIntAttribute(*memory, "Throttling", &throttling)) {
    targets.throttlingEnabled->store(throttling != 0);
  }
  ForEachPlugin(*orvel, [&](const TiXmlElement& element) {
    PluginLevel entry;
    if (!ReadPluginLevel(element, &entry)) return;
    int32_t fallback = -1;
    if (!ReadIntAttribute(element, "LogLevelDefault", &fallback) || fallback < -1 ||
        fallback > 100) {
      fallback = -1;
    }
    targets.logLevel->Set(entry.kind, entry.level != -1 ? entry.level : fallback);
  });
}

}  // namespace

bool ReadIntAttribute(const TiXmlElement& element, const char* name, int32_t* value) {
  const char* text = element.Attribute(name);
  if (text == nullptr) return false;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  const char* digits = (*text == '-' || *text == '+') ? text + 1 : text;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  const long long number = std::strtoll(text, nullptr, 10);
  if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

void LoadConfiguration(const ConfigurationTargets& targets, const Platform& platform) {
  ReadProduct(targets, platform);
  ReadCore(targets, platform);
}

bool ApplyConfigurationUpdate(const std::string& text, LogLevelTable& logLevel,
                              const LogLevelTable& logLevelDefault) {
  TiXmlDocument document;
  XmlStatus status;
  if (!ParseXml(&document, text, &status)) return false;
  const TiXmlElement* root = document.RootElement();
  int32_t delta = 0;
  if (root == nullptr || !ReadIntAttribute(*root, "Delta", &delta) || delta == 0) return false;
  bool changed = false;
  ForEachPlugin(*root, [&](const TiXmlElement& element) {
    PluginLevel entry;
    if (!ReadPluginLevel(element, &entry) || logLevel.Get(entry.kind) == entry.level) return;
    // -1 returns the kind to its default in one store, never passing -1.
    logLevel.Set(entry.kind, entry.level != -1 ? entry.level : logLevelDefault.Get(entry.kind));
    changed = true;
  });
  return changed;
}

}  // namespace dv
