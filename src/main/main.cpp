// The program entry: parses the command line, builds the one core object,
// initializes and runs it.
//
// Exit codes: 0 after -h (or --help) or a completed run, 1 when the executable's own
// path cannot be found, 2 when the core cannot initialize.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/filesystem.hpp>
#include <wx/init.h>

#include "core/devovor.h"
#include "platform/platform.h"
#include "platform/thread_capabilities.h"

namespace {

struct CommandLine {
  bool usage = false;
  int descriptor = -1;
};

// Options start with '-'; any whose second character is 'h', and "--help",
// ask for usage, others are ignored. The first non-option is the parent
// descriptor.
CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == 'h' || std::strcmp(arg, "--help") == 0) {
        line.usage = true;
        return line;
      }
      continue;
    }
    line.descriptor = std::atoi(arg);
    break;
  }
  return line;
}

bool FindCanonicalExecutable(std::string* path) {
  try {
    const boost::filesystem::path cwd = boost::filesystem::current_path();
    *path = boost::filesystem::canonical("/proc/self/exe", cwd).string();
    return true;
  } catch (const boost::filesystem::filesystem_error&) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: a mask blocked by the parent survives execve
  // and every thread would inherit it, out of reach of the narrowing.
  dv::UnblockNarrowSignal();
  const CommandLine line = ParseCommandLine(argc, argv);
  if (line.usage) {
    std::fprintf(stderr, "core version %s\n", devovor::BuiltInVersion());
    std::fprintf(stderr, "Usage: %s <pipe>\n", argc > 0 ? argv[0] : "devovor");
    return 0;
  }
  // Before any thread or library opens anything: what the process was
  // handed beyond 0-2 and the parent channel reaches no program it starts.
  if (const int error = dv::MarkInheritedDescriptorsCloseOnExec(line.descriptor)) {
    std::fprintf(stderr, "cannot mark inherited descriptors close-on-exec: %s\n",
                 std::strerror(error));
  }
  wxInitialize();
  std::string executable;
  if (!FindCanonicalExecutable(&executable)) {
    std::fprintf(stderr, "failed to find canonical path\n");
    return 1;
  }
  devovor core(executable);
  if (!core.Initialize(line.descriptor)) {
    std::fprintf(stderr, "failed to initialize core\n");
    return 2;
  }
  core.Start();
  wxUninitialize();
  return 0;
}
