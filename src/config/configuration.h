// Configuration: product.xml and core.xml at start, configuration update
// events at run time.
//
// LoadConfiguration runs once, on the main thread, before any plugin is
// loaded and before the I/O thread exists. ApplyConfigurationUpdate runs on
// the I/O thread, one update at a time. Both read the log level tables and
// write LogLevel entries with single atomic stores.
//
// A Plugin element sets a threshold only when its ID and LogLevel are both
// numbers, the ID is at least 0x40000, its kind index is at most 254 and the
// level lies in -1..100; any other element is skipped silently. An integer
// attribute is a signed decimal at the start of its text (leading blanks
// allowed, trailing text ignored); text that does not start with a number,
// or a number outside the signed 32-bit range, is not a number.
//
// A core.xml LogLevelDefault outside -1..100 counts as absent.
#pragma once

#include <atomic>
#include <string>

#include "log/levels.h"
#include "platform/platform.h"

class TiXmlElement;

namespace dv {

// What LoadConfiguration may change.
struct ConfigurationTargets {
  std::string* productFamily;
  std::string* coreVersion;
  std::atomic<bool>* throttlingEnabled;
  LogLevelTable* logLevel;
};

// Reads product.xml and core.xml from the current directory through
// `platform`. Problems are logged (core.xml only) and leave the defaults in
// place.
void LoadConfiguration(const ConfigurationTargets& targets,
                       const Platform& platform = Platform::Default());

// Applies one update text. Returns true when a threshold changed, in which
// case the caller writes the status report again.
bool ApplyConfigurationUpdate(const std::string& text, LogLevelTable& logLevel,
                              const LogLevelTable& logLevelDefault);

// The signed 32-bit integer at the start of an attribute's text.
bool ReadIntAttribute(const TiXmlElement& element, const char* name, int32_t* value);

}  // namespace dv
