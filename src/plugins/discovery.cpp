#include "plugins/discovery.h"

#include <algorithm>

#include <boost/filesystem.hpp>

namespace dv {
namespace fs = boost::filesystem;

namespace {

constexpr const char* kPriorityMarker = "vUZUvi";

// The part of a file name from its last dot on; a dot that is the first
// character does not start an extension, so ".so" alone has none.
std::string ExtensionOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

bool IsCandidate(const fs::directory_entry& entry, const std::string& extension) {
  boost::system::error_code error;
  const fs::file_status status = fs::status(entry.path(), error);  // follows links
  if (error || !fs::is_regular_file(status)) return false;
  return ExtensionOf(entry.path().filename().string()) == extension;
}

// Element-by-element comparison, each element as a byte string.
bool PathLess(const fs::path& a, const fs::path& b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](const fs::path& x, const fs::path& y) { return x.string() < y.string(); });
}

}  // namespace

void ScanDirectory(const std::string& directory, const std::string& extension,
                   std::vector<std::string>* candidates) {
  boost::system::error_code error;
  if (!fs::is_directory(directory, error) || error) return;
  fs::directory_iterator it(directory, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    if (IsCandidate(*it, extension)) candidates->push_back(it->path().string());
  }
}

void OrderCandidates(std::vector<std::string>* candidates) {
  std::sort(candidates->begin(), candidates->end(),
            [](const std::string& a, const std::string& b) {
              const bool aMarked = a.find(kPriorityMarker) != std::string::npos;
              const bool bMarked = b.find(kPriorityMarker) != std::string::npos;
              if (aMarked != bMarked) return aMarked;
              return PathLess(a, b);
            });
}

std::vector<std::string> DiscoverPlugins(const std::string& executablePath) {
  std::vector<std::string> candidates;
  try {
    const fs::path home = fs::path(executablePath).parent_path();
    ScanDirectory((home / "plugins").string(), ".so", &candidates);
    ScanDirectory((home / "protected-plugins").string(), ".so", &candidates);
  } catch (const std::exception&) {
    // Whatever was found before the failure still loads.
  }
  OrderCandidates(&candidates);
  return candidates;
}

}  // namespace dv
