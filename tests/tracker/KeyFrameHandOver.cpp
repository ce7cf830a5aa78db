// ctest-labels: threads
// Key-frame push, pop and trim over a real map and a ring of patterned
// frames, with fake workers on real pools and queues; and the track
// matcher's item.
#include "tracker/KeyFrameHandOver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/thread/locks.hpp>
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/FakeWorkers.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/Tracker.h"

namespace {

// The grey value of level l of the frame in `slot` at (x, y): no two
// neighbouring pixels alike, so a template shifted by one shows.
u8 Pattern(int slot, int l, int x, int y) {
  return static_cast<u8>((3 * x + 7 * y + 50 * l + 11 * slot) & 255);
}

class KeyFrameHandOverTest : public ::testing::Test {
 protected:
  static constexpr u16 kSlots = 5;  // the last one current

  KeyFrameHandOverTest() {
    unit.options.parallel = true;
    unit.links = WorkerLinks(workers.Channels());
    unit.ring.ResetTo(kSlots);
    for (u16 s = 0; s < kSlots; ++s) {
      TrackerFrame& f = unit.ring[s];
      f.number = 10 + s;
      f.time = 0.1 * s;
      for (int l = 0; l < kPyramidLevels; ++l) {
        f.pyramid[l].resize(CVD::ImageRef(640 >> l, 480 >> l));
        for (int y = 0; y < f.pyramid[l].size().y; ++y)
          for (int x = 0; x < f.pyramid[l].size().x; ++x) f.pyramid[l][y][x] = Pattern(s, l, x, y);
      }
      // Four samples in the frame's interval, turning and accelerating.
      for (int i = 0; i < 4; ++i) {
        const f64 t = 0.1 * s - 0.1 + 0.025 * (i + 1);
        f.samples.push_back({{0.5 + s, -0.2 * i, 9.81}, {0.1 * i, 0.3, -0.05 * s}, t});
      }
      const IMUSample& last = f.samples.back();
      for (int i = 0; i < 3; ++i) {
        f.lastImu[i] = last.acceleration[i];
        f.lastImu[3 + i] = last.rotationRate[i];
      }
      f.pose.slot[kVisual] = IdentityPose();
      f.pose.slot[kVisual].m[0][3] = -0.05f * s;
      f.state.record[kVisual].quaternion[3] = 1.0;
    }
  }

  static CameraPose IdentityPose() {
    CameraPose p{};
    p.m[0][0] = p.m[1][1] = p.m[2][2] = 1.0f;
    return p;
  }
  // `perLevel` key-frame features of the slot on every level, at distinct
  // interior positions.
  void AddFeatures(u16 slot, u32 perLevel, float offset = 0.0f) {
    TrackerFrame& f = unit.ring[slot];
    for (int l = 0; l < kPyramidLevels; ++l) {
      const Intrinsic& K = unit.camera.intrinsic[l];
      for (u32 i = 0; i < perLevel; ++i) {
        const float x = 20.0f + 9.0f * i + offset, y = 12.0f + 5.0f * l + offset;
        f.kltPixels[l].PushBack8({x, y});
        f.kltNormalized[l].PushBack8({(x - K.cx[0]) * K.ifx[0], (y - K.cy[0]) * K.ify[0]});
      }
    }
  }
  // The slot matches the tracks that `from` created (its matches without a
  // corner), at the same positions.
  void MatchCreatedTracks(u16 slot, u16 from) {
    TrackerFrame& f = unit.ring[slot];
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& m : unit.ring[from].mapMatches[l])
        if (m.corner == kNone32) {
          MapMatch copy = m;
          copy.corner = 0;
          f.mapMatches[l].push_back(copy);
        }
  }
  u16 Push(u16 slot, PushMode mode, bool synchronous, bool first = false, bool tracking = true,
           const float* marker = nullptr) {
    return handOver.PushKeyFrame(slot, marker, mode, synchronous, first, {tracking, false});
  }
  u32 Tracks() const { return static_cast<u32>(unit.view.Working().trackFlags.size()); }
  // Every match of every ring frame names a patch whose key-frame feature
  // is that very track in the map, at the patch's position.
  void ExpectMatchesConsistent() {
    const MapWorkingCopy& w = unit.view.Working();
    const auto& patches = unit.view.Patches();
    for (u16 s = 0; s < unit.ring.Size(); ++s)
      for (int l = 0; l < kPyramidLevels; ++l)
        for (const MapMatch& m : unit.ring[s].mapMatches[l]) {
          ASSERT_LT(m.track, Tracks());
          ASSERT_LT(m.patch, patches.Size());
          const FeaturePatch& p = patches[m.patch];
          ASSERT_LT(p.keyFrame, unit.view.KeyFrameCount());
          const u32 at = w.keyFrameMeasurementStart[p.keyFrame] + p.feature;
          EXPECT_EQ(w.measurementTracks[at], m.track) << "slot " << s << " level " << l;
          EXPECT_EQ(unit.view.KeyFramePixels()[at].x, p.x);
          EXPECT_EQ(unit.view.Records()[p.keyFrame].featureStart,
                    w.keyFrameMeasurementStart[p.keyFrame]);
        }
  }

  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)};
  // Joined before the unit goes: a stalled worker may read the map.
  FakeWorkers workers;
  KeyFrameHandOver handOver{unit.Context()};
  std::atomic<u32> surfSawKeyFrames{0};
};

// The first key frame starts the map: marker corners (two on the border, two
// past it) and key-frame features become tracks; every patch holds the
// pixels round its position, clamped at the border.
TEST_F(KeyFrameHandOverTest, FirstPushMakesTracksPatchesAndMatchesWithMarkerCorners) {
  AddFeatures(0, 3);
  const float marker[10] = {0.0f, 0.0f, 639.6f, 0.2f, 645.0f, 479.7f, -3.0f, 482.0f, 0.297f, 0.21f};
  EXPECT_EQ(Push(0, PushMode::kNormal, true, true, false, marker), 0);

  const u32 total = 4 + 4 * 3;
  ASSERT_EQ(Tracks(), total);
  EXPECT_EQ(handOver.MarkerCorners(), (std::vector<u16>{0, 1, 2, 3}));
  for (u32 t = 0; t < total; ++t)
    EXPECT_EQ((unit.view.Working().trackFlags[t] & kTrackMarker) != 0, t < 4) << t;
  const auto& patches = unit.view.Patches();
  ASSERT_EQ(patches.Size(), total);
  const CVD::Image<u8>& level0 = unit.ring[0].pyramid[0];
  // (0, 0): rows and columns -4 .. -1 read row and column 0.
  EXPECT_EQ(patches[0].pixels[0], level0[0][0]);
  EXPECT_EQ(patches[0].pixels[8 * 4 + 4], level0[0][0]);
  EXPECT_EQ(patches[0].pixels[63], level0[3][3]);
  // (645, 480) and (-3, 482): columns past the border read the edge column,
  // rows past it the last row.
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      EXPECT_EQ(patches[2].pixels[8 * r + c], level0[std::min(476 + r, 479)][639]);
      EXPECT_EQ(patches[3].pixels[8 * r + c], level0[std::min(478 + r, 479)][0]);
    }
  // An interior feature of level 2 at (29, 22): top-left pixel (25, 18).
  const FeaturePatch& p = patches[4 + 3 + 3 + 1];
  EXPECT_EQ(p.level, 2);
  EXPECT_EQ(p.x, 29.0f);
  EXPECT_EQ(p.y, 22.0f);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) ASSERT_EQ(p.pixels[8 * r + c], Pattern(0, 2, 25 + c, 18 + r));
  const float corners[4][2] = {{25, 18}, {25, 25}, {32, 18}, {32, 25}};
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(p.corners[c][0], corners[c][0]);
    EXPECT_EQ(p.corners[c][1], corners[c][1]);
  }
  EXPECT_EQ(p.keyFrame, 0);
  EXPECT_EQ(p.feature, 11);
  EXPECT_EQ(p.flags, kPatchReliable);
  EXPECT_EQ(p.trackedCount, 1u);
  EXPECT_EQ(p.lostCount, 0u);

  // The frame sees each new track where it was made; nothing is solved.
  const TrackerFrame& f = unit.ring[0];
  EXPECT_EQ(f.keyFrame, 0);
  EXPECT_EQ(f.unsolvedCount, total);
  ASSERT_EQ(f.mapMatches[2].size(), 3u);
  const MapMatch& m = f.mapMatches[2][1];
  EXPECT_EQ(m.track, 4u + 3 + 3 + 1);
  EXPECT_EQ(m.patch, m.track);
  EXPECT_EQ(m.corner, kNone32);
  EXPECT_EQ(m.ssd, -1);
  EXPECT_FLOAT_EQ(m.nx, (29.0f - unit.camera.intrinsic[2].cx[0]) * unit.camera.intrinsic[2].ifx[0]);
  const KeyFrameRecord& record = unit.view.Records().at(0);
  const u32 firstPatch[5] = {0, 7, 10, 13, 16};
  for (int l = 0; l <= kPyramidLevels; ++l) EXPECT_EQ(record.firstPatch[l], firstPatch[l]);
  EXPECT_EQ(unit.view.KeyFrameNormalized().Size(), unit.map->measurements.Size());
  // A marker corner keeps its normalised position in the map.
  EXPECT_FLOAT_EQ(unit.map->measurements[1].x, (639.6f - 319.5f) / 500.0f);
  ExpectMatchesConsistent();

  // The SURF worker hears of the first key frame; the adjustor does not
  // before tracking starts.
  EXPECT_EQ(workers.Take(workers.surfLog), (std::vector<u32>{1}));
  EXPECT_TRUE(workers.Take(workers.localLog).empty());
}

// A failed detection (sides -1) or a corner that is not a number adds no
// marker corner: the map then has no MARKER track to anchor on.
TEST_F(KeyFrameHandOverTest, FailedMarkerRecordsAddNoCorners) {
  AddFeatures(0, 1);
  const float failed[10] = {10, 10, 20, 10, 20, 20, 10, 20, -1.0f, -1.0f};
  Push(0, PushMode::kNormal, true, true, false, failed);
  EXPECT_TRUE(handOver.MarkerCorners().empty());
  EXPECT_EQ(Tracks(), 4u);
  float nan[10] = {10, 10, 20, 10, 20, 20, 10, 20, 0.3f, 0.2f};
  nan[3] = std::nanf("");
  EXPECT_FALSE(IsMarkerRecordUsable(nan));
  EXPECT_FALSE(IsMarkerRecordUsable(nullptr));
  nan[3] = 10.0f;
  EXPECT_TRUE(IsMarkerRecordUsable(nan));
}

// A normal push: matched tracks gain a measurement, new features a track;
// both workers hear of it without waiting; the later frames measure and
// integrate from the new key frame.
TEST_F(KeyFrameHandOverTest, NormalPushTellsBothWorkersAndRelinksLaterFrames) {
  AddFeatures(0, 3);
  Push(0, PushMode::kNormal, true, true, false);
  workers.Take(workers.surfLog);
  MatchCreatedTracks(1, 0);
  AddFeatures(1, 2, 3.0f);
  unit.ring[1].delta[kFromKeyFrame].dt = 0.123;
  const u32 before = Tracks();
  EXPECT_EQ(Push(1, PushMode::kNormal, false), 1);
  EXPECT_EQ(Tracks(), before + 8);
  EXPECT_EQ(unit.map->keyFrames[0].delta.dt, 0.123);  // from key frame 0 to 1
  EXPECT_EQ(unit.view.Records()[1].firstPatch[0], before);
  EXPECT_EQ(unit.view.KeyFrameMaps().Size(), 2u);
  ExpectMatchesConsistent();
  EXPECT_EQ(workers.Take(workers.surfLog), (std::vector<u32>{2}));
  EXPECT_EQ(workers.Take(workers.localLog), (std::vector<u32>{kRequestAsynchronous}));

  // Frames 2 to 4: one preintegration from key frame 1 over all their
  // samples, as if integrated in one run.
  std::vector<IMUSample> samples;
  IMUSample previous{};
  for (int i = 0; i < 3; ++i) {
    previous.acceleration[i] = unit.ring[1].lastImu[i];
    previous.rotationRate[i] = unit.ring[1].lastImu[3 + i];
  }
  previous.time = unit.ring[1].time;
  for (u16 s = 2; s < kSlots; ++s) {
    const TrackerFrame& g = unit.ring[s];
    EXPECT_EQ(g.imuKeyFrame, 1);
    EXPECT_EQ(g.nearKeyFrame, 1);
    samples.insert(samples.end(), g.samples.begin(), g.samples.end());
    IMUDelta expected;
    IMUDelta::Initialize(samples.data(), static_cast<u32>(samples.size()), previous, g.time,
                         expected);
    const IMUDelta& d = g.delta[kFromKeyFrame];
    EXPECT_NEAR(d.dt, 0.1 * (s - 1), 1e-12);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(d.dp[i], expected.dp[i], 1e-12) << s;
      EXPECT_NEAR(d.dv[i], expected.dv[i], 1e-12) << s;
    }
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(d.dq[i], expected.dq[i], 1e-12) << s;
  }
  EXPECT_GT(std::abs(unit.ring[4].delta[kFromKeyFrame].dv[0]), 0.1);

  // With parallel off the same push waits for both workers: synchronous request.
  unit.options.parallel = false;
  MatchCreatedTracks(2, 1);
  Push(2, PushMode::kNormal, false);
  EXPECT_EQ(workers.Take(workers.localLog), (std::vector<u32>{kRequestSynchronous}));
}

// A provisional key frame is in the map, but no worker hears of it; popping
// it takes its tracks out of every list of every ring frame.
TEST_F(KeyFrameHandOverTest, ProvisionalPushTellsNoWorkerAndPopRemovesItsTracks) {
  AddFeatures(0, 3);
  Push(0, PushMode::kNormal, true, true, false);
  MatchCreatedTracks(1, 0);
  AddFeatures(1, 2, 3.0f);
  Push(1, PushMode::kNormal, true);
  workers.Take(workers.surfLog);
  workers.Take(workers.localLog);
  const u32 tracks = Tracks(), patches = unit.view.Patches().Size();
  const u32 features = unit.view.KeyFramePixels().Size();

  MatchCreatedTracks(2, 1);
  AddFeatures(2, 2, 5.0f);
  EXPECT_EQ(Push(2, PushMode::kProvisional, true), 2);
  EXPECT_TRUE(workers.Take(workers.surfLog).empty());
  EXPECT_TRUE(workers.Take(workers.localLog).empty());
  EXPECT_EQ(unit.view.ProvisionalKeyFrame(), 2);
  for (u16 s = 3; s < kSlots; ++s) {
    EXPECT_EQ(unit.ring[s].provisionalKeyFrame, 2);
    EXPECT_EQ(unit.ring[s].parallaxKeyFrame, 2);
    EXPECT_EQ(unit.ring[s].imuKeyFrame, 1);
    EXPECT_NEAR(unit.ring[s].delta[kFromProvisional].dt, 0.1 * (s - 2), 1e-12);
  }
  // Later frames track key frame 2's tracks and have it as aligned key frame.
  for (u16 s = 3; s < kSlots; ++s) {
    MatchCreatedTracks(s, 2);
    TrackerFrame& g = unit.ring[s];
    const MapMatch& m = g.mapMatches[0].back();
    g.candidates[1].push_back({m.track, m.patch, 0, 1, 1});
    g.lost[0].push_back({m.track, m.patch, 0, 1, 1});
    g.misses[3].push_back({m.track, m.patch, 0, 1, 1});
    g.candidates[1].push_back({0, 0, 0, 1, 1});  // an older track stays
    g.alignedKeyFrame = 2;
  }
  unit.ring[4].nearKeyFrame = 0;
  unit.ring[3].relocalisationKeyFrame = 2;

  EXPECT_EQ(handOver.PopKeyFrame(), 2);
  EXPECT_EQ(unit.view.KeyFrameCount(), 2u);
  EXPECT_EQ(Tracks(), tracks);
  EXPECT_EQ(unit.view.Patches().Size(), patches);
  EXPECT_EQ(unit.view.KeyFramePixels().Size(), features);
  EXPECT_EQ(unit.view.Records().size(), 2u);
  EXPECT_EQ(unit.view.KeyFrameMaps().Size(), 2u);
  for (u16 s = 0; s < kSlots; ++s) {
    const TrackerFrame& g = unit.ring[s];
    for (int l = 0; l < kPyramidLevels; ++l) {
      for (const MapMatch& m : g.mapMatches[l]) EXPECT_LT(m.track, tracks) << s;
      for (const auto* list : {&g.candidates[l], &g.lost[l], &g.misses[l]})
        for (const ImageMatch& m : *list) {
          EXPECT_LT(m.track, tracks) << s;
          EXPECT_LT(m.patch, patches) << s;
        }
    }
    EXPECT_NE(g.alignedKeyFrame, 2);
    EXPECT_NE(g.provisionalKeyFrame, 2);
    EXPECT_EQ(g.parallaxKeyFrame, kNone16);
  }
  EXPECT_EQ(unit.ring[4].candidates[1].size(), 1u);
  EXPECT_TRUE(unit.ring[4].mapMatches[0].empty());
  EXPECT_EQ(unit.ring[2].keyFrame, kNone16);
  EXPECT_EQ(unit.ring[2].kltPixels[0].Size(), 0u);
  EXPECT_EQ(unit.ring[1].keyFrame, 1);
  EXPECT_EQ(unit.ring[3].relocalisationKeyFrame, kNone16);
  EXPECT_EQ(unit.ring[3].imuKeyFrame, 1);
  EXPECT_EQ(unit.ring[4].nearKeyFrame, 0);
  ExpectMatchesConsistent();

  // The same frame pushed again takes the freed index.
  AddFeatures(2, 1);
  EXPECT_EQ(Push(2, PushMode::kNormal, true), 2);
  ExpectMatchesConsistent();
}

// 501 key frames (the 500th provisional, so the count passed 500 on a
// normal push) trim to the newest 30: every index moves down by 471, objects
// on dropped key frames freeze, and the trim waits for a stalled worker.
TEST_F(KeyFrameHandOverTest, TrimKeepsTheNewestThirtyAfterTheWorkersAreIdle) {
  constexpr u32 kPushes = 501;
  u16 last = 0;
  for (u32 i = 0; i < kPushes; ++i) {
    const u16 s = static_cast<u16>(i % 3);
    TrackerFrame& f = unit.ring[s];
    f.number = static_cast<i32>(1000 + i);
    for (int l = 0; l < kPyramidLevels; ++l) {
      f.mapMatches[l].clear();
      f.kltPixels[l].Clear();
      f.kltNormalized[l].Clear();
    }
    if (i > 0) MatchCreatedTracks(s, last);
    AddFeatures(s, 1, static_cast<float>(i % 7));
    if (i == kPushes - 1) {
      // The last push's SURF item stays in flight while the worker stalls.
      workers.surfHook = [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        boost::shared_lock<boost::shared_mutex> lock(unit.map->mutex);
        surfSawKeyFrames = static_cast<u32>(unit.map->keyFrames.size());
      };
    }
    const PushMode mode = i == 499 ? PushMode::kProvisional : PushMode::kNormal;
    ASSERT_EQ(Push(s, mode, i == 0, i == 0), i);
    last = s;
  }
  ASSERT_EQ(unit.view.KeyFrameCount(), kPushes);
  TrackerFrame& cur = unit.ring[unit.ring.Current()];
  cur.nearKeyFrame = 480;
  cur.relocalisationKeyFrame = 100;
  cur.alignedKeyFrame = 499;
  auto& objects = unit.objects.List();
  objects.resize(3);
  objects[0].anchorKeyFrame = 480;
  objects[1].anchorKeyFrame = 100;
  objects[2].anchorKeyFrame = 470;

  EXPECT_EQ(handOver.TrimKeyFrames(), 1000u + 471u);
  EXPECT_EQ(surfSawKeyFrames, kPushes);  // the trim waited for the stalled item
  EXPECT_EQ(workers.surf.pool.Count(), workers.surf.pool.Capacity());
  EXPECT_EQ(unit.view.KeyFrameCount(), KeyFrameHandOver::kKeptKeyFrames);
  EXPECT_EQ(unit.view.Records().size(), 30u);
  EXPECT_EQ(unit.view.KeyFrameMaps().Size(), 30u);
  EXPECT_EQ(unit.view.Records()[0].firstPatch[0], 0u);
  EXPECT_EQ(unit.view.Records()[0].featureStart, 0u);
  EXPECT_EQ(unit.view.KeyFramePixels().Size(), unit.map->measurements.Size());
  for (u32 k = 0; k < 30; ++k) {
    const KeyFrameRecord& r = unit.view.Records()[k];
    for (u32 p = r.firstPatch[0]; p < r.firstPatch[kPyramidLevels]; ++p)
      EXPECT_EQ(unit.view.Patches()[p].keyFrame, k);
  }
  EXPECT_EQ(unit.view.Patches().Size(), unit.view.Records()[29].firstPatch[kPyramidLevels]);
  // Slots 0, 1, 2 were pushed as key frames 498, 499 and 500.
  EXPECT_EQ(unit.ring[0].keyFrame, 27);
  EXPECT_EQ(unit.ring[1].keyFrame, 28);
  EXPECT_EQ(unit.ring[2].keyFrame, 29);
  EXPECT_EQ(cur.nearKeyFrame, 9);
  EXPECT_EQ(cur.relocalisationKeyFrame, kNone16);
  EXPECT_EQ(cur.alignedKeyFrame, 28);
  EXPECT_EQ(cur.imuKeyFrame, 29);
  EXPECT_EQ(objects[0].anchorKeyFrame, 9);
  EXPECT_EQ(objects[1].anchorKeyFrame, kNone16);
  EXPECT_EQ(objects[2].anchorKeyFrame, kNone16);
  u32 matches = 0;
  for (u16 s = 0; s < kSlots; ++s) matches += unit.ring[s].MapMatchCount();
  EXPECT_GT(matches, 0u);
  ExpectMatchesConsistent();
}

// The matcher's item in the order it is read: id, images, corners, per match
// the track with its point, flags and plane, then prior, pose and links; a
// refill from a smaller frame leaves nothing of the larger one.
TEST_F(KeyFrameHandOverTest, TrackMatchingDataCarriesTheFrameAndItsTracks) {
  AddFeatures(0, 3);
  Push(0, PushMode::kNormal, true, true, false);
  MapWorkingCopy& w = unit.view.Working();
  w.trackPlanes[5] = 3;
  w.trackFlags[5] = kTrackSolved | kTrackInlier;
  w.points[5].v[2] = 3.0f;
  TrackerFrame& f = unit.ring[1];
  MatchCreatedTracks(1, 0);
  f.mapMatches[1][0].x = 7.5f;
  f.corners[2].corners.PushBack({3, 4}, 4);
  f.corners[2].corners.PushBack({9, 4}, 4);
  f.corners[2].rowStarts = {0, 0, 0, 0, 0, 2};
  f.alignmentImage.resize(CVD::ImageRef(40, 30));
  f.alignmentImage.fill(0.25f);
  f.gradientImage.resize(CVD::ImageRef(40, 30));
  f.alignmentValue = 0.75f;
  f.posePrior[2] = 0.5;
  f.relocalisationKeyFrame = 7;
  f.alignedKeyFrame = 3;
  f.sceneDepth = 2.5f;

  TrackMatchingData item;
  handOver.FillTrackMatchingData(1, item);
  EXPECT_EQ(item.frameId, 11u);
  EXPECT_EQ(item.pyramid[3].size(), CVD::ImageRef(80, 60));
  EXPECT_EQ(item.pyramid[1][5][6], Pattern(1, 1, 6, 5));
  EXPECT_EQ(item.floatImage[29][39], 0.25f);
  EXPECT_EQ(item.gradientImage.size(), CVD::ImageRef(40, 30));
  EXPECT_EQ(item.texture, 0.75f);
  ASSERT_EQ(item.corners[2].Size(), 2u);
  EXPECT_EQ(item.corners[2][1].x, 9);
  EXPECT_EQ(item.cornerRowStarts[2], (std::vector<int>{0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(item.MatchCount(0), 3u);
  ASSERT_EQ(item.MatchCount(1), 3u);
  EXPECT_EQ(item.trackIndices[1][0], 3u);
  EXPECT_EQ(item.measurements[1][0].x, 7.5f);
  EXPECT_EQ(item.normalizedMeasurements[1][2].x, f.mapMatches[1][2].nx);
  EXPECT_EQ(item.trackIndices[1][2], 5u);
  EXPECT_EQ(item.points[1][2].v[2], 3.0f);
  EXPECT_EQ(item.trackFlags[1][2], kTrackSolved | kTrackInlier);
  EXPECT_EQ(item.planeIndices[1][2], 3);
  EXPECT_EQ(item.planeIndices[1][1], kNone16);
  EXPECT_EQ(item.trackFlags[1][1], 0);
  EXPECT_EQ(item.posePrior[2], 0.5);
  EXPECT_EQ(item.pose->m[0][3], -0.05f);
  EXPECT_EQ(item.relocalisationKeyFrame, 7);
  EXPECT_EQ(item.alignmentKeyFrame, 3);
  EXPECT_EQ(item.meanDepth, 2.5f);

  handOver.FillTrackMatchingData(2, item);
  EXPECT_EQ(item.frameId, 12u);
  for (int l = 0; l < kPyramidLevels; ++l) EXPECT_EQ(item.MatchCount(l), 0u);
  EXPECT_EQ(item.corners[2].Size(), 0u);
  EXPECT_EQ(item.relocalisationKeyFrame, kNone16);
}

// The display's key frame follows pushes, pops and trims; "none" stays none
// (it must not wrap round to key frame 0).
TEST_F(KeyFrameHandOverTest, ShownKeyFrameFollowsPushPopAndTrim) {
  Tracker viewer(*unit.map);
  TrackerDisplay& d = viewer.Display();
  d.OnKeyFramePushed(0);
  EXPECT_EQ(d.ShownKeyFrame(), kNone16);
  d.ShowKeyFrame(3);
  d.OnKeyFramePushed(4);
  EXPECT_EQ(d.ShownKeyFrame(), 3);
  d.OnKeyFramePushed(3);
  EXPECT_EQ(d.ShownKeyFrame(), 4);
  d.OnKeyFramePopped(5);
  EXPECT_EQ(d.ShownKeyFrame(), 4);
  d.OnKeyFramePopped(4);
  EXPECT_EQ(d.ShownKeyFrame(), 3);
  d.ShowKeyFrame(0);
  d.OnKeyFramePopped(0);
  EXPECT_EQ(d.ShownKeyFrame(), kNone16);
  d.OnKeyFramePopped(kNone16);  // nothing was popped
  EXPECT_EQ(d.ShownKeyFrame(), kNone16);
  d.OnKeyFramesDropped(471);
  EXPECT_EQ(d.ShownKeyFrame(), kNone16);
  for (const auto& [shown, after] : {std::pair<u16, u16>{480, 9}, {471, 0}, {470, kNone16}}) {
    d.ShowKeyFrame(shown);
    d.OnKeyFramesDropped(471);
    EXPECT_EQ(d.ShownKeyFrame(), after) << shown;
  }
}

}  // namespace
