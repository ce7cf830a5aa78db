// Problem snapshots on hand-made maps with known answers: which key frames,
// points and planes enter, which are fixed, and how the problem is laid out.
#include <gtest/gtest.h>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

TEST(GlobalMapSnapshots, LocalWindowFollowsSharedTracks) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  MapSnapshot s;
  ASSERT_TRUE(s.Local(map));
  // Window 2-4; key frame 1 observes selected tracks 4 and 5 and is fixed.
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{1, 2, 3, 4}));
  EXPECT_EQ(s.problem.fixedCameras, 1u);
  EXPECT_EQ(s.problem.gauge, 0);
  // In measurement order (key frame 2: level 0 holds 4 and 6, level 1 holds
  // 5); 8 is seen once.
  EXPECT_EQ(s.index.tracks, (std::vector<u32>{4, 6, 5, 7}));
  EXPECT_EQ(s.index.trackPoints[8], kNoTrack);
  // Per camera and level: key frame 1 holds tracks 4, 5 on level 0 (new
  // there); key frame 2 holds 4 (level 0), 6 (new, level 0) and 5 (level 1).
  const std::vector<u32>& idx = s.problem.features.index;
  ASSERT_EQ(idx.size(), 17u);
  EXPECT_EQ(std::vector<u32>(idx.begin(), idx.begin() + 9),
            (std::vector<u32>{0, 2, 2, 2, 2, 4, 5, 5, 5}));
  EXPECT_EQ(idx[16], 10u);
  EXPECT_EQ(s.problem.features.measurements[3].point, 1u);
  EXPECT_FLOAT_EQ(s.problem.features.measurements[3].x, 0.06f);
  EXPECT_FLOAT_EQ(s.problem.features.measurements[3].y, 0.04f);
  // Inertial records: a delta per camera pair, gravity for the variable ones.
  EXPECT_EQ(s.problem.deltas.Size(), 3u);
  EXPECT_EQ(s.problem.gravityCameras, (std::vector<u32>{1, 2, 3}));
  EXPECT_FLOAT_EQ(s.state.cameras[2].p[0], 3.0f);
  EXPECT_FLOAT_EQ(s.state.points[2].v[0], 5.0f);
  EXPECT_EQ(s.token.counter, map.ModificationCounter());
  // One key frame: nothing to adjust.
  GlobalMap single;
  BuildHandMap(single, {{0, 1}});
  EXPECT_FALSE(s.Local(single));
}

TEST(GlobalMapSnapshots, LocalWindowAtTheFirstKeyFrame) {
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2}, {0, 1, 3}, {1, 3, 4}});
  MapSnapshot s;
  ASSERT_TRUE(s.Local(map));
  // No earlier camera, no marker, no ground plane: key frame 0 is fixed.
  EXPECT_EQ(s.index.keyFrames, (std::vector<u16>{0, 1, 2}));
  EXPECT_EQ(s.problem.fixedCameras, 1u);
  EXPECT_EQ(s.problem.gauge, 1);
  // A ground plane under tracks 0, 1, 3 and an inlier off the window's
  // selection on it: fixed plane and point, no fixed camera, ground alignment.
  AddHandPlane(map, kPlaneGround, {0, 1, 2, 3});
  map.trackFlags[2] |= kTrackSolved | kTrackInlier;
  ASSERT_TRUE(s.Local(map));
  EXPECT_EQ(s.problem.fixedCameras, 0u);
  EXPECT_EQ(s.index.tracks, (std::vector<u32>{2, 0, 1, 3}));
  EXPECT_EQ(s.problem.fixedPoints, 1u);
  EXPECT_EQ(s.problem.fixedPlanes, 1u);
  EXPECT_EQ(s.problem.ground, 1);
  EXPECT_EQ(s.problem.planePoints[0], (std::vector<u32>{0, 1, 2, 3}));
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
  EXPECT_EQ(s.index.tracks, (std::vector<u32>{0, 1, 4, 5, 6, 7}));
  EXPECT_EQ(s.problem.gravityCameras, (std::vector<u32>{1, 2, 3, 4}));
  // A once-seen IMU track enters; a marker track is a fixed point and frees
  // the cameras.
  map.trackFlags[8] |= kTrackImu;
  map.trackFlags[2] |= kTrackMarker;
  s.Global(map);
  EXPECT_EQ(s.index.tracks, (std::vector<u32>{2, 0, 1, 4, 5, 6, 7, 8}));
  EXPECT_EQ(s.problem.fixedPoints, 1u);
  EXPECT_EQ(s.problem.fixedCameras, 0u);
  EXPECT_EQ(s.problem.ground, 0);
  // One ground plane and no marker: no fixed camera, ground alignment with
  // camera 0 at its position; the ground plane leads.
  map.trackFlags[2] &= static_cast<u8>(~kTrackMarker);
  AddHandPlane(map, 0, {0, 1});
  AddHandPlane(map, kPlaneGround, {5, 6, 7});
  s.Global(map);
  EXPECT_EQ(s.problem.fixedCameras, 0u);
  EXPECT_EQ(s.problem.fixedPlanes, 1u);
  EXPECT_EQ(s.index.planes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.index.planePlanes, (std::vector<u16>{1, 0}));
  EXPECT_EQ(s.problem.ground, 1);
  EXPECT_EQ(s.problem.groundPosition[0], 0.0f);
  EXPECT_EQ(s.problem.planePoints[0], (std::vector<u32>{3, 4, 5}));
  EXPECT_EQ(s.problem.planePoints[1], (std::vector<u32>{0, 1}));
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
  EXPECT_EQ(s.index.tracks, (std::vector<u32>{0, 1, 2, 4, 5, 6}));
  EXPECT_EQ(s.index.trackPoints[8], s.index.trackPoints[2]);
  EXPECT_EQ(s.problem.fixedCameras, 1u);

  // The readers (counts of common tracks, key-frame copies) serve the track
  // matcher and are checked through its tests; a key frame out of the map
  // gives no copy.
  MapKeyFrameCopy copy;
  EXPECT_FALSE(map.GetKeyFrame(5, copy));

  // A key frame out of the map, or ids from before a pop: nothing built.
  EXPECT_FALSE(map.GetTrackMatcherProblem(5, version, pairs, s.problem, s.state, s.index, s.token));
  map.PopKeyFrame(1, "Tracker");
  EXPECT_FALSE(map.GetTrackMatcherProblem(1, version, pairs, s.problem, s.state, s.index, s.token));
}
