// parent-sim: plays the parent daemon, for people and for tests.
//
// It makes the socket pair, starts the core with its end as the descriptor,
// sends the identity packet, then the requests it was given, prints every
// block the core sends back (hex and text), and sends a stop packet after
// --stop-after seconds or on Ctrl-C. It exits with the core's exit code.
//
//   parent-sim [--core PATH] [--emulator PROGRAM] [--background]
//              [--stop-after SECONDS] [--requests-after SECONDS]
//              [--request TARGET:TYPE:TEXT]... [--requests FILE]
//              [--exit-first] [--launcher UID] [--core-ruid UID]
//              [--block-narrow-signal] [--user NAME]
//
// Without --core it starts the core beside it in the build tree, or the
// installed one (lib/devovor/devovor under the same prefix).
// --user NAME plays a parent of that account: run as root, parent-sim takes
// the account for good (user, group and supplementary groups) before it
// starts the core, so the core sees a parent of that account; a
// set-user-ID-root core then drops to it. parent-sim exits 77 when it
// cannot take the account.
//
// TARGET and TYPE are numbers (0x.. for hex); a requests file holds one
// TARGET:TYPE:TEXT per line. --emulator starts the core through a user-mode
// emulator (e.g. qemu-arm), for a core built for another processor; the
// cross-built tests use it. --exit-first plays a parent that dies at the
// worst moment: parent-sim prints "core pid N" and exits at once, and the
// core is started only once parent-sim has gone and its process has been
// handed to another parent. --launcher UID puts a launcher between
// parent-sim and the core: a process whose real user ID is UID (its
// effective one stays) forks the core, waits for it and exits with its
// code, while parent-sim keeps the other end of the socket pair it made.
// --core-ruid UID starts the core with real user ID UID.
// --block-narrow-signal starts the core with SIGRTMIN+3 blocked.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ipc/packet.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

struct Options {
  std::string core;
  std::string emulator;
  std::string user;
  bool background = false;
  bool exitFirst = false;
  bool blockNarrowSignal = false;
  int launcherUid = -1;
  int coreRuid = -1;
  double stopAfter = -1;
  double requestsAfter = 0;
  std::vector<std::string> requests;
};

std::vector<uint8_t> Packet(uint32_t type, uint32_t target, const std::string& payload) {
  return dv::packet::Encode(type, target, payload.data(), payload.size());
}

bool Send(int fd, const std::vector<uint8_t>& packet) {
  return send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
}

// "TARGET:TYPE:TEXT" as a request packet.
bool RequestPacket(const std::string& request, std::vector<uint8_t>* packet) {
  const size_t first = request.find(':');
  const size_t second = first == std::string::npos ? first : request.find(':', first + 1);
  if (second == std::string::npos) return false;
  const std::string target = request.substr(0, first);
  const std::string type = request.substr(first + 1, second - first - 1);
  *packet = Packet(uint32_t(std::strtoul(type.c_str(), nullptr, 0)),
                   uint32_t(std::strtoul(target.c_str(), nullptr, 0)), request.substr(second + 1));
  return true;
}

void PrintBlock(size_t n, const uint8_t* data, size_t len) {
  std::printf("block %zu: %zu bytes\n", n, len);
  for (size_t row = 0; row < len && row < 256; row += 16) {
    std::printf("  %04zx ", row);
    for (size_t i = row; i < row + 16; ++i) {
      if (i < len) std::printf(" %02x", data[i]); else std::printf("   ");
    }
    std::printf("  ");
    for (size_t i = row; i < row + 16 && i < len; ++i) {
      std::putchar(data[i] >= 0x20 && data[i] < 0x7f ? data[i] : '.');
    }
    std::putchar('\n');
  }
  if (len > 256) std::printf("  ...\n");
  std::fflush(stdout);
}

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

// The core beside this program in the build tree (tools/parent-sim,
// devovor), else the installed one relative to the installed parent-sim.
std::string DefaultCore() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "devovor";
  const std::string path(self, size_t(n));
  const std::string dir = path.substr(0, path.rfind('/'));
  for (const std::string& candidate : {dir + "/../devovor", dir + "/" DV_CORE_FROM_TOOL_DIR "/devovor"}) {
    if (IsExecutableFile(candidate)) return candidate;
  }
  return dir + "/" DV_CORE_FROM_TOOL_DIR "/devovor";
}

bool ParseOptions(int argc, char** argv, Options* options) {
  options->core = DefaultCore();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--background") {
      options->background = true;
    } else if (arg == "--exit-first") {
      options->exitFirst = true;
    } else if (arg == "--block-narrow-signal") {
      options->blockNarrowSignal = true;
    } else if (arg == "--launcher" && hasValue) {
      options->launcherUid = std::atoi(argv[++i]);
    } else if (arg == "--core-ruid" && hasValue) {
      options->coreRuid = std::atoi(argv[++i]);
    } else if (arg == "--core" && hasValue) {
      options->core = argv[++i];
    } else if (arg == "--user" && hasValue) {
      options->user = argv[++i];
    } else if (arg == "--emulator" && hasValue) {
      options->emulator = argv[++i];
    } else if (arg == "--stop-after" && hasValue) {
      options->stopAfter = std::atof(argv[++i]);
    } else if (arg == "--requests-after" && hasValue) {
      options->requestsAfter = std::atof(argv[++i]);
    } else if (arg == "--request" && hasValue) {
      options->requests.push_back(argv[++i]);
    } else if (arg == "--requests" && hasValue) {
      std::ifstream file(argv[++i]);
      for (std::string line; std::getline(file, line);) {
        if (!line.empty()) options->requests.push_back(line);
      }
    } else {
      std::fprintf(stderr,
                   "usage: %s [--core PATH] [--emulator PROGRAM] [--background]\n"
                   "          [--stop-after SECONDS] [--requests-after SECONDS]\n"
                   "          [--request TARGET:TYPE:TEXT]... [--requests FILE]\n"
                   "          [--exit-first] [--launcher UID] [--core-ruid UID]\n"
                   "          [--block-narrow-signal] [--user NAME]\n",
                   argv[0]);
      return false;
    }
  }
  return true;
}

// Takes the account `name` for good: supplementary groups, then all three
// group IDs, then all three user IDs, and checks that none of root's is left.
// Without root only the account already held is accepted. False on failure,
// which it reports.
bool TakeAccount(const std::string& name) {
  const passwd* entry = getpwnam(name.c_str());
  if (entry == nullptr) {
    std::fprintf(stderr, "parent-sim: no account '%s'\n", name.c_str());
    return false;
  }
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  if (geteuid() != 0) {
    if (getuid() == uid && geteuid() == uid) return true;
    std::fprintf(stderr, "parent-sim: --user %s needs root\n", name.c_str());
    return false;
  }
  if (initgroups(entry->pw_name, gid) != 0 || setresgid(gid, gid, gid) != 0 ||
      setresuid(uid, uid, uid) != 0) {
    std::perror("parent-sim: taking the account");
    return false;
  }
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  if (ruid != uid || euid != uid || suid != uid || rgid != gid || egid != gid || sgid != gid ||
      (uid != 0 && setuid(0) == 0)) {
    std::fprintf(stderr, "parent-sim: the account '%s' was not fully taken\n", name.c_str());
    return false;
  }
  return true;
}

// Sets the real user ID only; false on failure, which it reports.
bool SetRealUid(int uid) {
  if (uid < 0 || setresuid(uid_t(uid), uid_t(-1), uid_t(-1)) == 0) return true;
  std::perror("setresuid");
  return false;
}

// Execs the core on `descriptor`. With an emulator the core runs as
// "EMULATOR CORE DESCRIPTOR".
[[noreturn]] void ExecCore(const Options& options, int descriptor) {
  if (!SetRealUid(options.coreRuid)) _exit(126);
  if (options.blockNarrowSignal) {
    sigset_t narrow;
    sigemptyset(&narrow);
    sigaddset(&narrow, SIGRTMIN + 3);
    sigprocmask(SIG_BLOCK, &narrow, nullptr);
  }
  fcntl(descriptor, F_SETFD, 0);  // the core inherits its end
  const std::string number = std::to_string(descriptor);
  const std::string& core = options.core;
  if (!options.emulator.empty()) {
    execlp(options.emulator.c_str(), options.emulator.c_str(), core.c_str(), number.c_str(),
           static_cast<char*>(nullptr));
  } else {
    execl(core.c_str(), core.c_str(), number.c_str(), static_cast<char*>(nullptr));
  }
  std::perror("exec");
  _exit(127);
}

// The exit status of this program for the core's wait status; a core that
// a signal ended is named, since it had no chance to say anything itself.
int ExitCodeFor(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::printf("core killed by signal %d\n", WTERMSIG(status));
  std::fflush(stdout);
  return 128 + WTERMSIG(status);
}

// The launcher: forks the core, waits for it, exits with its code.
[[noreturn]] void RunLauncher(const Options& options, int descriptor) {
  if (!SetRealUid(options.launcherUid)) _exit(126);
  const pid_t core = fork();
  if (core == 0) ExecCore(options, descriptor);
  close(descriptor);
  int status = 0;
  while (core > 0 && waitpid(core, &status, 0) < 0 && errno == EINTR) {
  }
  _exit(core > 0 && (WIFEXITED(status) || WIFSIGNALED(status)) ? ExitCodeFor(status) : 126);
}

// With --exit-first, the core starts only once this process has exited.
pid_t StartCore(const Options& options, int descriptor) {
  const pid_t self = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    while (options.exitFirst && getppid() == self) usleep(1000);
    if (options.launcherUid >= 0) RunLauncher(options, descriptor);
    ExecCore(options, descriptor);
  }
  return pid;
}

void SendRequests(int fd, const std::vector<std::string>& requests) {
  for (const std::string& request : requests) {
    std::vector<uint8_t> packet;
    if (!RequestPacket(request, &packet) || !Send(fd, packet)) {
      std::fprintf(stderr, "parent-sim: bad or unsent request '%s'\n", request.c_str());
    }
  }
}

// Prints what the core sends until it closes its end; sends the requests
// when they are due, and the stop packet when asked to or when time is up.
void Serve(int fd, const Options& options) {
  const double stopAfter = options.stopAfter;
  const auto start = std::chrono::steady_clock::now();
  bool stopSent = false;
  bool requestsSent = false;
  std::vector<uint8_t> block(70000);
  for (size_t n = 0;;) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!requestsSent && elapsed >= options.requestsAfter) {
      SendRequests(fd, options.requests);
      requestsSent = true;
    }
    if (!stopSent && (g_interrupted || (stopAfter >= 0 && elapsed >= stopAfter))) {
      Send(fd, Packet(8, 0, ""));
      stopSent = true;
    }
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t got = recv(fd, block.data(), block.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // the core has gone
    PrintBlock(n++, block.data(), size_t(got));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 64;
  if (!options.user.empty() && !TakeAccount(options.user)) return 77;
  struct sigaction interrupt = {};
  interrupt.sa_handler = [](int) { g_interrupted = 1; };
  sigaction(SIGINT, &interrupt, nullptr);
  sigaction(SIGTERM, &interrupt, nullptr);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::perror("socketpair");
    return 70;
  }
  const pid_t core = StartCore(options, pair[1]);
  close(pair[1]);
  if (options.exitFirst) {
    std::printf("core pid %d\n", static_cast<int>(core));
    return 0;
  }
  std::string identity("libparentsim.so\0" "1.0", 19);
  if (options.background) identity += std::string("\0Background:true", 16);
  Send(pair[0], Packet(7, 0, identity));
  Serve(pair[0], options);
  close(pair[0]);
  int status = 0;
  while (waitpid(core, &status, 0) < 0 && errno == EINTR) {
  }
  return ExitCodeFor(status);
}
