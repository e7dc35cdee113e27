#include "log/levels.h"

namespace dv {

LogLevelTable::LogLevelTable() {
  for (auto& entry : entries_) entry.store(static_cast<int8_t>(kNoThreshold));
  entries_[0].store(static_cast<int8_t>(kCoreDefaultThreshold));
}

}  // namespace dv
