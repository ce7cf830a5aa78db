// The tracker's writes: push, pop, trim and anchoring keep every invariant
// and give back what a map built directly would hold.
#include <gtest/gtest.h>

#include <map>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

namespace {

SyntheticMapOptions SmallMap(u32 keyFrames = 6, u32 markers = 3) {
  SyntheticMapOptions o;
  o.keyFrames = keyFrames;
  o.pointsPerPlane = 60;
  o.clutterPoints = 30;
  o.images = true;
  o.markerTracks = markers;
  return o;
}

void ExpectInvariants(const GlobalMap& map) {
  std::string error;
  EXPECT_TRUE(map.CheckInvariants(&error)) << error;
}

// Per scene point: its key frames with measurements, its solved bits and point.
struct TrackView {
  std::vector<std::tuple<u32, f32, f32>> measurements;
  u8 flags;
  MapPoint point;
};

std::map<u32, TrackView> ViewByScenePoint(const GlobalMap& map, const SyntheticMap& scene) {
  std::map<u32, TrackView> view;
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    TrackView& v = view[scene.TrackScenePoint()[t]];
    for (const u32 e : map.trackMeasurements[t]) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      const MapMeasurement& m =
          map.measurements[map.keyFrameMeasurementStart[k] + GlobalMap::MeasurementFeature(e)];
      v.measurements.emplace_back(k, m.x, m.y);
    }
    v.flags = map.trackFlags[t] & (kTrackSolved | kTrackInlier | kTrackMarker);
    v.point = map.points[t];
  }
  return view;
}

}  // namespace

TEST(GlobalMapTracker, BuiltMapHoldsInvariantsAndTruth) {
  SyntheticMap scene(SmallMap());
  GlobalMap map;
  scene.Build(map);
  ExpectInvariants(map);
  ASSERT_EQ(map.KeyFrameCount(), 6u);
  EXPECT_GT(map.measurements.Size(), map.TrackCount());
  EXPECT_EQ(map.trackFlags[0] & kTrackMarker, kTrackMarker);
  // Each track's measurements are projections of its scene point.
  const auto& truth = scene.TrackScenePoint();
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    const MapPoint& X = scene.ScenePoints()[truth[t]];
    for (const u32 e : map.trackMeasurements[t]) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      const CameraPose& P = map.keyFramePoses[k];
      f32 x[3];
      for (int r = 0; r < 3; ++r) {
        x[r] = P.m[r][0] * X.v[0] + P.m[r][1] * X.v[1] + P.m[r][2] * X.v[2] + P.m[r][3];
      }
      const u32 m = map.keyFrameMeasurementStart[k] + GlobalMap::MeasurementFeature(e);
      ASSERT_NEAR(map.measurements[m].x, x[0] / x[2], 1e-5f);
      ASSERT_NEAR(map.measurements[m].y, x[1] / x[2], 1e-5f);
    }
  }
}

TEST(GlobalMapTracker, PushThenPopRestoresTheMap) {
  SyntheticMap a(SmallMap(5)), b(SmallMap(5));
  GlobalMap before, after;
  a.Build(before);
  b.Build(after);
  const u64 version = after.StructureVersion();
  b.Push(after, 5);
  ExpectInvariants(after);
  EXPECT_EQ(after.KeyFrameCount(), 6u);
  b.Pop(after);
  ExpectInvariants(after);
  std::string where;
  EXPECT_TRUE(SameMapContent(before, after, &where)) << where;
  EXPECT_GT(after.StructureVersion(), version);
}

TEST(GlobalMapTracker, DuplicateMatchesAreDropped) {
  SyntheticMap scene(SmallMap(3, 0));
  GlobalMap map;
  scene.Build(map);
  KeyFrameInput input;
  scene.MakeInput(3, input);
  ASSERT_GE(input.tracks[0].size(), 2u);
  ASSERT_GE(input.tracks[1].size(), 1u);
  // A second match of the same track within level 0 and one on level 1;
  // and a match of a track merged into another that is also matched.
  const u32 t0 = input.tracks[0][0];
  input.tracks[0].insert(input.tracks[0].begin() + 1, t0);
  input.normalized[0].PushBack8({0, 0});
  input.pixels[0].PushBack8({0, 0});
  input.tracks[1].insert(input.tracks[1].begin(), t0);
  input.normalized[1].PushBack8({0, 0});
  input.pixels[1].PushBack8({0, 0});
  // Shift the level arrays so that the inserted matches lead their levels.
  for (int l = 0; l < 2; ++l) {
    const u32 at = l == 0 ? 1 : 0;
    for (u32 i = input.normalized[l].Size() - 1; i > at; --i) {
      input.normalized[l][i] = input.normalized[l][i - 1];
      input.pixels[l][i] = input.pixels[l][i - 1];
    }
  }
  const u32 matched0 = static_cast<u32>(input.tracks[0].size());
  const u32 matched1 = static_cast<u32>(input.tracks[1].size());
  const u32 features = input.normalized[0].Size() + input.normalized[1].Size() +
                       input.normalized[2].Size() + input.normalized[3].Size();
  MapWorkingCopy working;
  map.Synchronize(working);
  map.PushKeyFrame(0, working, input, 1, "Tracker");
  ExpectInvariants(map);
  EXPECT_EQ(input.tracks[0].size(), matched0 - 1);
  EXPECT_EQ(input.tracks[1].size(), matched1 - 1);
  const KeyFrame& kf = map.keyFrames.back();
  EXPECT_EQ(kf.levelOffsets[4], features - 2);
  EXPECT_EQ(kf.levelOffsets[1], input.normalized[0].Size());
  const std::vector<u32>& list = map.trackMeasurements[t0];
  EXPECT_EQ(GlobalMap::MeasurementKeyFrame(list.back()), 3u);
  EXPECT_EQ(GlobalMap::MeasurementFeature(list.back()), 0u);
}

TEST(GlobalMapTracker, TrimEqualsAMapOfTheKeptKeyFrames) {
  const u32 K = 6;
  SyntheticMapOptions o = SmallMap(K, 0);
  for (const u16 first : {u16(0), u16(1), u16(K - 1)}) {
    SyntheticMap full(o);
    GlobalMap trimmed;
    full.Build(trimmed);
    full.Trim(trimmed, first);
    ExpectInvariants(trimmed);
    // The same scene from the kept poses only.
    SyntheticMap kept(o);
    GlobalMap direct;
    kept.MakeEmptyMap(direct);
    kept.Initialize(direct, first);
    for (u32 k = first + 1; k < K; ++k) kept.Push(direct, k);
    kept.AnchorAll(direct);
    ASSERT_EQ(trimmed.KeyFrameCount(), K - first);
    ASSERT_EQ(trimmed.TrackCount(), direct.TrackCount()) << first;
    EXPECT_EQ(trimmed.measurements.Size(), direct.measurements.Size());
    EXPECT_EQ(trimmed.keyFrameMeasurementStart, direct.keyFrameMeasurementStart);
    for (u32 k = 0; k < K - first; ++k) {
      EXPECT_EQ(trimmed.keyFrames[k].frameId, direct.keyFrames[k].frameId);
      EXPECT_EQ(
          0, std::memcmp(&trimmed.keyFramePoses[k], &direct.keyFramePoses[k], sizeof(CameraPose)));
    }
    const auto a = ViewByScenePoint(trimmed, full), b = ViewByScenePoint(direct, kept);
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [p, v] : a) {
      const TrackView& w = b.at(p);
      EXPECT_EQ(v.measurements, w.measurements) << p;
      EXPECT_EQ(v.flags, w.flags) << p;
      EXPECT_EQ(0, std::memcmp(&v.point, &w.point, sizeof(MapPoint))) << p;
    }
  }
}

TEST(GlobalMapTracker, TrimDropsMergedAwayTracksAndKeepsMarkerPoints) {
  // Track 0 is seen by key frames 0 and 1, track 1 by 0 only, track 2 (a
  // marker) by 0 and 2, track 3 by 1 and 2 and is merged into track 1.
  GlobalMap map;
  BuildHandMap(map, {{0, 1, 2}, {0, 3}, {2, 3}});
  std::vector<u32> trackMap;
  {
    // Merged: track 3 shares no key frame with track 1.
    const u64 version = map.StructureVersion();
    map.trackFlags[2] |= kTrackMarker | kTrackSolved | kTrackInlier;
    ASSERT_TRUE(map.MergeTracks(2, {{1, 3}}, version));
  }
  ExpectInvariants(map);
  EXPECT_EQ(map.ResolveTrack(3), 1u);
  map.RemoveKeyFramesBefore(1, trackMap, "Tracker");
  ExpectInvariants(map);
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
  ExpectInvariants(map);
  MapWorkingCopy working;
  EXPECT_TRUE(map.Synchronize(working));
  EXPECT_EQ(working.resolvedTracks[7], 2u);
  EXPECT_EQ(working.resolvedTracks[5], 2u);
  EXPECT_EQ(working.trackFlags[2] & (kTrackImu | kTrackMerged), kTrackImu | kTrackMerged);
  EXPECT_EQ(working.cameraCenters[2].v[0], 2.0f);
  const f64 t = working.time;
  working.points.Clear();
  EXPECT_FALSE(map.Synchronize(working));
  EXPECT_EQ(working.points.Size(), 0u);  // untouched
  EXPECT_GE(working.time, t);
}

TEST(GlobalMapTracker, NewTrackColoursAreClampedToTheImage) {
  CVD::Image<TrackColor> colour(CVD::ImageRef(16, 8));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) colour[y][x] = SyntheticColour(x, y);
  }
  KeyFrameInput input;
  input.colour = &colour;
  // A marker corner far outside, a level-1 feature, a non-finite position.
  input.pixels[0].PushBack8({-40.0f, 300.0f});
  input.pixels[0].PushBack8({1e30f, -1e30f});
  input.pixels[1].PushBack8({3.4f, 2.6f});
  input.pixels[2].PushBack8({NAN, 1.0f});
  for (int l = 0; l < 3; ++l) {
    for (u32 i = 0; i < input.pixels[l].Size(); ++i) input.normalized[l].PushBack8({0, 0});
  }
  GlobalMap map;
  map.Reset();
  map.InitializeKeyFrame(input, {});
  ASSERT_EQ(map.trackColors.size(), 4u);
  const TrackColor expected[4] = {SyntheticColour(0, 7), SyntheticColour(15, 0),
                                  SyntheticColour(7, 5), SyntheticColour(0, 4)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(map.trackColors[i], expected[i]) << i;
  }
  input.colour = nullptr;
  map.InitializeKeyFrame(input, {});
  EXPECT_EQ(map.trackColors[0], TrackColor(0, 255, 255));
}
