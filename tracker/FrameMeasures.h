#pragma once
// How well a frame is covered and where it stands: the lost, matched and new
// fractions of its image, the overlap with a key frame, and its parallax,
// baseline, depths and reprojection errors against the map. Pixel errors are
// normalised errors times sqrt(fx fy) of level 0.
#include <vector>

#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class FrameMeasures {
 public:
  explicit FrameMeasures(const TrackerContext& context);

  // --- Coverage scores over 16 x 16-pixel cells of level 0 (CoverageScores.cpp).
  // Share of the cells the frame should see that it lost: lost-list entries
  // of levels 0 and 1 facing the camera (none without a pose), against
  // inlier matches; 1 when less than 8 % of the grid is touched.
  float ComputeMapCoverage(u16 frame);
  // Share of the cells touched by the frame's map matches.
  float ComputeImageCoverage(u16 frame);
  // Share of the cells with level-0 corners that no match or candidate explains.
  float ComputeCombinedCoverage(u16 frame);
  // Share of the cells covered by the key frame's features that the frame matches.
  float ComputeKeyFrameOverlap(u16 keyFrame, u16 frame);

  // --- Measures against the map and a key frame.
  // RMS displacement in pixels between the key frame's features and where
  // the frame sees them; -1 when nothing is counted. While tracking, the
  // features are first turned into the frame's orientation, so that a turn
  // of the camera alone brings no parallax. A point the pose puts farther
  // from its feature than the image's diagonal is not counted. angleOut
  // (when not null) receives the direction of the mean displacement.
  float ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* angleOut);
  // Distance between the camera centres; 0 when the frame has no pose.
  float ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame);
  // Level-weighted RMS of the inlier matches under the pose; FLT_MAX when
  // the pose is unset or nothing is counted.
  float ComputeFrameRms(u16 frame, const CameraPose& pose);
  // RMS of the key frame's inlier features under its own pose; FLT_MAX when none.
  float ComputeKeyFrameRms(u16 keyFrame);
  // RMS of the inlier matches under the pose over the frame's inlier count;
  // FLT_MAX when the pose is unset, the count is 0 or a point lies behind it.
  float ComputeReprojectionRms(u16 frame, const CameraPose& pose);
  // Median depth of the inlier points seen inside the image; the initial
  // depth when none.
  float ComputeMedianDepth(const CameraPose& pose, std::vector<float>& scratch);
  // Mean depth of the frame's inlier matched points, those beyond ten times
  // their median depth left out; 0 without a pose or points.
  float ComputeMeanDepth(u16 frame);
  // Median depth of the listed key-frame features (indices into its feature
  // list) with inlier tracks seen inside the image, and their mean
  // normalised position (meanOut[0..1] when not null); the initial depth and
  // (0, 0) when none.
  float ComputeKeyFrameMedianDepth(u16 keyFrame, const std::vector<u32>& features,
                                   std::vector<float>& scratch, float* meanOut);
  // The image map of the alignment image in normalised coordinates, K^-1 M K;
  // affine stays affine, unset stays unset.
  void MapToNormalised(const WarpRecord& map, WarpRecord& out) const;
  // The key frame's inlier features (indices into its feature list; those
  // of the tracks of a provisional newest key frame left out), kept to those
  // the frame sees inside the image unless frame is kNone16. When a plane
  // carries at least 10 of them the list shrinks to that plane's and `plane`
  // names it, else `plane` is kNone16. False with fewer than 10 features.
  bool FindDominantPlaneFeatures(u16 keyFrame, u16 frame, std::vector<u32>& features, u16& plane);

 private:
  // Appends the truncated positions of a list to cells_ (as level pixels).
  template <class Record>
  void CollectPositions(const std::vector<Record>& list, bool inliersOnly);
  // Converts cells_ from `level` and marks their blocks in the mask.
  void MarkCollected(OccupancyMask& mask, int level);
  // Sizes the mask to the grid and clears it.
  void ResetMask(OccupancyMask& mask) const;
  u32 GridCells() const;
  // Whether a lost-list entry faces the frame's camera (axis z_f).
  bool FacesCamera(const ImageMatch& e, const float zf[3]);

  TrackerContext c_;
  int cellDoublings_ = 0;  // of the 16-pixel coverage cell, on large frames
  u16 gridWidth_ = 0, gridHeight_ = 0;
  OccupancyMask maskA_, maskB_, maskC_;
  std::vector<float> keyFrameFacing_, planeFacing_;  // per frame, FLT_MAX: not yet
  AlignedArray<CornerXY> cells_;                     // positions, then their cells
  std::vector<u8> trackMatched_;                     // all zero between calls
  std::vector<u32> trackFeature_;                    // kNone32 between calls
  std::vector<u32> planeCounts_;
  std::vector<float> depthScratch_;  // ComputeMeanDepth's
};
