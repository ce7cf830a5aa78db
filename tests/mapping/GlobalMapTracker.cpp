// The tracker's writes: push, pop, trim and anchoring keep every invariant
// and give back what a map built directly would hold.
#include <gtest/gtest.h>

#include <map>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

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
  EXPECT_EQ(trackMap, (std::vector<u32>{0, 1, 2, kNoTrack}));
  // Track 0 keeps one measurement: no longer solved; the marker keeps its bits.
  EXPECT_EQ(map.trackFlags[0] & (kTrackSolved | kTrackInlier), 0);
  EXPECT_EQ(map.trackFlags[2] & (kTrackSolved | kTrackInlier), kTrackSolved | kTrackInlier);
  EXPECT_EQ(map.trackMeasurements[1].size(), 2u);
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
}

TEST(GlobalMapTracker, NewTrackColoursAreClampedAndFeaturesCappedAt65535) {
  CVD::Image<TrackColor> colour(CVD::ImageRef(16, 8));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) colour[y][x] = SyntheticColour(x, y);
  }
  KeyFrameInput input;
  input.colour = &colour;
  // A marker corner far outside, a level-1 feature, a non-finite position.
  input.pixels[0].PushBack8({-40.0f, 300.0f});
  input.pixels[0].PushBack8({1e30f, -1e30f});
  input.pixels[1].PushBack8({3.3f, 2.6f});  // (6.6, 5.2) at level 0: rounds to (7, 5)
  input.pixels[2].PushBack8({NAN, 1.0f});
  for (int l = 0; l < 3; ++l) {
    for (u32 i = 0; i < input.pixels[l].Size(); ++i) input.normalized[l].PushBack8({0, 0});
  }
  GlobalMap map;
  map.Reset();
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.trackColors,
            (std::vector<TrackColor>{SyntheticColour(0, 7), SyntheticColour(15, 0),
                                     SyntheticColour(7, 5), SyntheticColour(0, 4)}));
  input.colour = nullptr;
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.trackColors[0], TrackColor(0, 255, 255));
  // More features than 16-bit indices reach: the excess of the last level goes.
  input.normalized[3].Resize(70000);
  std::memset(input.normalized[3].Data(), 0, 70000 * sizeof(MapMeasurement));
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.TrackCount(), 65535u);
  EXPECT_EQ(map.keyFrames[0].levelOffsets[4], 65535);
  EXPECT_EQ(InvariantError(map), "");
}
