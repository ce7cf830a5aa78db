// Track matcher: duplicated tracks of a rendered two-key-frame scene merge
// and only those; the choice of the older key frame, the warp handling and
// the error measures on known answers.
#include "mapping/TrackMatcher.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "common/mapping/MatcherScene.h"
#include "common/mapping/SyntheticMap.h"
#include "features/ImageMapMath.h"
#include "la/Random.h"
#include "viewer/ImageGeometry.h"

namespace {

struct MatcherRun {
  MatcherScene scene;
  GlobalMap map;
  TrackMatchingData item;

  explicit MatcherRun(const MatcherSceneOptions& o = MatcherSceneOptions(),
                      const CameraPose* oldPose = nullptr)
      : scene(o) {
    scene.BuildMap(map, oldPose);
    scene.FillItem(map, item);
  }
  // The matcher's steps against key frame 0 up to the feature-match inliers,
  // and the track pairs when `tracks`.
  bool MatchUpTo(TrackMatcher& m, bool tracks) {
    return m.SelectKeyFrame(item, m.keyFrameImage, m.warp) == 0 && m.LoadKeyFrame(0) &&
           m.MatchFirstPass(item) && m.ComputeInliersFirstPass(item) && m.RefinePose(item) &&
           m.MatchSecondPass(item) && m.MatchFeatures(item) &&
           m.ComputeInliersFeatureMatches(item) && (!tracks || m.MatchTracks(item));
  }
  // Duplicated pairs merged, and merges of two different points.
  void CountMerges(u32& duplicates, u32& merged, u32& wrong) {
    duplicates = merged = wrong = 0;
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    const u32 T = map.TrackCount();
    for (u32 b = 0; b < T; ++b) {
      for (u32 a = 0; a < b; ++a) {
        const bool same = map.ResolveTrack(a) == map.ResolveTrack(b);
        if (scene.duplicateOf[b] == a) {
          ++duplicates;
          merged += same;
        } else {
          wrong += same;
        }
      }
    }
  }
};

TEST(TrackMatcher, DuplicatedTracksOfTheRenderedSceneMergeAndNothingElse) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  matcher.Run(&run.item);
  EXPECT_FALSE(matcher.IsBusy());
  u32 duplicates, merged, wrong;
  run.CountMerges(duplicates, merged, wrong);
  ASSERT_GT(duplicates, 100u);
  EXPECT_GE(merged, duplicates * 8 / 10) << "of " << duplicates;
  EXPECT_EQ(wrong, 0u);
  EXPECT_FALSE(matcher.JointAdjusted()) << "the map's poses are exact";
  EXPECT_EQ(InvariantError(run.map), "");
}

bool AnyMerged(GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  for (const u8 f : map.trackFlags)
    if (f & (kTrackMerged | kTrackMergedAway)) return true;
  return false;
}

TEST(TrackMatcher, ResetItemsAndExcludedKeyFramesChangeNothing) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  const u64 counter = run.map.ModificationCounter();
  run.item.frameId = TrackMatchingData::kResetFrameId;
  matcher.Run(&run.item);
  matcher.Run(nullptr);
  EXPECT_FALSE(matcher.IsBusy());
  EXPECT_EQ(matcher.matchedKeyFrame, TrackMatcher::kNone) << "no choice was made";
  // Key frame 0 excluded as the item's relocalisation or aligned key frame;
  // key frame 1 shares all its tracks.
  run.item.frameId = 11;
  for (u16* excluded : {&run.item.relocalisationKeyFrame, &run.item.alignmentKeyFrame}) {
    *excluded = 0;
    matcher.Run(&run.item);
    EXPECT_TRUE(matcher.Candidates().empty());
    EXPECT_EQ(matcher.matchedKeyFrame, TrackMatcher::kNone);
    *excluded = kNoIndex16;
  }
  EXPECT_EQ(run.map.ModificationCounter(), counter);
  EXPECT_FALSE(AnyMerged(run.map));
}

TEST(TrackMatcher, KeyFramesSharingTwentyOneTracksAreNoCandidates) {
  for (const u32 shared : {20u, 21u}) {
    MatcherSceneOptions o;
    o.sharedTracks = shared;
    MatcherRun run(o);
    TrackMatcher matcher(&run.map, 0, "");
    const u16 chosen = matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
    EXPECT_EQ(chosen, shared == 20 ? 0 : TrackMatcher::kNone) << shared;
    if (shared == 20) {
      // Key frame 0's forced entry first, then its own entry with its count.
      ASSERT_EQ(matcher.Candidates().size(), 2u);
      EXPECT_EQ(matcher.Candidates()[0].first, -1);
      EXPECT_EQ(matcher.Candidates()[1].first, 20);
    }
  }
}

TEST(TrackMatcher, OpticalAxisMustMeetTheScenePlaneInFront) {
  MatcherSceneOptions o;
  o.sharedTracks = 0;
  MatcherRun run(o);
  TrackMatcher matcher(&run.map, 0, "");
  // Without inlier points the plane faces the camera at the scene depth.
  for (auto& flags : run.item.trackFlags)
    for (u8& f : flags) f = kTrackSolved;
  for (const float depth : {5.0f, -5.0f}) {
    run.item.meanDepth = depth;
    matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
    // Key frame 0's forced entry, and its own entry only in front.
    EXPECT_EQ(matcher.Candidates().size(), depth > 0 ? 2u : 1u) << depth;
  }
}

TEST(TrackMatcher, WeakNewestKeyFrameIsNeverChosen) {
  MatcherSceneOptions o;
  o.weakSecond = true;
  MatcherRun run(o);
  TrackMatcher matcher(&run.map, 0, "");
  // Sharing nothing, the weak key frame 1 would be the only candidate.
  for (auto& tracks : run.item.trackIndices) tracks.clear();
  run.item.relocalisationKeyFrame = 0;
  matcher.Run(&run.item);
  EXPECT_TRUE(matcher.Candidates().empty());
  EXPECT_EQ(matcher.matchedKeyFrame, TrackMatcher::kNone);
  EXPECT_FALSE(AnyMerged(run.map));
}

TEST(TrackMatcher, WarpCarriesNewPositionsIntoTheOlderKeyFrame) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  CVD::Image<float> image;
  WarpRecord warp;
  ASSERT_EQ(matcher.SelectKeyFrame(run.item, image, warp), 0);
  // Wall points: float pixels (level 1) of the new key frame map onto the old.
  for (const float x : {-1.0f, 0.0f, 1.5f}) {
    for (const float y : {-1.0f, 0.0f}) {
      const MapPoint X = {{x, y, MatcherScene::kWallDepth, 1.0f}};
      float pNew[2], pOld[2], viaWarp[2];
      run.scene.Project(1, X, 1, pNew);
      run.scene.Project(0, X, 1, pOld);
      ApplyHomography(reinterpret_cast<const float(*)[4]>(warp.m), pNew, viaWarp);
      EXPECT_NEAR(viaWarp[0], pOld[0], 0.5f);
      EXPECT_NEAR(viaWarp[1], pOld[1], 0.5f);
    }
  }
}

TEST(TrackMatcher, LevelWarpsKeepTheAffineMarkerAndRefuseSingularMaps) {
  // The same map once affine and once projective with the third row (0, 0, 1).
  WarpRecord affine = {{1.1f, 0.1f, 3.0f, 0, -0.05f, 0.9f, -2.0f, 0, FLT_MAX, 0, 0, 0}};
  WarpRecord projective = affine;
  projective.m[8] = 0.0f, projective.m[9] = 0.0f, projective.m[10] = 1.0f;
  for (const float k : {2.0f, 4.0f / 3.0f}) {
    WarpRecord toOld[2], toNew[2];
    ASSERT_TRUE(MakeLevelZeroWarps(affine, k, toOld[0], toNew[0]));
    ASSERT_TRUE(MakeLevelZeroWarps(projective, k, toOld[1], toNew[1]));
    EXPECT_TRUE(toOld[0].IsAffine());
    EXPECT_TRUE(toNew[0].IsAffine());
    for (int l = 0; l < 4; ++l) {
      WarpRecord a, p, back;
      ScaleWarpToLevel(toNew[0], l, a);
      ScaleWarpToLevel(toNew[1], l, p);
      EXPECT_TRUE(a.IsAffine()) << "level " << l;
      ScaleWarpToLevel(toOld[0], l, back);
      const float q[2] = {17.0f, 9.0f};
      float viaA[2], viaP[2], round[2];
      ApplyHomography(reinterpret_cast<const float(*)[4]>(a.m), q, viaA);
      ApplyHomography(reinterpret_cast<const float(*)[4]>(p.m), q, viaP);
      ApplyHomography(reinterpret_cast<const float(*)[4]>(back.m), viaA, round);
      EXPECT_NEAR(viaA[0], viaP[0], 1e-3f);
      EXPECT_NEAR(viaA[1], viaP[1], 1e-3f);
      EXPECT_NEAR(round[0], q[0], 1e-3f);
      EXPECT_NEAR(round[1], q[1], 1e-3f);
    }
  }
  WarpRecord singular = {{1, 2, 0, 0, 2, 4, 0, 0, FLT_MAX, 0, 0, 0}}, out[2];
  EXPECT_FALSE(MakeLevelZeroWarps(singular, 2.0f, out[0], out[1]));
  singular.m[8] = 0, singular.m[9] = 0, singular.m[10] = 0;
  EXPECT_FALSE(MakeLevelZeroWarps(singular, 2.0f, out[0], out[1]));
}

TEST(TrackMatcher, PairErrorsVanishForTruePosesAndGrowForWrongOnes) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  matcher.Run(&run.item);
  ASSERT_GE(matcher.TrackPairs().size(), 10u);
  const CameraPose& P0 = run.scene.poses[0];
  const CameraPose& P1 = run.scene.poses[1];
  CameraPose wrong0 = P0, wrong1 = P1;
  wrong0.m[1][3] += 0.3f;
  wrong1.m[1][3] -= 0.3f;
  // Projection terms (every track an inlier), then the epipolar terms.
  CameraPose turned = P1;  // every point behind the camera: no usable term
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) turned.m[r][c] = r == 1 ? P1.m[r][c] : -P1.m[r][c];
  EXPECT_EQ(matcher.ComputeErrorFromKeyFramePose(run.item, turned), FLT_MAX);
  for (int pass = 0; pass < 2; ++pass) {
    // Corners lie within one level pixel of the true projections.
    EXPECT_LT(matcher.ComputeErrorFromFramePose(run.item, P0), 2.5f) << pass;
    EXPECT_LT(matcher.ComputeErrorFromKeyFramePose(run.item, P1), 2.5f) << pass;
    EXPECT_GT(matcher.ComputeErrorFromFramePose(run.item, wrong0), 5.0f) << pass;
    EXPECT_GT(matcher.ComputeErrorFromKeyFramePose(run.item, wrong1), 5.0f) << pass;
    for (auto& flags : run.item.trackFlags)
      for (u8& f : flags) f = kTrackSolved;
  }
}

TEST(TrackMatcher, TenTrackPairsSufficeAndNineEndTheRun) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_TRUE(run.MatchUpTo(matcher, false));
  // Keep the first n feature matches that make distinct pairs.
  std::vector<FeatureMatch> all;
  for (auto& level : matcher.featureMatches) {
    all.insert(all.end(), level.begin(), level.end());
    level.clear();
  }
  for (const u32 n : {9u, 10u}) {
    for (auto& level : matcher.featureMatches) level.clear();
    ASSERT_TRUE(matcher.LoadKeyFrame(0));
    // Level 0 holds more than enough matches.
    u32 kept = 0;
    for (const FeatureMatch& m : all) {
      if (kept == n) break;
      const u32 to = matcher.MatchedKeyFrame().tracks[0][m.oldFeature];
      const u32 tn = run.item.trackIndices[0][m.newFeature];
      if (run.scene.duplicateOf[tn] != to) continue;
      matcher.featureMatches[0].push_back(m);
      ++kept;
    }
    EXPECT_EQ(matcher.MatchTracks(run.item), n == 10) << n;
    EXPECT_EQ(matcher.TrackPairs().size(), n);
  }
}

TEST(TrackMatcher, PoppedKeyFrameBeforeTheMergeLeavesTheMapUnmerged) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_TRUE(run.MatchUpTo(matcher, true));
  run.map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(matcher.MergeMatchedTracks(run.item));
  EXPECT_FALSE(AnyMerged(run.map));
  EXPECT_EQ(InvariantError(run.map), "");
}

// Key frame 0's pose of the true scene stored 8 cm off.
CameraPose ShiftedOldPose(const MatcherScene& truth) {
  CameraPose shifted = truth.poses[0];
  shifted.m[0][3] += 0.08f;
  return shifted;
}

TEST(TrackMatcher, StampBeforeTheJointWriteBackIsRefused) {
  const CameraPose shifted = ShiftedOldPose(MatcherScene());
  for (const bool stamp : {false, true}) {
    MatcherRun run(MatcherSceneOptions(), &shifted);
    TrackMatcher matcher(&run.map, 0, "");
    Random::Seed(5);
    ASSERT_TRUE(run.MatchUpTo(matcher, true));
    ASSERT_TRUE(matcher.PrepareJointProblem());
    if (stamp) {  // another worker's stamped write lands first
      IBAProblem problem;
      IBAState state;
      MapProblemIndex index;
      MapSnapshotToken token;
      run.map.GetGBAProblem(problem, state, index, token);
      ASSERT_TRUE(run.map.SetBAResult(problem, state, index.keyFrames, index.tracks, index.planes,
                                      BAResultEdits(), token, 1, "GBA"));
    }
    EXPECT_EQ(matcher.SolveAndWriteJointProblem(), !stamp);
    EXPECT_FALSE(AnyMerged(run.map));
    boost::shared_lock<boost::shared_mutex> lock(run.map.mutex);
    EXPECT_EQ(run.map.modifier, stamp ? "GBA" : "TM");
  }
}

TEST(TrackMatcher, PerturbedOlderPoseIsAdjustedJointlyBeforeTheMerge) {
  MatcherScene truth;
  const CameraPose shifted = ShiftedOldPose(truth);
  MatcherRun run(MatcherSceneOptions(), &shifted);
  TrackMatcher matcher(&run.map, 0, "");
  matcher.Run(&run.item);
  EXPECT_TRUE(matcher.JointAdjusted());
  u32 duplicates, merged, wrong;
  run.CountMerges(duplicates, merged, wrong);
  EXPECT_GE(merged, duplicates * 8 / 10);
  EXPECT_EQ(wrong, 0u);
  // Key frame 0 holds the gauge: the write-back brings key frame 1 and the
  // points in line with it, so the relative pose becomes right again.
  boost::shared_lock<boost::shared_mutex> lock(run.map.mutex);
  CameraPose relTrue, relMap;
  ComputeRelativePose(truth.poses[0], truth.poses[1], relTrue);
  ComputeRelativePose(run.map.keyFramePoses[0], run.map.keyFramePoses[1], relMap);
  float d = 0.0f;
  for (int r = 0; r < 3; ++r)
    d += (relMap.m[r][3] - relTrue.m[r][3]) * (relMap.m[r][3] - relTrue.m[r][3]);
  EXPECT_LT(std::sqrt(d), 0.04f) << "was 0.08 off";
}

}  // namespace
