// One run of the core for --exercise: parent-sim starts it in a prepared
// folder, on a pseudo-terminal (the core writes its console only to a
// terminal), and this file watches the run through the console and the
// drivers' report file until it ends, or ends it.
//
// The watch knows the drivers' bracket (exercise_driver.c): the plugin's
// Close runs between "first close-end" and "last close-start", and "last
// unload" comes only after the core has joined the plugin's threads and
// called its Unload. It gives the core
//   - start-up: kStartLimit to print "successfully started";
//   - the plugin's Close: kCloseHang to return;
//   - the plugin's threads: kThreadLimit after its Close to end;
// each scaled by `slowdown` (memcheck is slow). The last driver's Unload
// also reports the tasks that stayed after the plugin was unloaded. A missed deadline is
// recorded; for the threads the run then gets kDrainLimit more to finish
// (a late thread lets the rest of the stop, the leak report included, show)
// before its process group is killed. Single-threaded; one run at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dvinspect {

constexpr std::chrono::seconds kStartLimit{20};
constexpr std::chrono::seconds kCloseHang{10};
constexpr std::chrono::seconds kThreadLimit{5};
constexpr std::chrono::seconds kDrainLimit{15};

struct RunPlan {
  std::vector<std::string> argv;  // parent-sim's command line, argv[0] the program
  std::string workDir;            // the core's current directory
  std::string reportFile;         // the drivers' steps
  double seconds = 3;             // until parent-sim asks the core to stop
  int slowdown = 1;
};

struct RunRecord {
  std::string console;                   // everything printed on the terminal
  std::map<std::string, int64_t> steps;  // "first close-end" -> monotonic ns
  std::vector<std::string> strayThreads;  // "<tid> (<comm>)", running after its Unload
  bool started = false;
  bool startHung = false;    // never started
  bool closeHung = false;    // the plugin's Close never returned
  bool threadsLate = false;  // not done kThreadLimit after its Close
  bool killed = false;
  int exitCode = -1;  // parent-sim's, which is the core's; -1 when killed

  bool Has(const std::string& step) const { return steps.count(step) != 0; }
  // Milliseconds from one step to another.
  int64_t MsBetween(const std::string& from, const std::string& to) const {
    return (steps.at(to) - steps.at(from)) / 1000000;
  }
};

RunRecord RunCore(const RunPlan& plan);

}  // namespace dvinspect
