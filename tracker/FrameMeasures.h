#pragma once
// How well a frame is covered and where it stands: the lost, matched and new
// fractions of its image, the overlap with a key frame, and its parallax,
// baseline, depths and reprojection errors against the map.
#include <vector>

#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class FrameMeasures {
 public:
  explicit FrameMeasures(const TrackerContext& context);

  // --- Coverage scores over 16 x 16-pixel cells of level 0.
  float ComputeMapCoverage(u16 frame);
  float ComputeImageCoverage(u16 frame);
  float ComputeCombinedCoverage(u16 frame);
  float ComputeKeyFrameOverlap(u16 keyFrame, u16 frame);

  // --- Measures against the map and a key frame.
  // Negative when there is no parallax to speak of.
  float ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* parallaxOut);
  float ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame);
  float ComputeFrameRms(u16 frame, const CameraPose& pose);
  float ComputeKeyFrameRms(u16 keyFrame);
  float ComputeReprojectionRms(u16 frame, const CameraPose& pose);
  float ComputeMedianDepth(const CameraPose& pose, std::vector<float>& scratch);
  float ComputeMeanDepth(u16 frame);
  float ComputeKeyFrameMedianDepth(u16 keyFrame, const std::vector<u32>& features,
                                   std::vector<float>& scratch, float* meanOut);
  void MapToNormalised(const WarpRecord& map, WarpRecord& out);
  // The support points of an object and its anchor pose.
  bool FindDominantPlaneFeatures(u16 frame, std::vector<u32>& tracks, CameraPose& anchor);

 private:
  TrackerContext c_;
  OccupancyMask coverage_;  // the coverage grid
};
