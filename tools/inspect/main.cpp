// devovor-inspect: what the core will make of a plugin, before it runs.
//
//   devovor-inspect [--json] PLUGIN.so...     the given plugins, in that order
//   devovor-inspect [--json] DIR              the plugins the core would find
//   devovor-inspect --exercise PLUGIN.so [--seconds N] [--valgrind] [--verbose]
//                   [--core PATH] [--emulator PROGRAM]
//   either, run as root, with [--user NAME] (default nobody)
//
// Inspecting loads each plugin through the core's own plugin host and calls
// only Load (inspection.h), prints the facts (report.h), then unloads.
// Exercising runs the plugin inside a real core and reports every broken
// contract the core can see (exercise.h).
//
// Run as root, the tool takes an unprivileged account before it loads any
// plugin (account.h), and says so; a plugin's code never runs as root here.
// It refuses to go on when the account cannot be taken.
//
// Exit status: 0 when the core would load every plugin (or the exercised
// one kept every contract) and after -h or --help, 1 when it would refuse
// one (or a contract was broken), 2 on a usage error.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "inspect/account.h"
#include "inspect/exercise.h"
#include "inspect/inspection.h"
#include "inspect/report.h"

namespace {

constexpr int kUsageError = 2;

void PrintUsage(std::ostream& out) {
  out << "usage: devovor-inspect [--json] PLUGIN.so... | DIR\n"
               "       devovor-inspect --exercise PLUGIN.so [--seconds N] [--valgrind] [--verbose]\n"
               "                       [--core PATH] [--emulator PROGRAM]\n"
               "  run as root, either takes the account NAME of --user NAME (default nobody)\n"
               "  before it loads a plugin; --exercise then starts the core as root with a\n"
               "  parent of that account. The plugins must be readable by that account.\n"
               "  A PLUGIN.so without a '/' is a file in the current folder.\n";
}

int Usage(const std::string& why) {
  std::cerr << "devovor-inspect: " << why << "\n";
  PrintUsage(std::cerr);
  return kUsageError;
}

int Refuse(const std::string& why) {
  std::cerr << "devovor-inspect: cannot give up root: " << why << "; nothing was loaded\n";
  return kUsageError;
}

bool HoldsRoot() {
  uid_t real = 0, effective = 0, saved = 0;
  return getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0;
}

int RunInspect(const std::vector<std::string>& args, bool json) {
  std::string error;
  const std::vector<std::string> candidates = dvinspect::CandidatesOf(args, &error);
  if (!error.empty()) return Usage(error);
  const std::vector<dvinspect::PluginReport> reports = dvinspect::Inspect(candidates);
  if (json) {
    dvinspect::PrintJson(reports, std::cout);
  } else {
    dvinspect::PrintText(reports, std::cout);
  }
  return dvinspect::AllAccepted(reports) ? 0 : 1;
}

bool ParseSeconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  *seconds = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && *seconds > 0 && *seconds <= 3600;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  bool json = false, exercise = false;
  dvinspect::ExerciseOptions options;
  std::string user;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--json") {
      json = true;
    } else if (arg == "--exercise") {
      exercise = true;
    } else if (arg == "--valgrind") {
      options.valgrind = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--seconds" && hasValue) {
      if (!ParseSeconds(argv[++i], &options.seconds)) return Usage("--seconds wants 0 < N <= 3600");
    } else if (arg == "--core" && hasValue) {
      options.core = argv[++i];
    } else if (arg == "--user" && hasValue) {
      user = argv[++i];
    } else if (arg == "--emulator" && hasValue) {
      options.emulator = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(std::cout);
      return 0;
    } else if (arg.compare(0, 2, "--") == 0) {
      return Usage("unknown option " + arg);
    } else {
      args.push_back(arg);
    }
  }
  if (HoldsRoot()) {
    dvinspect::Account account;
    std::string error;
    if (!dvinspect::FindAccount(user.empty() ? dvinspect::kDefaultAccount : user, &account, &error)) {
      return Refuse(error);
    }
    if (exercise) {
      options.account = account;  // taken once the core's folder is laid out
    } else if (dvinspect::TakeAccount(account, &error)) {
      std::cerr << dvinspect::TakenLine(account) << "\n";
    } else {
      return Refuse(error);
    }
  } else if (!user.empty()) {
    return Usage("--user is for a run as root");
  }
  if (!exercise) return RunInspect(args, json);
  if (args.size() != 1 || json) return Usage("--exercise takes one plugin file");
  options.plugin = args[0];
  return dvinspect::Exercise(options, std::cout);
}
