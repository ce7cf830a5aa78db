#pragma once
// The tracker's feature front end: FAST corner grids of a ring frame, and the
// KLT features a frame brings when it becomes a key frame, with the log lines.
#include <vector>

#include "features/KltFeatures.h"
#include "tracker/FrameRing.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerLog.h"

class FeatureFrontEnd {
 public:
  FeatureFrontEnd(const TrackerCamera& camera, FrameRing& ring, TrackerLog& log)
      : camera_(camera), ring_(ring), log_(log) {}

  void DetectFastFeatures(u16 frame);
  void DetectKltFeatures(u16 frame);

 private:
  const TrackerCamera& camera_;
  FrameRing& ring_;
  TrackerLog& log_;
  std::vector<CVD::ImageRef> fastScratch_;
  KltScratch kltScratch_;
  OccupancyMask masks_[kPyramidLevels];  // spreading, per level
};
