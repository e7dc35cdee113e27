// Video gating: every stream starts with a key frame, at most 766 frames
// follow one key frame, and nothing passes while video is throttled.
//
// Thread safety: Admit and Forget take the video lock (its place in the lock
// order: events/event_router.h), held for the table lookup only. Any thread may call them. The throttled-frames
// counter is an atomic: increments and the report's read-and-reset
// (TakeThrottledFrames, one atomic exchange) never lose a frame between them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "platform/mutex.h"

namespace dv {

class VideoGate {
 public:
  static constexpr uint32_t kMaxFramesAfterKeyFrame = 766;

  // Returns 0 when the frame passes, otherwise the refusal result:
  // 5 throttled, 3 no key frame yet, 4 too many frames since the key frame.
  int32_t Admit(uint32_t stream, bool keyFrame, bool throttling) EXCLUDES(mu_);
  // Forgets a stream whose frame could not be queued after all.
  void Forget(uint32_t stream) EXCLUDES(mu_);

  uint32_t TakeThrottledFrames() { return throttledFrames_.exchange(0); }

 private:
  Mutex mu_;  // the video lock
  std::map<uint32_t, uint32_t> framesSinceKey_ GUARDED_BY(mu_);
  std::atomic<uint32_t> throttledFrames_{0};
};

}  // namespace dv
