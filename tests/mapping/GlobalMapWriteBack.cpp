// Write-backs: fresh results land, stale ones leave the map byte for byte
// unchanged, merges keep their bits against pending results, and plane
// indices from workers never reach past the planes.
#include <gtest/gtest.h>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

TEST(GlobalMapWriteBack, FreshResultLandsAndStaleLeavesTheMapUnchanged) {
  SyntheticMapOptions o;
  o.keyFrames = 5;
  o.pointsPerPlane = 40;
  SyntheticMap a(o), b(o);
  GlobalMap map, twin;
  a.Build(map);
  b.Build(twin);
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
  EXPECT_EQ(InvariantError(map), "");
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

TEST(GlobalMapWriteBack, MergeAgainstPendingResults) {
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
  ASSERT_TRUE(map.MergeTracks(4, {{7, 2}}, map.StructureVersion()));
  const MapPoint absorbed = map.points[7];
  ASSERT_TRUE(s.Write(map, 1, "GBA"));
  EXPECT_EQ(InvariantError(map), "");
  EXPECT_EQ(map.trackFlags[2] & (kTrackMerged | kTrackImu | kTrackUnreliable),
            kTrackMerged | kTrackImu | kTrackUnreliable);
  EXPECT_EQ(map.trackMeasurements[7], (std::vector<u32>{~2u}));
  EXPECT_EQ(0, std::memcmp(&map.points[7], &absorbed, sizeof(MapPoint)));
  EXPECT_EQ(map.points[2].v[0], s.state.points[i2].v[0]);
}

TEST(GlobalMapWriteBack, MergeRules) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  const u64 version = map.StructureVersion();
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
  EXPECT_FALSE(map.MergeTracks(5, {{2, 7}}, version));
  map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(map.MergeTracks(1, {{2, 7}}, version));
  const u64 popped = map.StructureVersion();
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  EXPECT_FALSE(map.MergeTracks(1, {{0, 1}}, popped));
  EXPECT_EQ(map.trackFlags[0] & kTrackMerged, 0);
  EXPECT_EQ(InvariantError(map), "");
}
