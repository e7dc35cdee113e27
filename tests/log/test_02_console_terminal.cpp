// The real core on a pseudo-terminal: a plugin's message cannot forge a
// console line or drive the terminal.
#include <gtest/gtest.h>

#include <string>

#include "plugins/run_core.h"

namespace dvtest {
namespace {

TEST(ConsoleOnATerminal, ControlBytesInAPluginMessagePrintAsQuestionMarks) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  // A carriage return and a fake time stamp start a forged "core" line; the
  // escape sequences would clear the line and recolour the terminal.
  folder.Install("a.so",
                 "log_on_load=ok\x1b[2K\r12:00:00 core   plugins verified\x1b[0m\x07\x7f\tend");
  const std::string console = RunCore(folder);
  // The line keeps the writer's own colours and line end (the terminal
  // turns "\n" into "\r\n").
  EXPECT_NE(console.find("\x1b[0m ok?[2K?12:00:00 core   plugins verified?[0m??\tend\r\n"),
            std::string::npos)
      << console;
}

}  // namespace
}  // namespace dvtest
