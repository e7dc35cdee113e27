#include "support/fault_injection_platform.h"

#include <errno.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>

namespace dv::test {
namespace {

const char* NameOf(FileOp op) {
  switch (op) {
    case FileOp::kCreate: return "create";
    case FileOp::kAppend: return "append";
    case FileOp::kFlush: return "flush";
    case FileOp::kSync: return "sync";
    case FileOp::kClose: return "close";
    case FileOp::kRead: return "read";
    case FileOp::kSyncFile: return "sync-file";
    case FileOp::kRename: return "rename";
    case FileOp::kRemove: return "remove";
    case FileOp::kSyncDirectory: return "sync-directory";
  }
  return "?";
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// A real file being written, mirrored into its inode.
class FaultyFile : public WritableFile {
 public:
  FaultyFile(const FaultInjectionPlatform& disk, std::unique_ptr<WritableFile> real,
             std::shared_ptr<FaultInjectionPlatform::Inode> inode)
      : disk_(disk), real_(std::move(real)), inode_(std::move(inode)),
        generation_(disk.generation_) {}

  size_t Append(const char* data, size_t length, int* error) override {
    std::lock_guard<std::mutex> lock(disk_.mu_);
    *error = Enter(FileOp::kAppend);
    if (*error != 0) return 0;
    size_t taken = length;
    if (disk_.shortAppend_ < length) taken = disk_.shortAppend_;
    disk_.shortAppend_ = static_cast<size_t>(-1);
    const size_t written = real_->Append(data, taken, error);
    inode_->bytes.append(data, written);
    return written;
  }
  int Flush() override {
    std::lock_guard<std::mutex> lock(disk_.mu_);
    if (const int error = Enter(FileOp::kFlush)) return error;
    const int error = real_->Flush();
    if (error == 0) inode_->flushed = inode_->bytes.size();
    return error;
  }
  int Sync() override {
    std::lock_guard<std::mutex> lock(disk_.mu_);
    if (const int error = Enter(FileOp::kSync)) return error;
    const int error = real_->Sync();
    if (error == 0) inode_->synced = inode_->flushed;
    return error;
  }
  int Close() override {
    std::lock_guard<std::mutex> lock(disk_.mu_);
    if (const int error = Enter(FileOp::kClose)) return error;
    const int error = real_->Close();
    inode_->flushed = inode_->bytes.size();  // fclose flushes, even when it fails
    return error;
  }

 private:
  // A file from before a power loss is gone with the process that wrote it.
  int Enter(FileOp op) {
    if (generation_ != disk_.generation_) return EIO;
    return disk_.Enter(op);
  }

  const FaultInjectionPlatform& disk_;
  std::unique_ptr<WritableFile> real_;
  std::shared_ptr<FaultInjectionPlatform::Inode> inode_;
  const int generation_;
};

// A real file being read; its reads are the platform's kRead operations.
class FaultyReadableFile : public ReadableFile {
 public:
  FaultyReadableFile(const FaultInjectionPlatform& disk, std::unique_ptr<ReadableFile> real)
      : disk_(disk), real_(std::move(real)) {}

  int Facts(FileFacts* facts) override { return real_->Facts(facts); }
  int ReadAll(std::string* bytes) override {
    std::lock_guard<std::mutex> lock(disk_.mu_);
    if (const int error = disk_.Enter(FileOp::kRead)) return error;
    return real_->ReadAll(bytes);
  }

 private:
  const FaultInjectionPlatform& disk_;
  std::unique_ptr<ReadableFile> real_;
};

void FaultInjectionPlatform::FailNext(FileOp op, int error) {
  std::lock_guard<std::mutex> lock(mu_);
  failNext_[op] = error;
}

void FaultInjectionPlatform::ShortenNextAppend(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  shortAppend_ = bytes;
}

void FaultInjectionPlatform::CrashAfter(int calls) {
  std::lock_guard<std::mutex> lock(mu_);
  callsLeft_ = calls;
  crashed_ = false;
}

bool FaultInjectionPlatform::crashed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return crashed_;
}

std::string FaultInjectionPlatform::Trace() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string text;
  for (const std::string& step : trace_) text += (text.empty() ? "" : " ") + step;
  return text.empty() ? "nothing" : text;
}

int FaultInjectionPlatform::Enter(FileOp op) const {
  if (callsLeft_ == 0) {
    crashed_ = true;
    return EIO;
  }
  const auto planned = failNext_.find(op);
  if (planned != failNext_.end()) {
    const int error = planned->second;
    failNext_.erase(planned);
    return error;
  }
  if (callsLeft_ > 0) --callsLeft_;
  trace_.push_back(NameOf(op));
  return 0;
}

void FaultInjectionPlatform::MarkDurable(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto inode = std::make_shared<Inode>();
  if (Platform::ReadFile(path, false, &inode->bytes) != 0) return;
  inode->flushed = inode->synced = inode->bytes.size();
  live_[path] = durable_[path] = inode;
}

// Rewrites every modelled name from what the device holds.
void FaultInjectionPlatform::PowerLoss() {
  std::lock_guard<std::mutex> lock(mu_);
  std::set<std::string> paths;
  for (const auto& [path, inode] : live_) paths.insert(path);
  for (const auto& [path, inode] : durable_) paths.insert(path);
  for (const std::string& path : paths) unlink(path.c_str());
  for (const auto& [path, inode] : durable_) {
    inode->bytes.resize(inode->synced);
    inode->flushed = inode->synced;
    std::ofstream(path, std::ios::binary) << inode->bytes;
  }
  live_ = durable_;
  ++generation_;
  callsLeft_ = -1;
  crashed_ = false;
  failNext_.clear();
  shortAppend_ = static_cast<size_t>(-1);
}

std::unique_ptr<WritableFile> FaultInjectionPlatform::NewWritableFile(const std::string& path,
                                                                      int* error) const {
  std::lock_guard<std::mutex> lock(mu_);
  *error = Enter(FileOp::kCreate);
  if (*error != 0) return nullptr;
  std::unique_ptr<WritableFile> real = Platform::NewWritableFile(path, error);
  if (!real) return nullptr;
  auto inode = std::make_shared<Inode>();
  live_[path] = inode;
  return std::make_unique<FaultyFile>(*this, std::move(real), inode);
}

int FaultInjectionPlatform::ReadFile(const std::string& path, bool followLinks,
                                     std::string* bytes) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (const int error = Enter(FileOp::kRead)) return error;
  return Platform::ReadFile(path, followLinks, bytes);
}

std::unique_ptr<ReadableFile> FaultInjectionPlatform::OpenForReading(const std::string& path,
                                                                     int* error) const {
  std::unique_ptr<ReadableFile> real = Platform::OpenForReading(path, error);
  if (!real) return nullptr;
  return std::make_unique<FaultyReadableFile>(*this, std::move(real));
}

int FaultInjectionPlatform::SyncFile(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (const int error = Enter(FileOp::kSyncFile)) return error;
  const int error = Platform::SyncFile(path);
  const auto it = live_.find(path);
  if (error == 0 && it != live_.end()) it->second->synced = it->second->flushed;
  return error;
}

int FaultInjectionPlatform::RenameFile(const std::string& from, const std::string& to) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (const int error = Enter(FileOp::kRename)) return error;
  const int error = Platform::RenameFile(from, to);
  if (error != 0) return error;
  const auto it = live_.find(from);
  if (it == live_.end()) {
    live_.erase(to);
  } else {
    live_[to] = it->second;
    live_.erase(from);
  }
  return 0;
}

int FaultInjectionPlatform::RemoveFile(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (const int error = Enter(FileOp::kRemove)) return error;
  const int error = Platform::RemoveFile(path);
  if (error == 0) live_.erase(path);
  return error;
}

int FaultInjectionPlatform::SyncDirectory(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (const int error = Enter(FileOp::kSyncDirectory)) return error;
  const int error = Platform::SyncDirectory(path);
  if (error != 0) return error;
  for (auto it = durable_.begin(); it != durable_.end();) {
    it = DirectoryOf(it->first) == path ? durable_.erase(it) : std::next(it);
  }
  for (const auto& [name, inode] : live_) {
    if (DirectoryOf(name) == path) durable_[name] = inode;
  }
  return 0;
}

}  // namespace dv::test
