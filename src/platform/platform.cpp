#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>

namespace dv {
namespace {

// A stdio stream over a descriptor the platform opened.
class StdioWritableFile : public WritableFile {
 public:
  explicit StdioWritableFile(FILE* file) : file_(file) {}
  ~StdioWritableFile() override {
    if (file_ != nullptr) std::fclose(file_);
  }

  size_t Append(const char* data, size_t length, int* error) override {
    *error = 0;
    if (file_ == nullptr) {
      *error = EBADF;
      return 0;
    }
    const size_t taken = std::fwrite(data, 1, length, file_);
    if (std::ferror(file_)) *error = errno;
    return taken;
  }
  int Flush() override {
    if (file_ == nullptr) return EBADF;
    return std::fflush(file_) == 0 ? 0 : errno;
  }
  int Sync() override {
    if (file_ == nullptr) return EBADF;
    return fsync(fileno(file_)) == 0 ? 0 : errno;
  }
  int Close() override {
    if (file_ == nullptr) return EBADF;
    const int result = std::fclose(file_);
    file_ = nullptr;
    return result == 0 ? 0 : errno;
  }

 private:
  FILE* file_;
};

// Closes a descriptor when the scope ends.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  const int fd_;
};

int ErrorOf(int result) { return result == 0 ? 0 : errno; }

FileFacts FactsFrom(const struct stat& st) {
  FileFacts facts;
  facts.regular = S_ISREG(st.st_mode);
  facts.owner = st.st_uid;
  facts.links = st.st_nlink;
  return facts;
}

// Opens `path` for reading, a regular file only, and tells its size; never
// blocks on a FIFO. -1 with errno set on failure.
int OpenRegularFile(const std::string& path, bool followLinks, uint64_t* size) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
  const int fd = open(path.c_str(), flags);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    *size = static_cast<uint64_t>(st.st_size);
    return fd;
  }
  close(fd);
  errno = EINVAL;
  return -1;
}

// Appends everything `fd` yields to `bytes`.
int ReadToEnd(int fd, std::string* bytes) {
  char chunk[16384];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) bytes->append(chunk, static_cast<size_t>(n));
  }
}

// A descriptor the platform opened for reading.
class FdReadableFile : public ReadableFile {
 public:
  explicit FdReadableFile(int fd) : fd_(fd), closer_(fd) {}

  int Facts(FileFacts* facts) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return errno;
    *facts = FactsFrom(st);
    return 0;
  }
  int ReadAll(std::string* bytes) override {
    bytes->clear();
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      if (static_cast<uint64_t>(st.st_size) >= bytes->max_size()) throw std::bad_alloc();
      bytes->reserve(static_cast<size_t>(st.st_size));
    }
    return ReadToEnd(fd_, bytes);
  }

 private:
  const int fd_;
  FdCloser closer_;
};

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

// close_range(first, last, CLOSE_RANGE_CLOEXEC); ENOSYS where the C library
// the core was built against does not know the call.
int CloseOnExecRange(unsigned first, unsigned last) {
#ifdef SYS_close_range
  return syscall(SYS_close_range, first, last, CLOSE_RANGE_CLOEXEC) == 0 ? 0 : errno;
#else
  (void)first;
  (void)last;
  return ENOSYS;
#endif
}

int SetCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return errno;
  if ((flags & FD_CLOEXEC) != 0) return 0;
  return fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0 ? 0 : errno;
}

}  // namespace

int MarkInheritedDescriptorsCloseOnExecByWalk(int keep) {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return errno;
  const int own = dirfd(listing);
  int result = 0;
  while (const dirent* entry = readdir(listing)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == keep || fd == own) continue;
    const int error = SetCloseOnExec(static_cast<int>(fd));
    if (error != 0 && error != EBADF && result == 0) result = error;
  }
  closedir(listing);
  return result;
}

int MarkInheritedDescriptorsCloseOnExec(int keep) {
  int error = 0;
  if (keep > 3) error = CloseOnExecRange(3, static_cast<unsigned>(keep) - 1);
  if (error == 0) {
    const unsigned from = keep >= 3 ? static_cast<unsigned>(keep) + 1 : 3;
    error = CloseOnExecRange(from, UINT_MAX);
  }
  if (error == ENOSYS || error == EINVAL) return MarkInheritedDescriptorsCloseOnExecByWalk(keep);
  return error;
}

int64_t Platform::SteadyNowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t Platform::WallNowSeconds() const {
  return static_cast<int64_t>(std::time(nullptr));
}

void Platform::SleepFor(int64_t ns) const {
  struct timespec remaining = {static_cast<time_t>(ns / 1'000'000'000),
                               static_cast<long>(ns % 1'000'000'000)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

uint32_t Platform::ResidentBytes() const {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long total = 0, resident = 0;
  if (std::fscanf(f, "%lu %lu", &total, &resident) < 2) resident = 0;
  std::fclose(f);
  const long page = sysconf(_SC_PAGESIZE);
  const uint64_t bytes =
      static_cast<uint64_t>(resident) * static_cast<uint64_t>(page > 0 ? page : 0);
  const uint64_t max32 = std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(bytes > max32 ? max32 : bytes);
}

void Platform::ReleaseFreeMemory() const {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

BlockAllocator Platform::PayloadBlocks() const { return {std::malloc, std::free}; }

namespace {

// Whether the calling thread runs the batch policy because this platform
// switched it there; only that switch is ever undone.
thread_local bool t_switchedToBatch = false;

// The policy without the flag that resets it in children.
int PolicyOf(int scheduler) { return scheduler & ~SCHED_RESET_ON_FORK; }

}  // namespace

// The policy is read at every switch, not remembered: one set on the thread
// since the previous call (real-time, idle, batch) stands. The flag that
// resets a policy in children is kept as it was.
void Platform::SetBatchScheduling(bool on) const {
  const int current = sched_getscheduler(0);
  if (current < 0) return;
  const sched_param priority{};  // 0, the only priority of both policies
  const int resetOnFork = current & SCHED_RESET_ON_FORK;
  if (on) {
    if (PolicyOf(current) != SCHED_OTHER) return;
    t_switchedToBatch = sched_setscheduler(0, SCHED_BATCH | resetOnFork, &priority) == 0;
    return;
  }
  const bool ours = t_switchedToBatch && PolicyOf(current) == SCHED_BATCH;
  t_switchedToBatch = false;
  if (ours) sched_setscheduler(0, SCHED_OTHER | resetOnFork, &priority);
}

void Platform::SystemLogCritical(const char* text, int length) const {
  syslog(LOG_CRIT, "%.*s", length, text);
}

bool Platform::StdoutIsTerminal() const { return isatty(STDOUT_FILENO) == 1; }

FILE* Platform::ConsoleStream() const { return stdout; }

std::unique_ptr<WritableFile> Platform::NewWritableFile(const std::string& path,
                                                       int* error) const {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = errno;
    close(fd);
    return nullptr;
  }
  *error = 0;
  return std::make_unique<StdioWritableFile>(file);
}

int Platform::ReadFile(const std::string& path, bool followLinks, std::string* bytes) const {
  bytes->clear();
  uint64_t size = 0;
  const int fd = OpenRegularFile(path, followLinks, &size);
  if (fd < 0) return errno;
  FdCloser closer(fd);
  if (size >= bytes->max_size()) throw std::bad_alloc();
  bytes->reserve(static_cast<size_t>(size));
  return ReadToEnd(fd, bytes);
}

int Platform::SyncFile(const std::string& path) const {
  uint64_t size = 0;
  const int fd = OpenRegularFile(path, false, &size);
  if (fd < 0) return errno;
  FdCloser closer(fd);
  return ErrorOf(fsync(fd));
}

int Platform::FactsOf(const std::string& path, FileFacts* facts) const {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno;
  *facts = FactsFrom(st);
  return 0;
}

std::unique_ptr<ReadableFile> Platform::OpenForReading(const std::string& path,
                                                       int* error) const {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  *error = fd < 0 ? errno : 0;
  if (fd < 0) return nullptr;
  return std::make_unique<FdReadableFile>(fd);
}

int Platform::RenameFile(const std::string& from, const std::string& to) const {
  return ErrorOf(std::rename(from.c_str(), to.c_str()));
}

int Platform::RemoveFile(const std::string& path) const { return ErrorOf(unlink(path.c_str())); }

int Platform::SyncDirectory(const std::string& path) const {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  FdCloser closer(fd);
  return ErrorOf(fsync(fd));
}

const Platform& Platform::Default() {
  static const Platform real;
  return real;
}

Platform::Ids Platform::ProcessIds() const {
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  return {ruid, euid, suid, rgid, egid, sgid};
}

int Platform::SetAllUserIds(uint32_t uid) const {
  return setresuid(uid, uid, uid) == 0 ? 0 : errno;
}

int Platform::SetAllGroupIds(uint32_t gid) const {
  return setresgid(gid, gid, gid) == 0 ? 0 : errno;
}

int Platform::SetUserId(uint32_t uid) const { return setuid(uid) == 0 ? 0 : errno; }

int Platform::SetGroupId(uint32_t gid) const { return setgid(gid) == 0 ? 0 : errno; }

std::optional<Platform::Account> Platform::LookupAccount(uint32_t uid) const {
  errno = 0;
  const passwd* entry = getpwuid(uid);
  if (entry == nullptr) return std::nullopt;
  return Account{entry->pw_uid, entry->pw_gid, entry->pw_name};
}

std::optional<std::vector<uint32_t>> Platform::GroupsOf(const Account& account, int most) const {
  std::vector<gid_t> groups(static_cast<size_t>(most));
  int count = most;
  if (getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) < 0) {
    return std::nullopt;
  }
  return std::vector<uint32_t>(groups.begin(), groups.begin() + count);
}

int Platform::SetSupplementaryGroups(const std::vector<uint32_t>& groups) const {
  const std::vector<gid_t> ids(groups.begin(), groups.end());
  return setgroups(ids.size(), ids.data()) == 0 ? 0 : errno;
}

int Platform::ParentProcessId() const { return getppid(); }

}  // namespace dv
