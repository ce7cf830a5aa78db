// ctest-labels: threads
// Key-frame push, pop and trim over a real map and a ring of patterned
// frames, with fake workers on real pools and queues; and the track
// matcher's item.
#include "tracker/KeyFrameHandOver.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
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
        for (CVD::ImageRef p; p.y < f.pyramid[l].size().y; ++p.y)
          for (p.x = 0; p.x < f.pyramid[l].size().x; ++p.x)
            f.pyramid[l][p] = Pattern(s, l, p.x, p.y);
      }
      // Four samples in the frame's interval, turning and accelerating.
      for (int i = 0; i < 4; ++i)
        f.samples.push_back({{0.5 + s, -0.2 * i, 9.81},
                             {0.1 * i, 0.3, -0.05 * s},
                             0.1 * s - 0.1 + 0.025 * (i + 1)});
      std::copy_n(f.samples.back().acceleration, 3, f.lastImu);
      std::copy_n(f.samples.back().rotationRate, 3, f.lastImu + 3);
      CameraPose& pose = f.pose.slot[kVisual];
      pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
      pose.m[0][3] = -0.05f * s;
    }
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
TEST_F(KeyFrameHandOverTest, FirstPushMakesTracksPatchesMatchesAndTheMatcherItem) {
  AddFeatures(0, 3);
  const float marker[10] = {0.0f, 0.0f, 639.6f, 0.2f, 645.0f, 479.7f, -3.0f, 482.0f, 0.297f, 0.21f};
  EXPECT_EQ(Push(0, PushMode::kNormal, true, true, false, marker), 0);
  ASSERT_EQ(Tracks(), 16u);
  EXPECT_EQ(handOver.MarkerCorners(), (std::vector<u16>{0, 1, 2, 3}));
  for (u32 t = 0; t < 16; ++t)
    EXPECT_EQ((unit.view.Working().trackFlags[t] & kTrackMarker) != 0, t < 4) << t;
  const auto& patches = unit.view.Patches();
  const CVD::Image<u8>& image = unit.ring[0].pyramid[0];
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      // (0, 0), (645, 480) and (-3, 482): rows and columns past the border
      // read the edge.
      EXPECT_EQ(patches[0].pixels[8 * r + c], image[std::max(r - 4, 0)][std::max(c - 4, 0)]);
      EXPECT_EQ(patches[2].pixels[8 * r + c], image[std::min(476 + r, 479)][639]);
      EXPECT_EQ(patches[3].pixels[8 * r + c], image[std::min(478 + r, 479)][0]);
      // A level-2 feature at (29, 22): top-left pixel (25, 18).
      EXPECT_EQ(patches[11].pixels[8 * r + c], Pattern(0, 2, 25 + c, 18 + r));
    }
  const FeaturePatch& p = patches[11];
  for (int c = 0; c < 4; ++c)  // (25, 18), (25, 25), (32, 18), (32, 25)
    EXPECT_TRUE(p.corners[c][0] == 25 + 7 * (c / 2) && p.corners[c][1] == 18 + 7 * (c % 2)) << c;
  EXPECT_TRUE(p.keyFrame == 0 && p.feature == 11 && p.level == 2 && p.flags == kPatchReliable &&
              p.trackedCount == 1 && p.lostCount == 0);
  // The frame sees each new track where it was made; nothing is solved.
  const TrackerFrame& f = unit.ring[0];
  EXPECT_EQ(f.unsolvedCount, 16);
  const MapMatch& m = f.mapMatches[2][1];
  EXPECT_TRUE(m.track == 11 && m.patch == 11 && m.corner == kNone32 && m.ssd == -1);
  const u32* firstPatch = unit.view.Records().at(0).firstPatch;
  EXPECT_EQ(std::vector<u32>(firstPatch, firstPatch + 5), (std::vector<u32>{0, 7, 10, 13, 16}));
  EXPECT_FLOAT_EQ(unit.map->measurements[1].x, (639.6f - 319.5f) / 500.0f);
  ExpectMatchesConsistent();
  // The SURF worker hears of it; the adjustor not before tracking starts.
  EXPECT_EQ(workers.Take(workers.surfLog), (std::vector<u32>{1}));
  EXPECT_TRUE(workers.Take(workers.localLog).empty());
  // The matcher's item: id, images, corners, per match the track with its
  // point, flags and plane, then prior, pose and links; a refill from a
  // smaller frame leaves nothing of the larger one.
  MapWorkingCopy& w = unit.view.Working();
  w.trackPlanes[9] = 3;
  w.trackFlags[9] = kTrackSolved | kTrackInlier;
  w.points[9].v[2] = 3.0f;
  TrackerFrame& g = unit.ring[1];
  MatchCreatedTracks(1, 0);
  g.corners[2].corners.PushBack({9, 4}, 4);
  g.corners[2].rowStarts = {0, 0, 0, 0, 0, 1};
  g.alignmentImage.resize(CVD::ImageRef(40, 30));
  g.alignmentImage.fill(0.25f);
  g.alignmentValue = 0.75f;
  g.posePrior[2] = 0.5;
  g.relocalisationKeyFrame = 7;
  g.alignedKeyFrame = 3;
  g.sceneDepth = 2.5f;

  TrackMatchingData item;
  handOver.FillTrackMatchingData(1, item);
  EXPECT_EQ(item.frameId, 11u);
  EXPECT_EQ(item.pyramid[1][5][6], Pattern(1, 1, 6, 5));
  EXPECT_TRUE(item.floatImage[29][39] == 0.25f && item.texture == 0.75f);
  EXPECT_TRUE(item.corners[2].Size() == 1 && item.corners[2][0].x == 9);
  EXPECT_EQ(item.cornerRowStarts[2], (std::vector<int>{0, 0, 0, 0, 0, 1}));
  ASSERT_EQ(item.MatchCount(1), 3u);
  for (int l = 0; l < kPyramidLevels; ++l) {
    ASSERT_EQ(item.MatchCount(l), g.mapMatches[l].size());
    for (u32 i = 0; i < item.MatchCount(l); ++i)  // every match, the first included
      EXPECT_TRUE(item.trackIndices[l][i] == g.mapMatches[l][i].track &&
                  item.measurements[l][i].x == g.mapMatches[l][i].x)
          << l << " " << i;
  }
  EXPECT_TRUE(item.trackIndices[1][2] == 9 && item.points[1][2].v[2] == 3.0f &&
              item.trackFlags[1][2] == (kTrackSolved | kTrackInlier) &&
              item.planeIndices[1][2] == 3);
  EXPECT_TRUE(item.trackFlags[1][1] == 0 && item.planeIndices[1][1] == kNone16);
  EXPECT_EQ(item.measurements[1][2].x, g.mapMatches[1][2].x);
  EXPECT_EQ(item.normalizedMeasurements[1][2].y, g.mapMatches[1][2].ny);
  EXPECT_TRUE(item.posePrior[2] == 0.5 && item.pose->m[0][3] == -0.05f);
  EXPECT_TRUE(item.relocalisationKeyFrame == 7 && item.alignmentKeyFrame == 3 &&
              item.meanDepth == 2.5f);
  handOver.FillTrackMatchingData(2, item);
  EXPECT_EQ(item.frameId, 12u);
  for (int l = 0; l < kPyramidLevels; ++l) EXPECT_EQ(item.MatchCount(l), 0u);
  EXPECT_TRUE(item.corners[2].Size() == 0 && item.relocalisationKeyFrame == kNone16);
  // A failed detection (a side -1 or 0) or a corner that is not a number is no marker.
  const float nan = std::nanf("");
  for (const auto& [at, value, usable] :
       {std::tuple{8, 0.3f, true}, {8, -1.0f, false}, {9, 0.0f, false}, {3, nan, false}}) {
    float record[10] = {10, 10, 20, 10, 20, 20, 10, 20, 0.3f, 0.2f};
    record[at] = value;
    EXPECT_EQ(IsMarkerRecordUsable(record), usable) << at;
  }
}

// A normal push tells both workers without waiting, and the later frames
// measure their parallax from the new key frame and integrate from it as if
// in one run over their samples. A
// provisional key frame is in the map, but no worker hears of it; popping
// it takes its tracks out of every list of every ring frame and every link.
TEST_F(KeyFrameHandOverTest, PushTellsTheWorkersAndRelinksLaterFramesPopTakesItAllBack) {
  AddFeatures(0, 3);
  Push(0, PushMode::kNormal, true, true, false);
  workers.Take(workers.surfLog);
  MatchCreatedTracks(1, 0);
  AddFeatures(1, 2, 3.0f);
  unit.ring[1].delta[kFromKeyFrame].dt = 0.123;
  // The host's attitude prior: a turn about an axis off every plane.
  const Eigen::Quaterniond q(Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, -2, 3).normalized()));
  double* prior = unit.ring[1].posePrior;
  prior[0] = q.x(), prior[1] = q.y(), prior[2] = q.z(), prior[3] = q.w(), prior[7] = 4.5;
  EXPECT_EQ(Push(1, PushMode::kNormal, false), 1);
  // Gravity in the body frame is the rotation's last row.
  const IMUAttitude& attitude = unit.map->keyFrames[1].attitude;
  const Eigen::Vector3d up = q.toRotationMatrix().row(2).transpose();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(attitude.gravity[i], up[i], 1e-12) << i;
    EXPECT_EQ(attitude.quaternion[i], prior[i]) << i;
  }
  EXPECT_TRUE(attitude.quaternion[3] == prior[3] && attitude.time == 4.5);
  const u32 tracks = Tracks(), patches = unit.view.Patches().Size();
  const u32 features = unit.view.KeyFramePixels().Size();
  EXPECT_EQ(tracks, 12u + 8u);
  EXPECT_EQ(unit.map->keyFrames[0].delta.dt, 0.123);  // from key frame 0 to 1
  ExpectMatchesConsistent();
  EXPECT_EQ(workers.Take(workers.surfLog), (std::vector<u32>{2}));
  EXPECT_EQ(workers.Take(workers.localLog), (std::vector<u32>{kRequestAsynchronous}));
  std::vector<IMUSample> samples;
  IMUSample previous{{}, {}, unit.ring[1].time};
  std::copy_n(unit.ring[1].lastImu, 3, previous.acceleration);
  std::copy_n(unit.ring[1].lastImu + 3, 3, previous.rotationRate);
  for (u16 s = 2; s < kSlots; ++s) {
    const TrackerFrame& g = unit.ring[s];
    EXPECT_TRUE(g.imuKeyFrame == 1 && g.nearKeyFrame == 1 && g.parallaxKeyFrame == 1) << s;
    samples.insert(samples.end(), g.samples.begin(), g.samples.end());
    IMUDelta expected;
    IMUDelta::Initialize(samples.data(), static_cast<u32>(samples.size()), previous, g.time,
                         expected);
    const IMUDelta& d = g.delta[kFromKeyFrame];
    EXPECT_NEAR(d.dt, 0.1 * (s - 1), 1e-12);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(d.dp[i], expected.dp[i], 1e-12) << s;
      EXPECT_NEAR(d.dv[i], expected.dv[i], 1e-12) << s;
      EXPECT_NEAR(d.dq[i], expected.dq[i], 1e-12) << s;
    }
  }
  EXPECT_GT(std::abs(unit.ring[4].delta[kFromKeyFrame].dv[0]), 0.1);

  MatchCreatedTracks(2, 1);
  AddFeatures(2, 2, 5.0f);
  EXPECT_EQ(Push(2, PushMode::kProvisional, true), 2);
  EXPECT_TRUE(workers.Take(workers.surfLog).empty() && workers.Take(workers.localLog).empty());
  for (u16 s = 3; s < kSlots; ++s) {
    TrackerFrame& g = unit.ring[s];
    EXPECT_TRUE(g.provisionalKeyFrame == 2 && g.parallaxKeyFrame == 2 && g.imuKeyFrame == 1);
    EXPECT_NEAR(g.delta[kFromProvisional].dt, 0.1 * (s - 2), 1e-12);
    // Later frames track key frame 2's tracks and align with it.
    MatchCreatedTracks(s, 2);
    const MapMatch& m = g.mapMatches[0].back();
    g.candidates[1] = {{m.track, m.patch, 0, 1, 1}, {0, 0, 0, 1, 1}};  // an older track stays
    g.lost[0].push_back({m.track, m.patch, 0, 1, 1});
    g.misses[3].push_back({m.track, m.patch, 0, 1, 1});
    g.alignedKeyFrame = g.relocalisationKeyFrame = 2;
  }
  unit.ring[4].nearKeyFrame = 0;
  unit.ring[4].candidate = 1;  // too few points left to stay one

  EXPECT_EQ(handOver.PopKeyFrame(), 2);
  EXPECT_TRUE(Tracks() == tracks && unit.view.Patches().Size() == patches &&
              unit.view.KeyFramePixels().Size() == features);
  EXPECT_TRUE(unit.view.Records().size() == 2 && unit.view.KeyFrameMaps().Size() == 2);
  for (u16 s = 0; s < kSlots; ++s) {
    const TrackerFrame& g = unit.ring[s];
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const auto* list : {&g.candidates[l], &g.lost[l], &g.misses[l]})
        for (const ImageMatch& m : *list) EXPECT_TRUE(m.track < tracks && m.patch < patches) << s;
    for (u16 link :
         {g.alignedKeyFrame, g.relocalisationKeyFrame, g.provisionalKeyFrame, g.parallaxKeyFrame})
      EXPECT_EQ(link, kNone16) << s;
  }
  EXPECT_EQ(unit.ring[4].candidates[1].size(), 1u);
  EXPECT_TRUE(unit.ring[4].mapMatches[0].empty() && unit.ring[4].candidate == 0);
  EXPECT_TRUE(unit.ring[2].keyFrame == kNone16 && unit.ring[2].kltPixels[0].Size() == 0);
  EXPECT_TRUE(unit.ring[3].imuKeyFrame == 1 && unit.ring[4].nearKeyFrame == 0);
  ExpectMatchesConsistent();
  // The same frame pushed again takes the freed index; with parallel off
  // the push waits: a synchronous request.
  unit.options.parallel = false;
  AddFeatures(2, 1);
  EXPECT_EQ(Push(2, PushMode::kNormal, false), 2);
  EXPECT_EQ(workers.Take(workers.localLog), (std::vector<u32>{kRequestSynchronous}));
  ExpectMatchesConsistent();
}

// 501 key frames (the 500th provisional, so the count passed 500 on a
// normal push) trim to the newest 30: every index moves down by 471, objects
// on dropped key frames freeze, and the trim waits for a stalled worker.
TEST_F(KeyFrameHandOverTest, TrimKeepsTheNewestThirtyAfterTheWorkersAreIdle) {
  for (u32 i = 0, last = 0; i < 501; ++i) {
    const u16 s = static_cast<u16>(i % 3);
    TrackerFrame& f = unit.ring[s];
    f.number = static_cast<i32>(1000 + i);
    for (int l = 0; l < kPyramidLevels; ++l) f.mapMatches[l].clear();
    for (auto* features : {&f.kltPixels, &f.kltNormalized})
      for (auto& level : *features) level.Clear();
    if (i > 0) MatchCreatedTracks(s, static_cast<u16>(last));
    AddFeatures(s, 1, static_cast<float>(i % 7));
    if (i == 500) {
      // The last push's SURF item stays in flight while the worker stalls
      // (the hook is set while the worker is idle).
      workers.WaitIdle();
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
  EXPECT_EQ(surfSawKeyFrames, 501u);  // the trim waited for the stalled item
  EXPECT_TRUE(unit.view.KeyFrameCount() == 30 && unit.view.Records().size() == 30 &&
              unit.view.KeyFrameMaps().Size() == 30);
  EXPECT_EQ(unit.view.KeyFramePixels().Size(), unit.map->measurements.Size());
  for (u32 k = 0; k < 30; ++k) {
    const KeyFrameRecord& r = unit.view.Records()[k];
    for (u32 p = r.firstPatch[0]; p < r.firstPatch[kPyramidLevels]; ++p)
      EXPECT_EQ(unit.view.Patches()[p].keyFrame, k);
  }
  EXPECT_EQ(unit.view.Patches().Size(), unit.view.Records()[29].firstPatch[kPyramidLevels]);
  // Slots 0, 1, 2 were pushed as key frames 498, 499 and 500.
  for (u16 s = 0; s < 3; ++s) EXPECT_EQ(unit.ring[s].keyFrame, 27 + s);
  EXPECT_TRUE(cur.nearKeyFrame == 9 && cur.relocalisationKeyFrame == kNone16 &&
              cur.alignedKeyFrame == 28 && cur.imuKeyFrame == 29);
  EXPECT_TRUE(objects[0].anchorKeyFrame == 9 && objects[1].anchorKeyFrame == kNone16 &&
              objects[2].anchorKeyFrame == kNone16);
  EXPECT_GT(unit.ring[2].MapMatchCount(), 0u);
  ExpectMatchesConsistent();
}

// The display's key frame follows pushes, pops and trims; none stays none
// (it must not wrap round to key frame 0).
TEST_F(KeyFrameHandOverTest, ShownKeyFrameFollowsPushPopAndTrim) {
  Tracker viewer(*unit.map);
  TrackerDisplay& d = viewer.Display();
  const auto after = [&](u16 shown, auto change) {
    d.ShowKeyFrame(shown);
    change();
    return d.ShownKeyFrame();
  };
  EXPECT_EQ(after(kNone16, [&] { d.OnKeyFramePushed(0); }), kNone16);
  EXPECT_EQ(after(3, [&] { d.OnKeyFramePushed(4); }), 3);
  EXPECT_EQ(after(3, [&] { d.OnKeyFramePushed(3); }), 4);
  EXPECT_EQ(after(4, [&] { d.OnKeyFramePopped(5); }), 4);
  EXPECT_EQ(after(4, [&] { d.OnKeyFramePopped(4); }), 3);
  EXPECT_EQ(after(1, [&] { d.OnKeyFramePopped(1); }), 0);
  EXPECT_EQ(after(0, [&] { d.OnKeyFramePopped(0); }), kNone16);
  EXPECT_EQ(after(kNone16, [&] { d.OnKeyFramePopped(kNone16); }), kNone16);
  EXPECT_EQ(after(kNone16, [&] { d.OnKeyFramesDropped(471); }), kNone16);
  EXPECT_EQ(after(480, [&] { d.OnKeyFramesDropped(471); }), 9);
  EXPECT_EQ(after(471, [&] { d.OnKeyFramesDropped(471); }), 0);
  EXPECT_EQ(after(470, [&] { d.OnKeyFramesDropped(471); }), kNone16);
}

}  // namespace
