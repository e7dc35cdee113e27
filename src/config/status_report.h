// The status report and the Memory notification: the two XML documents the
// core tells the rest of the system about itself with.
//
// The status report (root Orvel, Delta 0) lists the core, every loaded
// plugin with its figures and thresholds, the parent's library when its
// version is known, and every file that failed to load. It is saved
// indented to "core.xml" without its Product element, then raised compactly
// with Product as a configuration event (0x100). The Memory notification
// carries the throttling state and the wall-clock time, raised as a status
// event (0x4). Numbers are written as signed 32-bit decimals.
// Text from outside the core (the parent's identity, file names, product
// strings) is written with every UTF-8 lead byte that lacks its continuation
// bytes replaced by '?', so that core.xml always loads back.
//
// Threads: WriteStatusReport runs on the main thread at start and on the
// I/O thread after an effective configuration update; never two at once.
// PublishMemoryState runs on the I/O thread. Both only read their inputs.
//
// The figures are a copy taken by the core: the parent's file name and
// version are copied together under the lock under which the parent
// channel stores them (core/parent_identity.h), so a report never mixes
// two identity packets; the plugin list is a snapshot; thresholds are read
// with atomic loads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "log/levels.h"
#include "platform/platform.h"
#include "plugins/plugin_list.h"

class TiXmlDocument;
class TiXmlElement;

namespace dv {

struct StatusFigures {
  std::string coreVersion;
  std::string coreFileName;
  bool throttlingEnabled = true;
  PluginList::Snapshot plugins;
  const LogLevelTable* logLevel = nullptr;
  const LogLevelTable* logLevelDefault = nullptr;
  std::string parentFileName;
  std::string parentVersion;
  std::map<std::string, std::string> failedPlugins;
  std::string productFamily;
};

// The report as saved to core.xml (no Product element). The root is the
// document's Orvel element.
std::unique_ptr<TiXmlDocument> BuildStatusReport(const StatusFigures& figures);
// Adds the Product element that only the raised report carries.
void AddProduct(TiXmlDocument* report, const StatusFigures& figures);

// Saves the report through `platform` and raises it; a failed save is
// logged at level 75.
void WriteStatusReport(const StatusFigures& figures,
                       const Platform& platform = Platform::Default());

std::unique_ptr<TiXmlDocument> BuildMemoryNotification(bool throttling, int64_t wallSeconds);

}  // namespace dv
