#include "platform/trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace dv {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

// One folder reached on the way: its path, and whether others may add
// entries to it (a sticky folder).
struct Reached {
  std::string path;
  bool openToOthers;
};

std::vector<std::string> ElementsOf(const std::string& path) {
  std::vector<std::string> elements;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string element = path.substr(begin, end - begin);
    if (!element.empty() && element != ".") elements.push_back(std::move(element));
    begin = end + 1;
  }
  return elements;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Unexaminable(const std::string& path) {
  return path + " cannot be examined: " + std::strerror(errno);
}

std::string OwnerFault(const std::string& path, const struct stat& facts) {
  if (facts.st_uid == 0) return "";
  return path + " is owned by user " + std::to_string(facts.st_uid) + ", not root";
}

// A folder root alone can change; `stickyAllowed`: or one with the sticky
// bit, where others cannot replace root's entries.
std::string FolderFault(const std::string& path, const struct stat& facts, bool stickyAllowed) {
  if (!S_ISDIR(facts.st_mode)) return path + " is not a folder";
  if (std::string fault = OwnerFault(path, facts); !fault.empty()) return fault;
  const bool sticky = (facts.st_mode & S_ISVTX) != 0;
  if ((facts.st_mode & kOthersWrite) != 0 && !(stickyAllowed && sticky)) {
    return path + " is writable by group or others";
  }
  return "";
}

std::string FileFault(const std::string& path, const struct stat& facts) {
  if (!S_ISREG(facts.st_mode)) return path + " is not a regular file";
  if (std::string fault = OwnerFault(path, facts); !fault.empty()) return fault;
  if ((facts.st_mode & kOthersWrite) != 0) return path + " is writable by group or others";
  return "";
}

// The last element, with the folder that holds it.
std::string LastFault(const std::string& path, const struct stat& facts, PathKind kind,
                      const Reached& folder) {
  if (kind != PathKind::kFile) return FolderFault(path, facts, /*stickyAllowed=*/false);
  if (folder.openToOthers) return folder.path + " is writable by group or others";
  return FileFault(path, facts);
}

// Puts the elements of a link's target in front of those still to walk.
void PrependTarget(const std::string& target, std::deque<std::string>* pending) {
  const std::vector<std::string> elements = ElementsOf(target);
  pending->insert(pending->begin(), elements.begin(), elements.end());
}

}  // namespace

std::string WhyNotRootsAlone(const std::string& path, PathKind kind) {
  if (path.empty() || path[0] != '/') return path + " is not an absolute path";
  struct stat facts;
  if (lstat("/", &facts) != 0) return Unexaminable("/");
  if (std::string fault = FolderFault("/", facts, /*stickyAllowed=*/true); !fault.empty()) {
    return fault;
  }
  const Reached root{"/", (facts.st_mode & kOthersWrite) != 0};
  std::vector<Reached> way = {root};  // the folders walked, "/" first
  const std::vector<std::string> elements = ElementsOf(path);
  std::deque<std::string> pending(elements.begin(), elements.end());
  if (pending.empty()) return LastFault("/", facts, kind, root);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name == "..") {
      if (way.size() > 1) way.pop_back();
      continue;
    }
    const std::string next = Join(way.back().path, name);
    if (lstat(next.c_str(), &facts) != 0) {
      if (errno != ENOENT || kind != PathKind::kFolderIfPresent) return Unexaminable(next);
      // Only whoever may add entries to its folder can make it.
      return way.back().openToOthers ? way.back().path + " is writable by group or others" : "";
    }
    if (S_ISLNK(facts.st_mode)) {
      // Whoever owns a link can point it elsewhere at any time.
      if (way.back().openToOthers && facts.st_uid != 0) {
        return next + " is a link of user " + std::to_string(facts.st_uid) +
               " in a folder others can write";
      }
      if (++links > kMaxLinks) return next + " leads through too many links";
      char target[4096];
      const ssize_t length = readlink(next.c_str(), target, sizeof target - 1);
      if (length < 0) return Unexaminable(next);
      const std::string text(target, static_cast<size_t>(length));
      if (!text.empty() && text[0] == '/') way.resize(1);
      PrependTarget(text, &pending);
      continue;
    }
    if (pending.empty()) return LastFault(next, facts, kind, way.back());
    if (std::string fault = FolderFault(next, facts, /*stickyAllowed=*/true); !fault.empty()) {
      return fault;
    }
    way.push_back({next, (facts.st_mode & kOthersWrite) != 0});
  }
  // The path ended in ".." or a link to a folder already walked.
  const Reached& last = way.back();
  if (lstat(last.path.c_str(), &facts) != 0) return Unexaminable(last.path);
  const Reached& holder = way.size() > 1 ? way[way.size() - 2] : way.back();
  return LastFault(last.path, facts, kind, holder);
}

}  // namespace dv
