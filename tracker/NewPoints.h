#pragma once
// New map points: tracks without a point whose rays through the key frames
// and the frame meet at a well-conditioned angle get a robust 3-D point.
#include "estimation/Point3DEstimator.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class NewPoints {
 public:
  explicit NewPoints(const TrackerContext& context) : c_(context) {}

  void CreateNewPoints(u16 frame, TrackingMode mode);

 private:
  TrackerContext c_;
  Point3DEstimator pointEstimator_{0.0f};
};
