#include "log/name_registry.h"

#include <cstring>

namespace dv {

void NameRegistry::Insert(uint32_t id, const std::string& name) {
  WriterLock lock(mu_);
  names_[id] = name;
}

bool NameRegistry::Contains(uint32_t id) const {
  ReaderLock lock(mu_);
  return names_.count(id) != 0;
}

void NameRegistry::CopyTag(uint32_t id, char (&tag)[kTagChars + 1]) const {
  ReaderLock lock(mu_);
  auto it = names_.find(id);
  const char* name = it == names_.end() ? "?" : it->second.c_str();
  std::strncpy(tag, name, kTagChars);
  tag[kTagChars] = '\0';
}

}  // namespace dv
