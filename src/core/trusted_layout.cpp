#include "core/trusted_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "platform/trusted_path.h"

namespace dv {
namespace {

constexpr const char* kBesideTheCore[] = {"plugins", "protected-plugins", "lib"};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The executable itself: root's alone, one name, and the file running now.
std::string WhyNotRootsExecutable(const std::string& path) {
  if (std::string why = WhyNotRootsAlone(path, PathKind::kFile); !why.empty()) return why;
  // The running file through an open descriptor: a user-mode emulator
  // answers open("/proc/self/exe") with the emulated program, but stat()
  // of the name with itself.
  struct stat named, running;
  const int self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  const bool examined = self >= 0 && fstat(self, &running) == 0 &&
                        lstat(path.c_str(), &named) == 0;
  const int error = errno;
  if (self >= 0) close(self);
  if (!examined) return path + " cannot be examined: " + std::strerror(error);
  if (named.st_dev != running.st_dev || named.st_ino != running.st_ino) {
    return path + " is no longer the file that was started";
  }
  if (named.st_nlink != 1) {
    return path + " has " + std::to_string(named.st_nlink) + " names (hard links)";
  }
  return "";
}

std::string WhyNotRootsLayout(const std::string& executablePath) {
  if (std::string why = WhyNotRootsExecutable(executablePath); !why.empty()) return why;
  const std::string home = FolderOf(executablePath);
  if (std::string why = WhyNotRootsAlone(home, PathKind::kFolder); !why.empty()) return why;
  for (const char* name : kBesideTheCore) {
    const std::string folder = home + "/" + name;
    struct stat facts;
    if (lstat(folder.c_str(), &facts) != 0 && errno == ENOENT) continue;
    if (std::string why = WhyNotRootsAlone(folder, PathKind::kFolder); !why.empty()) return why;
  }
  return "";
}

}  // namespace

bool VerifyRootsLayout(const std::string& executablePath) {
  const std::string why = WhyNotRootsLayout(executablePath);
  if (why.empty()) return true;
  LogCore(100, "refusing a set-user-ID start: %s", why.c_str());
  return false;
}

}  // namespace dv
