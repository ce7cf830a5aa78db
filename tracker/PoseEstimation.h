#pragma once
// The camera pose of a frame from its map matches: the prediction from the
// frame before it, the robust estimate with its refinement, and the pose a
// lost frame takes from the key frame it relocalises against.
#include "tracker/TrackerContext.h"

class PoseEstimation {
 public:
  explicit PoseEstimation(const TrackerContext& context) : c_(context) {}

  // The frame's visual pose from its map matches; false when too few agree.
  bool EstimateCameraPose(u16 frame);
  // The frame's visual pose predicted from the reference frame's motion.
  void PredictPoseFromFrame(u16 referenceFrame, u16 frame);
  // The frame's pose through the key frame's image map.
  void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame);

 private:
  TrackerContext c_;
};
