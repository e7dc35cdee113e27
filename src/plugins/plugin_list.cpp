#include "plugins/plugin_list.h"

namespace dv {

PluginList::PluginList()
    : current_(std::make_shared<const std::vector<Record>>()), written_(current_) {}

PluginList::Snapshot PluginList::snapshot() const {
  MutexLock lock(mu_);
  return current_;
}

namespace {

void GiveEntryPoints(PLUGININFO& plugin) {
  if (plugin.entryPoints == nullptr) plugin.entryPoints = &EntryPointsOf(plugin.name);
}

}  // namespace

void PluginList::Append(Record record) {
  GiveEntryPoints(*record);
  std::vector<Record> next(*written_);
  next.push_back(std::move(record));
  Publish(std::move(next));
}

void PluginList::PushFront(Record record) {
  GiveEntryPoints(*record);
  std::vector<Record> next;
  next.reserve(written_->size() + 1);
  next.push_back(std::move(record));
  next.insert(next.end(), written_->begin(), written_->end());
  Publish(std::move(next));
}

void PluginList::Clear() { Publish({}); }

void PluginList::Publish(std::vector<Record> next) {
  written_ = std::make_shared<const std::vector<Record>>(std::move(next));
  RebuildCandidates();
  Snapshot previous = written_;
  MutexLock lock(mu_);
  current_.swap(previous);
  // The previous snapshot is released after the lock, in `previous`.
}

void PluginList::RebuildCandidates() {
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    candidates_[k].clear();
    for (const Record& plugin : *written_) {
      if (plugin->delivers() && plugin->Write != nullptr) {
        candidates_[k].push_back({plugin.get(), plugin->mask(k)});
      }
    }
  }
}

}  // namespace dv
