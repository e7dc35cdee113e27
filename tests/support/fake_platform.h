// A Platform whose clocks, memory figures, terminal answer and system log
// are the test's. Console lines go to a temporary file the test reads back.
// Payload blocks come from malloc, or from nowhere while failBlocks is set.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace dv::test {

class FakePlatform : public Platform {
 public:
  FakePlatform() : console_(std::tmpfile()) {}
  ~FakePlatform() override { std::fclose(console_); }

  int64_t SteadyNowNs() const override { return steadyNs.load(); }
  int64_t WallNowSeconds() const override { return wallSeconds.load(); }
  // Returns at once, with both clocks moved on by the time slept.
  void SleepFor(int64_t ns) const override {
    sleptNs += ns;
    steadyNs += ns;
    wallSeconds += ns / 1'000'000'000;
  }
  uint32_t ResidentBytes() const override { return residentBytes.load(); }
  // Counted; the resident figure becomes residentAfterRelease, when set,
  // and the wall clock moves on by releaseSeconds.
  void ReleaseFreeMemory() const override {
    ++releases;
    wallSeconds += releaseSeconds.load();
    if (residentAfterRelease.load() != 0) residentBytes = residentAfterRelease.load();
  }
  BlockAllocator PayloadBlocks() const override { return {&AllocateBlock, std::free}; }
  static void* AllocateBlock(size_t bytes) {
    return failBlocks.load() ? nullptr : std::malloc(bytes);
  }
  // Recorded, in order; the thread's policy is left alone.
  void SetBatchScheduling(bool on) const override {
    std::lock_guard<std::mutex> lock(mu_);
    batchCalls_.push_back(on);
  }
  std::vector<bool> BatchCalls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return batchCalls_;
  }
  void SystemLogCritical(const char* text, int length) const override {
    std::lock_guard<std::mutex> lock(mu_);
    syslogLines_.emplace_back(text, static_cast<size_t>(length));
  }
  bool StdoutIsTerminal() const override {
    ++terminalTests;
    return terminal.load();
  }
  FILE* ConsoleStream() const override { return console_; }

  // Everything written to the console so far.
  std::string ConsoleText() const {
    std::fflush(console_);
    std::string text;
    std::rewind(console_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, console_)) > 0) text.append(buffer, n);
    std::fseek(console_, 0, SEEK_END);
    return text;
  }
  std::vector<std::string> SyslogLines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return syslogLines_;
  }

  mutable std::atomic<int64_t> steadyNs{1'000'000'000};
  mutable std::atomic<int64_t> wallSeconds{1'700'000'000};  // 2023-11-14 22:13:20 UTC
  mutable std::atomic<int64_t> sleptNs{0};
  mutable std::atomic<uint32_t> residentBytes{0};
  std::atomic<uint32_t> residentAfterRelease{0};
  mutable std::atomic<int> releases{0};
  std::atomic<int64_t> releaseSeconds{0};
  static inline std::atomic<bool> failBlocks{false};
  std::atomic<bool> terminal{true};
  mutable std::atomic<int> terminalTests{0};

 private:
  FILE* console_;
  mutable std::mutex mu_;
  mutable std::vector<std::string> syslogLines_;
  mutable std::vector<bool> batchCalls_;
};

}  // namespace dv::test
