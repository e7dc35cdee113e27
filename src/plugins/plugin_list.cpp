#include "plugins/plugin_list.h"

namespace dv {

PluginList::PluginList() : current_(std::make_shared<const std::vector<Record>>()) {}

PluginList::Snapshot PluginList::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

void PluginList::Append(Record record) {
  std::vector<Record> next(*current_);
  next.push_back(std::move(record));
  Publish(std::move(next));
}

void PluginList::PushFront(Record record) {
  std::vector<Record> next;
  next.reserve(current_->size() + 1);
  next.push_back(std::move(record));
  next.insert(next.end(), current_->begin(), current_->end());
  Publish(std::move(next));
}

void PluginList::Clear() { Publish({}); }

void PluginList::Publish(std::vector<Record> next) {
  Snapshot fresh = std::make_shared<const std::vector<Record>>(std::move(next));
  std::lock_guard<std::mutex> lock(mu_);
  current_.swap(fresh);
  // The previous snapshot is released after the lock, in `fresh`.
}

}  // namespace dv
