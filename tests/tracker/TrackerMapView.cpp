// ctest-labels: threads
// The tracker's view of the map: its own copies of the key frames (frame
// number, level offsets, small float image) follow pushes, pops, trims and
// loads, and a map loaded on another thread while the tracker runs is never
// read in place.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "mapping/MapFile.h"
#include "tests/common/mapping/SyntheticMap.h"
#include "tests/tracker/DriverFixture.h"

namespace {

// Key frame `id`: one new track per level, a float image filled with id.
void AddKeyFrame(GlobalMap& map, u32 id) {
  KeyFrameInput input;
  input.frameId = id;
  input.state.quaternion[3] = 1.0;
  input.pose.m[0][0] = input.pose.m[1][1] = input.pose.m[2][2] = 1.0f;
  CVD::Image<float> image(CVD::ImageRef(8, 6), static_cast<float>(id));
  input.floatImage = &image;
  for (int l = 0; l < kPyramidLevels; ++l) {
    input.pixels[l].PushBack8({1.0f * l, 2.0f});
    input.normalized[l].PushBack8({0.01f * id, 0.02f * l});
  }
  MapWorkingCopy working;
  map.Synchronize(working);
  if (map.KeyFrameCount() == 0)
    map.InitializeKeyFrame(input, {});
  else
    map.PushKeyFrame(0, working, input, 1, "Tracker");
}

// The view's copies hold what the map holds, in storage of their own.
void ExpectCopiesOf(const TrackerMapView& view, const GlobalMap& map) {
  ASSERT_EQ(view.Working().keyFrames.size(), map.keyFrames.size());
  for (u16 k = 0; k < map.keyFrames.size(); ++k) {
    const KeyFrame& kf = map.keyFrames[k];
    EXPECT_EQ(view.KeyFrameNumber(k), static_cast<i32>(kf.frameId)) << k;
    EXPECT_TRUE(std::equal(kf.levelOffsets, kf.levelOffsets + 6, view.KeyFrameLevelOffsets(k)));
    const CVD::BasicImage<float>& image = view.KeyFrameImage(k);
    ASSERT_EQ(image.size(), kf.floatImage.size()) << k;
    EXPECT_NE(image.data(), kf.floatImage.data()) << k;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), kf.floatImage.begin())) << k;
  }
  EXPECT_EQ(view.KeyFrameNumber(static_cast<u16>(map.keyFrames.size())), -1);
  EXPECT_EQ(view.KeyFrameLevelOffsets(static_cast<u16>(map.keyFrames.size())), nullptr);
}

GlobalMap* NewMap() {
  Intrinsic k;
  k.Set(100.0f, 100.0f, 63.5f, 47.5f);
  const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
  return new GlobalMap(128, 96, k, extrinsic);
}

}  // namespace

// A push copies only the new key frame; a pop, a trim or a load copies them
// all again, so an index never shows the key frame it held before.
TEST(TrackerMapView, KeyFrameCopiesFollowPushPopTrimAndLoad) {
  std::unique_ptr<GlobalMap> map(NewMap());
  TrackerMapView view(*map);
  for (u32 id = 10; id < 14; ++id) AddKeyFrame(*map, id);
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);
  const float* first = view.KeyFrameImage(0).data();

  AddKeyFrame(*map, 14);
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);
  EXPECT_EQ(view.KeyFrameImage(0).data(), first);  // kept, not copied again

  map->PopKeyFrame(1, "Tracker");
  AddKeyFrame(*map, 15);  // index 4 again, another key frame, before any pull
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);
  EXPECT_EQ(view.KeyFrameNumber(4), 15);

  std::vector<u32> trackMap;
  map->RemoveKeyFramesBefore(2, trackMap, "Tracker");
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);
  EXPECT_EQ(view.KeyFrameNumber(0), 12);

  std::unique_ptr<GlobalMap> other(NewMap());
  for (u32 id = 20; id < 23; ++id) AddKeyFrame(*other, id);
  ReplaceMapContent(*map, *other);
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);

  map->Reset();
  ASSERT_TRUE(view.Synchronize());
  EXPECT_TRUE(view.Working().keyFrames.empty());
  view.Clear();  // a cleared view copies everything at the next pull
  AddKeyFrame(*map, 30);
  ASSERT_TRUE(view.Synchronize());
  ExpectCopiesOf(view, *map);
}

// Every stage finds a key frame's features through one lookup; a key frame
// the view does not hold whole, or lists whose starts run backwards, give an
// empty span rather than a read past the arrays.
TEST(TrackerMapView, KeyFrameFeaturesSpanOnlyWhatTheViewHolds) {
  std::unique_ptr<GlobalMap> map(NewMap());
  TrackerMapView view(*map);
  for (u32 id = 10; id < 13; ++id) AddKeyFrame(*map, id);
  ASSERT_TRUE(view.Synchronize());
  view.BuildKeyFrameRecords();
  view.KeyFrameNormalized() = map->measurements;
  MapWorkingCopy& w = view.Working();
  ASSERT_EQ(w.keyFrameMeasurementStart.size(), 4u);
  TrackerMapView::FeatureSpan span;
  for (u16 k = 0; k < 3; ++k) {
    ASSERT_TRUE(view.KeyFrameFeatures(k, span)) << k;
    EXPECT_EQ(span.trackStart, w.keyFrameMeasurementStart[k]);
    EXPECT_EQ(span.count, w.keyFrameMeasurementStart[k + 1] - w.keyFrameMeasurementStart[k]);
    EXPECT_EQ(span.first, view.Records()[k].featureStart);
    EXPECT_EQ(span.levelOffsets, view.KeyFrameLevelOffsets(k));
    EXPECT_EQ(span.count, 4u);  // one feature a level
  }
  auto empty = [&](u16 k) {
    span.count = 7;
    return !view.KeyFrameFeatures(k, span) && span.count == 0 && span.levelOffsets == nullptr;
  };
  EXPECT_TRUE(empty(3));  // no such key frame
  // The last key frame's features cut short: it alone is not held.
  view.KeyFrameNormalized().Resize(view.KeyFrameNormalized().Size() - 1);
  EXPECT_TRUE(empty(2));
  EXPECT_TRUE(view.KeyFrameFeatures(1, span));
  view.KeyFrameNormalized().Resize(2 * 4 - 1);  // short of key frame 2's first feature
  EXPECT_TRUE(empty(2));
  EXPECT_TRUE(empty(1));
  view.KeyFrameNormalized() = map->measurements;
  // Starts that run backwards would wrap a count past every bound.
  std::swap(w.keyFrameMeasurementStart[1], w.keyFrameMeasurementStart[2]);
  EXPECT_TRUE(empty(1));
  std::swap(w.keyFrameMeasurementStart[1], w.keyFrameMeasurementStart[2]);
  w.measurementTracks.resize(w.keyFrameMeasurementStart[2] - 1);
  EXPECT_TRUE(empty(1));
  EXPECT_TRUE(view.KeyFrameFeatures(0, span));
  view.Records().resize(1);  // records not built for the later key frames
  EXPECT_TRUE(empty(1));
}

// A map is loaded again and again on another thread while the tracker runs
// lost frames, each of which pulls the map and compares its small image with
// every key frame's. Only the tracker's copies are read (ThreadSanitizer
// would see any read of the map in place); afterwards they match the map.
TEST_F(DriverFixture, MapLoadedOnAnotherThreadWhileTheTrackerRuns) {
  std::string files[2];
  for (u32 m = 0; m < 2; ++m) {
    std::unique_ptr<GlobalMap> source(NewMap());
    for (u32 id = 0; id < 6 + 3 * m; ++id) AddKeyFrame(*source, 100 * m + id);
    files[m] = SavedMap(*source);
    ASSERT_FALSE(files[m].empty());
  }
  constexpr int kFrames = 5000;
  for (int i = 1; i <= kFrames; ++i) At(i).n = 5;  // lost: every frame looks for a key frame
  Step();                                          // the first key frame; tracking from here

  // The loader goes on until the tracker has run a good many frames.
  std::atomic<bool> done{false};
  std::atomic<int> frames{0};
  std::thread loader([&] {
    const auto load = [&](const std::string& bytes) {
      FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
      EXPECT_TRUE(ReadMap(*map, f));
      std::fclose(f);
    };
    for (int i = 0; i < 60 || frames < 200; ++i) load(files[i % 2]);
    load(files[1]);
    done = true;
  });
  while (!done && frames < kFrames - 1) {
    Step();
    ++frames;
  }
  loader.join();
  Step();
  ExpectCopiesOf(tracker->MapView(), *map);
  EXPECT_EQ(tracker->KeyFrameCount(), 9u);  // the second map, loaded last
  EXPECT_EQ(tracker->MapView().KeyFrameNumber(8), 108);
}
