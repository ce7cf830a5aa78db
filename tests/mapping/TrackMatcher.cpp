// ctest-labels: threads
// Track matcher: duplicated tracks of a rendered two-key-frame scene merge,
// and only those, on the worker thread while the map is read; the choice of
// the older key frame, the warp handling, the error measures on known
// answers, and the refusals that leave the map unmerged.
#include "mapping/TrackMatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <utility>

#include "app/WorkerThread.h"
#include "common/WaitFor.h"
#include "common/mapping/MatcherScene.h"
#include "features/ImageMapMath.h"
#include "la/Homography.h"
#include "la/MutexBuffer.h"
#include "la/Random.h"

namespace {

// Squared distance of x from the image under `toX` of the ray through y
// (its points at depths 1 and 10): y's epipolar line built from points.
double RayLineDistance2(const CameraPose& toX, const LA::Vector2<float>& y,
                        const LA::Vector2<float>& x) {
  double p[2][2];
  for (int i = 0; i < 2; ++i) {
    const double Y[3] = {i ? 10.0 * y.x : y.x, i ? 10.0 * y.y : y.y, i ? 10.0 : 1.0};
    double Z[3];
    for (int r = 0; r < 3; ++r)
      Z[r] = toX.m[r][0] * Y[0] + toX.m[r][1] * Y[1] + toX.m[r][2] * Y[2] + toX.m[r][3];
    p[i][0] = Z[0] / Z[2], p[i][1] = Z[1] / Z[2];
  }
  const double n[2] = {p[0][1] - p[1][1], p[1][0] - p[0][0]};
  const double e = (x.x - p[0][0]) * n[0] + (x.y - p[0][1]) * n[1];
  return e * e / (n[0] * n[0] + n[1] * n[1]);
}

// RMS in level-0 pixels of the map's solved points against their key-frame
// measurements: how well the map agrees with itself.
double SolvedReprojectionRms(const GlobalMap& map) {
  double sum = 0.0;
  u32 n = 0;
  for (u32 k = 0; k < map.KeyFrameCount(); ++k) {
    const CameraPose& P = map.keyFramePoses[k];
    for (u32 m = map.keyFrameMeasurementStart[k]; m < map.keyFrameMeasurementStart[k + 1]; ++m) {
      const u32 t = map.ResolveTrack(map.measurementTracks[m]);
      if (!(map.trackFlags[t] & kTrackSolved)) continue;
      const float* X = map.points[t].v;
      float Z[3];
      for (int r = 0; r < 3; ++r) Z[r] = LA::Dot3(P.m[r], X) + P.m[r][3];
      const double ex = (Z[0] / Z[2] - map.measurements[m].x) * map.intrinsic.fx[0];
      const double ey = (Z[1] / Z[2] - map.measurements[m].y) * map.intrinsic.fy[0];
      sum += ex * ex + ey * ey;
      ++n;
    }
  }
  return n > 0 ? std::sqrt(sum / n) : -1.0;
}

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
  // At least 80 % of the duplicated pairs merged, no other pair; the count
  // of merged-away tracks.
  u32 ExpectMergedDuplicates() {
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    u32 duplicates = 0, merged = 0, wrong = 0, away = 0;
    for (u32 b = 0; b < map.TrackCount(); ++b) {
      away += (map.trackFlags[b] & kTrackMergedAway) != 0;
      for (u32 a = 0; a < b; ++a) {
        const bool same = map.ResolveTrack(a) == map.ResolveTrack(b);
        const bool duplicate = scene.duplicateOf[b] == a;
        duplicates += duplicate;
        merged += duplicate && same;
        wrong += !duplicate && same;
      }
    }
    EXPECT_GT(duplicates, 100u);
    EXPECT_GE(merged, duplicates * 8 / 10) << "of " << duplicates;
    EXPECT_EQ(wrong, 0u);
    return away;
  }
  // Unsolves every other duplicated pair on both sides and refills the
  // item; the new tracks of those pairs.
  std::vector<u32> UnsolveEveryOtherDuplicate() {
    std::vector<u32> unsolved;
    for (u32 t = 0; t < scene.duplicateOf.size(); t += 2) {
      if (scene.duplicateOf[t] == kNone32) continue;
      map.trackFlags[t] = map.trackFlags[scene.duplicateOf[t]] = 0;
      unsolved.push_back(t);
    }
    scene.FillItem(map, item);
    return unsolved;
  }
  bool AnyMerged() {
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    for (const u8 f : map.trackFlags)
      if (f & (kTrackMerged | kTrackMergedAway)) return true;
    return false;
  }
};

// Of the older key frame's features whose flags `chosen` accepts: how many
// there are, and how many second-pass records lie within 1.5 level pixels
// of their points' true projections into the newer key frame.
template <class Chosen>
std::pair<u32, u32> SecondPassNearTruth(const MatcherRun& run, const TrackMatcher& matcher,
                                        Chosen chosen) {
  const MapKeyFrameCopy& kf = matcher.MatchedKeyFrame();
  u32 features = 0, found = 0;
  for (int l = 0; l < 4; ++l) {
    const Intrinsic K = run.scene.LevelIntrinsic(l);
    for (u16 f = 0; f < kf.tracks[l].size(); ++f) features += chosen(kf.trackFlags[l][f]);
    for (const PatchMatchRecord& r : matcher.secondPass[l]) {
      if (!chosen(kf.trackFlags[l][r.oldFeature])) continue;
      float p[2];
      run.scene.Project(1, run.scene.truePoint[kf.tracks[l][r.oldFeature]], l, p);
      found += std::hypot(r.x * K.fx[0] + K.cx[0] - p[0], r.y * K.fy[0] + K.cy[0] - p[1]) < 1.5f;
    }
  }
  return {features, found};
}

TEST(TrackMatcher, HandedOverItemsMergeOnTheWorkerThreadWhileTheMapIsRead) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  MutexBufferPool<TrackMatchingData> pool(1);
  MutexBufferQueue<TrackMatchingData> queue(1);
  ThreadContext<TrackMatchingData> context;
  context.worker = &matcher;
  context.in = &queue;
  context.out = &pool;
  StartWorkerThread(&context);
  const auto fill = [&](TrackMatchingData& item) { run.scene.FillItem(run.map, item); };
  // Asynchronous: the caller goes on and reads the map while the run works.
  ASSERT_TRUE(HandOverAsynchronous(pool, queue, fill));
  ASSERT_TRUE(WaitFor([&] {
    EXPECT_EQ(InvariantError(run.map), "");
    return pool.Count() == 1 && !matcher.IsBusy();
  }));
  const u32 away = run.ExpectMergedDuplicates();
  EXPECT_FALSE(matcher.JointAdjusted()) << "the map's poses are exact";
  // Synchronous: returns once the run has ended. Key frame 0 now shares its
  // merged tracks with the item, so nothing further merges.
  HandOverSynchronous(pool, queue, fill);
  EXPECT_EQ(pool.Count(), 1u);
  EXPECT_FALSE(matcher.IsBusy());
  EXPECT_EQ(run.ExpectMergedDuplicates(), away);
  StopWorkerThread(&context);
  EXPECT_TRUE(context.stopped);
}

// Candidates share at most twenty tracks and face the scene plane; reset
// items, excluded and weak key frames change nothing.
TEST(TrackMatcher, ChoiceOfTheOlderKeyFrameAndRefusals) {
  for (const u32 shared : {21u, 20u}) {
    MatcherSceneOptions o;
    o.sharedTracks = shared;
    MatcherRun run(o);
    TrackMatcher matcher(&run.map, 0, "");
    const u16 chosen = matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
    EXPECT_EQ(chosen, shared == 20 ? 0 : kNone16) << shared;
    if (shared == 21) continue;
    // Key frame 0's forced entry first, then its own entry with its count.
    ASSERT_EQ(matcher.Candidates().size(), 2u);
    EXPECT_EQ(matcher.Candidates()[0].first, -1);
    EXPECT_EQ(matcher.Candidates()[1].first, 20);
    const u64 counter = run.map.ModificationCounter();
    run.item.frameId = TrackMatchingData::kResetFrameId;
    matcher.matchedKeyFrame = kNone16;
    matcher.Run(&run.item);
    matcher.Run(nullptr);
    EXPECT_EQ(matcher.matchedKeyFrame, kNone16) << "no choice was made";
    // Key frame 0 excluded as the item's relocalisation or aligned key frame.
    run.item.frameId = 11;
    for (u16* excluded : {&run.item.relocalisationKeyFrame, &run.item.alignmentKeyFrame}) {
      *excluded = 0;
      matcher.Run(&run.item);
      EXPECT_TRUE(matcher.Candidates().empty());
      *excluded = kNone16;
    }
    EXPECT_EQ(run.map.ModificationCounter(), counter);
    EXPECT_FALSE(run.AnyMerged());
  }
  // Without inlier points the plane faces the camera at the scene depth:
  // key frame 0's own entry only when the optical axis meets it in front.
  MatcherSceneOptions o;
  o.sharedTracks = 0;
  o.weakSecond = true;
  MatcherRun run(o);
  TrackMatcher matcher(&run.map, 0, "");
  for (auto& flags : run.item.trackFlags)
    for (u8& f : flags) f = kTrackSolved;
  for (const float depth : {5.0f, -5.0f}) {
    run.item.meanDepth = depth;
    matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
    EXPECT_EQ(matcher.Candidates().size(), depth > 0 ? 2u : 1u) << depth;
  }
  // Key frame 0 turned round at z = 2, the plane z = 5 behind it: its axis
  // meets the plane only backwards, at a point the camera sees.
  run.item.meanDepth = MatcherScene::kWallDepth;
  const CameraPose facing = run.map.keyFramePoses[0];
  const float r0[3] = {-1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, -1}, c[3] = {0, 0, 2};
  run.map.keyFramePoses[0] = SceneRender::MakePose(r0, r1, r2, c);
  matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
  EXPECT_EQ(matcher.Candidates().size(), 1u);
  // Key frame 0 facing the plane from far off to one side: its axis meets
  // the plane outside the image, past each of the four edges.
  const float ahead[3] = {0, 0, 1}, across[3] = {1, 0, 0}, down[3] = {0, 1, 0};
  for (const float side : {20.0f, -20.0f}) {
    for (int axis = 0; axis < 2; ++axis) {
      const float off[3] = {axis == 0 ? side : 0.0f, axis == 1 ? side : 0.0f, 0.0f};
      run.map.keyFramePoses[0] = SceneRender::MakePose(across, down, ahead, off);
      matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
      EXPECT_EQ(matcher.Candidates().size(), 1u) << side << ", axis " << axis;
    }
  }
  run.map.keyFramePoses[0] = facing;
  // Fifteen features on a map plane behind the cameras make it the scene
  // plane, the first of the map's planes included; fourteen do not.
  run.item.meanDepth = MatcherScene::kWallDepth;
  run.map.planes.PushBack16({{0.0f, 0.0f, 1.0f, 5.0f}});
  run.map.planeFlags.push_back(0);
  std::vector<u16>& onPlane = run.item.planeIndices[0];
  for (const u32 n : {14u, 15u}) {
    for (u32 i = 0; i < onPlane.size(); ++i) onPlane[i] = i < n ? 0 : kNone16;
    matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp);
    EXPECT_EQ(matcher.Candidates().size(), n == 15 ? 1u : 2u) << n;
  }
  std::fill(onPlane.begin(), onPlane.end(), kNone16);
  // Sharing nothing, the weak key frame 1 would be the only candidate, its
  // optical axis meeting the plane (in front again) inside the image.
  for (auto& tracks : run.item.trackIndices) tracks.clear();
  run.item.relocalisationKeyFrame = 0;
  matcher.Run(&run.item);
  EXPECT_TRUE(matcher.Candidates().empty());
  EXPECT_FALSE(run.AnyMerged());
}

// One matching chain against key frame 0: its warp carries new positions
// into the older key frame, ten true track pairs suffice and nine end the
// run, the pair errors vanish for the true poses and grow for wrong ones,
// and a pop refuses the merge.
TEST(TrackMatcher, MatchingChainOnKnownAnswers) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_TRUE(run.MatchUpTo(matcher, false));
  const auto apply = [](const WarpRecord& w, const float in[2], float out[2]) {
    ApplyHomography(reinterpret_cast<const float(*)[4]>(w.m), in, out);
  };
  // Wall points: float pixels (level 1) of the new key frame map onto the old.
  for (const float x : {-1.0f, 0.0f, 1.5f}) {
    for (const float y : {-1.0f, 0.0f}) {
      const MapPoint X = {{x, y, MatcherScene::kWallDepth, 1.0f}};
      float pNew[2], pOld[2], viaWarp[2];
      run.scene.Project(1, X, 1, pNew);
      run.scene.Project(0, X, 1, pOld);
      apply(matcher.warp, pNew, viaWarp);
      EXPECT_NEAR(viaWarp[0], pOld[0], 0.5f);
      EXPECT_NEAR(viaWarp[1], pOld[1], 0.5f);
    }
  }
  // Keep the first n level-0 feature matches that make distinct true pairs.
  const std::vector<FeatureMatch> all = matcher.featureMatches[0];
  for (const u32 n : {9u, 10u}) {
    for (auto& level : matcher.featureMatches) level.clear();
    ASSERT_TRUE(matcher.LoadKeyFrame(0));
    for (const FeatureMatch& m : all) {
      const u32 to = matcher.MatchedKeyFrame().tracks[0][m.oldFeature];
      const u32 tn = run.item.trackIndices[0][m.newFeature];
      if (run.scene.duplicateOf[tn] == to && matcher.featureMatches[0].size() < n)
        matcher.featureMatches[0].push_back(m);
    }
    EXPECT_EQ(matcher.MatchTracks(run.item), n == 10) << n;
    EXPECT_EQ(matcher.TrackPairs().size(), n);
  }
  const CameraPose &P0 = run.scene.poses[0], &P1 = run.scene.poses[1];
  CameraPose wrong0 = P0, wrong1 = P1, turned = P1;
  wrong0.m[1][3] += 0.3f;
  wrong1.m[1][3] -= 0.3f;
  // Every point behind the camera: no usable term.
  for (int r = 0; r < 3; r += 2)
    for (int c = 0; c < 4; ++c) turned.m[r][c] = -P1.m[r][c];
  EXPECT_EQ(matcher.ComputeErrorFromKeyFramePose(run.item, turned), FLT_MAX);
  // Projection terms (every track an inlier), then the epipolar terms.
  for (int pass = 0; pass < 2; ++pass) {
    // Corners lie within one level pixel of the true projections.
    EXPECT_LT(matcher.ComputeErrorFromFramePose(run.item, P0), 2.5f) << pass;
    EXPECT_LT(matcher.ComputeErrorFromKeyFramePose(run.item, P1), 2.5f) << pass;
    EXPECT_GT(matcher.ComputeErrorFromFramePose(run.item, wrong0), 5.0f) << pass;
    EXPECT_GT(matcher.ComputeErrorFromKeyFramePose(run.item, wrong1), 5.0f) << pass;
    for (auto& flags : run.item.trackFlags)
      for (u8& f : flags) f = kTrackSolved;
  }
  // A pure sideways translation makes the epipolar lines image rows: each
  // pair's term is twice its squared row difference (the ten pairs above).
  CameraPose sideways = P1;
  sideways.m[0][3] -= 0.5f;
  double rows = 0.0;
  for (const FeatureMatch& m : matcher.featureMatches[0]) {
    const double dy = matcher.MatchedKeyFrame().measurements[0][m.oldFeature].y -
                      run.item.normalizedMeasurements[0][m.newFeature].y;
    rows += 2.0 * dy * dy;
  }
  const double fxfy = run.scene.intrinsic.fx[0] * run.scene.intrinsic.fy[0];
  const double rowError = std::sqrt(rows * fxfy / 10.0);
  EXPECT_GT(rowError, 0.5);
  EXPECT_NEAR(matcher.ComputeErrorFromFramePose(run.item, sideways), rowError, 1e-4 * rowError);
  // Turned and advanced: the distances from the lines built from the rays.
  const float c = std::cos(0.1f), sn = std::sin(0.1f);
  const float rows3x4[3][4] = {{c, 0, sn, -0.3f}, {0, 1, 0, -0.1f}, {-sn, 0, c, -0.4f}};
  CameraPose ahead;
  std::memcpy(ahead.m, rows3x4, sizeof(rows3x4));
  CameraPose toNew, toOld;
  ComputeRelativePose(ahead, P1, toNew);
  ComputeRelativePose(P1, ahead, toOld);
  double lines = 0.0;
  for (const FeatureMatch& m : matcher.featureMatches[0]) {
    const LA::Vector2<float>& xo = matcher.MatchedKeyFrame().measurements[0][m.oldFeature];
    const LA::Vector2<float>& xn = run.item.normalizedMeasurements[0][m.newFeature];
    lines += RayLineDistance2(toNew, xo, xn) + RayLineDistance2(toOld, xn, xo);
  }
  const double lineError = std::sqrt(lines * fxfy / 10.0);
  EXPECT_NEAR(matcher.ComputeErrorFromFramePose(run.item, ahead), lineError, 1e-3 * lineError);
  run.map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(matcher.MergeMatchedTracks(run.item));
  EXPECT_FALSE(run.AnyMerged());
  EXPECT_EQ(InvariantError(run.map), "");

  // Level warps: one map once affine and once projective with the third row
  // (0, 0, 1) agree on every level, the affine one keeps its marker, and the
  // inverse brings a point back; singular maps are refused.
  WarpRecord affine = {{1.1f, 0.1f, 3.0f, 0, -0.05f, 0.9f, -2.0f, 0, FLT_MAX, 0, 0, 0}};
  WarpRecord projective = affine;
  projective.m[8] = 0.0f, projective.m[9] = 0.0f, projective.m[10] = 1.0f;
  for (const float k : {2.0f, 4.0f / 3.0f}) {
    WarpRecord toOld[2], toNew[2];
    ASSERT_TRUE(MakeLevelZeroWarps(affine, k, toOld[0], toNew[0]));
    ASSERT_TRUE(MakeLevelZeroWarps(projective, k, toOld[1], toNew[1]));
    EXPECT_TRUE(toOld[0].IsAffine() && toNew[0].IsAffine());
    for (int l = 0; l < 4; ++l) {
      WarpRecord a, p, back;
      ScaleWarpToLevel(toNew[0], l, a);
      ScaleWarpToLevel(toNew[1], l, p);
      ScaleWarpToLevel(toOld[0], l, back);
      EXPECT_TRUE(a.IsAffine()) << "level " << l;
      const float q[2] = {17.0f, 9.0f};
      float viaA[2], viaP[2], round[2];
      apply(a, q, viaA);
      apply(p, q, viaP);
      apply(back, viaA, round);
      for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(viaA[i], viaP[i], 1e-3f);
        EXPECT_NEAR(round[i], q[i], 1e-3f);
      }
    }
  }
  WarpRecord singular = {{1, 2, 0, 0, 2, 4, 0, 0, FLT_MAX, 0, 0, 0}}, out[2];
  EXPECT_FALSE(MakeLevelZeroWarps(singular, 2.0f, out[0], out[1]));
  singular.m[8] = 0, singular.m[9] = 0, singular.m[10] = 0;
  EXPECT_FALSE(MakeLevelZeroWarps(singular, 2.0f, out[0], out[1]));

  // Track pairs on known answers: of a true pair, a second match of either
  // of its features, a track both key frames share (on one side or both)
  // and a feature without a track pair nothing; a level-1 pair follows.
  const MapKeyFrameCopy& kf = matcher.MatchedKeyFrame();
  const auto trackPair = [&](int l, const FeatureMatch& m) {
    return TrackPair{kf.tracks[l][m.oldFeature], run.item.trackIndices[l][m.newFeature]};
  };
  std::vector<FeatureMatch> level[2];
  for (int l = 0; l < 2; ++l)
    for (u16 o = 0; o < kf.tracks[l].size(); ++o)
      for (u16 f = 0; f < run.item.trackIndices[l].size(); ++f)
        if (run.scene.duplicateOf[run.item.trackIndices[l][f]] == kf.tracks[l][o])
          level[l].push_back({o, f});
  ASSERT_TRUE(level[0].size() > 4 && !level[1].empty());
  const u16 shared = 0;  // track 0 in both key frames: feature 0 of each
  ASSERT_EQ(kf.tracks[0][shared], run.item.trackIndices[0][shared]);
  const FeatureMatch& a = level[0][0];
  run.item.trackIndices[0][level[0][3].newFeature] = kNone32;
  matcher.featureMatches[0] = {a,
                               {a.oldFeature, level[0][1].newFeature},
                               {level[0][2].oldFeature, a.newFeature},
                               {shared, shared},
                               {level[0][4].oldFeature, shared},
                               level[0][3]};
  matcher.featureMatches[1] = {level[1][0]};
  for (int l = 2; l < 4; ++l) matcher.featureMatches[l].clear();
  matcher.MatchTracks(run.item);
  EXPECT_EQ(matcher.TrackPairs(),
            (std::vector<TrackPair>{trackPair(0, a), trackPair(1, level[1][0])}));
}

// Both inlier steps keep every true match and drop every planted wrong one.
// First pass: a match is true when its corner lies within 1.5 level-0
// pixels of the point's projection; planted copies sit 30 pixels off (the
// threshold is 4). Feature matches: true when both tracks are one scene
// point; planted pairs join features of solved tracks 50 to 70 pixels apart
// across the near-horizontal epipolar lines (the threshold is 40).
TEST(TrackMatcher, InlierStepsKeepTrueMatchesAndDropPlantedWrongOnes) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_EQ(matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp), 0);
  ASSERT_TRUE(matcher.LoadKeyFrame(0) && matcher.MatchFirstPass(run.item));
  constexpr u32 kPlanted = 0xFFFFFFFF;  // the score of a planted record
  u32 planted = 0;
  const auto trueRecords = [&] {
    std::vector<std::pair<int, u16>> found;
    planted = 0;
    for (int l = 0; l < 4; ++l) {
      const Intrinsic K = run.scene.LevelIntrinsic(l);
      for (const PatchMatchRecord& r : matcher.firstPass[l]) {
        planted += r.score == kPlanted;
        float p[2];
        run.scene.Project(1, matcher.MatchedKeyFrame().points[l][r.oldFeature], l, p);
        const float dx = (r.x * K.fx[0] + K.cx[0] - p[0]) * static_cast<float>(1 << l);
        const float dy = (r.y * K.fy[0] + K.cy[0] - p[1]) * static_cast<float>(1 << l);
        if (dx * dx + dy * dy < 1.5f * 1.5f) found.emplace_back(l, r.oldFeature);
      }
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  const auto before = trueRecords();
  EXPECT_GT(before.size(), 100u);
  // The first feature of a level is matched as any other.
  for (int l = 0; l < 2; ++l)
    EXPECT_TRUE(std::binary_search(before.begin(), before.end(), std::pair<int, u16>(l, 0))) << l;
  std::vector<PatchMatchRecord>& level0 = matcher.firstPass[0];
  // Every other copy moves along the epipolar lines (parallel to the
  // cameras' offset), where only the pose test sees it, the rest across.
  const MatcherSceneOptions& o = run.scene.options;
  const float along[2] = {o.shiftX / std::hypot(o.shiftX, o.shiftY),
                          o.shiftY / std::hypot(o.shiftX, o.shiftY)};
  const size_t originals = level0.size();
  for (size_t i = 0; i < 20; ++i) {
    PatchMatchRecord r = level0[i * originals / 20];
    const float d = (i % 2 ? 30.0f : -30.0f) / run.scene.intrinsic.fy[0];
    const float a = i % 4 < 2 ? along[0] : -along[1], b = i % 4 < 2 ? along[1] : along[0];
    r.x += d * a, r.y += d * b;
    r.score = kPlanted;
    level0.push_back(r);
  }
  ASSERT_TRUE(matcher.ComputeInliersFirstPass(run.item));
  EXPECT_EQ(trueRecords(), before);
  EXPECT_EQ(planted, 0u);

  ASSERT_TRUE(matcher.RefinePose(run.item) && matcher.MatchSecondPass(run.item) &&
              matcher.MatchFeatures(run.item));
  std::vector<FeatureMatch>& matches = matcher.featureMatches[0];
  const auto isTrue = [&](const FeatureMatch& m) {
    const u32 to = matcher.MatchedKeyFrame().tracks[0][m.oldFeature];
    const u32 tn = run.item.trackIndices[0][m.newFeature];
    return tn == to || run.scene.duplicateOf[tn] == to;
  };
  const auto at = [&](u16 f) { return run.item.measurements[0][f]; };
  // Pairs as old << 16 | new: the true ones, then the planted ones.
  std::vector<u32> keys, plantedKeys;
  for (const FeatureMatch& m : matches)
    if (isTrue(m)) keys.push_back(m.oldFeature << 16 | m.newFeature);
  const size_t n = matches.size();
  for (size_t i = 0; i < n && plantedKeys.size() < 40; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const float dx = at(matches[j].newFeature).x - at(matches[i].newFeature).x;
      const float dy = std::fabs(at(matches[j].newFeature).y - at(matches[i].newFeature).y);
      const bool solved = run.item.trackFlags[0][matches[j].newFeature] & kTrackInlier;
      if (solved && std::fabs(dx) < 10.0f && dy > 50.0f && dy < 70.0f) {
        plantedKeys.push_back(matches[i].oldFeature << 16 | matches[j].newFeature);
        break;
      }
    }
  }
  EXPECT_GT(keys.size(), 50u);
  ASSERT_GE(plantedKeys.size(), 10u);
  for (const u32 k : plantedKeys)
    matches.push_back({static_cast<u16>(k >> 16), static_cast<u16>(k)});
  ASSERT_TRUE(matcher.ComputeInliersFeatureMatches(run.item));
  std::vector<u32> kept;
  for (const FeatureMatch& m : matches) kept.push_back(m.oldFeature << 16 | m.newFeature);
  std::sort(kept.begin(), kept.end());
  for (const u32 k : keys) EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), k)) << k;
  for (const u32 k : plantedKeys)
    EXPECT_FALSE(std::binary_search(kept.begin(), kept.end(), k)) << k;
}

// The older key frame's pose comes from the matches on the item's solved
// points: ten true ones suffice, nine do not.
TEST(TrackMatcher, TenMatchesOnSolvedPointsPoseTheOlderKeyFrame) {
  for (const u32 solved : {10u, 9u}) {
    MatcherRun run;
    TrackMatcher matcher(&run.map, 0, "");
    ASSERT_TRUE(matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp) == 0 &&
                matcher.LoadKeyFrame(0) && matcher.MatchFirstPass(run.item) &&
                matcher.ComputeInliersFirstPass(run.item) && matcher.RefinePose(run.item) &&
                matcher.MatchSecondPass(run.item) && matcher.MatchFeatures(run.item));
    std::vector<u8> flags[4];
    for (int l = 0; l < 4; ++l) {
      flags[l] = run.item.trackFlags[l];
      for (u8& f : run.item.trackFlags[l]) f &= static_cast<u8>(~kTrackInlier);
    }
    // Half on the wall and half on the floor: points of one plane alone
    // leave the pose estimator degenerate.
    u32 kept[2] = {0, 0};
    for (int l = 0; l < 4; ++l)
      for (const FeatureMatch& m : matcher.featureMatches[l]) {
        const u32 to = matcher.MatchedKeyFrame().tracks[l][m.oldFeature];
        const u32 tn = run.item.trackIndices[l][m.newFeature];
        const bool wall = run.item.points[l][m.newFeature].v[2] == MatcherScene::kWallDepth;
        if (kept[wall] == (solved + wall) / 2 || !(flags[l][m.newFeature] & kTrackInlier) ||
            (tn != to && run.scene.duplicateOf[tn] != to))
          continue;
        run.item.trackFlags[l][m.newFeature] |= kTrackInlier;
        ++kept[wall];
      }
    ASSERT_EQ(kept[0] + kept[1], solved);
    EXPECT_EQ(matcher.ComputeInliersFeatureMatches(run.item), solved == 10) << solved;
  }
}

// The first pass's inlier steps work from ten true matches on the older key
// frame's tracks, and refuse nine.
TEST(TrackMatcher, TenFirstPassMatchesOnTracksSuffice) {
  for (const u32 wanted : {10u, 9u}) {
    MatcherRun run;
    TrackMatcher matcher(&run.map, 0, "");
    ASSERT_TRUE(matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp) == 0 &&
                matcher.LoadKeyFrame(0) && matcher.MatchFirstPass(run.item));
    const MapKeyFrameCopy& k = matcher.MatchedKeyFrame();
    const Intrinsic K = run.scene.LevelIntrinsic(0);
    std::vector<PatchMatchRecord> kept;
    u32 taken[2] = {0, 0};  // floor and wall, as for the pose test above
    for (const PatchMatchRecord& r : matcher.firstPass[0]) {
      const MapPoint& X = k.points[0][r.oldFeature];
      const bool wall = X.v[2] == MatcherScene::kWallDepth;
      float p[2];
      run.scene.Project(1, X, 0, p);
      const float dx = r.x * K.fx[0] + K.cx[0] - p[0], dy = r.y * K.fy[0] + K.cy[0] - p[1];
      if (taken[wall] == (wanted + wall) / 2 || !(k.trackFlags[0][r.oldFeature] & kTrackInlier) ||
          dx * dx + dy * dy > 1.0f)
        continue;
      kept.push_back(r);
      ++taken[wall];
    }
    ASSERT_EQ(kept.size(), wanted);
    matcher.firstPass[0] = kept;
    for (int l = 1; l < 4; ++l) matcher.firstPass[l].clear();
    EXPECT_EQ(matcher.ComputeInliersFirstPass(run.item), wanted == 10) << wanted;
    if (wanted == 10) {
      EXPECT_EQ(matcher.firstPass[0].size(), 10u);
    }
  }
}

// The first pass looks for each feature 30 level-0 pixels (halved per
// level) around where the warp carries it: moved 20 pixels sideways it still
// finds its true corners there, moved 40 it finds none of them.
TEST(TrackMatcher, FirstPassSearchesThirtyPixelsAroundTheWarpedFeature) {
  std::vector<u32> found;
  for (const float moved : {0.0f, 20.0f, 40.0f}) {
    MatcherRun run;
    TrackMatcher matcher(&run.map, 0, "");
    ASSERT_EQ(matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp), 0);
    ASSERT_TRUE(matcher.LoadKeyFrame(0));
    // The warp maps the new key frame's alignment image (level 1) into the
    // older one's; taking its input from `moved` level-0 pixels to the left
    // moves every predicted place that far right.
    float* m = matcher.warp.m;
    const float s = 0.5f * moved;
    for (int r = 0; r < (matcher.warp.IsAffine() ? 2 : 3); ++r) m[4 * r + 2] -= s * m[4 * r];
    ASSERT_TRUE(matcher.MatchFirstPass(run.item));
    const MapKeyFrameCopy& k = matcher.MatchedKeyFrame();
    const Intrinsic K = run.scene.LevelIntrinsic(0);
    u32 right = 0;
    for (const PatchMatchRecord& r : matcher.firstPass[0]) {
      float p[2];
      run.scene.Project(1, k.points[0][r.oldFeature], 0, p);
      const float dx = r.x * K.fx[0] + K.cx[0] - p[0], dy = r.y * K.fy[0] + K.cy[0] - p[1];
      right += dx * dx + dy * dy <= 4.0f;
    }
    found.push_back(right);
  }
  ASSERT_GE(found[0], 40u);
  EXPECT_GE(found[1], found[0] * 3 / 4);
  EXPECT_EQ(found[2], 0u);
}

// Key frame 1 seen 1.4 m higher than the item's pose says: neither the
// direct alignment nor the predicted start reaches it, a start shifted
// vertically by 0.3 of the image does.
TEST(TrackMatcher, AKeyFrameOnlyAVerticallyShiftedStartReachesIsChosen) {
  MatcherSceneOptions o;
  o.shiftY = -1.4f;
  MatcherRun run(o);
  *run.item.pose = run.scene.poses[0];
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_EQ(matcher.SelectKeyFrame(run.item, matcher.keyFrameImage, matcher.warp), 0);
  const MapPoint X = {{0.5f, -0.5f, MatcherScene::kWallDepth, 1.0f}};
  float pNew[2], pOld[2], viaWarp[2];
  run.scene.Project(1, X, 1, pNew);
  run.scene.Project(0, X, 1, pOld);
  ApplyHomography(reinterpret_cast<const float(*)[4]>(matcher.warp.m), pNew, viaWarp);
  EXPECT_NEAR(viaWarp[0], pOld[0], 1.0f);
  EXPECT_NEAR(viaWarp[1], pOld[1], 1.0f);
}

// Without first-pass matches the second pass finds the older key frame's
// inlier features where their points project into the newer one (within
// 1.5 level pixels of the truth).
TEST(TrackMatcher, SecondPassFindsInlierPointsWhereTheyProject) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_TRUE(run.MatchUpTo(matcher, false));
  for (auto& level : matcher.firstPass) level.clear();
  ASSERT_TRUE(matcher.MatchSecondPass(run.item));
  const auto [inliers, found] =
      SecondPassNearTruth(run, matcher, [](u8 flags) { return (flags & kTrackInlier) != 0; });
  EXPECT_GT(inliers, 100u);
  EXPECT_GE(found, inliers * 8 / 10) << "of " << inliers;
}

// Every other duplicated pair unsolved on both sides: no point to project.
// Without first-pass matches the second pass finds the unsolved features
// along their epipolar lines (true: within 1.5 level pixels of the truth),
// and a whole run merges the unsolved pairs as the solved ones.
void ExpectUnsolvedDuplicatesMerge(float shiftY) {
  MatcherSceneOptions o;
  o.shiftY = shiftY;
  MatcherRun run(o);
  const std::vector<u32> unsolved = run.UnsolveEveryOtherDuplicate();
  TrackMatcher matcher(&run.map, 0, "");
  ASSERT_TRUE(run.MatchUpTo(matcher, false));
  for (auto& level : matcher.firstPass) level.clear();
  ASSERT_TRUE(matcher.MatchSecondPass(run.item));
  const auto [features, found] =
      SecondPassNearTruth(run, matcher, [](u8 flags) { return flags == 0; });
  EXPECT_GT(features, 50u);
  EXPECT_GE(found, features * 8 / 10);
  matcher.Run(&run.item);
  run.ExpectMergedDuplicates();
  u32 merged = 0;
  for (const u32 t : unsolved)
    merged += run.map.ResolveTrack(t) == run.map.ResolveTrack(run.scene.duplicateOf[t]);
  EXPECT_GT(unsolved.size(), 50u);
  EXPECT_GE(merged, unsolved.size() * 8 / 10);
}

TEST(TrackMatcher, UnsolvedDuplicatedTracksStillMerge) {
  // Epipolar lines at 45 degrees, then level (a shift along x alone).
  for (const float shiftY : {0.12f, 0.0f}) {
    SCOPED_TRACE(shiftY);
    ExpectUnsolvedDuplicatesMerge(shiftY);
  }
}

// Twenty solved points mirrored behind the cameras: the inlier step drops
// their matches and no later step pulls towards them, so the chain still
// reaches the track pairs.
TEST(TrackMatcher, PointsBehindTheCamerasAreLeftOut) {
  MatcherRun run;
  for (u32 t = 20; t < 40; ++t) run.map.points[t].v[2] = -run.map.points[t].v[2];
  run.scene.FillItem(run.map, run.item);
  TrackMatcher matcher(&run.map, 0, "");
  EXPECT_TRUE(run.MatchUpTo(matcher, true));
}

TEST(TrackMatcher, OlderPoseOffIsAdjustedJointlyUnlessAStampComesFirst) {
  // Key frame 0's pose of the true scene stored 8 cm off. A whole run:
  // joint adjustment, then the merges. Key frame 0 holds the gauge: key
  // frame 1 and the points come in line with it, so the map sees itself
  // again through both key frames and the relative pose becomes right
  // again (the points keep their distances from key frame 1, and so the
  // scale, which nothing here measures).
  const MatcherScene truth;
  CameraPose shifted = truth.poses[0];
  shifted.m[0][3] += 0.08f;
  MatcherRun run(MatcherSceneOptions(), &shifted);
  const double before = SolvedReprojectionRms(run.map);
  EXPECT_GT(before, 2.0) << "pixels";
  TrackMatcher matcher(&run.map, 0, "");
  matcher.Run(&run.item);
  EXPECT_TRUE(matcher.JointAdjusted());
  run.ExpectMergedDuplicates();
  {
    boost::shared_lock<boost::shared_mutex> lock(run.map.mutex);
    EXPECT_EQ(run.map.modifier, "TM");
    EXPECT_LT(SolvedReprojectionRms(run.map), 1.5) << "pixels, from " << before;
    CameraPose relTrue, relMap;
    ComputeRelativePose(truth.poses[0], truth.poses[1], relTrue);
    ComputeRelativePose(run.map.keyFramePoses[0], run.map.keyFramePoses[1], relMap);
    float d = 0.0f;
    for (int r = 0; r < 3; ++r) d += std::pow(relMap.m[r][3] - relTrue.m[r][3], 2);
    EXPECT_LT(std::sqrt(d), 0.04f) << "was 0.08 off";
  }
  // Another worker's stamped write lands between snapshot and write-back.
  MatcherRun stamped(MatcherSceneOptions(), &shifted);
  TrackMatcher second(&stamped.map, 0, "");
  Random::Seed(5);
  ASSERT_TRUE(stamped.MatchUpTo(second, true));
  ASSERT_TRUE(second.PrepareJointProblem());
  MapSnapshot s;
  s.Global(stamped.map);
  ASSERT_TRUE(s.Write(stamped.map, 1, "GBA"));
  EXPECT_FALSE(second.SolveAndWriteJointProblem());
  EXPECT_FALSE(stamped.AnyMerged());
  EXPECT_EQ(stamped.map.modifier, "GBA");
}

}  // namespace
