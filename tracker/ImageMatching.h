#pragma once
// Image matching of the tracks without a point: against an earlier ring
// frame and a key frame through their image maps, with the epipolar test, and
// against the key frames a new key frame is matched with, under warp
// hypotheses from the image map, the map's planes and planes found in the
// matches.
#include <vector>

#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class ImageMatching {
 public:
  explicit ImageMatching(const TrackerContext& context) : c_(context) {}

  // --- The current frame against a ring frame and a key frame.
  void MatchImages(u16 alignedKeyFrame, u16 alignedFrame, u16 frame, TrackingMode mode);
  void MatchImagesToFrame(u16 f, u16 cur, std::vector<OccupancyMask>& masks, u32& matched);
  void MatchImagesToKeyFrame(u16 k, u16 cur, std::vector<OccupancyMask>& masks, u32& matched);
  // E = [t]x R of the relative pose, and the fundamental matrix per level.
  void ComputeEssentialFromPoses(const CameraPose& a, const CameraPose& b, WarpRecord& E,
                                 AlignedArray<WarpRecord>& F);
  void MakeFundamentalPyramid(const WarpRecord& E, AlignedArray<WarpRecord>& F);
  bool EstimateImageFundamental(u16 k, u16 cur, WarpRecord& E, AlignedArray<WarpRecord>& F);
  void FilterEpipolarInliers(u16 k, u16 cur, const WarpRecord& E, u32& matched);
  void MarkMatchedPoints(u16 f);
  void MatchMaximal(u16 f);

  // --- A new key frame against up to two key frames, under warp hypotheses.
  void MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 frame, TrackingMode mode);
  void AddImageMapHypothesis(const WarpRecord& keyFrameImageMap,
                             AlignedArray<WarpRecord>& hypotheses);
  void AddHomographyHypothesis(const WarpRecord& homography, AlignedArray<WarpRecord>& hypotheses);
  void AddPlaneHypotheses(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses);
  void AddPlaneHomography(const CameraPose& keyFramePose, const CameraPose& currentPose,
                          const float plane[4], CameraPose& relativePose, float scratch[4],
                          WarpRecord& homography, AlignedArray<WarpRecord>& hypotheses);
  void DetectPlanes(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses);
  void PruneHypotheses(u32 firstRecord, AlignedArray<WarpRecord>& hypotheses);
  u32 FindSelectedPatchOfKeyFrame(u16 keyFrame, u32 track);

 private:
  TrackerContext c_;
  FundamentalMatrixEstimator fundamentalEstimator_{0.5f};
  HomographyEstimator homographyEstimator_{0.0f};
};
