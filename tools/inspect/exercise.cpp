#include "inspect/exercise.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "inspect/exercise_run.h"
#include "inspect/inspection.h"
#include "inspect/masks.h"
#include "inspect/mistakes.h"
#include "plugin_api/helpers.h"
#include "platform/elf_search_path.h"
#include "safety/setuid_file.h"

namespace dvinspect {
namespace {

namespace fs = std::filesystem;

constexpr int kValgrindSlowdown = 20;
// How long the last driver waits for threads the plugin left running to
// end once it was unloaded (one that ends within it still ran unmapped code,
// but briefly enough to pass as ending with its Close).
constexpr int kStrayWaitMs = 1000;
constexpr const char* kRequestText = "devovor-inspect exercise";

// ---- finding the programs ------------------------------------------------

std::string SelfDir() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? fs::path(std::string(self, size_t(n))).parent_path().string() : ".";
}

// The first of `candidates` that exists, or empty.
std::string FirstExisting(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    std::error_code ignored;
    if (fs::exists(path, ignored)) return path;
  }
  return "";
}

bool OnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Beside this tool in the build tree; under the prefix once installed
// (bin/devovor-inspect, libexec/devovor/..., lib/devovor/devovor).
struct Programs {
  std::string core, parentSim, driver, suppressions;
};

bool FindPrograms(const ExerciseOptions& options, Programs* found, std::string* error) {
  const std::string self = SelfDir();
  found->core = !options.core.empty()
                    ? options.core
                    : FirstExisting({self + "/../devovor", self + "/../" DV_INSTALL_CORE_DIR "/devovor"});
  found->parentSim = FirstExisting({self + "/parent-sim", self + "/../" DV_INSTALL_TOOL_DIR "/parent-sim"});
  found->driver = FirstExisting(
      {self + "/exercise_driver.so", self + "/../" DV_INSTALL_TOOL_DIR "/exercise_driver.so"});
  found->suppressions = FirstExisting(
      {self + "/../" DV_INSTALL_TOOL_DIR "/valgrind", DV_SOURCE_DIR "/scripts/lib"});
  if (found->core.empty()) *error = "the core was not found; name it with --core PATH";
  if (found->parentSim.empty()) *error = "parent-sim was not found beside devovor-inspect";
  if (found->driver.empty()) *error = "exercise_driver.so was not found beside devovor-inspect";
  return error->empty();
}

// ---- the set-user-ID copy ---------------------------------------------------

// Run as root, the core's copy is set-user-ID root while the run lasts.
// SIGINT, SIGTERM and SIGHUP take the bit off at once (the handler); the
// main thread then stops the run, removes the folder and ends by the same
// signal. Every other way out takes it off too (Exercise).
char g_setIdCopy[4096];  // written with the signals blocked, before the bit is set
volatile sig_atomic_t g_stopSignal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void ClearSetIdOnSignal(int sig) {
  const int saved = errno;
  dvsafety::ClearSetId(g_setIdCopy);
  g_stopSignal = sig;
  errno = saved;
}

// Without SA_RESTART: the wait for the run returns to look at the signal.
void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = ClearSetIdOnSignal;
  sigfillset(&action.sa_mask);
  for (int sig : kStopSignals) sigaction(sig, &action, nullptr);
}

void DefaultStopSignals() {
  for (int sig : kStopSignals) signal(sig, SIG_DFL);
}

void RememberSetIdCopy(const fs::path& core) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  std::snprintf(g_setIdCopy, sizeof g_setIdCopy, "%s", core.c_str());
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Why `core` must not become set-user-ID root: an empty or relative entry
// in its library search path, which the loader reads from the current
// folder (work/, the account's), so the account's library would run as root.
std::string UnsafeCore(const std::string& core) {
  dv::ElfSearchPath path;
  std::string error;
  if (!dv::ReadElfSearchPath(core, &path, &error)) return "cannot read it: " + error;
  const std::string unsafe = dv::UnsafeSearchPath(path);
  return unsafe.empty() ? "" : "its library search path reads from the current folder: " + unsafe;
}

// ---- the folder ------------------------------------------------------------

void Require(const std::string& failure) {
  if (!failure.empty()) throw std::runtime_error(failure);
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

// Owner and mode of a file or folder this tool made, through a descriptor
// that followed no link.
void SetOwnerAndMode(const fs::path& path, uid_t uid, gid_t gid, mode_t mode) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const bool set = fd >= 0 && fchown(fd, uid, gid) == 0 && fchmod(fd, mode) == 0;
  if (fd >= 0) close(fd);
  if (!set) throw std::runtime_error("cannot set the owner and mode of " + path.string());
}

// A new empty file, `owner`'s when there is one.
void CreateFileFor(const fs::path& path, const Account* owner) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool made = fd >= 0 && (owner == nullptr || fchown(fd, owner->uid, owner->gid) == 0) &&
                    fchmod(fd, 0640) == 0;
  if (fd >= 0) close(fd);
  if (!made) throw std::runtime_error("cannot create " + path.string());
}

// Two IDs of a kind not the plugin's, so that no parent request reaches a driver.
std::pair<uint32_t, uint32_t> DriverIds(uint32_t pluginId) {
  const uint32_t kind = dv_id_kind(pluginId) == 0xfe ? 0xfd : 0xfe;
  return {kind << 16, (kind << 16) | 1};
}

// The events that reach the plugin's Write: the usual ones it matches, and
// per subscribed class one with every flag its mask lets through.
std::vector<std::string> EventsToRaise(const dv::PLUGININFO& p) {
  std::vector<std::string> lines;
  if (!p.delivers() || p.Write == nullptr) return lines;
  for (const KnownEvent& event : KnownEvents()) {
    if (dv::MatchesAnyClass(p, event.eventType, dv::DeliveryMatchKey(event.flags))) {
      lines.push_back("raise=" + Hex(event.eventType) + ":" + Hex(event.flags));
    }
  }
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if (p.mask(k) == 0) continue;
    uint32_t flags = WriteFlagsWithin(p.mask(k)) & 0x7fffffffu;
    // A log event without the message flag but with the query flag would
    // be a query, answered and never delivered.
    if (k == 6 && (flags & DV_FLAG_LOG_MESSAGE) == 0) flags &= ~DV_FLAG_LOG_QUERY;
    lines.push_back("raise=" + Hex(DV_CLASS_BIT(k)) + ":" + Hex(flags));
  }
  return lines;
}

// Read requests, when the plugin takes them: one per subscribed class.
std::vector<std::string> ReadsToRaise(const dv::PLUGININFO& p) {
  std::vector<std::string> lines;
  if (!p.wantsReader() || p.Read == nullptr) return lines;
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    if (p.mask(k) != 0) {
      lines.push_back("read=" + Hex(DV_CLASS_BIT(k)) + ":" + Hex(ReadFlagsWithin(p.mask(k))));
    }
  }
  if (lines.empty()) lines.push_back("read=" + Hex(DV_EVENT_CLASS1) + ":0");
  return lines;
}

struct Layout {
  fs::path root, work, report, core, plugin;
  fs::path firstConf, lastConf;
  size_t events = 0, reads = 0;
};

// A copy of the driver plugin with its (still empty) settings file. Both
// stay root's in a run as root: a set-user-ID core loads only files root
// alone controls, a plugin's settings file among them, so the drivers'
// settings are written by this process, not by the account (see
// ExerciseAs).
fs::path InstallDriver(const Programs& programs, const fs::path& file, const Account* owner) {
  Require(dvsafety::CopyRegularFile(programs.driver, file.string(), 0640,
                                    owner ? owner->gid : gid_t(-1)));
  fs::path conf = file;
  conf.replace_extension(".conf");
  CreateFileFor(conf, nullptr);
  if (owner != nullptr) SetOwnerAndMode(conf, 0, owner->gid, 0640);
  return conf;
}

// The core's routine messages and every message of the plugin's kind show;
// video is never throttled, so every frame is delivered.
std::string CoreXml(uint32_t pluginId) {
  return "<Orvel><Memory Throttling=\"0\"/><Modules><Module>"
         "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/><Plugin ID=\"" +
         std::to_string(int32_t(pluginId)) + "\" LogLevel=\"0\"/></Module></Modules></Orvel>\n";
}

void WriteValgrindWrapper(const Layout& layout, const Programs& programs, fs::path* wrapper) {
  std::string suppressions;
  std::error_code ignored;
  if (!programs.suppressions.empty()) {
    for (const auto& entry : fs::directory_iterator(programs.suppressions, ignored)) {
      if (entry.path().extension() == ".supp") suppressions += " --suppressions=" + entry.path().string();
    }
  }
  *wrapper = layout.work / "core-under-valgrind";
  WriteFile(*wrapper, "#!/bin/sh\nexec valgrind --tool=memcheck --leak-check=full "
                      "--errors-for-leak-kinds=definite --error-exitcode=97" + suppressions +
                          " --log-file=" + (layout.work / "memcheck.log").string() + " " +
                          layout.core.string() + " \"$@\"\n");
  fs::permissions(*wrapper, fs::perms::owner_all);
}

// The folder the core runs in, before anything of the plugin is loaded:
// the core, the plugin (with its "<stem>.conf" if one lies beside it) and
// the drivers, and work/, the core's current directory, where core.xml and
// the drivers' report go. Every file is copied without following a link,
// regular files only, and none is readable by others. With `owner` (a run
// as root) everything but work/ and the drivers' settings stays root's,
// readable by the owner's group, and the core's copy is set-user-ID root, so
// that the owner's parent-sim starts it as root, as the appliance does; the
// owner can change no file the core loads, nor the folder that holds the
// core, nor any above it (the check refuses a folder of temporaries that is
// not root's or is writable by others without being sticky). Fills `layout`
// as it goes, so that a failure leaves its root to remove.
void StageLayout(const ExerciseOptions& options, const Programs& programs, const Account* owner,
                 Layout& layout) {
  std::string pattern = (fs::temp_directory_path() / "devovor-exercise-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  layout.root = pattern;
  layout.work = layout.root / "work";
  layout.report = layout.work / "driver-steps.txt";
  layout.core = layout.root / "devovor";
  for (const char* dir : {"plugins", "protected-plugins", "lib", "work"}) {
    fs::create_directory(layout.root / dir);
    SetOwnerAndMode(layout.root / dir, uid_t(-1), gid_t(-1), 0755);
  }
  const gid_t group = owner ? owner->gid : gid_t(-1);
  Require(dvsafety::CopyRegularFile(programs.core, layout.core.string(), 0750, group));
  layout.plugin = layout.root / "plugins" / fs::path(options.plugin).filename();
  Require(dvsafety::CopyRegularFile(options.plugin, layout.plugin.string(), 0640, group));
  const fs::path conf = fs::path(options.plugin).replace_extension(".conf");
  std::error_code absent;
  if (fs::symlink_status(conf, absent).type() != fs::file_type::not_found) {
    Require(dvsafety::CopyRegularFile(conf.string(), (layout.root / "plugins" / conf.filename()).string(),
                                      0640, group));
  }
  layout.firstConf =
      InstallDriver(programs, layout.root / "plugins" / "vUZUvi-exercise-first.so", owner);
  layout.lastConf =
      InstallDriver(programs, layout.root / "protected-plugins" / "zz-exercise-last.so", owner);
  if (owner == nullptr) return;
  // Only root and the account's group reach the set-user-ID core.
  SetOwnerAndMode(layout.root, 0, owner->gid, 0750);
  SetOwnerAndMode(layout.work, owner->uid, owner->gid, 0755);
  RememberSetIdCopy(layout.core);
  Require(dvsafety::MakeSetUserIdRoot(layout.core.string(), owner->gid, 04750));
}

// The settings files of the two drivers.
struct DriverSettings {
  std::string first, last;
};
// Puts the drivers' settings in place; false when that could not be done.
using SettingsWriter = std::function<bool(const Layout&, const DriverSettings&)>;

bool WriteDriverSettings(const Layout& layout, const DriverSettings& settings) {
  WriteFile(layout.firstConf, settings.first);
  WriteFile(layout.lastConf, settings.last);
  return true;
}

// What the drivers raise, and the core.xml the core starts with: both
// follow what the inspection found.
bool ConfigureLayout(const PluginReport& inspected, int slowdown, Layout& layout,
                     const SettingsWriter& writeSettings) {
  const dv::PLUGININFO& p = inspected.plugin();
  const auto ids = DriverIds(p.id());
  const std::string common = "report=" + layout.report.string() + "\n";
  DriverSettings settings;
  settings.first = common + "role=first\nid=" + Hex(ids.first) + "\nclose_key=0xffffffff\n";
  std::string& last = settings.last;
  last = common + "role=last\nid=" + Hex(ids.second) + "\nclose_key=0\n" +
                     "stray_wait_ms=" + std::to_string(kStrayWaitMs * slowdown) + "\n" +
                     "config=<Exercise Delta=\"0\" From=\"devovor-inspect\"/>\n";
  const std::vector<std::string> events = EventsToRaise(p), reads = ReadsToRaise(p);
  for (const std::string& line : events) last += line + "\n";
  for (const std::string& line : reads) last += line + "\n";
  layout.events = events.size();
  layout.reads = reads.size();
  WriteFile(layout.work / "core.xml", CoreXml(p.id()));
  return writeSettings(layout, settings);
}

// The target word of a parent request for the plugin: bits 20-31 are its
// ID's bits 16-27.
std::string RequestTarget(uint32_t pluginId) { return Hex((pluginId & 0x0fff0000u) << 4); }

RunPlan PlanRun(const ExerciseOptions& options, const Programs& programs, const Layout& layout,
                uint32_t pluginId, bool valgrind) {
  RunPlan plan;
  fs::path core = layout.core;
  if (valgrind) WriteValgrindWrapper(layout, programs, &core);
  if (!options.emulator.empty()) plan.argv.push_back(options.emulator);
  plan.argv.insert(plan.argv.end(), {programs.parentSim, "--core", core.string()});
  if (!options.emulator.empty()) plan.argv.insert(plan.argv.end(), {"--emulator", options.emulator});
  char seconds[32], after[32];
  std::snprintf(seconds, sizeof seconds, "%g", options.seconds);
  std::snprintf(after, sizeof after, "%g", options.seconds / 4);
  const std::string target = RequestTarget(pluginId);
  plan.argv.insert(plan.argv.end(), {"--stop-after", seconds, "--requests-after", after,
                                     "--request", target + ":0x10:" + kRequestText});
  plan.workDir = layout.work.string();
  plan.reportFile = layout.report.string();
  plan.seconds = options.seconds;
  plan.slowdown = valgrind ? kValgrindSlowdown : 1;
  return plan;
}

// ---- reading the run back ----------------------------------------------

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Findings in the order found, numbered; a repeated one is counted, not
// repeated. Broken contracts decide the exit status; notes are what the
// core copes with but the author should know (a request from the parent
// that the plugin cannot take, which a real parent may never send).
class Findings {
 public:
  void Add(const std::string& text) { AddTo(broken_, text); }
  void AddNote(const std::string& text) { AddTo(notes_, text); }
  bool empty() const { return broken_.empty(); }
  void Print(const std::string& name, std::ostream& out) const {
    int number = 0;
    if (broken_.empty()) {
      out << "no broken contract: " << name << " kept every contract the core can see\n";
    } else {
      out << broken_.size() << (broken_.size() == 1 ? " broken contract:\n" : " broken contracts:\n");
      PrintItems(broken_, &number, out);
    }
    if (notes_.empty()) return;
    out << notes_.size() << (notes_.size() == 1 ? " note:\n" : " notes:\n");
    PrintItems(notes_, &number, out);
  }

 private:
  using Items = std::vector<std::pair<std::string, int>>;

  static void AddTo(Items& items, const std::string& text) {
    for (auto& item : items) {
      if (item.first == text) {
        ++item.second;
        return;
      }
    }
    items.emplace_back(text, 1);
  }

  static void PrintItems(const Items& items, int* number, std::ostream& out) {
    for (const auto& item : items) {
      out << "  " << ++*number << ". " << item.first;
      if (item.second > 1) out << " (" << item.second << " times)";
      out << "\n";
    }
  }

  Items broken_, notes_;
};

// Its tag on the console: the registered name, six characters wide; "?"
// for messages raised before the name was registered (inside Load).
bool IsPluginTag(const std::string& tag, const std::string& fileName) {
  char own[8];
  std::snprintf(own, sizeof own, "%-6.6s", dv::RegisteredName(fileName).c_str());
  return tag == own || tag == "?     ";
}

void FindOwnMessages(const std::vector<std::string>& console, const std::string& name,
                     Findings* findings) {
  static const std::regex kColoured("\x1b\\[3(\\d)m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m (.{6})\x1b\\[0m (.*)");
  static const std::regex kPlain("^\\d\\d:\\d\\d:\\d\\d (.{6}) (.*)");
  std::smatch m;
  for (const std::string& line : console) {
    if (std::regex_search(line, m, kColoured)) {
      const char* band = m[1] == "3" ? "50-74" : m[1] == "1" ? "75-100" : nullptr;
      if (band && IsPluginTag(m[2], name)) {
        findings->Add(std::string("its own message at level ") + band + ": " + m[3].str());
      }
    } else if (std::regex_search(line, m, kPlain) && IsPluginTag(m[1], name)) {
      findings->Add("its own message at a level above 100: " + m[2].str());
    }
  }
}

// The core's messages about failed calls. A missing Close or Unload counts
// as -100 to the core, but exporting them is the plugin's choice.
void FindFailedCalls(const std::vector<std::string>& console, const dv::PLUGININFO& p,
                     Findings* findings) {
  static const std::regex kFailed(
      "^(load|close|unload|write|update config|ipc ioctl) returned (-?\\d+) error (-?\\d+)");
  const std::string prefix = "plugin " + p.name + " ";
  std::smatch m;
  for (const std::string& line : console) {
    const size_t at = line.find(prefix);
    if (at == std::string::npos) continue;
    const std::string rest = line.substr(at + prefix.size());
    if (!std::regex_search(rest, m, kFailed)) continue;
    const bool notExported = m[2] == "-100" && m[3] == "0" &&
                             ((m[1] == "close" && !p.Close) || (m[1] == "unload" && !p.Unload));
    if (!notExported) findings->Add("failed call: " + m[0].str());
  }
}

// "event type 0x2 from provider 0x10000 length 64", from the fields of the
// core's slow-Write message (type decimal, length grouped: "1,024").
std::string EventNamed(const std::string& type, const std::string& provider,
                       std::string length) {
  length.erase(std::remove(length.begin(), length.end(), ','), length.end());
  char text[96];
  std::snprintf(text, sizeof text, "event type 0x%x from provider 0x%s length %s",
                static_cast<unsigned>(std::stol(type)), provider.c_str(), length.c_str());
  return text;
}

// A Write that held the delivery loop, and every plugin behind it, for more
// than `limitMs`: from the core's message after a slow Write returned, or
// its hang line while one had not (after 5 s), each with the event.
void FindSlowWrites(const std::vector<std::string>& console, const std::string& name,
                    int limitMs, Findings* findings) {
  static const std::regex kSlow(
      "core write took (\\d+)ms, providerID ([0-9a-f]+), eventType: (-?\\d+), len: ([0-9,]+) -> "
      "(\\S+)");
  static const std::regex kHung(
      "plugin (\\S+) has been in Write of (event type \\S+ from provider \\S+ length \\d+) "
      "for (\\d+) ms");
  std::smatch m;
  for (const std::string& line : console) {
    if (std::regex_search(line, m, kSlow) && m[5] == name && std::stoll(m[1]) > limitMs) {
      findings->Add("Write blocked the delivery of every event for " + m[1].str() + " ms, on " +
                    EventNamed(m[3], m[2], m[4]));
    } else if (std::regex_search(line, m, kHung) && m[1] == name) {
      findings->Add("Write had not returned after " + m[3].str() + " ms, on " + m[2].str());
    }
  }
}

void FindKeptBlocks(const std::string& console, uint32_t id, Findings* findings) {
  static const std::regex kLeak("address (0x[0-9a-f]+) leaked by plugins \\[([0-9a-f,]*)\\]");
  char own[16];
  std::snprintf(own, sizeof own, "%x", id);
  int blocks = 0;
  std::string first;
  for (std::sregex_iterator it(console.begin(), console.end(), kLeak), end; it != end; ++it) {
    std::stringstream holders((*it)[2].str());
    for (std::string holder; std::getline(holders, holder, ',');) {
      if (holder != own) continue;
      if (blocks++ == 0) first = (*it)[0].str();
    }
  }
  if (blocks > 0) {
    findings->Add(std::to_string(blocks) + " payload block(s) kept and never released (the core's "
                  "leak report: " + first + (blocks > 1 ? ", ..." : "") + ")");
  }
}

// Load and Open figures from the status report the core saved at start.
void FindSlowOrFailedStart(const fs::path& coreXml, const dv::PLUGININFO& p, int limitMs,
                           Findings* findings) {
  static const std::regex kFigures(
      "LoadTimeMs=\"(-?\\d+)\" OpenTimeMs=\"(-?\\d+)\" OpenCode=\"(-?\\d+)\"");
  const std::string text = ReadFile(coreXml);
  const size_t at = text.find("Filename=\"" + p.name + "\"");
  std::smatch m;
  const std::string rest = at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
  if (!std::regex_search(rest, m, kFigures)) return;
  if (std::stoi(m[1]) > limitMs) findings->Add("Load took " + m[1].str() + " ms");
  if (std::stoi(m[2]) > limitMs) findings->Add("Open took " + m[2].str() + " ms");
  if (p.Open && m[3] != "0") findings->Add("failed call: Open returned " + m[3].str());
}

// The line the core leaves when a fatal signal ends it, naming the plugin
// and the entry point it was in; empty when there is none.
std::string CrashLine(const std::string& console) {
  static const std::regex kCrash(
      "(plugin \\S+ crashed in (a thread of its own|\\S+( of event type 0x[0-9a-f]+ from "
      "provider 0x[0-9a-f]+ length \\d+)?)|the core crashed"
      "|a thread the core did not start crashed) \\(signal \\d+\\)"
      "|the core was ended by signal \\d+ from process \\d+");
  std::smatch m;
  return std::regex_search(console, m, kCrash) ? m.str() : std::string();
}

// Exit code 97 is memcheck's own, read from its log instead.
void FindRunFailures(const RunRecord& run, int limitMs, bool valgrind, Findings* findings) {
  if (run.startHung) {
    findings->Add("the core did not finish starting: a Load or Open that does not return");
  }
  if (run.closeHung) findings->Add("Close did not return");
  if (run.Has("first close-end") && run.Has("last close-start")) {
    const int64_t ms = run.MsBetween("first close-end", "last close-start");
    if (ms > limitMs) findings->Add("Close took " + std::to_string(ms) + " ms");
  }
  if (run.threadsLate) {
    findings->Add("its worker, reader or a Read did not return within 5 s of its Close: "
                  "the core was still waiting to unload it");
  }
  if (run.killed) findings->Add("the core had to be killed");
  const std::string crash = CrashLine(run.console);
  if (!crash.empty()) {
    findings->Add(crash + ": the core died of it (exit code " + std::to_string(run.exitCode) +
                  ")");
  } else if (!run.killed && run.exitCode != 0 && !(valgrind && run.exitCode == 97)) {
    findings->Add("the core exited with code " + std::to_string(run.exitCode));
  }
}

void FindMemcheckErrors(const fs::path& log, Findings* findings) {
  static const std::regex kSummary("ERROR SUMMARY: (\\d+) errors");
  const std::string text = ReadFile(log);
  std::smatch m;
  if (std::regex_search(text, m, kSummary) && m[1] != "0") {
    findings->Add("memcheck: " + m[1].str() + " errors, see " + log.string());
  }
}

void PrintRun(const RunRecord& run, const Layout& layout, std::ostream& out) {
  out << "  started        " << (run.started ? "yes" : "no") << "\n";
  out << "  raised         " << layout.events << " event(s) of its classes, a configuration update, "
      << layout.reads << " read request(s); parent-sim sent it a request\n";
  if (run.Has("first close-end") && run.Has("last close-start")) {
    out << "  Close          " << run.MsBetween("first close-end", "last close-start") << " ms\n";
  }
  if (run.Has("last close-end") && run.Has("last unload")) {
    out << "  to unloaded    " << run.MsBetween("last close-end", "last unload")
        << " ms after Close (its threads joined, Unload called)\n";
  }
  out << "  core exit      " << (run.killed ? std::string("killed") : std::to_string(run.exitCode))
      << "\n";
}

struct Outcome {
  int code = 2;
  bool keepFolder = false;
};

// Everything from the inspection on, in the staged folder, under the
// account the exercise runs as.
Outcome ExerciseStaged(const ExerciseOptions& options, const Programs& programs, Layout& layout,
                       const SettingsWriter& writeSettings, std::ostream& out) {
  const std::vector<PluginReport> reports = Inspect({layout.plugin.string()});
  const PluginReport& inspected = reports.front();
  const dv::PLUGININFO& p = inspected.plugin();
  out << "exercising " << p.name << " (" << Hex(p.id()) << ") in a core for " << options.seconds
      << " s\n";
  if (!inspected.attempt.accepted) {
    const std::string advice = RefusalAdvice(inspected);
    out << "1 broken contract:\n  1. the core refuses it: " << inspected.refusal
        << (advice.empty() ? "" : "; " + advice) << "\n";
    return {1, false};
  }
  const bool valgrind = options.valgrind && OnPath("valgrind");
  if (options.valgrind && !valgrind) out << "  valgrind       not installed: runs without it\n";
  try {
    if (!ConfigureLayout(inspected, valgrind ? kValgrindSlowdown : 1, layout, writeSettings)) {
      throw std::runtime_error("the drivers' settings were not written");
    }
  } catch (const std::exception& e) {
    out << "devovor-inspect: cannot lay out the core's folder: " << e.what() << "\n";
    return {2, false};
  }
  const RunRecord run = RunCore(PlanRun(options, programs, layout, p.id(), valgrind));
  if (options.verbose) out << "---- the core's console\n" << run.console << "----\n";
  PrintRun(run, layout, out);

  Findings findings;
  for (const std::string& mistake : LoadMistakes(inspected)) findings.Add(mistake);
  const std::vector<std::string> console = Lines(run.console);
  const int limitMs = kCallLimitMs * (valgrind ? kValgrindSlowdown : 1);
  FindRunFailures(run, limitMs, valgrind, &findings);
  FindSlowOrFailedStart(layout.work / "core.xml", p, limitMs, &findings);
  FindFailedCalls(console, p, &findings);
  FindSlowWrites(console, p.name, kWriteLimitMs * (valgrind ? kValgrindSlowdown : 1), &findings);
  FindKeptBlocks(run.console, p.id(), &findings);
  FindOwnMessages(console, p.name, &findings);
  if (!run.strayThreads.empty()) findings.Add(StrayThreads(run.strayThreads));
  if (run.started && p.IOCTL == nullptr) findings.AddNote(DroppedParentRequest(RequestTarget(p.id())));
  if (valgrind) FindMemcheckErrors(layout.work / "memcheck.log", &findings);
  findings.Print(p.name, out);

  const bool keep = valgrind && !findings.empty() && fs::exists(layout.work / "memcheck.log");
  if (keep) out << "the run's folder is kept: " << layout.root.string() << "\n";
  return {findings.empty() ? 0 : 1, keep};
}

// ---- the drivers' settings, from the account to root -----------------------
//
// One message on a pipe: the two lengths as 32-bit words, then both texts;
// root answers with one byte once the files are written.

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= size_t(put);
  }
  return true;
}

// False at the end of the stream, on an error, or once a stop signal came.
bool ReadAll(int fd, char* data, size_t length) {
  while (length > 0) {
    const ssize_t got = read(fd, data, length);
    if (got < 0 && errno == EINTR && g_stopSignal == 0) continue;
    if (got <= 0) return false;
    data += got;
    length -= size_t(got);
  }
  return true;
}

constexpr uint32_t kMaxSettingsBytes = 1 << 20;

bool SendSettings(int toRoot, int fromRoot, const DriverSettings& settings) {
  const uint32_t lengths[2] = {uint32_t(settings.first.size()), uint32_t(settings.last.size())};
  char written = 0;
  return WriteAll(toRoot, reinterpret_cast<const char*>(lengths), sizeof lengths) &&
         WriteAll(toRoot, settings.first.data(), settings.first.size()) &&
         WriteAll(toRoot, settings.last.data(), settings.last.size()) &&
         ReadAll(fromRoot, &written, 1) && written == 'w';
}

// Writes what the account sent; nothing when it sent nothing (a plugin the
// core refuses needs no run) or a stop signal came first.
void WriteSettingsSent(int fromAccount, int toAccount, const Layout& layout) {
  uint32_t lengths[2];
  if (!ReadAll(fromAccount, reinterpret_cast<char*>(lengths), sizeof lengths) ||
      lengths[0] > kMaxSettingsBytes || lengths[1] > kMaxSettingsBytes) {
    return;
  }
  DriverSettings settings;
  settings.first.resize(lengths[0]);
  settings.last.resize(lengths[1]);
  if (!ReadAll(fromAccount, settings.first.data(), lengths[0]) ||
      !ReadAll(fromAccount, settings.last.data(), lengths[1])) {
    return;
  }
  WriteDriverSettings(layout, settings);
  WriteAll(toAccount, "w", 1);
}

// Run as root: the folder is staged as root, then a child takes the
// account for good and runs the rest; this process writes the drivers'
// settings the child sends it (files a set-user-ID core loads must be
// root's), then waits and tidies.
Outcome ExerciseAs(const Account& account, const ExerciseOptions& options,
                   const Programs& programs, Layout& layout, std::ostream& out) {
  out.flush();
  int up[2], down[2];
  if (pipe2(up, O_CLOEXEC) != 0) return {2, false};
  if (pipe2(down, O_CLOEXEC) != 0) {
    close(up[0]), close(up[1]);
    return {2, false};
  }
  const pid_t child = fork();
  if (child == 0) {
    DefaultStopSignals();
    close(up[0]);
    close(down[1]);
    std::string error;
    Outcome outcome;
    if (TakeAccount(account, &error)) {
      out << TakenLine(account) << "\n";
      const SettingsWriter viaRoot = [&](const Layout&, const DriverSettings& settings) {
        return SendSettings(up[1], down[0], settings);
      };
      outcome = ExerciseStaged(options, programs, layout, viaRoot, out);
    } else {
      out << "devovor-inspect: cannot give up root: " << error << "; nothing was loaded\n";
    }
    out.flush();
    _exit(outcome.code | (outcome.keepFolder ? 0x10 : 0));
  }
  close(up[1]);
  close(down[0]);
  if (child > 0) WriteSettingsSent(up[0], down[1], layout);
  close(up[0]);
  close(down[1]);
  int status = 0;
  pid_t done = -1;
  while (child > 0 && (done = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    if (g_stopSignal != 0) kill(child, SIGKILL);  // parent-sim dies with it (exercise_run.cpp)
  }
  if (done != child || !WIFEXITED(status)) return {2, false};
  return {WEXITSTATUS(status) & 0x0f, (WEXITSTATUS(status) & 0x10) != 0};
}

}  // namespace

int Exercise(const ExerciseOptions& options, std::ostream& out) {
  Programs programs;
  std::string error;
  if (!FindPrograms(options, &programs, &error)) {
    out << "devovor-inspect: " << error << "\n";
    return 2;
  }
  const std::string unsafe = UnsafeCore(programs.core);
  if (!unsafe.empty()) {
    out << "devovor-inspect: refusing the core " << programs.core << ": " << unsafe << "\n";
    return 2;
  }
  const Account* owner = options.account ? &*options.account : nullptr;
  if (owner != nullptr) CatchStopSignals();
  Layout layout;
  std::error_code ignored;
  try {
    StageLayout(options, programs, owner, layout);
  } catch (const std::exception& e) {
    out << "devovor-inspect: cannot lay out the core's folder: " << e.what() << "\n";
    if (!layout.root.empty()) fs::remove_all(layout.root, ignored);
    return 2;
  }
  Outcome outcome;
  if (g_stopSignal == 0) {
    outcome = owner ? ExerciseAs(*owner, options, programs, layout, out)
                    : ExerciseStaged(options, programs, layout, WriteDriverSettings, out);
  }
  // No way out leaves the copy set-user-ID, a folder kept for memcheck's log
  // included.
  if (owner != nullptr) dvsafety::ClearSetId(layout.core.c_str());
  if (!outcome.keepFolder || g_stopSignal != 0) fs::remove_all(layout.root, ignored);
  if (g_stopSignal != 0) {
    out.flush();
    DefaultStopSignals();
    raise(g_stopSignal);
  }
  return outcome.code;
}

}  // namespace dvinspect
