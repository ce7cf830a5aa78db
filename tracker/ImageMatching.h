#pragma once
// Image matching of the tracks without a point: against an earlier ring
// frame and a key frame through their image maps, with the epipolar test, and
// against the key frames a new key frame is matched with, under warp
// hypotheses from the image map, the map's planes and planes found in the
// matches. Matches join the frame's map-match lists; a last pass keeps one
// match per square round each.
#include <vector>

#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class ImageMatching {
 public:
  explicit ImageMatching(const TrackerContext& context);

  // --- The current frame against a ring frame and a key frame.
  // The mask pass, the two matchers (kNone16 skips one) and the thinning.
  void MatchImages(u16 alignedKeyFrame, u16 alignedFrame, u16 cur, TrackingMode mode);
  // Masks round the frame's present matches and the matched byte of their
  // tracks: what the matchers below start from.
  void MarkFrame(u16 cur);
  // Searches the unsolved tracks of ring frame f's matches; the match count.
  // Uses the epipolar data as they stand; nothing when f's map is unusable.
  u32 MatchImagesToFrame(u16 f, u16 cur);
  // The same for the unsolved tracks that key frame k created.
  u32 MatchImagesToKeyFrame(u16 k, u16 cur);
  // E = [t]x R of the relative pose from a to b, and its fundamental pyramid;
  // no epipolar test when either pose is unset.
  void ComputeEssentialFromPoses(const CameraPose& a, const CameraPose& b, WarpRecord& E,
                                 AlignedArray<WarpRecord>& F);
  // F_0 = K^-T E K^-1 and its copies for levels 1 to 3 (same line, level pixels).
  void MakeFundamentalPyramid(const WarpRecord& E, AlignedArray<WarpRecord>& F);
  // E from the frame's matches of tracks key frame k sees, robustly; false
  // (E and F untouched) with fewer than 10 pairs or inliers.
  bool EstimateImageFundamental(u16 k, u16 cur, WarpRecord& E, AlignedArray<WarpRecord>& F);
  // Drops the frame's non-INLIER matches of k's tracks that E rejects.
  void FilterEpipolarInliers(u16 k, u16 cur, const WarpRecord& E);
  // Level masks round frame f's matches (radius 12, 10, 8, 6).
  void MarkMatchedPoints(u16 f);
  // Keeps the INLIER matches and, of the others, the first of each square.
  void MatchMaximal(u16 f);

  // The epipolar data of the pair being matched: E, and F per level (size 4
  // while valid, 0 for no test).
  WarpRecord& Essential() { return essential_; }
  AlignedArray<WarpRecord>& Fundamentals() { return fundamentals_; }
  const OccupancyMask& Mask(int level) const { return masks_[level]; }

  // --- A new key frame against the key frames it is matched with, under
  // warp hypotheses; every search that finds nothing, or whose hypothesis
  // loses, goes to the frame's miss lists.
  void MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 cur, TrackingMode mode);
  // A block per map plane that key frame k's tracks lie on (the first track
  // of each plane in k's order brings it).
  void AddPlaneHypotheses(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses);
  // A block per plane that sequential homography RANSAC finds among the
  // pairs of k and cur that no block from firstRecord on explains.
  void DetectPlanes(u16 k, u16 cur, bool tracking, u32 firstRecord,
                    AlignedArray<WarpRecord>& hypotheses);

  // Level-0 constants; lengths halve per level.
  static constexpr float kFrameRadius = 5.0f;
  static constexpr float kKeyFrameRadius = 10.0f;
  static constexpr float kEpipolarBound = 4.0f;
  static constexpr i32 kSsdGate = 20 * 20 * 64;
  static constexpr u32 kMinEpipolarPairs = 10;
  static constexpr float kNarrowRadius = 5.0f;  // hypotheses other than the image map
  static constexpr float kAgreement2 = 25.0f;   // squared distance of agreeing predictions

 private:
  // The other image's map M (current alignment pixels into the other image's)
  // and its inverse N at level 0; false when M is unset or singular.
  bool PrepareImageMap(const WarpRecord& M, WarpRecord& toOther, WarpRecord& toCurrent) const;
  // The pair's epipolar data for the driver's phase.
  void PrepareFrameEpipolar(u16 f, u16 cur, TrackingMode mode);
  void PrepareKeyFrameEpipolar(u16 k, u16 cur, TrackingMode mode);
  // The epipolar line of (x, y) at a level, normalised; false without data.
  bool EpipolarLine(int level, float x, float y, float line[3]) const;
  // Searches one feature of the other image at (x, y): the best corner under
  // the strict SSD gate, or kNone32. q receives the prediction.
  u32 SearchFeature(FeaturePatch& patch, const CVD::BasicImage<u8>& source, const WarpRecord& N,
                    const WarpRecord& M, u16 cur, int level, float x, float y, float radius,
                    float q[2], i32& ssd);
  // Key frame k's unsolved tracks of one level searched under the n blocks
  // from `first`; blocks before wideEnd search the wide window. The count
  // of considered and tried tracks grows; returns the level's matches.
  u32 MatchLevelUnderHypotheses(u16 k, u16 cur, int level, u32 first, u32 n, u32 wideEnd,
                                const CVD::BasicImage<u8>& source, u32& considered, u32& tried);
  // Normalised pairs (key frame, current) for plane detection.
  void CollectPlanePairs(u16 k, u16 cur, bool tracking);

  TrackerContext c_;
  FundamentalMatrixEstimator fundamentalEstimator_{0.5f};
  FundamentalMatrixEstimatorData fundamentalData_;
  HomographyEstimator homographyEstimator_{0.0f};
  WarpRecord essential_{};
  AlignedArray<WarpRecord> fundamentals_;
  // Scratch, grown once and reused.
  OccupancyMask masks_[kPyramidLevels];
  std::vector<u8> matched_;  // per track: matched in this frame
  std::vector<u32> window_;
  std::vector<MapMatch> found_;
  std::vector<u16> keyFrameIndex_;  // per track: its feature in the key frame
  std::vector<u16> inliers_;
  // Hypothesis scratch.
  std::vector<u32> planeFirstBlock_;  // per plane; kNone32 while unused
  AlignedArray<LA::Vector2<float>> predictions_;
  std::vector<u8> predictionValid_;
  std::vector<LA::Vector2<float>> pairs_[2];  // key frame, current
  HomographyEstimatorData homographyData_;
  AlignedArray<Homography> homographies_;
  std::vector<std::vector<u16>> homographyInliers_;
};
