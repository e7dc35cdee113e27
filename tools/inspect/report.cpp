#include "inspect/report.h"

#include <cstdio>
#include <sstream>
#include <string>

#include "inspect/masks.h"
#include "inspect/mistakes.h"
#include "plugin_api/helpers.h"

namespace dvinspect {
namespace {

struct Entry {
  const char* name;
  PluginEntryFn dv::PLUGININFO::*field;
};
const Entry kEntries[] = {
    {"Load", &dv::PLUGININFO::Load},   {"Unload", &dv::PLUGININFO::Unload},
    {"Open", &dv::PLUGININFO::Open},   {"Close", &dv::PLUGININFO::Close},
    {"Read", &dv::PLUGININFO::Read},   {"Write", &dv::PLUGININFO::Write},
    {"Seek", &dv::PLUGININFO::Seek},   {"IOCTL", &dv::PLUGININFO::IOCTL},
};

bool Exports(const dv::PLUGININFO& plugin, const Entry& entry) {
  return plugin.*(entry.field) != nullptr;
}

std::string FlagsText(uint32_t within) {
  if (within == 0xffffffffu) return "any";
  if (within == 0) return "0 only";
  return "within " + Hex(within);
}

// Flag bit 31 never takes part in delivery: it is left out of the text.
std::string WriteFlagsText(uint32_t mask) {
  const uint32_t within = WriteFlagsWithin(mask);
  return within == 0xffffffffu ? "any" : FlagsText(within & 0x7fffffffu);
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool WorkerRuns(const dv::PLUGININFO& p) { return p.loadResults.wantsWorker && p.IOCTL; }
bool ReaderRuns(const dv::PLUGININFO& p) { return p.wantsReader() && p.Read; }

// ---- text --------------------------------------------------------------

void Line(std::ostream& out, const char* label, const std::string& text) {
  char head[24];
  std::snprintf(head, sizeof head, "  %-14s ", label);
  out << head << text << "\n";
}

std::string EntryPointsText(const dv::PLUGININFO& plugin) {
  std::vector<std::string> present, missing;
  for (const Entry& entry : kEntries) (Exports(plugin, entry) ? present : missing).push_back(entry.name);
  return Joined(present, " ") + (missing.empty() ? "" : "; not exported: " + Joined(missing, " "));
}

std::string ThreadText(bool wanted, bool exported, const char* entry, const char* runs) {
  if (!wanted) return "no";
  if (!exported) return std::string("asked for, but ") + entry + " is not exported: none";
  return std::string("yes: ") + runs;
}

std::string ProposalText(const dv::PLUGININFO& plugin) {
  const int32_t level = plugin.loadResults.defaultLogLevel;
  if (level == 0) return "none";
  if (!dv::IsLogLevelProposal(plugin.id(), level)) {
    return std::to_string(level) + ", ignored (valid: -1..100, kinds below 255)";
  }
  return std::to_string(level) + " for kind " + Hex(dv_id_kind(plugin.id()), 2) +
         " (a level in core.xml wins)";
}

void PrintMasks(const dv::PLUGININFO& plugin, std::ostream& out) {
  Line(out, "masks", "class   bit    mask        Write gets flags     read requests match flags");
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    const uint32_t mask = plugin.mask(k);
    char row[160];
    std::snprintf(row, sizeof row, "%-7s %-6s %s  %-20s %s", dv_class_name(k),
                  Hex(DV_CLASS_BIT(k), 3).c_str(), Hex(mask).c_str(),
                  plugin.delivers() ? WriteFlagsText(mask).c_str() : "-",
                  ReaderRuns(plugin) ? FlagsText(ReadFlagsWithin(mask)).c_str() : "-");
    Line(out, "", row);
  }
}

std::string RaisedText(const RaisedEvent& event) {
  if (!event.text.empty() || (event.eventType & DV_EVENT_LOG)) {
    return "log message, level " + std::to_string(event.level) + ": " + event.text;
  }
  return "eventType " + Hex(event.eventType, 1) + ", flags " + Hex(event.flags, 1) + ", " +
         std::to_string(event.len) + " bytes";
}

void PrintFacts(const PluginReport& report, std::ostream& out) {
  const dv::PLUGININFO& p = report.plugin();
  const _LoadParmsOut& load = p.loadResults;
  Line(out, "ID", Hex(p.id()) + ", kind " + Hex(dv_id_kind(p.id()), 2));
  Line(out, "record", "size " + std::to_string(load.size) + ", version " +
                          std::to_string(load.version) + " (as Load left them; the core wrote 68, 2)");
  Line(out, "Load", "returned " + std::to_string(report.attempt.loadResult) + ", errorCode " +
                        std::to_string(load.errorCode) + ", " + std::to_string(p.loadTimeMs) + " ms");
  Line(out, "entry points", EntryPointsText(p));
  Line(out, "worker", ThreadText(load.wantsWorker, p.IOCTL, "IOCTL",
                                 "IOCTL request 1 on a thread of the core, from Load on"));
  Line(out, "reader", ThreadText(load.wantsReader, p.Read, "Read",
                                 "Read on a thread of the core after Open, and read requests"));
  Line(out, "delivery", !p.delivers() ? "no: no Write calls"
                        : p.Write     ? "yes: matching events reach Write"
                                      : "asked for, but Write is not exported: none");
  Line(out, "close order", "key " + Hex(p.closeOrderKey()) + " (larger keys close first)");
  Line(out, "log proposal", ProposalText(p));
  PrintMasks(p, out);
  if (p.delivers()) {
    const std::vector<std::string> matched = MatchedEvents(p);
    Line(out, "Write gets", matched.empty() ? "none of the usual events" : Joined(matched, "; "));
  }
  for (const RaisedEvent& event : report.raised) Line(out, "raised in Load", RaisedText(event));
}

// ---- JSON ------------------------------------------------------------

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string JsonStrings(const std::vector<std::string>& items) {
  std::vector<std::string> quoted;
  for (const std::string& item : items) quoted.push_back(Quoted(item));
  return "[" + Joined(quoted, ",") + "]";
}

std::string JsonMasks(const dv::PLUGININFO& p) {
  std::vector<std::string> masks;
  for (int k = 0; k < DV_MASK_COUNT; ++k) {
    std::ostringstream mask;
    mask << "{\"class\":" << Quoted(dv_class_name(k)) << ",\"bit\":" << DV_CLASS_BIT(k)
         << ",\"mask\":" << p.mask(k) << ",\"writeFlagsWithin\":" << WriteFlagsWithin(p.mask(k))
         << ",\"readFlagsWithin\":" << ReadFlagsWithin(p.mask(k)) << "}";
    masks.push_back(mask.str());
  }
  return "[" + Joined(masks, ",") + "]";
}

std::string JsonFacts(const PluginReport& report) {
  const dv::PLUGININFO& p = report.plugin();
  const _LoadParmsOut& load = p.loadResults;
  std::ostringstream out;
  std::vector<std::string> entries, raised;
  for (const Entry& entry : kEntries) {
    entries.push_back(Quoted(entry.name) + ":" + Bool(Exports(p, entry)));
  }
  for (const RaisedEvent& e : report.raised) {
    std::ostringstream event;
    event << "{\"providerID\":" << e.providerID << ",\"eventType\":" << e.eventType
          << ",\"flags\":" << e.flags << ",\"level\":" << e.level << ",\"len\":" << e.len
          << ",\"text\":" << Quoted(e.text) << "}";
    raised.push_back(event.str());
  }
  out << ",\"id\":" << p.id() << ",\"idHex\":" << Quoted(Hex(p.id()))
      << ",\"kind\":" << dv_id_kind(p.id()) << ",\"recordSize\":" << load.size
      << ",\"recordVersion\":" << load.version << ",\"loadResult\":" << report.attempt.loadResult
      << ",\"errorCode\":" << load.errorCode << ",\"loadTimeMs\":" << p.loadTimeMs
      << ",\"entryPoints\":{" << Joined(entries, ",") << "}"
      << ",\"wantsWorker\":" << Bool(load.wantsWorker) << ",\"worker\":" << Bool(WorkerRuns(p))
      << ",\"wantsReader\":" << Bool(load.wantsReader) << ",\"reader\":" << Bool(ReaderRuns(p))
      << ",\"deliveryOption\":" << Bool(p.delivers())
      << ",\"closeOrderKey\":" << p.closeOrderKey()
      << ",\"defaultLogLevel\":" << load.defaultLogLevel
      << ",\"logProposalRecorded\":" << Bool(dv::IsLogLevelProposal(p.id(), load.defaultLogLevel))
      << ",\"masks\":" << JsonMasks(p) << ",\"writeGets\":" << JsonStrings(MatchedEvents(p))
      << ",\"raisedInLoad\":[" << Joined(raised, ",") << "]";
  return out.str();
}

// What the author should change: the mistakes the core lets pass, or what
// its refusal means.
std::vector<std::string> Advice(const PluginReport& report) {
  if (report.attempt.accepted) return LoadMistakes(report);
  const std::string missing = RefusalAdvice(report);
  return missing.empty() ? std::vector<std::string>{} : std::vector<std::string>{missing};
}

// The core's verdict, then the advice, numbered.
void PrintVerdict(const PluginReport& report, std::ostream& out) {
  const std::vector<std::string> advice = Advice(report);
  if (!report.attempt.accepted) {
    Line(out, "verdict", "refused: " + report.refusal);
  } else {
    Line(out, "verdict", advice.empty() ? "the core loads it" : "the core loads it, but:");
  }
  for (size_t i = 0; i < advice.size(); ++i) Line(out, "", std::to_string(i + 1) + ". " + advice[i]);
}

}  // namespace

bool AllAccepted(const std::vector<PluginReport>& reports) {
  for (const PluginReport& report : reports) {
    if (!report.attempt.accepted) return false;
  }
  return true;
}

void PrintText(const std::vector<PluginReport>& reports, std::ostream& out) {
  if (reports.empty()) out << "no plugins: the core would run without any\n";
  for (size_t i = 0; i < reports.size(); ++i) {
    const PluginReport& report = reports[i];
    out << (i == 0 ? "" : "\n") << i + 1 << ". " << report.plugin().name << "  (" << report.path
        << ")\n";
    PrintVerdict(report, out);
    if (!report.clashesWith.empty()) Line(out, "ID clash", "the ID is held by " + report.clashesWith);
    if (report.attempt.loadRan) PrintFacts(report, out);
    for (const std::string& message : report.unloadMessages) Line(out, "Unload", message);
  }
}

void PrintJson(const std::vector<PluginReport>& reports, std::ostream& out) {
  out << "{\"allLoad\":" << Bool(AllAccepted(reports)) << ",\"plugins\":[";
  for (size_t i = 0; i < reports.size(); ++i) {
    const PluginReport& report = reports[i];
    out << (i == 0 ? "" : ",") << "{\"order\":" << i + 1
        << ",\"file\":" << Quoted(report.plugin().name) << ",\"path\":" << Quoted(report.path)
        << ",\"accepted\":" << Bool(report.attempt.accepted)
        << ",\"refusal\":" << Quoted(report.refusal)
        << ",\"advice\":" << JsonStrings(Advice(report))
        << ",\"clashesWith\":" << Quoted(report.clashesWith)
        << ",\"loadRan\":" << Bool(report.attempt.loadRan);
    if (report.attempt.loadRan) out << JsonFacts(report);
    out << ",\"unload\":" << JsonStrings(report.unloadMessages) << "}";
  }
  out << "]}\n";
}

}  // namespace dvinspect
