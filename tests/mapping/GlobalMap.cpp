// The map on hand-made and synthetic maps with known answers. The
// tracker's writes: push, pop, trim and anchoring keep every invariant and
// give back what a map built directly would hold. The workers' side: which
// key frames, points and planes enter a problem snapshot and which are
// fixed; fresh results land, stale ones leave the map byte for byte
// unchanged, merges keep their bits against pending results, and plane
// indices from workers never reach past the planes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <map>

#include "common/mapping/SyntheticMap.h"
#include "estimation/PlaneEstimatorData.h"
#include "features/FeatureRecords.h"
#include "optimization/IMUParameters.h"

using V = std::vector<u32>;

namespace {

SyntheticMapOptions SmallMap(u32 keyFrames, u32 markers) {
  SyntheticMapOptions o;
  o.keyFrames = keyFrames;
  o.pointsPerPlane = 60;
  o.clutterPoints = 30;
  o.images = true;
  o.markerTracks = markers;
  return o;
}

// Per scene point: its solved bits, point and measurements (key frame, x, y).
std::map<u32, std::vector<f32>> ViewByScenePoint(const GlobalMap& map, const SyntheticMap& scene) {
  std::map<u32, std::vector<f32>> view;
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    std::vector<f32>& v = view[scene.TrackScenePoint()[t]];
    v = {static_cast<f32>(map.trackFlags[t] & (kTrackSolved | kTrackInlier | kTrackMarker))};
    v.insert(v.end(), map.points[t].v, map.points[t].v + 4);
    for (const u32 e : map.trackMeasurements[t]) {
      const MapMeasurement& m = MeasurementOf(map, e);
      v.insert(v.end(), {static_cast<f32>(GlobalMap::MeasurementKeyFrame(e)), m.x, m.y});
    }
  }
  return view;
}

}  // namespace

TEST(GlobalMapTracker, PushThenPopRestoresTheMap) {
  SyntheticMap a(SmallMap(6, 3)), b(SmallMap(6, 3));
  GlobalMap before, after;
  a.Build(before, 5);
  b.Build(after, 5);
  EXPECT_EQ(before.trackFlags[0] & kTrackMarker, kTrackMarker);
  const u64 version = after.StructureVersion();
  b.Push(after, 5);
  EXPECT_EQ(InvariantError(after), "");
  EXPECT_EQ(after.KeyFrameCount(), 6u);
  b.Pop(after);
  EXPECT_TRUE(SameMapContent(before, after));
  EXPECT_GT(after.StructureVersion(), version);
}

TEST(GlobalMapTracker, DuplicateMatchesAreDropped) {
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2, 3}, {0, 4}});
  ASSERT_TRUE(map.MergeTracks(1, {{2, 4}}, map.StructureVersion()));  // 4 now resolves to 2
  map.trackFlags[3] |= kTrackMarker | kTrackSolved | kTrackInlier;
  map.points[3].v[0] = 42.0f;
  // Level 0: track 0 twice, 4 (merged into 2), 2 again, one new feature;
  // level 1: track 0 a third time, 1, the marker 3. A feature's x is its
  // input order.
  KeyFrameInput input;
  input.tracks[0] = {0, 0, 4, 2};
  input.tracks[1] = {0, 1, 3};
  for (u32 i = 0; i < 8; ++i) {
    input.normalized[i < 5 ? 0 : 1].PushBack8({static_cast<f32>(i), 0.0f});
    input.pixels[i < 5 ? 0 : 1].PushBack8({static_cast<f32>(i), 0.0f});
  }
  // The tracker's points and flags: taken for track 1, not for the marker.
  MapWorkingCopy working;
  map.Synchronize(working);
  working.points[1].v[0] = working.points[3].v[0] = -7.0f;
  working.trackFlags[1] = kTrackSolved | kTrackUnreliable;
  working.trackFlags[3] = 0;
  map.PushKeyFrame(0, working, input, 1, "Tracker");
  EXPECT_EQ(InvariantError(map), "");
  EXPECT_EQ(map.points[1].v[0] + map.points[3].v[0], -7.0f + 42.0f);
  EXPECT_EQ(map.trackFlags[1], kTrackSolved | kTrackUnreliable);
  EXPECT_EQ(map.trackFlags[3], kTrackMarker | kTrackSolved | kTrackInlier);
  EXPECT_EQ(input.tracks[0], (std::vector<u32>{0, 4}));
  EXPECT_EQ(input.tracks[1], (std::vector<u32>{1, 3}));
  ASSERT_EQ(input.normalized[0].Size(), 3u);
  EXPECT_EQ(input.normalized[0][2].x, 4.0f);  // the new feature follows the kept matches
  EXPECT_EQ(input.normalized[1][0].x, 6.0f);
  const u16* o = map.keyFrames[2].levelOffsets;
  EXPECT_EQ(std::vector<u16>(o, o + 6), (std::vector<u16>{0, 3, 5, 5, 5, 5}));
  EXPECT_EQ(map.trackMeasurements[2].back(), GlobalMap::PackMeasurement(2, 1));
  EXPECT_EQ(map.TrackCount(), 6u);

  // One level's features and their tracks; none on an empty level, past the
  // levels or past the key frames (a former answer is cleared).
  AlignedArray<MapMeasurement> features;
  V tracks;
  const auto xs = [&] {
    std::vector<f32> x;
    for (const MapMeasurement& m : features) x.push_back(m.x);
    return x;
  };
  map.GetKeyFrameFeatures(2, 0, features, tracks);
  EXPECT_EQ(tracks, (V{0, 2, 5}));
  EXPECT_EQ(xs(), (std::vector<f32>{0, 2, 4}));
  map.GetKeyFrameFeatures(2, 1, features, tracks);
  EXPECT_EQ(tracks, (V{1, 3}));
  EXPECT_EQ(xs(), (std::vector<f32>{6, 7}));
  for (const auto& [keyFrame, level] : {std::pair{2, 4}, {3, 0}, {2, 3}}) {
    map.GetKeyFrameFeatures(static_cast<u16>(keyFrame), static_cast<u8>(level), features, tracks);
    EXPECT_TRUE(tracks.empty() && features.Empty()) << keyFrame << " " << level;
  }
}

TEST(GlobalMapTracker, TrimEqualsAMapOfTheKeptKeyFrames) {
  const u32 K = 6;
  for (const u16 first : {u16(0), u16(1), u16(K - 1)}) {
    SyntheticMap full(SmallMap(K, 0)), kept(SmallMap(K, 0));
    GlobalMap trimmed, direct;
    full.Build(trimmed);
    full.Trim(trimmed, first);
    EXPECT_EQ(InvariantError(trimmed), "");
    // The same scene from the kept poses only.
    kept.MakeEmptyMap(direct);
    kept.Initialize(direct, first);
    for (u32 k = first + 1; k < K; ++k) kept.Push(direct, k);
    kept.AnchorAll(direct);
    ASSERT_EQ(trimmed.KeyFrameCount(), K - first);
    EXPECT_EQ(trimmed.TrackCount(), direct.TrackCount());
    EXPECT_EQ(trimmed.keyFrameMeasurementStart, direct.keyFrameMeasurementStart);
    for (u32 k = 0; k < K - first; ++k) {
      const KeyFrame &x = trimmed.keyFrames[k], &y = direct.keyFrames[k];
      EXPECT_EQ(x.frameId, y.frameId);
      ASSERT_EQ(x.pyramid[1].size(), y.pyramid[1].size());
      EXPECT_EQ(0,
                std::memcmp(x.pyramid[1].data(), y.pyramid[1].data(), x.pyramid[1].size().area()));
      EXPECT_EQ(0, std::memcmp(x.levelOffsets, y.levelOffsets, sizeof(x.levelOffsets)));
      EXPECT_EQ(
          0, std::memcmp(&trimmed.keyFramePoses[k], &direct.keyFramePoses[k], sizeof(CameraPose)));
    }
    EXPECT_TRUE(ViewByScenePoint(trimmed, full) == ViewByScenePoint(direct, kept)) << first;
  }
  // Hand map: track 0 seen by key frames 0 and 1, track 1 by 0 only, track
  // 2 (a marker) by 0 and 2, track 3 by 1 and 2 and merged into track 1.
  // Trimming drops the merged-away track and keeps the marker's bits.
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2}, {0, 3}, {2, 3}});
  map.trackFlags[2] |= kTrackMarker | kTrackSolved | kTrackInlier;
  ASSERT_TRUE(map.MergeTracks(2, {{1, 3}}, map.StructureVersion()));
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  EXPECT_EQ(InvariantError(map), "");
  EXPECT_EQ(trackMap, (std::vector<u32>{0, 1, 2, kNone32}));
  // Track 0 keeps one measurement: no longer solved; the marker keeps its bits.
  EXPECT_EQ(map.trackFlags[0] & (kTrackSolved | kTrackInlier), 0);
  EXPECT_EQ(map.trackFlags[2] & (kTrackSolved | kTrackInlier), kTrackSolved | kTrackInlier);
  EXPECT_EQ(map.trackMeasurements[1].size(), 2u);
}

TEST(GlobalMapTracker, APopAfterATrimKeepsTheTracksThatStillHoldMeasurements) {
  // Track 0 is seen by key frames 0 and 2, 1 by 0 and 1, 2 by 0 only, 3 by
  // 1 and 2, and key frame 2 starts track 4. Trimmed to key frames 1 and 2,
  // track 0's first measurement is in the newest key frame, below tracks
  // that the older key frame still holds; the newest key frame goes again.
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2}, {1, 3}, {0, 3, 4}});
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  ASSERT_EQ(trackMap, (std::vector<u32>{0, 1, kNone32, 2, 3}));
  // The delta into the popped key frame goes with it: the one key frame
  // left has none.
  map.keyFrames[0].delta.dt = 0.5;
  map.keyFrames[0].delta.dq[3] = 0.0;
  map.PopKeyFrame(1, "Tracker");
  EXPECT_EQ(InvariantError(map), "");
  EXPECT_EQ(map.keyFrames[0].delta.dt, 0.0);
  EXPECT_EQ(map.keyFrames[0].delta.dq[3], 1.0);
  // Only the popped key frame's own track goes; track 0 stays, empty.
  ASSERT_EQ(map.TrackCount(), 3u);
  EXPECT_TRUE(map.trackMeasurements[0].empty());
  EXPECT_EQ(map.trackMeasurements[1], (V{GlobalMap::PackMeasurement(0, 1)}));
  EXPECT_EQ(map.trackMeasurements[2], (V{GlobalMap::PackMeasurement(0, 0)}));
  EXPECT_EQ(map.trackFlags[0] & (kTrackSolved | kTrackInlier), 0);
}

// A fresh key frame has an unset attitude and the empty delta. A copy (the
// trim's move down) takes every level's image, one pixel wide included,
// empties what the source leaves empty, and takes the offsets and records.
TEST(GlobalMapTracker, FreshAndCopiedKeyFrames) {
  KeyFrame src, dst;
  const f64* q = src.attitude.quaternion;
  EXPECT_EQ(std::vector<f64>(q, q + 7), (std::vector<f64>{0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(src.attitude.time, DBL_MAX);
  EXPECT_EQ(src.delta.dq[3], 1.0);
  EXPECT_EQ(src.delta.dt, 0.0);
  src.frameId = 7;
  for (int l = 0; l < kPyramidLevels; ++l) {
    src.pyramid[l].resize(CVD::ImageRef(1 + l, 2));
    src.pyramid[l].fill(static_cast<u8>(10 + l));
  }
  dst.floatImage.resize(CVD::ImageRef(5, 5));
  for (int i = 0; i < 6; ++i) src.levelOffsets[i] = static_cast<u16>(i + 1);
  src.delta.dt = 0.5;
  src.attitude.time = 2.0;
  KeyFrame::Copy(dst, src);
  EXPECT_EQ(dst.frameId, 7u);
  for (int l = 0; l < kPyramidLevels; ++l) {
    ASSERT_EQ(dst.pyramid[l].size(), CVD::ImageRef(1 + l, 2)) << l;
    EXPECT_EQ(dst.pyramid[l][1][l], 10 + l) << l;
  }
  EXPECT_EQ(dst.floatImage.size(), CVD::ImageRef(0, 0));
  EXPECT_EQ(std::vector<u16>(dst.levelOffsets, dst.levelOffsets + 6),
            (std::vector<u16>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(dst.delta.dt, 0.5);
  EXPECT_EQ(dst.attitude.time, 2.0);
}

TEST(GlobalMapTracker, SynchronizeCopiesOnceAndResolvesMergeChains) {
  // Tracks 2, 5 and 7 never share a key frame: 7 is absorbed by 5, 5 by 2.
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2}, {0, 1, 3, 4, 5}, {3, 4, 6, 7}});
  const u64 version = map.StructureVersion();
  map.trackFlags[7] |= kTrackImu;
  ASSERT_TRUE(map.MergeTracks(2, {{5, 7}}, version));
  ASSERT_TRUE(map.MergeTracks(2, {{2, 7}}, version));
  EXPECT_EQ(InvariantError(map), "");
  MapWorkingCopy working;
  EXPECT_TRUE(map.Synchronize(working));
  EXPECT_EQ(working.resolvedTracks[7] + working.resolvedTracks[5], 4u);  // both 2
  EXPECT_EQ(working.trackFlags[2] & (kTrackImu | kTrackMerged), kTrackImu | kTrackMerged);
  EXPECT_EQ(working.cameraCenters[2].v[0], 2.0f);
  working.points.Clear();
  EXPECT_FALSE(map.Synchronize(working));
  EXPECT_EQ(working.points.Size(), 0u);  // untouched

  // Once the first key frame is gone, track 0 may be one a later key frame
  // made, and be absorbed like any other.
  BuildHandMap(map, {{0, 1, 2}, {3, 4}, {1, 3, 5}});
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  ASSERT_TRUE(trackMap.size() == 6u && trackMap[1] == 0u && trackMap[4] != kNone32);
  ASSERT_TRUE(map.MergeTracks(1, {{trackMap[4], 0}}, map.StructureVersion()));
  ASSERT_NE(map.trackFlags[0] & kTrackMergedAway, 0);
  EXPECT_EQ(InvariantError(map), "");
  ASSERT_TRUE(map.Synchronize(working));
  EXPECT_EQ(working.resolvedTracks[0], trackMap[4]);
}

TEST(GlobalMapTracker, NewTrackColoursAreClampedAndFeaturesCappedAt65535) {
  CVD::Image<TrackColor> colour(CVD::ImageRef(16, 8));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) colour[y][x] = SyntheticColour(x, y);
  KeyFrameInput input;
  input.colour = &colour;
  // A marker corner far outside, a level-1 feature, a non-finite position.
  input.pixels[0].PushBack8({-40.0f, 300.0f});
  input.pixels[0].PushBack8({1e30f, -1e30f});
  input.pixels[1].PushBack8({3.3f, 2.6f});  // (6.6, 5.2) at level 0: rounds to (7, 5)
  input.pixels[2].PushBack8({NAN, 1.0f});
  for (int l = 0; l < 3; ++l)
    for (u32 i = 0; i < input.pixels[l].Size(); ++i) input.normalized[l].PushBack8({0, 0});
  GlobalMap map;
  map.Reset();
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.trackColors,
            (std::vector<TrackColor>{SyntheticColour(0, 7), SyntheticColour(15, 0),
                                     SyntheticColour(7, 5), SyntheticColour(0, 4)}));
  // No colour image, or one with a zero side: every track the default.
  const CVD::Image<TrackColor> noRows(CVD::ImageRef(16, 0)), noColumns(CVD::ImageRef(0, 8));
  for (const CVD::Image<TrackColor>* empty :
       {static_cast<const CVD::Image<TrackColor>*>(nullptr), &noRows, &noColumns}) {
    input.colour = empty;
    map.InitializeKeyFrame(input, {});
    EXPECT_EQ(map.trackColors, std::vector<TrackColor>(4, TrackColor(0, 255, 255)));
  }
  // More features than 16-bit indices reach: the excess of the last level goes.
  input.normalized[3].Resize(70000);
  std::memset(input.normalized[3].Data(), 0, 70000 * sizeof(MapMeasurement));
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.TrackCount(), 65535u);
  EXPECT_EQ(map.keyFrames[0].levelOffsets[4], 65535);
  EXPECT_EQ(InvariantError(map), "");
}

TEST(GlobalMapSnapshots, LocalWindows) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  MapSnapshot s;
  ASSERT_TRUE(s.Local(map));
  // Window 2-4; key frame 1 observes selected tracks 4 and 5 and is fixed.
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{1, 2, 3, 4}));
  EXPECT_EQ(s.problem.fixedCameras * 10 + s.problem.gauge, 10u);
  // In measurement order (key frame 2: level 0 holds 4 and 6, level 1 holds
  // 5); 8 is seen once.
  EXPECT_EQ(s.index.tracks, (V{4, 6, 5, 7}));
  EXPECT_EQ(s.index.trackPoints[8], kNone32);
  // Per camera and level: key frame 1 holds tracks 4, 5 on level 0 (new
  // there); key frame 2 holds 4 (level 0), 6 (new, level 0) and 5 (level 1).
  const V& idx = s.problem.features.index;
  ASSERT_EQ(idx.size(), 17u);
  EXPECT_EQ(V(idx.begin(), idx.begin() + 9), (V{0, 2, 2, 2, 2, 4, 5, 5, 5}));
  EXPECT_EQ(idx[16], 10u);
  const IBAMeasurement& z = s.problem.features.measurements[3];
  EXPECT_EQ(z.point, 1u);
  EXPECT_FLOAT_EQ(z.x, 0.06f);
  EXPECT_FLOAT_EQ(z.y, 0.04f);
  // Inertial records: a delta per camera pair, gravity for the variable ones.
  EXPECT_EQ(s.problem.deltas.Size(), 3u);
  EXPECT_EQ(s.problem.gravityCameras, (V{1, 2, 3}));
  EXPECT_FLOAT_EQ(s.state.cameras[2].p[0], 3.0f);
  EXPECT_FLOAT_EQ(s.state.points[2].v[0], 5.0f);
  EXPECT_EQ(s.token.counter, map.ModificationCounter());
  EXPECT_EQ(s.problem.holdBaseline, 0);
  // One key frame: nothing to adjust.
  GlobalMap single;
  BuildHandMap(single, {{0, 1}});
  EXPECT_FALSE(s.Local(single));
  // Two with readings between them (a position weight over a time): the
  // local and the global problem hold the cameras' distance; without
  // readings, over no time, or with a third key frame, they do not ask for
  // it (the solver then holds the points' distances, or the cameras' spread).
  for (const bool third : {false, true}) {
    BuildHandMap(single, third ? std::vector<V>{{0, 1}, {0, 1, 2}, {1, 2, 3}}
                               : std::vector<V>{{0, 1}, {0, 1, 2}});
    for (const auto& [dt, wp] : {std::pair{0.1, 0.0}, {0.1, 1.0}, {0.0, 1.0}}) {
      single.keyFrames[0].delta.dt = dt;
      single.keyFrames[0].delta.wp = wp;
      ASSERT_TRUE(s.Local(single));
      const u8 local = s.problem.holdBaseline;
      s.Global(single);
      EXPECT_EQ(local * 10 + s.problem.holdBaseline, !third && dt > 0.0 && wp > 0.0 ? 11 : 0)
          << third << " " << dt << " " << wp;
    }
  }

  // Key frame 1's track ids overlap the newest one's without a shared
  // track: the window is the newest key frame alone, both others fixed.
  BuildHandMap(map, {{0, 1, 2}, {0, 1, 3}, {2, 4, 5}});
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{0, 1, 2}));
  EXPECT_EQ(s.problem.fixedCameras, 2u);
  EXPECT_EQ(s.index.tracks, V{2});

  // At the first key frame: no earlier camera, no marker, no ground plane:
  // key frame 0 is fixed.
  BuildHandMap(map, {{0, 1, 2}, {0, 1, 3}, {1, 3, 4}});
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{0, 1, 2}));
  EXPECT_EQ(s.problem.fixedCameras * 10 + s.problem.gauge, 11u);
  // A ground plane under tracks 0, 1, 3 and an inlier off the window's
  // selection on it: fixed plane and point, no fixed camera, ground alignment.
  AddHandPlane(map, kPlaneGround, {0, 1, 2, 3});
  map.trackFlags[2] |= kTrackSolved | kTrackInlier;
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.problem.fixedCameras, 0u);
  EXPECT_EQ(s.index.tracks, (V{2, 0, 1, 3}));
  EXPECT_EQ(s.problem.fixedPoints * 10 + s.problem.fixedPlanes, 11u);
  EXPECT_EQ(s.problem.ground, 1);
  EXPECT_EQ(s.problem.planePoints[0], (V{0, 1, 2, 3}));
  EXPECT_GT(s.problem.planeWeights[0].v[0], 0.0f);
  // The same with track 0 the inlier off the selection, and a second plane
  // that no selected point lies on: each track once, track 0 fixed.
  BuildHandMap(map, {{0, 1, 2}, {1, 2, 3}, {1, 3, 4}});
  AddHandPlane(map, kPlaneGround, {0, 1, 2, 3});
  AddHandPlane(map, 0, {4});
  map.trackFlags[0] |= kTrackSolved | kTrackInlier;
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.index.tracks, (V{0, 1, 2, 3}));
  EXPECT_EQ(s.problem.fixedPoints, 1u);
  EXPECT_EQ(s.index.planes, std::vector<u16>{0});

  // Window 3-4 selects tracks 0, 5 and 6. Key frames 0 and 2 see track 0
  // and are fixed; key frame 1 between them sees none of the three, though
  // its ids (2, 3) lie in their range, and stays out.
  BuildHandMap(map, {{0, 1}, {2, 3}, {0, 4}, {0, 5, 6}, {5, 6, 7}});
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{0, 2, 3, 4}));
  EXPECT_EQ(s.problem.fixedCameras, 2u);
}

TEST(GlobalMapSnapshots, GlobalProblemFixingRules) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  MapSnapshot s;
  s.Global(map);
  // Every key frame; key frame 0 fixed for want of a fixed point or plane.
  EXPECT_EQ(s.index.keyFrames.size(), 5u);
  EXPECT_EQ(s.problem.fixedCameras, 1u);
  EXPECT_EQ(s.index.tracks, (V{0, 1, 4, 5, 6, 7}));
  EXPECT_EQ(s.problem.gravityCameras, (V{1, 2, 3, 4}));
  // A once-seen IMU track enters; a marker track is a fixed point and frees
  // the cameras.
  map.trackFlags[8] |= kTrackImu;
  map.trackFlags[2] |= kTrackMarker;
  s.Global(map);
  EXPECT_EQ(s.index.tracks, (V{2, 0, 1, 4, 5, 6, 7, 8}));
  EXPECT_EQ(s.problem.fixedPoints * 10 + s.problem.fixedCameras, 10u);
  EXPECT_EQ(s.problem.ground, 0);
  // One ground plane and no marker: no fixed camera, ground alignment with
  // camera 0 at its position; the ground plane leads.
  map.trackFlags[2] &= static_cast<u8>(~kTrackMarker);
  AddHandPlane(map, 0, {0, 1});
  AddHandPlane(map, kPlaneGround, {5, 6, 7});
  map.planes[0] = {{1.0f, 0.0f, 0.0f, -2.0f}};
  s.Global(map);
  EXPECT_EQ(s.problem.fixedCameras * 10 + s.problem.fixedPlanes, 1u);
  EXPECT_EQ(s.index.planes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.index.planePlanes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.problem.ground, 1);
  EXPECT_EQ(s.problem.groundPosition[0], 0.0f);
  EXPECT_EQ(s.problem.planePoints[0], (V{3, 4, 5}));
  EXPECT_EQ(s.problem.planePoints[1], (V{0, 1}));
  // A single key frame over a ground plane (its points IMU tracks, seen
  // once) is aligned to the ground as well.
  GlobalMap single;
  BuildHandMap(single, {{0, 1, 2}});
  for (u32 t = 0; t < 3; ++t) single.trackFlags[t] |= kTrackImu;
  AddHandPlane(single, kPlaneGround, {0, 1, 2});
  MapSnapshot one;
  one.Global(single);
  EXPECT_EQ(one.problem.fixedCameras * 10 + one.problem.fixedPlanes, 1u);
  EXPECT_EQ(one.problem.ground, 1);
  // Plane weights: a point its plane's deviation off the plane (the ground
  // plane, first, has its own) costs what a level-0 feature one feature
  // deviation (in pixels) off its point costs, whatever the image scale.
  const f64 a = s.problem.features.imageScale, w0 = s.problem.features.levelWeights[0].v[0];
  const f64 featureCost = w0 * IMU_VARIANCE_FEATURE_3D * IMU_VARIANCE_FEATURE_3D / a;
  const f64 sigma[2] = {IMU_VARIANCE_PLANE_GROUND, IMU_VARIANCE_PLANE};
  for (u32 j = 0; j < 2; ++j)
    EXPECT_NEAR(s.problem.planeWeights[j].v[0] * sigma[j] * sigma[j], featureCost,
                1e-5 * featureCost);
  // The state's planes are the map's planes in problem order.
  ASSERT_EQ(s.state.planes.Size(), 2u);
  for (u32 j = 0; j < 2; ++j)
    EXPECT_EQ(0, std::memcmp(&s.state.planes[j], &map.planes[1 - j], sizeof(MapPlane))) << j;
}

TEST(GlobalMapSnapshots, TrackMatcherPairsAndProblem) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  map.trackFlags[2] |= kTrackSolved | kTrackInlier;
  const u64 version = map.StructureVersion();
  MapSnapshot s;
  // (0, 4) share key frame 1; (7, 3) repeats a paired track; (8, 2) becomes
  // (2, 8): the survivor is the track seen first.
  std::vector<TrackPair> pairs = {{8, 2}, {0, 4}, {3, 7}, {7, 3}, {5, 5}};
  ASSERT_TRUE(map.GetTrackMatcherProblem(4, version, pairs, s.problem, s.state, s.index, s.token));
  EXPECT_EQ(pairs, (std::vector<TrackPair>{{2, 8}, {3, 7}}));
  // Track 3 is no inlier, so absorbed track 7 has no point either.
  EXPECT_EQ(s.index.tracks, (V{0, 1, 2, 4, 5, 6}));
  EXPECT_EQ(s.index.trackPoints[8], s.index.trackPoints[2]);
  EXPECT_EQ(s.problem.fixedCameras, 1u);
  // A key frame out of the map gives no copy and no problem, nor do ids
  // from before a pop. (The readers serve the track matcher and are checked
  // through its tests.)
  MapKeyFrameCopy copy;
  // A later key frame's copy: one point and one flag per track, level by level.
  ASSERT_TRUE(map.GetKeyFrame(3, copy));
  for (int l = 0; l < kPyramidLevels; ++l) {
    EXPECT_EQ(copy.points[l].Size(), copy.tracks[l].size()) << l;
    EXPECT_EQ(copy.trackFlags[l].size(), copy.tracks[l].size()) << l;
  }
  EXPECT_FALSE(map.GetKeyFrame(5, copy));
  EXPECT_FALSE(map.GetTrackMatcherProblem(5, version, pairs, s.problem, s.state, s.index, s.token));
  map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(map.GetTrackMatcherProblem(1, version, pairs, s.problem, s.state, s.index, s.token));
}

TEST(GlobalMapWriteBack, FreshResultLandsAndStaleLeavesTheMapUnchanged) {
  SyntheticMapOptions o;
  o.keyFrames = 6;
  o.pointsPerPlane = 40;
  SyntheticMap a(o), b(o);
  GlobalMap map, twin;
  a.Build(map, 5);
  b.Build(twin, 5);
  MapSnapshot s;
  s.Global(map);
  s.Perturb(0.5f);
  // A key frame pushed in between: refused, nothing changed.
  a.Push(map, 5);
  b.Push(twin, 5);
  EXPECT_FALSE(s.Write(map, 1, "GBA"));
  EXPECT_TRUE(SameMapContent(map, twin));
  // A fresh snapshot lands: points, cameras, ADJUSTED, stamp.
  s.Global(map);
  s.Perturb(0.5f);
  const u64 counter = map.ModificationCounter();
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(InvariantError(map), "");
  EXPECT_EQ(map.modifier, "GBA");
  EXPECT_GT(map.ModificationCounter(), counter);
  EXPECT_EQ(map.points[s.index.tracks.back()].v[0], s.state.points[s.index.tracks.size() - 1].v[0]);
  EXPECT_FLOAT_EQ(static_cast<f32>(map.keyFrameStates[3].position[0]), s.state.cameras[3].p[0]);
  EXPECT_EQ(map.keyFrameFlags[3] & kKeyFrameAdjusted, kKeyFrameAdjusted);
  // A reset in between: refused. The new map has a unit of its own: the
  // plane-distance threshold of the old one goes.
  s.Global(map);
  PlaneDistanceThreshold = 0.25f;
  map.Reset();
  EXPECT_FALSE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(map.TrackCount(), 0u);
  EXPECT_EQ(PlaneDistanceThreshold.load(), FLT_MAX);
}

// The adjustments hold the camera mounting in float and never move it: a
// write-back leaves the map's double as it was (the tracker keeps the same
// double, and a saved state is checked against it). A mounting a result did
// move is taken.
TEST(GlobalMapWriteBack, TheCameraMountingKeepsItsDoubleUnlessTheResultMovedIt) {
  SyntheticMapOptions o;
  o.keyFrames = 6;
  SyntheticMap a(o);
  GlobalMap map;
  a.Build(map, 5);
  const f64 mounting[7] = {-0.70710678, 0.70710678, 0.0, 0.0, 0.1, -0.05, 0.02};
  std::copy(mounting, mounting + 7, map.extrinsic);
  ASSERT_NE(static_cast<f64>(static_cast<f32>(mounting[0])), mounting[0]);
  MapSnapshot s;
  s.Global(map);
  s.Perturb(0.1f);
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(std::memcmp(map.extrinsic, mounting, sizeof(mounting)), 0);
  ASSERT_TRUE(s.Local(map));
  ASSERT_TRUE(s.Write(map, 0, "LBA"));
  EXPECT_EQ(std::memcmp(map.extrinsic, mounting, sizeof(mounting)), 0);
  s.Global(map);
  s.state.extrinsic[0] += 0.25f;  // the first and the last moved, the rest kept
  s.state.extrinsic[6] += 0.5f;
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(map.extrinsic[0], static_cast<f64>(s.state.extrinsic[0]));
  EXPECT_EQ(map.extrinsic[6], static_cast<f64>(s.state.extrinsic[6]));
  EXPECT_EQ(std::memcmp(map.extrinsic + 1, mounting + 1, 5 * sizeof(f64)), 0);
}

TEST(GlobalMapWriteBack, UnstampedLocalResultKeepsGlobalSnapshotsUnlessPlanesChange) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  AddHandPlane(map, 0, {4, 5, 6});
  MapSnapshot global, local;
  global.Global(map);
  ASSERT_TRUE(local.Local(map));
  const std::string modifier = map.modifier;
  ASSERT_TRUE(local.Write(map, 0, "LBA"));
  EXPECT_EQ(map.modifier, modifier);
  ASSERT_TRUE(global.Write(map, 1, "GBA"));
  // A local result that adds a plane moves every plane index: the pending
  // global result is refused; time and tag stay.
  global.Global(map);
  ASSERT_TRUE(local.Local(map));
  local.state.planes.PushBack16({{1.0f, 0.0f, 0.0f, -1.0f}});
  local.problem.planeFlags.push_back(0);
  for (u32 i = 0; i < local.index.tracks.size(); ++i) local.problem.pointPlanes[i] = 1;
  const f64 stamped = map.modificationTime;
  ASSERT_TRUE(local.Write(map, 0, "LBA"));
  EXPECT_EQ(map.PlaneCount(), 1u);  // the old plane lost its points and went
  EXPECT_EQ(map.planes[0].v[0], 1.0f);
  EXPECT_EQ(map.trackPlanes[7], 0);
  EXPECT_EQ(map.modificationTime, stamped);
  EXPECT_FALSE(global.Write(map, 1, "GBA"));
  EXPECT_EQ(InvariantError(map), "");
}

TEST(GlobalMapWriteBack, OnePlaneAddedBesideTheKeptOnesRefusesPendingResults) {
  // No plane goes, one comes: the pending global result's plane indices are
  // still those of another plane set.
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  AddHandPlane(map, 0, {0, 1, 2, 3});
  MapSnapshot global, local;
  global.Global(map);
  ASSERT_TRUE(local.Local(map));
  const u16 added = static_cast<u16>(local.state.planes.Size());
  local.state.planes.PushBack16({{1.0f, 0.0f, 0.0f, -1.0f}});
  local.problem.planeFlags.push_back(0);
  u32 moved = 0;
  for (u32 i = 0; i < local.index.tracks.size(); ++i) {
    if (local.index.tracks[i] < 4) continue;
    local.problem.pointPlanes[i] = added;
    ++moved;
  }
  ASSERT_GE(moved, 3u);
  ASSERT_TRUE(local.Write(map, 0, "LBA"));
  EXPECT_EQ(map.PlaneCount(), 2u);
  EXPECT_FALSE(global.Write(map, 1, "GBA"));
  EXPECT_EQ(InvariantError(map), "");
}

TEST(GlobalMapWriteBack, PlaneCleanUpAndOutOfRangeIndices) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  AddHandPlane(map, 0, {0, 1});        // two points: goes
  AddHandPlane(map, 0, {4, 5, 6, 7});  // renumbered to 0
  MapSnapshot s;
  s.Global(map);
  // A re-tested outlier restored onto plane 1, one not restored, one with a
  // plane beyond the map; an old-plane entry and a cleared track beyond it.
  map.trackFlags[3] |= kTrackSolved;
  s.edits.retestedTracks = {3, 2, 8};
  for (const f32 x : {9.0f, 0.0f, 8.0f}) s.edits.retestedPoints.PushBack16({{x, x, x, 1.0f}});
  s.edits.retestedFlags = {kTrackInlier | kTrackUnreliable, 0, kTrackInlier};
  s.edits.retestedPlanes = {1, 1, 40};
  s.edits.clearedPlaneTracks = {7, 5000};
  s.index.planes[0] = 77;
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  ASSERT_EQ(map.PlaneCount(), 1u);
  EXPECT_EQ(map.trackPlanes, (std::vector<u16>{kNone16, kNone16, kNone16, 0, 0, 0, 0, 0,
                                               kNone16}));  // 7: the problem's plane wins
  EXPECT_EQ(map.points[3].v[0], 9.0f);
  EXPECT_EQ(map.trackFlags[3] & (kTrackSolved | kTrackInlier | kTrackUnreliable),
            kTrackSolved | kTrackInlier | kTrackUnreliable);
  EXPECT_EQ(map.trackFlags[2] & kTrackInlier, 0);
  // The matcher's plane indices are checked too.
  MapSnapshot m;
  std::vector<TrackPair> pairs;
  ASSERT_TRUE(map.GetTrackMatcherProblem(0, map.StructureVersion(), pairs, m.problem, m.state,
                                         m.index, m.token));
  m.state.planes.PushBack16({{0, 0, 0, 0}});
  m.index.planes.push_back(3);
  EXPECT_TRUE(map.SetTrackMatcherResult(m.state, m.index.keyFrames, m.index.tracks, m.index.planes,
                                        m.token, 1, "TM"));
  EXPECT_EQ(InvariantError(map), "");
}

// A plane needs three points: one the write leaves with two (a re-tested
// outlier not restored) goes, one that keeps three stays.
TEST(GlobalMapWriteBack, APlaneLeftWithTwoPointsGoesOneWithThreeStays) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  AddHandPlane(map, 0, {4, 5, 6});
  AddHandPlane(map, 0, {0, 1, 7});
  MapSnapshot s;
  s.Global(map);
  s.edits.retestedTracks = {6};
  s.edits.retestedPoints.PushBack16({{6.0f, 0.0f, 5.0f, 1.0f}});
  s.edits.retestedFlags = {0};
  s.edits.retestedPlanes = {0};
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  ASSERT_EQ(map.PlaneCount(), 1u);
  EXPECT_EQ(map.trackPlanes,
            (std::vector<u16>{0, 0, kNone16, kNone16, kNone16, kNone16, kNone16, 0, kNone16}));
  EXPECT_EQ(InvariantError(map), "");
}

TEST(GlobalMapWriteBack, MergeRulesAlsoAgainstPendingResults) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  // Tracks 2 (key frame 0) and 7 (key frames 3, 4) are both in a pending
  // global problem; 7 carries IMU and is absorbed by 2 meanwhile.
  map.trackFlags[2] |= kTrackSolved | kTrackInlier | kTrackImu;
  map.trackFlags[7] |= kTrackImu;
  MapSnapshot s;
  s.Global(map);
  const u32 i2 = s.index.trackPoints[2];
  ASSERT_NE(s.index.trackPoints[7], kNone32);
  s.Perturb(1.0f);
  s.problem.pointFlags[i2] = kTrackSolved | kTrackInlier | kTrackUnreliable;
  const u64 version = map.StructureVersion();
  ASSERT_TRUE(map.MergeTracks(4, {{7, 2}}, version));
  const MapPoint absorbed = map.points[7];
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(map.trackFlags[2] & (kTrackMerged | kTrackImu | kTrackUnreliable),
            kTrackMerged | kTrackImu | kTrackUnreliable);
  EXPECT_EQ(map.trackMeasurements[7], (V{~2u}));
  EXPECT_EQ(0, std::memcmp(&map.points[7], &absorbed, sizeof(MapPoint)));
  EXPECT_EQ(map.points[2].v[0], s.state.points[i2].v[0]);
  // A marker absorbed by a plain track hands over its point and bits.
  map.trackFlags[8] |= kTrackMarker | kTrackSolved | kTrackInlier;
  map.points[8].v[0] = 42.0f;
  ASSERT_TRUE(map.MergeTracks(4, {{3, 8}}, version));
  EXPECT_EQ(map.trackFlags[3] & (kTrackMarker | kTrackSolved | kTrackInlier | kTrackMerged),
            kTrackMarker | kTrackSolved | kTrackInlier | kTrackMerged);
  EXPECT_EQ(map.points[3].v[0], 42.0f);
  EXPECT_EQ(map.trackMeasurements[3].size(), 2u);
  EXPECT_EQ(map.measurementTracks[map.keyFrameMeasurementStart[4]], 3u);  // level 0, first
  EXPECT_LE(map.keyFrameTrackRange[4].first, 3u);
  // Merging a pair already merged, or a pair sharing a key frame: no change.
  const std::vector<std::vector<u32>> lists = map.trackMeasurements;
  const std::vector<u8> flags = map.trackFlags;
  ASSERT_TRUE(map.MergeTracks(4, {{3, 8}, {8, 3}, {5, 6}}, version));
  EXPECT_EQ(map.trackMeasurements, lists);
  EXPECT_EQ(map.trackFlags, flags);
  // A key frame no longer in the map, or ids from before a pop or trim:
  // refused with nothing changed.
  EXPECT_FALSE(map.MergeTracks(5, {{1, 6}}, version));
  map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(map.MergeTracks(1, {{1, 6}}, version));
  const u64 popped = map.StructureVersion();
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  EXPECT_FALSE(map.MergeTracks(1, {{0, 1}}, popped));
  EXPECT_EQ(map.trackFlags[0] & kTrackMerged, 0);
  EXPECT_EQ(InvariantError(map), "");
}
