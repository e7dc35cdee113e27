// A suppressed log message allocates nothing, and neither does a passing one
// until the entry copies it for the queue. Counts every malloc and operator
// new of the process while the calls run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "support/peers.h"

using dv::test::Peer;
#include "events/callback.h"
#include "log/console.h"
#include "log/log.h"
#include "support/fake_platform.h"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define DV_COUNT_ALLOCATIONS 1
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<long> g_allocations{0};
}

extern "C" void* malloc(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
#endif

namespace {

TEST(LogAllocation, SuppressedMessageAllocatesNothing) {
#ifndef DV_COUNT_ALLOCATIONS
  GTEST_SKIP() << "allocation counting needs glibc without sanitizers";
#else
  dv::test::FakePlatform platform;
  devovor core("/nonexistent/devovor", platform);
  core.Initialize(-1);
  const long before = g_allocations.load();
  for (int i = 0; i < 1000; ++i) {
    dv::LogMessage(DV_CORE_ID, PluginEventCallback, 0, "suppressed %d %s", i, "text");
    (void)dv::IsLogLevelEnabled(0x00050000u, PluginEventCallback, 3);
  }
  EXPECT_EQ(g_allocations.load() - before, 0);
  // The counter does count: a queued message costs its payload copy.
  dv::LogMessage(DV_CORE_ID, PluginEventCallback, 25, "queued");
  EXPECT_GT(g_allocations.load() - before, 0);
#endif
}

// The console writer assembles any line, however long and however many
// continuation lines it has, without allocating.
TEST(LogAllocation, ALongMultiLineConsoleMessageAllocatesNothing) {
#ifndef DV_COUNT_ALLOCATIONS
  GTEST_SKIP() << "allocation counting needs glibc without sanitizers";
#else
  dv::test::FakePlatform platform;
  dv::NameRegistry names;
  names.Insert(DV_CORE_ID, "core");
  dv::ConsoleWriter writer(names, platform);
  writer.Write(DV_CORE_ID, 25, "warm-up", 8);  // the stream's own buffer
  std::string text;
  for (int i = 0; i < 100; ++i) text += "address 0x1234 leaked by plugins [20000]\n";
  const long before = g_allocations.load();
  writer.Write(DV_CORE_ID, 0, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_NE(platform.ConsoleText().find("[20000]\n                address 0x1234"),
            std::string::npos);
#endif
}

}  // namespace
