#pragma once
// The camera pose of a frame from its map matches: the prediction from the
// frame before it, the robust estimate with its refinement, and the pose a
// lost frame takes from the key frame it relocalises against.
#include <vector>

#include "tracker/PoseRefinement.h"
#include "tracker/TrackerContext.h"

class PoseEstimation {
 public:
  explicit PoseEstimation(const TrackerContext& context) : c_(context) {}

  // Refines the frame's visual pose from its matches of inlier points and
  // keeps the visual state, and the output pose and state when set, in step.
  // False, nothing changed, with fewer than kMinMatches such matches or
  // without a finite pose to start from.
  bool EstimateCameraPose(u16 frame);
  // The frame's matches and visual pose from the reference frame's inlier
  // matches, carried through the reference frame's image map; without a
  // usable map, or when the estimate fails, the frame takes the reference
  // pose (its matches untouched without a map). The predicted pose and state
  // then follow the visual ones.
  void PredictPoseFromFrame(u16 referenceFrame, u16 frame);
  // The frame's matches from the key frame's inlier features through the key
  // frame's image map, and its visual pose estimated from them starting at
  // the key frame's pose (which it keeps when the estimate cannot run).
  void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame);

  static constexpr u32 kMinMatches = 10;

 private:
  // Fills transferred_ per level: positions of another image (normalised)
  // through the inverse of its map into the frame. False without an
  // invertible map.
  bool BeginTransfer(const WarpRecord& map);
  void Transfer(int level, u32 track, u32 patch, float x, float y);
  // The frame's match lists become the transferred ones.
  void CommitTransfer(TrackerFrame& f);

  TrackerContext c_;
  PoseRefinement refinement_;
  WarpRecord inverse_{};
  std::vector<MapMatch> transferred_[kPyramidLevels];
};
