// Shared pieces of the fuzz targets: reading choices from the input, a
// check that aborts with a message (a crash is how a fuzz target reports a
// broken property), and a platform whose console goes nowhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace dv::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "fuzz property broken at %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition)                                        \
  do {                                                               \
    if (!(condition)) ::dv::fuzz::Fail(__FILE__, __LINE__, #condition); \
  } while (0)

// Consumes the input from the front; once it is used up every read yields
// zeros, so any input decodes to something.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t left() const { return size_ - pos_; }
  bool empty() const { return pos_ == size_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(Byte()) << (8 * i);
    return value;
  }
  bool Bool() { return (Byte() & 1) != 0; }
  // One of `count` entries (count > 0).
  template <typename T, size_t N>
  T Pick(const T (&table)[N]) {
    return table[Byte() % N];
  }
  // Up to `max` bytes of the input itself, in place: the pointer stays
  // valid as long as the input does.
  const uint8_t* Take(size_t max, size_t* taken) {
    *taken = max < left() ? max : left();
    const uint8_t* at = data_ + pos_;
    pos_ += *taken;
    return at;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Clocks that move only when the target moves them, no resident memory figure, no system log,
// and console lines written (formatted in full) to /dev/null, as to a
// terminal or not as the target chooses.
class QuietPlatform : public Platform {
 public:
  explicit QuietPlatform(bool terminal = true)
      : terminal_(terminal), sink_(std::fopen("/dev/null", "w")) {}
  ~QuietPlatform() override {
    if (sink_) std::fclose(sink_);
  }
  QuietPlatform(const QuietPlatform&) = delete;
  QuietPlatform& operator=(const QuietPlatform&) = delete;

  int64_t SteadyNowNs() const override { return steadyNs.load(); }
  int64_t WallNowSeconds() const override { return 1'700'000'000; }
  uint32_t ResidentBytes() const override { return 0; }
  void SystemLogCritical(const char*, int) const override {}
  bool StdoutIsTerminal() const override { return terminal_; }
  FILE* ConsoleStream() const override { return sink_ ? sink_ : stderr; }

  // The steady clock stands still unless the target moves it.
  mutable std::atomic<int64_t> steadyNs{1'000'000'000};

 private:
  const bool terminal_;
  FILE* const sink_;
};

}  // namespace dv::fuzz
