// devovor-inspect --exercise: runs one plugin inside the real core and
// reports every broken contract the core can see.
//
// The plugin is first inspected (a plugin the core refuses is a finding by
// itself). Then a throw-away folder gets a copy of the core, the plugin
// (with its "<stem>.conf" if one lies beside it) and two copies of the
// driver plugin around it (exercise_driver.c), and a core.xml that shows
// the core's routine messages and every message of the plugin's kind.
// parent-sim starts the core; the driver raises events of every class the
// plugin subscribes to, a configuration update and the read requests it
// accepts, and parent-sim sends a request to the plugin's ID. After
// `seconds` the core is stopped, and the run is read back (exercise_run.h):
//
//   - Load, Open or Close slower than kCallLimitMs (the status report's
//     figures, and the drivers' bracket around Close);
//   - a Write that blocks for more than kWriteLimitMs, with the event it
//     was handed (the core's message after a slow Write, or its hang line
//     for one that has not returned after 5 s);
//   - the mistakes inspect names under its verdict (mistakes.h): a
//     subscription without Write, a worker or reader flag without its
//     entry point, a changed header of Load's output record;
//   - the plugin's threads (worker, reader, read requests) not done within
//     5 s of its Close;
//   - threads of its own still running after its Unload (the drivers list
//     the core's tasks before its Load and after its Unload);
//   - blocks it kept and never released (the core's leak report);
//   - failed calls and their codes (the core's messages, Open's code);
//   - its own messages at level 50 and above;
//   - with --valgrind (when valgrind is installed), memcheck's errors;
//   - as a note, which leaves the exit status alone: the parent's request,
//     dropped by the core when the plugin exports no IOCTL.
//
// Findings are numbered, broken contracts first, then notes.
// The folder is removed afterwards, except when memcheck found errors (its
// log is there). Main thread only.
//
// Run as root, the folder is laid out first (root's, but for the core's
// working folder), then a child process takes the account of
// `ExerciseOptions::account` for good before the plugin is loaded at all,
// and inspects and runs it from there; the core starts with that account's
// parent-sim, as a set-user-ID root program, and takes its account.
//
// What keeps that copy from running anyone's code as root
// (safety/setuid_file.h): a core whose library search path has an empty or
// relative entry (read from the current folder, work/, the account's) is
// refused, exit status 2; the plugin and its settings are copied without
// following a link, regular files only, readable by the account's group and
// never by others; the copy lies in a folder only root can write, below
// folders that are root's and writable by root alone or sticky; owner and
// modes are set through the open descriptors. The set-user-ID bit comes off
// on every way out: SIGINT, SIGTERM and SIGHUP take it off in their handler
// (then the run is stopped, the folder removed and the tool ends by the same
// signal), and so does every return, also when the folder is kept for
// memcheck's log.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "inspect/account.h"

namespace dvinspect {

constexpr int kCallLimitMs = 500;
constexpr int kWriteLimitMs = 1000;

struct ExerciseOptions {
  std::string plugin;    // the plugin file
  std::string core;      // the core to run; empty: the one installed or built with this tool
  std::string emulator;  // runs parent-sim and the core, e.g. qemu-arm; empty: none
  double seconds = 3;    // from start to the stop request
  bool valgrind = false;
  bool verbose = false;  // also print the core's console
  // Run as root: the account the plugin is inspected and parent-sim runs
  // under (see account.h); the core, a set-user-ID root copy, starts as
  // root with that parent, as on the appliance.
  std::optional<Account> account;
};

// 0 when every contract held (notes or not), 1 when one broke, 2 when the
// run could not be set up (the findings or the reason go to `out`).
int Exercise(const ExerciseOptions& options, std::ostream& out);

}  // namespace dvinspect
