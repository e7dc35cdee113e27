// What a set-user-ID core checks before it runs anything it finds beside
// itself: that root alone controls it.
//
// A set-user-ID start gives its invoker the parent's account and two
// capabilities, nothing more; the code it runs must be root's choice. So,
// before any plugin is loaded, the executable must be root's, with one
// name (a hard link elsewhere would bring root's program into a folder of
// the invoker's), and the very file the kernel started; its folder and
// `plugins/`, `protected-plugins/` and `lib/` beside it (those that exist)
// must be root's alone, as must every folder above them
// (platform/trusted_path.h). Each plugin file is then checked as it loads
// (plugins/plugin_host.h).
//
// Main thread, in Initialize, before any other thread of the core exists.
#pragma once

#include <string>

namespace dv {

// True when the layout beside `executablePath` (canonical) is root's alone;
// otherwise logs "refusing a set-user-ID start: <why>" at level 100 and
// returns false.
bool VerifyRootsLayout(const std::string& executablePath);

}  // namespace dv
