#pragma once
// Map matching: the map points projected into a frame, the candidates chosen
// for search per level, and the two passes of patch search with a pose
// estimate after each.
#include <vector>

#include "tracker/PatchSearch.h"
#include "tracker/PoseEstimation.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class MapMatching {
 public:
  MapMatching(const TrackerContext& context, PatchSearch& search, PoseEstimation& pose)
      : c_(context), search_(search), pose_(pose) {}

  // The frame's map matches in two passes (wide, then narrow for the tracks
  // still unmatched), its pose re-estimated and its outliers dropped after
  // each, with its inlier and unsolved counts.
  void MatchMap(u16 frame, TrackingMode mode);
  // Rebuilds the frame's four candidate lists: every INLIER track not yet
  // matched, projected by the frame's visual pose from the first key frame
  // and patch that see it, with its warp pair appended to the frame's warps.
  void ProjectMapPoints(u16 frame);
  // Thins candidates to at most N spread over the level into selected
  // (emptied first), planar and reliable tracks first; the rest stay,
  // reordered, in candidates.
  void SelectMatchCandidates(const CVD::ImageRef& levelSize, std::vector<ImageMatch>& candidates,
                             std::vector<ImageMatch>& selected, OccupancyMask& mask, i32 N);

  // Search radii at level 0 (halved per level), per-level caps, the view
  // angle beyond which a key frame is not used, the outlier radius.
  static constexpr float kPassRadius[2] = {30.0f, 5.0f};
  static constexpr i32 kCandidateCap[kPyramidLevels] = {200, 100, 100, 100};
  static constexpr float kMaxViewAngle = 0.6981317f;  // 40 degrees
  static constexpr float kOutlierRadius = 5.0f;

 private:
  // What one key frame's projections share, computed on first use.
  struct KeyFrameWarps {
    CameraPose relative;              // the frame from the key frame
    bool levelReady[kPyramidLevels];  // A and Kt below are set
    float A[kPyramidLevels][9];       // K0 R K_L^-1
    float Kt[3];                      // K0 t
  };
  // Sets the candidate's warp index and search level for track t seen by
  // patch p of key frame k; false when the patch cannot be searched.
  bool ChooseWarp(u16 k, u32 t, const FeaturePatch& patch, const MapPoint& X,
                  AlignedArray<WarpRecord>& warps, u32& warp, u8& level);
  // The plane's block in warps for key frame k, made on first use; kNone32
  // when the plane gives none.
  u32 PlaneBlock(u16 k, u16 plane, AlignedArray<WarpRecord>& warps);
  bool FrontoParallelWarp(u16 k, const FeaturePatch& patch, const MapPoint& X,
                          AlignedArray<WarpRecord>& warps, u32& warp, u8& level);
  const CameraPose& RelativePose(u16 k);

  TrackerContext c_;
  PatchSearch& search_;
  PoseEstimation& pose_;
  // Scratch, grown once and reused.
  std::vector<u8> marks_;
  std::vector<ImageMatch> selected_;
  std::vector<ImageMatch> groups_[3];
  OccupancyMask masks_[kPyramidLevels];
  // Per plane: its block in the frame's warps for the key frame at hand.
  static constexpr u32 kPlaneBlockUnset = kNone32 - 1;
  std::vector<u32> planeBlocks_;
  KeyFrameWarps keyFrame_{};
  const CameraPose* framePose_ = nullptr;
};
