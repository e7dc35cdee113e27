// The real core on a pseudo-terminal: a plugin's message cannot forge a
// console line or drive the terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
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

// The leak report is one message with a line per block: each block shows
// on a line of its own, indented past the prefix, so none can be taken for
// an entry of the console.
TEST(ConsoleOnATerminal, ALeakReportPrintsOneIndentedLinePerBlock) {
  PluginFolder folder(DEVOVOR_EXE, TEST_PLUGIN_SO);
  // 30 blocks kept for good: the 29 events and the status report's update.
  folder.Install("raiser.so", "id=0x10000\nraise_on_open=29");
  folder.Install("keeper.so", "id=0x20000\nmask1=0xffffffff\ndelivery=1\nkeep=1\nrelease_kept=0");
  std::ofstream(folder.root() / "core.xml")
      << "<Orvel><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Orvel>";
#if defined(__SANITIZE_ADDRESS__)
  // The blocks are kept for good on purpose; LeakSanitizer in the core would
  // count them at exit and end it with code 1.
  const char* given = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(given ? given : "") + ":detect_leaks=0").c_str(), 1);
#endif
  const std::string console = RunCore(folder);
  // The terminal turns "\n" into "\r\n"; the first line follows the prefix.
  const std::regex first("\x1b\\[0m address 0x[0-9a-f]+ leaked by plugins \\[20000\\]\r\n");
  const std::regex next("\r\n {16}address 0x[0-9a-f]+ leaked by plugins \\[20000\\](?=\r\n)");
  std::smatch start;
  ASSERT_TRUE(std::regex_search(console, start, first)) << console;
  const std::string rest = console.substr(start.position(0) + start.length(0) - 2);
  const auto lines = std::distance(std::sregex_iterator(rest.begin(), rest.end(), next),
                                   std::sregex_iterator());
  EXPECT_EQ(lines, 29) << console;
}

}  // namespace
}  // namespace dvtest
