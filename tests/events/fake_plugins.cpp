#include "events/fake_plugins.h"

namespace dv::test {

namespace {
Recorder* g_recorders = new Recorder[kSlots];
}

Recorder& RecorderFor(int slot) { return g_recorders[slot]; }

void ResetRecorders() {
  for (int i = 0; i < kSlots; ++i) {
    Recorder& r = g_recorders[i];
    std::lock_guard<std::mutex> lock(r.mu);
    r.writes.clear();
    r.configs.clear();
    r.reads.clear();
    r.keep = false;
    r.writeResult = 0;
    r.writeError = 0;
    r.onWrite = nullptr;
    r.onRead = nullptr;
  }
}

}  // namespace dv::test
