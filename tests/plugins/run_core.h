// Runs an installed core on a pseudo-terminal until it has started, stops it
// with a signal, and hands back its console text.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "plugins/plugin_fixture.h"
#include "support/child_process.h"

namespace dvtest {

inline const std::regex kStarted("successfully started core version [^\r\n]*\r\n");

// Starts the core of `folder`; returns once it printed its start line.
inline std::unique_ptr<ChildProcess> StartCore(const PluginFolder& folder) {
  ChildOptions options;
  options.argv = {folder.exe().string()};
  options.workDir = folder.root().string();  // core.xml and product.xml live here
  options.stdoutMode = Stdout::kTerminal;
  auto child = std::make_unique<ChildProcess>(options);
  EXPECT_EQ(child->StartError(), "");
  EXPECT_TRUE(child->WaitFor(Stream::kStdout, kStarted, std::chrono::seconds(10)))
      << child->Output(Stream::kStdout);
  return child;
}

// Stops a started core and returns everything it printed.
inline std::string StopCore(ChildProcess& child) {
  EXPECT_EQ(child.SignalAndWaitForExit(SIGTERM, std::chrono::seconds(20)), ExitStatus::Exited(0));
  return child.Output(Stream::kStdout);
}

// Runs the core of `folder` from start to stop.
inline std::string RunCore(const PluginFolder& folder) {
  auto child = StartCore(folder);
  return StopCore(*child);
}

}  // namespace dvtest
