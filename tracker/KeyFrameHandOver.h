#pragma once
// The tracker's side of the map's key frames: a ring frame pushed as a key
// frame (its features becoming tracks with patches) and the workers told of
// it, the newest key frame popped again, the map trimmed to its newest key
// frames, and a key-frame candidate packed for the track matcher.
#include <vector>

#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class KeyFrameHandOver {
 public:
  explicit KeyFrameHandOver(const TrackerContext& context) : c_(context) {}

  // The new key frame's index.
  u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                   bool firstKeyFrame, TrackingMode trackingMode);
  // The removed key frame's index.
  u16 PopKeyFrame();
  // The frame number of the first key frame left.
  u32 TrimKeyFrames();
  void FillTrackMatchingData(u16 frame, TrackMatchingData& item);

 private:
  TrackerContext c_;
  std::vector<u32> pushLists_[kPyramidLevels];
};
