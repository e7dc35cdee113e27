// The thin layer between the core and the operating system: clocks and
// sleeping, memory figures, system log, terminal, the files it saves, and
// the process's user and group IDs.
//
// Contract: every function may be called from any thread at any time and
// touches no state of the core. The core reads these facts, sleeps, changes
// files and changes accounts only through a Platform, so tests can
// substitute a subclass (a fake clock, a fake system log, a disk that fails
// or loses power, a C library that leaves a saved user ID behind) without
// changing the code under test. The default instance is the real operating
// system and lives for the whole process.
//
// Files: the operations the XML files need, on the model of LevelDB's Env.
// Each returns 0 or the errno value of its failure, and never throws for a
// file-system error. Durability follows POSIX: data written to a file
// survives a power loss only once the file was synced, and a name created,
// renamed or removed only once its directory was synced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The wall clock is read as time_t (time(), gmtime_r): a 32-bit one ends in
// January 2038. The build defines _TIME_BITS=64 (with _FILE_OFFSET_BITS=64),
// which gives a 32-bit glibc target (2.34 or later) a 64-bit time_t; every
// part of the core includes this header, so none is built with less.
static_assert(sizeof(std::time_t) == 8,
              "time_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64");

namespace dv {

// A file open for writing through a buffer of the process, like LevelDB's
// WritableFile. One thread at a time.
class WritableFile {
 public:
  // A file not closed yet is closed; errors are ignored then.
  virtual ~WritableFile() = default;
  // Appends `length` bytes and returns how many were taken. When fewer are
  // taken, `*error` is the errno value of the failure, or 0 for a short
  // write the system did not explain.
  virtual size_t Append(const char* data, size_t length, int* error) = 0;
  // Hands the buffered bytes to the system.
  virtual int Flush() = 0;
  // Forces what was flushed to the storage device (fsync).
  virtual int Sync() = 0;
  // Flushes and closes; later calls fail with EBADF.
  virtual int Close() = 0;
};

// Where the core's payload blocks come from and where they go: malloc and
// free, or functions with their contracts (a block from `allocate` may be
// given to free(), and `release` takes any malloc'ed block), so that tests
// can count blocks or refuse them.
struct BlockAllocator {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};

// What a file is: from lstat for a name (a symbolic link is not followed),
// from fstat for an open file.
struct FileFacts {
  bool regular = false;  // a regular file
  uint32_t owner = 0;    // its user ID
  uint64_t links = 0;    // how many names it has
};

// A file open for reading. The file stays the one that was opened whatever
// is done to its name meanwhile, so what Facts tells is true of what
// ReadAll reads. One thread at a time; the destructor closes it.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // What the open file is (fstat).
  virtual int Facts(FileFacts* facts) = 0;
  // Replaces `*bytes` with what is left to read, the whole content at the
  // first call. Throws std::bad_alloc when it does not fit in memory.
  virtual int ReadAll(std::string* bytes) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Monotonic time in nanoseconds since an unspecified epoch.
  virtual int64_t SteadyNowNs() const;
  // Wall-clock time in whole seconds since the epoch (time()).
  virtual int64_t WallNowSeconds() const;
  // Sleeps `ns` nanoseconds in full: a signal that interrupts the sleep
  // does not shorten it.
  virtual void SleepFor(int64_t ns) const;
  // Resident memory of this process in bytes, 0 when it cannot be read.
  // A 64-bit figure too large for 32 bits saturates instead of wrapping.
  virtual uint32_t ResidentBytes() const;
  // Hands the heap's free memory back to the system (malloc_trim(0)):
  // memory freed after a burst otherwise stays resident. Does nothing with
  // a C library that has no such call.
  virtual void ReleaseFreeMemory() const;
  // The allocator of the core's payload blocks, asked once, when the core
  // is made: malloc and free.
  virtual BlockAllocator PayloadBlocks() const;
  // Lets the calling thread, once it is woken, wait for the thread running
  // on its processor to block or use up its time slice instead of taking
  // the processor from it (true: SCHED_BATCH), or makes it an ordinary
  // thread again (false: SCHED_OTHER). Its nice value stays. Only a
  // thread that is SCHED_OTHER at the call is switched to SCHED_BATCH, and
  // switching back undoes only that switch: a policy the thread was
  // started with or was given since (real-time, idle, batch) stands, so an
  // integrator's choice is never replaced.
  virtual void SetBatchScheduling(bool on) const;
  // Sends the first `length` bytes of `text` to the system log at priority
  // LOG_CRIT with the process's default identity and facility.
  virtual void SystemLogCritical(const char* text, int length) const;
  // Whether standard output is a terminal.
  virtual bool StdoutIsTerminal() const;
  // Where console lines go: standard output.
  virtual FILE* ConsoleStream() const;

  // Creates `path` afresh for writing, with mode 0666 less the umask. Fails
  // (EEXIST, ELOOP) when anything is at `path` already, a symbolic link
  // included, so nothing is ever written through a planted link. Null with
  // `*error` set on failure.
  virtual std::unique_ptr<WritableFile> NewWritableFile(const std::string& path,
                                                        int* error) const;
  // Replaces `*bytes` with the whole content of the regular file `path`. A
  // symbolic link is followed only with `followLinks`; anything but a
  // regular file fails (EINVAL), and a FIFO never blocks the call. Throws
  // std::bad_alloc when the content does not fit in memory.
  virtual int ReadFile(const std::string& path, bool followLinks, std::string* bytes) const;
  // Forces the content of the regular file `path` to the storage device,
  // without following a symbolic link.
  virtual int SyncFile(const std::string& path) const;
  // What the name `path` itself is (lstat: a symbolic link is not followed).
  using FileFacts = dv::FileFacts;
  virtual int FactsOf(const std::string& path, FileFacts* facts) const;
  // Opens whatever is at `path` for reading without following a symbolic
  // link there (ELOOP), without blocking on a FIFO and without taking a
  // terminal as the controlling one (O_NOFOLLOW, O_NONBLOCK, O_NOCTTY), so
  // that the caller can judge the file it holds (ReadableFile::Facts)
  // before it reads it. Null with `*error` set on failure.
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& path,
                                                       int* error) const;
  // rename(): atomically replaces `to` with `from`.
  virtual int RenameFile(const std::string& from, const std::string& to) const;
  // unlink().
  virtual int RemoveFile(const std::string& path) const;
  // Forces the names in the directory `path` (those created, renamed or
  // removed so far) to the storage device.
  virtual int SyncDirectory(const std::string& path) const;

  // User and group IDs of the process. Calls that change them return 0 or
  // the errno value of the failure.
  struct Ids {
    uint32_t realUid, effectiveUid, savedUid, realGid, effectiveGid, savedGid;
  };
  struct Account {
    uint32_t uid, gid;
    std::string name;
  };
  virtual Ids ProcessIds() const;                           // getresuid, getresgid
  virtual int SetAllUserIds(uint32_t uid) const;            // setresuid(uid, uid, uid)
  virtual int SetAllGroupIds(uint32_t gid) const;           // setresgid(gid, gid, gid)
  virtual int SetUserId(uint32_t uid) const;                // setuid
  virtual int SetGroupId(uint32_t gid) const;               // setgid
  // The user database's entry for `uid` (getpwuid); nothing, with errno
  // set, when there is none.
  virtual std::optional<Account> LookupAccount(uint32_t uid) const;
  // The groups of `account` (getgrouplist), at most `most` of them; nothing
  // when it has more or the lookup fails.
  virtual std::optional<std::vector<uint32_t>> GroupsOf(const Account& account,
                                                        int most) const;
  virtual int SetSupplementaryGroups(const std::vector<uint32_t>& groups) const;  // setgroups
  virtual int ParentProcessId() const;                      // getppid

    // The real operating system.
  static const Platform& Default();
};

// Marks every open descriptor above 2 but `keep` close-on-exec, and closes
// none: descriptors a parent hands the process stay usable by the process
// itself (a plugin may be given one on purpose) but reach no program it
// starts. Uses close_range with CLOSE_RANGE_CLOEXEC; where the build or the
// running kernel lacks it (ENOSYS, EINVAL), walks /proc/self/fd instead.
// Returns 0 or the errno value of the failure. Call it before any thread
// exists, so that no descriptor is opened meanwhile without O_CLOEXEC.
int MarkInheritedDescriptorsCloseOnExec(int keep);
// The same with only the walk of /proc/self/fd, for systems without
// close_range; exposed so that tests can run it where close_range works.
int MarkInheritedDescriptorsCloseOnExecByWalk(int keep);

}  // namespace dv
