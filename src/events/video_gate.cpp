#include "events/video_gate.h"

#include "plugin_api/event.h"

namespace dv {

int32_t VideoGate::Admit(uint32_t stream, bool keyFrame, bool throttling) {
  MutexLock lock(mu_);
  if (throttling) {
    framesSinceKey_.erase(stream);
    throttledFrames_.fetch_add(1, std::memory_order_relaxed);
    return DV_RESULT_THROTTLED;
  }
  if (keyFrame) {
    framesSinceKey_[stream] = 0;
    return DV_RESULT_OK;
  }
  auto it = framesSinceKey_.find(stream);
  if (it == framesSinceKey_.end()) return DV_RESULT_NO_KEY_FRAME;
  if (it->second >= kMaxFramesAfterKeyFrame) {
    framesSinceKey_.erase(it);
    return DV_RESULT_TOO_MANY_FRAMES;
  }
  ++it->second;
  return DV_RESULT_OK;
}

void VideoGate::Forget(uint32_t stream) {
  MutexLock lock(mu_);
  framesSinceKey_.erase(stream);
}

}  // namespace dv
