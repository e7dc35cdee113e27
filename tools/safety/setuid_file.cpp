#include "safety/setuid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/trusted_path.h"
#include "platform/elf_search_path.h"

namespace dvsafety {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Closes a descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

std::string ParentOf(const std::string& file) {
  const size_t slash = file.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// The one regular file with one link that `fd` is, root's, and found at
// `file` in folders only root controls.
std::string UnsafeFile(const std::string& file, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Errno("cannot stat " + file);
  if (!S_ISREG(st.st_mode)) return file + " is not a regular file";
  if (st.st_nlink != 1) return file + " has " + std::to_string(st.st_nlink) + " links";
  if (st.st_uid != 0) return file + " is not root's";
  char resolved[PATH_MAX];
  if (realpath(ParentOf(file).c_str(), resolved) == nullptr) return Errno("cannot resolve " + file);
  const std::string folder = resolved;
  const std::string folders = UnsafeFolders(folder);
  if (!folders.empty()) return folders;
  // The checked folders hold the file opened: no link led elsewhere.
  struct stat there;
  const std::string name = file.substr(file.find_last_of('/') + 1);
  if (lstat((folder + (folder == "/" ? "" : "/") + name).c_str(), &there) != 0 ||
      there.st_dev != st.st_dev || there.st_ino != st.st_ino) {
    return file + " changed while it was checked";
  }
  dv::ElfSearchPath path;
  std::string error;
  if (!dv::ReadElfSearchPath(fd, &path, &error)) return "cannot read the search path of " + file + ": " + error;
  const std::string unsafe = dv::UnsafeSearchPath(path);
  return unsafe.empty() ? "" : file + ": its library search path is unsafe: " + unsafe;
}

}  // namespace

// The same walk a set-user-ID core makes of its own folders.
std::string UnsafeFolders(const std::string& dir) {
  return dv::WhyNotRootsAlone(dir, dv::PathKind::kFolder);
}

std::string MakeSetUserIdRoot(const std::string& file, gid_t group, mode_t mode) {
  const Descriptor fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return Errno("cannot open " + file + " (a symbolic link is refused)");
  const std::string unsafe = UnsafeFile(file, fd.get());
  if (!unsafe.empty()) return unsafe;
  // fchown clears the set-ID bits, so the mode comes last.
  if (fchown(fd.get(), 0, group) != 0) return Errno("cannot hand " + file + " to root");
  if (fchmod(fd.get(), mode) != 0) return Errno("cannot make " + file + " set-user-ID");
  return "";
}

std::string CopyRegularFile(const std::string& from, const std::string& to, mode_t mode,
                            gid_t group) {
  const Descriptor in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) return Errno("cannot open " + from + " (a symbolic link is refused)");
  struct stat st;
  if (fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return from + " is not a regular file";
  const Descriptor out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) return Errno("cannot create " + to);
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(in.get(), buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || write(out.get(), buffer, size_t(got)) != got) {
      const std::string why = Errno("cannot copy " + from);
      unlink(to.c_str());
      return why;
    }
  }
  if (fchown(out.get(), uid_t(-1), group) != 0 || fchmod(out.get(), mode) != 0) {
    const std::string why = Errno("cannot set the owner and mode of " + to);
    unlink(to.c_str());
    return why;
  }
  return "";
}

bool ClearSetId(const char* file) {
  const int fd = open(file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  struct stat st;
  bool clear = fstat(fd, &st) == 0;
  if (clear && (st.st_mode & (S_ISUID | S_ISGID)) != 0) {
    clear = fchmod(fd, st.st_mode & 0777) == 0;
  }
  close(fd);
  return clear;
}

}  // namespace dvsafety
