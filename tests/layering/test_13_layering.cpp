// The folders under src/ form layers that depend one way only. Every
// #include "folder/file.h" line of src/ is checked against the table of
// allowed edges; a failure names the file, the line and the edge.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#ifndef SOURCE_DIR
#error "SOURCE_DIR must name the source tree"
#endif

namespace {

namespace fs = std::filesystem;
using Folders = std::set<std::string>;

// Every folder may use itself, the SDK headers, platform and log.
const std::map<std::string, Folders> kMayUse = {
    {"platform", {}},
    {"log", {"platform"}},
    {"plugins", {"log", "platform"}},
    {"events", {"plugins", "log", "platform"}},
    {"config", {"plugins", "log", "platform"}},
    {"ipc", {"plugins", "log", "platform"}},
    {"monitor", {"log", "platform"}},
    {"core", {"events", "config", "ipc", "monitor", "plugins", "log", "platform"}},
    {"main", {"core", "events", "config", "ipc", "monitor", "plugins", "log", "platform"}},
};

// The one object that owns everything: only the entry point and the core
// itself see it.
const Folders kMaySeeTheCore = {"core", "main"};

struct Include {
  std::string file;  // relative to src/
  int line;
  std::string target;  // "folder/name.h"
};

std::vector<Include> IncludesUnder(const fs::path& src) {
  static const std::regex kInclude(R"(^\s*#\s*include\s+"([a-z_]+/[a-z_]+\.h)\")");
  std::vector<Include> found;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp") continue;
    std::ifstream in(entry.path());
    int number = 0;
    std::smatch match;
    for (std::string text; std::getline(in, text);) {
      ++number;
      if (std::regex_search(text, match, kInclude)) {
        found.push_back({fs::relative(entry.path(), src).string(), number, match[1]});
      }
    }
  }
  return found;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.find('/')); }

// Empty when the edge is allowed, otherwise why not.
std::string Refusal(const Include& include) {
  const std::string from = FolderOf(include.file);
  const std::string to = FolderOf(include.target);
  if (include.target == "core/devovor.h" && kMaySeeTheCore.count(from) == 0) {
    return "only main/ and core/ may include core/devovor.h";
  }
  if (to == from || to == "plugin_api") return "";
  const auto rules = kMayUse.find(from);
  if (rules == kMayUse.end()) return "folder " + from + " is not in the layer table";
  if (rules->second.count(to) == 0) return from + " may not depend on " + to;
  return "";
}

TEST(Layering, EveryIncludeUnderSrcFollowsTheLayers) {
  const std::vector<Include> includes = IncludesUnder(fs::path(SOURCE_DIR) / "src");
  ASSERT_GT(includes.size(), 50u) << "the source tree was not found at " << SOURCE_DIR;
  for (const Include& include : includes) {
    const std::string why = Refusal(include);
    EXPECT_EQ(why, "") << "src/" << include.file << ":" << include.line << ": #include \""
                       << include.target << "\"";
  }
}

TEST(Layering, TheTableRefusesACycleAndTheCoreObject) {
  EXPECT_NE(Refusal({"events/x.cpp", 1, "core/devovor.h"}), "");
  EXPECT_NE(Refusal({"plugins/x.cpp", 1, "events/event_router.h"}), "");
  EXPECT_NE(Refusal({"monitor/x.cpp", 1, "plugins/plugin_list.h"}), "");
  EXPECT_NE(Refusal({"tools/x.cpp", 1, "log/log.h"}), "");
  EXPECT_EQ(Refusal({"events/x.cpp", 1, "plugins/plugin_list.h"}), "");
  EXPECT_EQ(Refusal({"main/main.cpp", 1, "core/devovor.h"}), "");
}

}  // namespace
