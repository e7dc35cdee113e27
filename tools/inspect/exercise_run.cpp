#include "inspect/exercise_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>

namespace dvinspect {
namespace {

using Clock = std::chrono::steady_clock;

// The child: its own session, the terminal as standard output and error.
// It dies with this process, so that a run stopped by a signal (exercise.h)
// leaves no parent-sim behind.
[[noreturn]] void ExecOnTerminal(const RunPlan& plan, const char* terminal) {
  setsid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int slave = open(terminal, O_RDWR);
  const int none = open("/dev/null", O_RDONLY);
  if (slave < 0 || none < 0 || chdir(plan.workDir.c_str()) != 0) _exit(126);
  dup2(none, 0);
  dup2(slave, 1);
  dup2(slave, 2);
  std::vector<char*> argv;
  for (const std::string& arg : plan.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// The drivers' report: "<role> <step> <ns>" lines, and the last driver's
// "last stayed <tid> <comm>" lines (see exercise_driver.c).
void ReadReport(const std::string& file, RunRecord* record) {
  std::ifstream in(file);
  record->steps.clear();
  record->strayThreads.clear();
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string role, step, rest;
    int64_t number = 0;
    if (!(words >> role >> step >> number)) continue;
    if (step == "stayed") {
      std::getline(words >> std::ws, rest);
      record->strayThreads.push_back(std::to_string(number) + " (" + rest + ")");
    } else if (step != "task") {
      record->steps.emplace(role + " " + step, number);
    }
  }
}

class Watch {
 public:
  Watch(const RunPlan& plan, pid_t child, int terminal)
      : plan_(plan), child_(child), terminal_(terminal), launched_(Clock::now()) {}

  RunRecord Run() {
    while (!Reaped()) {
      Pump(std::chrono::milliseconds(100));
      ReadReport(plan_.reportFile, &record_);
      if (!record_.started) record_.started = Contains("successfully started core version");
      CheckDeadlines();
    }
    Pump(std::chrono::milliseconds(0));  // what is left in the terminal
    ReadReport(plan_.reportFile, &record_);
    return record_;
  }

 private:
  Clock::duration Scaled(std::chrono::seconds limit) const { return limit * plan_.slowdown; }
  bool Contains(const char* text) const { return record_.console.find(text) != std::string::npos; }

  void CheckDeadlines() {
    const Clock::time_point now = Clock::now();
    if (!record_.started && now - launched_ > Scaled(kStartLimit)) {
      record_.startHung = true;
      return Kill();
    }
    Note("first close-end", &firstClosed_, now);
    Note("last close-end", &lastClosed_, now);
    if (firstClosed_ && !record_.Has("last close-start") && now - *firstClosed_ > Scaled(kCloseHang)) {
      record_.closeHung = true;
      return Kill();
    }
    if (lastClosed_ && !record_.Has("last unload")) {
      if (now - *lastClosed_ > Scaled(kThreadLimit)) record_.threadsLate = true;
      if (now - *lastClosed_ > Scaled(kThreadLimit + kDrainLimit)) return Kill();
    }
    const auto overall = std::chrono::duration<double>(plan_.seconds) + Scaled(kStartLimit) +
                         Scaled(kCloseHang + kThreadLimit + kDrainLimit);
    if (now - launched_ > overall) Kill();
  }

  // Remembers when this watch first saw a step.
  void Note(const char* step, std::optional<Clock::time_point>* seen, Clock::time_point now) {
    if (!*seen && record_.Has(step)) *seen = now;
  }

  void Kill() {
    if (record_.killed) return;
    record_.killed = true;
    kill(-child_, SIGKILL);
  }

  // Reads the terminal until `wait` passes without output.
  void Pump(std::chrono::milliseconds wait) {
    char buffer[4096];
    pollfd p = {terminal_, POLLIN, 0};
    while (poll(&p, 1, int(wait.count())) > 0) {
      const ssize_t got = read(terminal_, buffer, sizeof buffer);
      if (got <= 0) return;
      record_.console.append(buffer, size_t(got));
      wait = std::chrono::milliseconds(0);
    }
  }

  bool Reaped() {
    int status = 0;
    const pid_t done = waitpid(child_, &status, WNOHANG);
    if (done != child_) return false;
    if (WIFEXITED(status)) record_.exitCode = WEXITSTATUS(status);
    if (record_.killed) kill(-child_, SIGKILL);  // the core, if it outlived parent-sim
    return true;
  }

  const RunPlan& plan_;
  const pid_t child_;
  const int terminal_;
  const Clock::time_point launched_;
  std::optional<Clock::time_point> firstClosed_, lastClosed_;
  RunRecord record_;
};

}  // namespace

RunRecord RunCore(const RunPlan& plan) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    RunRecord failed;
    failed.console = "devovor-inspect: no pseudo-terminal for the core's console\n";
    if (master >= 0) close(master);
    return failed;
  }
  const std::string terminal = ptsname(master);
  // Held open here too, so the terminal never hangs up while the run lasts:
  // the watch reads it until parent-sim has been reaped.
  const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const pid_t child = slave < 0 ? -1 : fork();
  if (child == 0) ExecOnTerminal(plan, terminal.c_str());
  RunRecord record;
  if (child < 0) {
    record.console = "devovor-inspect: cannot start parent-sim\n";
  } else {
    record = Watch(plan, child, master).Run();
  }
  if (slave >= 0) close(slave);
  close(master);
  return record;
}

}  // namespace dvinspect
