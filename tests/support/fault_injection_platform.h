// A Platform whose files can fail and lose power, on the model of
// LevelDB's fault_injection_test.
//
// Every file operation is carried out on the real files, and also recorded
// in a model of what the storage device holds: the bytes of each file up to
// its last sync, and the names of each directory as of its last sync.
//
//   FailNext(op, error)   the next call of `op` fails with `error` and
//                         changes nothing;
//   ShortenNextAppend(n)  the next append takes only n bytes, with no error;
//   CrashAfter(n)         after n more calls the machine is down: every
//                         later call fails with EIO and changes nothing;
//   PowerLoss()           the files become what the device holds: every byte
//                         not synced is lost, and every creation, rename or
//                         removal whose directory was not synced is undone.
//
// Only files this platform created, or that MarkDurable introduced, are
// modelled; a test works on such files alone. Paths are compared as given,
// and a path's directory is everything before its last '/'.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace dv::test {

enum class FileOp { kCreate, kAppend, kFlush, kSync, kClose, kRead, kSyncFile, kRename, kRemove,
                    kSyncDirectory };

class FaultInjectionPlatform : public Platform {
 public:
  // The content of one file, with how much of it the system and the device
  // hold (a file's bytes only ever grow here: the XML files are written once).
  struct Inode {
    std::string bytes;   // appended so far, the process's buffer included
    size_t flushed = 0;  // handed to the system
    size_t synced = 0;   // on the device
  };

  FaultInjectionPlatform() = default;
  ~FaultInjectionPlatform() override = default;

  void FailNext(FileOp op, int error);
  void ShortenNextAppend(size_t bytes);
  void CrashAfter(int calls);
  // Whether a call was refused because the machine was down.
  bool crashed() const;
  void PowerLoss();
  // The file at `path`, as it is now, counts as fully on the device.
  void MarkDurable(const std::string& path);
  // The operations carried out so far, in order ("create", "append", ...).
  std::string Trace() const;

  std::unique_ptr<WritableFile> NewWritableFile(const std::string& path,
                                                int* error) const override;
  int ReadFile(const std::string& path, bool followLinks, std::string* bytes) const override;
  // A read through the open file counts as a read.
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path,
                                               int* error) const override;
  int SyncFile(const std::string& path) const override;
  int RenameFile(const std::string& from, const std::string& to) const override;
  int RemoveFile(const std::string& path) const override;
  int SyncDirectory(const std::string& path) const override;

 private:
  using Names = std::map<std::string, std::shared_ptr<Inode>>;

  // The error a call of `op` fails with, 0 when it is to be carried out
  // (then it joins the trace). REQUIRES: mu_ held.
  int Enter(FileOp op) const;

  mutable std::mutex mu_;
  mutable std::map<FileOp, int> failNext_;
  mutable size_t shortAppend_ = static_cast<size_t>(-1);
  mutable int callsLeft_ = -1;  // -1: no crash planned
  mutable bool crashed_ = false;
  mutable std::vector<std::string> trace_;
  mutable Names live_;     // the names as the system shows them
  mutable Names durable_;  // the names as the device holds them
  int generation_ = 0;  // raised by each power loss: older files are dead

  friend class FaultyFile;
  friend class FaultyReadableFile;
};

}  // namespace dv::test
