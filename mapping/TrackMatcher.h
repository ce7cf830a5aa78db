#pragma once
// The track matcher: for each new key frame the tracker hands over, it picks
// an older key frame that sees the same scene but shares few tracks with it,
// re-matches the new key frame's corners against that key frame's features,
// and merges the pairs of distinct tracks that turn out to be one scene point.
// When the map's poses explain the re-matched tracks clearly worse than the
// poses estimated from them, the two key frames and the points are adjusted
// jointly first and written back under the map's optimistic rule.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "estimation/CameraEstimator.h"
#include "estimation/CameraEstimatorData.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimatorData.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/PlaneEstimatorData.h"
#include "features/FeatureRecords.h"
#include "features/ImageAlignment.h"
#include "features/WarpGeometry.h"
#include "la/TrackMatchingData.h"
#include "mapping/GlobalMap.h"
#include "mapping/Worker.h"
#include "optimization/IBAProblem.h"
#include "optimization/IBASolver.h"
#include "optimization/IBAState.h"

// A patch match of the first or second pass.
struct PatchMatchRecord {
  u16 oldFeature;  // older key frame's feature within its level
  u32 corner;      // new key frame's corner within its level
  float x, y;      // that corner, normalised coordinates of the level
  u32 score;       // zero-mean SSD
};

// (older feature, new feature) within one level.
struct FeatureMatch {
  u16 oldFeature;
  u16 newFeature;
};

// destination[i] = source[i] * a + b component-wise; destination is sized to match.
void ScaleOffsetPoints2D(const float a[2], const float b[2],
                         const AlignedArray<LA::Vector2<float>>& source,
                         AlignedArray<LA::Vector2<float>>& destination);

class TrackMatcher : public Worker<TrackMatchingData> {
 public:
  // Per-level intrinsics and the normalised image rectangle from the map's
  // camera; the log is opened ("w") when verbose is 0 and a name is given.
  TrackMatcher(GlobalMap* map, u8 verbose, const std::string& logFileName);
  ~TrackMatcher() override;
  TrackMatcher(const TrackMatcher&) = delete;
  TrackMatcher& operator=(const TrackMatcher&) = delete;

  // Chooses, re-matches and merges for one new key frame; the reset item and
  // a null item do nothing.
  void Run(const TrackMatchingData* item) override;
  // True while Run works on an item.
  bool IsBusy() const override { return busy; }

  // The older key frame to match against (kNone16 for none), its float image
  // and the warp from the new key frame's float image into it.
  u16 SelectKeyFrame(const TrackMatchingData& item, CVD::Image<float>& image, WarpRecord& warp);

  // The matching chain on the chosen key frame (filled by Run's step 7 or by
  // LoadKeyFrame); each returns false when the run must end.
  bool LoadKeyFrame(u16 keyFrame);
  bool MatchFirstPass(const TrackMatchingData& item);
  bool ComputeInliersFirstPass(const TrackMatchingData& item);
  bool RefinePose(const TrackMatchingData& item);
  bool MatchSecondPass(const TrackMatchingData& item);
  bool MatchFeatures(const TrackMatchingData& item);
  bool ComputeInliersFeatureMatches(const TrackMatchingData& item);
  bool MatchTracks(const TrackMatchingData& item);
  // The consistency test, the joint adjustment when the map's poses fail
  // it, and the merge; false when the run ends without merging.
  bool MergeMatchedTracks(const TrackMatchingData& item);
  // The two halves of the joint adjustment: the snapshot of the whole map
  // with the proposed merges (false when refused or fewer than 10 pairs
  // remain), then the solve, the cost test and the write-back (false when
  // the cost fails or the map changed since the snapshot).
  bool PrepareJointProblem();
  bool SolveAndWriteJointProblem();
  // Root mean squared error in pixels of the track pairs under a pose of the
  // older key frame (ComputeErrorFromFramePose) or of the new one.
  float ComputeErrorFromFramePose(const TrackMatchingData& item, const CameraPose& P) const;
  float ComputeErrorFromKeyFramePose(const TrackMatchingData& item, const CameraPose& P) const;

  // Results of the last run, for callers that inspect it.
  const std::vector<TrackPair>& TrackPairs() const { return trackPairs; }
  const std::vector<std::pair<int16_t, u16>>& Candidates() const { return candidates; }
  const MapKeyFrameCopy& MatchedKeyFrame() const { return keyFrame; }
  const CameraPose& EstimatedNewPose() const { return P1; }
  const CameraPose& EstimatedOldPose() const { return P2; }
  // Whether the last completed run went through the joint adjustment.
  bool JointAdjusted() const { return jointAdjusted; }

  // Set by Run; exposed so the passes can be driven one by one.
  WarpRecord warp{};
  CVD::Image<float> keyFrameImage;
  u16 matchedKeyFrame = kNone16;
  u64 structureVersion = 0;
  std::vector<PatchMatchRecord> firstPass[kPyramidLevels], secondPass[kPyramidLevels];
  std::vector<FeatureMatch> featureMatches[kPyramidLevels];

 private:
  void Print(const char* format, ...) const;
  u8 SolverVerbosity() const { return verbose ? verbose : (log ? 2 : 0); }
  void FindScenePlane(const TrackMatchingData& item, float plane[4]);
  void CopyGrids(const TrackMatchingData& item);
  bool IsOutlierTrack(u8 flags) const { return (flags & kTrackSolved) && !(flags & kTrackInlier); }
  // Best corner of `list` for the patch of older feature f at level l; false
  // when the patch cannot be rendered or no score passes.
  bool BestCorner(const TrackMatchingData& item, int l, u16 f, const WarpRecord& a,
                  const WarpRecord& b, PatchMatchRecord& record);

  GlobalMap* map;
  Intrinsic levelIntrinsics[kPyramidLevels];
  Intrinsic floatIntrinsic{};
  float rect[4] = {0, 0, 0, 0};  // normalised x0, y0, x1, y1 of level 0
  u16 width = 0, height = 0;
  u8 verbose;
  FILE* log = nullptr;
  std::string logFileName;
  std::atomic<bool> busy{false};
  bool jointAdjusted = false;

  CVD::Image<float> workImage;
  AlignmentScratch scratch;
  PlaneEstimator3D planeEstimator;
  PlaneEstimatorData3D planeData;
  MapKeyFrameCopy keyFrame;
  AlignedArray<LA::Vector2<float>> keyFramePixels[kPyramidLevels];
  FeatureGrid grids[kPyramidLevels];
  WarpRecord levelToOld[kPyramidLevels], levelToNew[kPyramidLevels];
  std::vector<u32> window;
  std::vector<u8> hasRecord;
  std::vector<u16> claims;
  std::vector<PatchMatchRecord> sorted;

  std::vector<u16> commonCounts;
  AlignedArray<CameraPose> poses;
  AlignedArray<MapPlane> planes;
  std::vector<CVD::Image<float>> images;
  std::vector<std::pair<int16_t, u16>> candidates;
  std::vector<u32> planeCounts;

  std::vector<TrackPair> trackPairs, mergePairs;
  std::vector<std::pair<u8, FeatureMatch>> pairMatches;  // level and features of each pair
  std::vector<u8> trackMarks;
  std::vector<std::pair<u8, u32>> flat, keptFlat;  // (level, record) lists of the inlier steps
  std::vector<u32> cameraItems;
  std::vector<u8> inlierMarks, dropMarks;
  std::vector<PatchMatchRecord> keptRecords[kPyramidLevels];
  std::vector<FeatureMatch> keptMatches[kPyramidLevels];
  std::vector<u16> inliers;
  AlignedArray<LA::Vector2<float>> pointsOld, pointsNew;

  FundamentalMatrixEstimator fundamental;
  FundamentalMatrixEstimatorData fundamentalData;
  CameraEstimator cameraEstimator;
  CameraEstimatorData cameraData;
  CameraPose P1{}, P2{};

  IBASolver solver;
  IBAProblem problem;
  IBAState state;
  MapProblemIndex index;
  MapSnapshotToken token;
};
