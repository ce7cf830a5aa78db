// The map-viewing tracker over a loaded map: its key-frame records locate
// each key frame's new tracks per level and its features.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tracker/tracker.h"

namespace {

// Per level of one key frame: the matched tracks, then how many new ones.
struct LevelSpec {
  std::vector<u32> matched;
  u32 fresh = 0;
};

// Key frame `id` with the given tracks; the records depend on nothing else.
void PushKeyFrame(GlobalMap& map, u32 id, const std::array<LevelSpec, 4>& levels) {
  KeyFrameInput input;
  input.frameId = id;
  input.state.quaternion[3] = 1.0;
  for (int l = 0; l < 4; ++l) {
    for (u32 i = 0; i < levels[l].matched.size() + levels[l].fresh; ++i) {
      input.pixels[l].PushBack8({1.0f * i, 1.0f * l});
      input.normalized[l].PushBack8({0.01f * i, 0.02f * id});
    }
    input.tracks[l] = levels[l].matched;
  }
  MapWorkingCopy working;
  map.Synchronize(working);
  if (id == 0)
    map.InitializeKeyFrame(input, {});
  else
    map.PushKeyFrame(0, working, input, 1, "Tracker");
}

GlobalMap& MakeMap(GlobalMap& map) {
  map.width = map.height = 96;
  map.intrinsic.Set(100.0f, 100.0f, 49.5f, 49.5f);
  map.Reset();
  return map;
}

TEST(TrackerLifecycle, MapViewRecordsLocateEachKeyFramesNewTracksAndFeatures) {
  GlobalMap map;
  MakeMap(map);
  // Tracks 0-2 on level 0 and 3-4 on level 2 of key frame 0; key frame 1
  // matches 0, 1 (level 0) and 3 (level 3) and creates 5 (level 0) and 6, 7
  // (level 1); key frame 2 matches 5 and creates 8 (level 2) and 9, 10
  // (level 3).
  PushKeyFrame(map, 0, {{{{}, 3}, {{}, 0}, {{}, 2}, {{}, 0}}});
  PushKeyFrame(map, 1, {{{{0, 1}, 1}, {{}, 2}, {{}, 0}, {{3}, 0}}});
  PushKeyFrame(map, 2, {{{{5}, 0}, {{}, 0}, {{}, 1}, {{}, 2}}});
  ASSERT_EQ(map.TrackCount(), 11u);

  // Another reader has already pulled the map, clearing its change flag.
  MapWorkingCopy earlier;
  map.Synchronize(earlier);

  Tracker tracker(map);
  EXPECT_EQ(map.KeyFrameCount(), 3u) << "viewing must leave the map intact";
  ASSERT_EQ(tracker.keyFrameRecords.size(), 3u);
  const u32 expected[3][6] = {{0, 3, 3, 5, 5, 0}, {5, 6, 8, 8, 8, 5}, {8, 8, 8, 9, 11, 11}};
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(tracker.keyFrameRecords[k][i], expected[k][i]) << "key frame " << k << ", " << i;
    EXPECT_EQ(tracker.keyFrameRecords[k][5], tracker.working.keyFrameMeasurementStart[k]);
  }
  EXPECT_EQ(tracker.frameCounter, -1);
  EXPECT_EQ(tracker.startFrame, -1);
  EXPECT_EQ(tracker.tracking, 1);
  EXPECT_EQ(tracker.currentFrame, kNoSlot);

  // An empty map gives a tracker without records.
  GlobalMap empty;
  EXPECT_TRUE(Tracker(MakeMap(empty)).keyFrameRecords.empty());
}

}  // namespace
