// The workers' side of the map, on hand-made and synthetic maps with known
// answers: which key frames, points and planes enter a problem snapshot and
// which are fixed; fresh results land, stale ones leave the map byte for
// byte unchanged, merges keep their bits against pending results, and plane
// indices from workers never reach past the planes.
#include <gtest/gtest.h>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

using V = std::vector<u32>;

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
  EXPECT_EQ(s.index.trackPoints[8], kNoTrack);
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
  // One key frame: nothing to adjust.
  GlobalMap single;
  BuildHandMap(single, {{0, 1}});
  EXPECT_FALSE(s.Local(single));

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
  s.Global(map);
  EXPECT_EQ(s.problem.fixedCameras * 10 + s.problem.fixedPlanes, 1u);
  EXPECT_EQ(s.index.planes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.index.planePlanes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.problem.ground, 1);
  EXPECT_EQ(s.problem.groundPosition[0], 0.0f);
  EXPECT_EQ(s.problem.planePoints[0], (V{3, 4, 5}));
  EXPECT_EQ(s.problem.planePoints[1], (V{0, 1}));
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
  // A reset in between: refused.
  s.Global(map);
  map.Reset();
  EXPECT_FALSE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(map.TrackCount(), 0u);
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
  EXPECT_EQ(map.trackPlanes, (std::vector<u16>{kNoIndex16, kNoIndex16, kNoIndex16, 0, 0, 0, 0, 0,
                                               kNoIndex16}));  // 7: the problem's plane wins
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
  ASSERT_NE(s.index.trackPoints[7], kNoTrack);
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
