// The new-points unit over a real map and ring (640 x 480, f = 500): points
// of unsolved tracks from two and more views under noise, the default depth
// of rays that do not spread, the pixel gates, re-checks of unreliable
// points, the tracks that are never candidates, the removal of failed tracks
// from ordinary frames only, and the log line.
#include "tracker/NewPoints.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "tests/common/tracker/NewPointsScene.h"

using Eigen::Vector3d;

namespace {

constexpr u8 kNew = kTrackSolved | kTrackInlier | kTrackUnreliable;

// Matched tracks of a level, in list order.
std::vector<u32> Tracks(const std::vector<MapMatch>& list) {
  std::vector<u32> tracks;
  for (const MapMatch& m : list) tracks.push_back(m.track);
  return tracks;
}

}  // namespace

class NewPointsTest : public ::testing::Test {
 protected:
  // Runs the unit (the same one from call to call) on the current frame;
  // returns its log line.
  std::string Run(bool recovering = false) {
    if (!unit) {
      const TrackerContext c = scene.unit.Context();
      unit = std::make_unique<NewPoints>(
          TrackerContext{c.options, c.camera, c.ring, c.mapView, c.links, c.objects, log});
    }
    testing::internal::CaptureStdout();
    unit->CreateNewPoints(scene.unit.ring.Current(), {true, recovering});
    counts = unit->Counts();
    return testing::internal::GetCapturedStdout();
  }

  NewPointsScene scene;
  TrackerLog log{true, ""};
  std::unique_ptr<NewPoints> unit;
  NewPointCounts counts;
};

TEST_F(NewPointsTest, TwoViewsUnderHalfAPixelOfNoiseMeetTheScenePoints) {
  // Depth deviation of two noisy views: z^2 sqrt(2) sigma / (f b) = 0.045
  // at the far end (z = 4, b = 0.5), less nearer; the largest error may
  // reach three deviations.
  scene.Build(NewPointsScene::RandomPoints(60, 3), {NewPointsScene::Pose({0, 0, 0})},
              {NewPointsScene::Pose({0.5, 0, 0}, -5.0)}, 0.5, 7);
  Run();
  EXPECT_EQ(counts.triangulated, 60u);
  EXPECT_EQ(counts.solved, 60u);
  for (u32 j = 0; j < 60; ++j) EXPECT_EQ(scene.Flags(j), kNew) << j;
  double mean = 0.0, largest = 0.0;
  scene.Errors(mean, largest);
  EXPECT_LT(mean, 0.03);
  EXPECT_LT(largest, 0.15);
  // The next frame re-checks them all: none is lost, none is tried again.
  Run();
  EXPECT_EQ(counts.triangulated, 0u);
  EXPECT_EQ(counts.rechecked, 60u);
  EXPECT_EQ(counts.bad, 0u);
}

TEST_F(NewPointsTest, KeyFramesAndRingFramesAllAddViews) {
  // Noise-free, the points come back to float precision; with noise, six
  // views (two key frames, four ring frames) beat the two of the test above.
  const std::vector<Vector3d> points = NewPointsScene::RandomPoints(60, 3);
  const std::vector<CameraPose> keyFrames = {NewPointsScene::Pose({0, 0, 0}),
                                             NewPointsScene::Pose({0.5, 0, 0}, -5.0)};
  std::vector<CameraPose> ring;
  for (int i = 1; i <= 4; ++i) ring.push_back(NewPointsScene::Pose({0.25 * i, 0.1 * i, -0.2}));
  double mean = 0.0, largest = 0.0;
  scene.Build(points, keyFrames, ring, 0.0, 7);
  Run();
  EXPECT_EQ(counts.solved, 60u);
  scene.Errors(mean, largest);
  EXPECT_LT(largest, 1e-4);

  NewPointsScene twoViews;
  twoViews.Build(points, {keyFrames[0]}, {keyFrames[1]}, 0.5, 7);
  NewPointsScene sixViews;
  sixViews.Build(points, keyFrames, ring, 0.5, 7);
  double mean2 = 0.0, mean6 = 0.0;
  for (NewPointsScene* s : {&twoViews, &sixViews}) {
    TrackerContext c = s->unit.Context();
    NewPoints(c).CreateNewPoints(s->unit.ring.Current(), {true, false});
    s->Errors(s == &twoViews ? mean2 : mean6, largest);
  }
  EXPECT_LT(mean6, 0.6 * mean2);
}

TEST_F(NewPointsTest, RingFramesWithoutAPoseAddNoView) {
  // The middle frame's pose is unset and its match of track 0 is far off: a
  // view from it would ruin the point.
  const std::vector<CameraPose> ring = {NewPointsScene::Pose({0.3, 0, 0}),
                                        NewPointsScene::Pose({0.4, 0, 0}),
                                        NewPointsScene::Pose({0.5, 0, 0})};
  scene.Build(NewPointsScene::RandomPoints(10, 4), {NewPointsScene::Pose({0, 0, 0})}, ring, 0.0, 1);
  scene.unit.ring[1].pose.slot[kVisual].m[0][0] = FLT_MAX;
  scene.Displace(1, 0, 40.0, 0.0);
  Run();
  EXPECT_EQ(counts.solved, 10u);
  EXPECT_LT((scene.Point(0) - scene.points[0]).norm(), 1e-4);
}

TEST_F(NewPointsTest, RaysWithinOneDegreeTakeTheDefaultDepth) {
  // The decision at the boundary: 0.99 degrees is within, 1.01 beyond.
  const f32 within = std::cos(0.99f * static_cast<f32>(M_PI) / 180.0f);
  const f32 beyond = std::cos(1.01f * static_cast<f32>(M_PI) / 180.0f);
  EXPECT_EQ(TriangulationDepth(within, 2.5f), 2.5f);
  EXPECT_EQ(TriangulationDepth(beyond, 2.5f), FLT_MAX);
  EXPECT_EQ(TriangulationDepth(FLT_MAX, 2.5f), 2.5f);  // fewer than two views

  // A camera moving straight at the point sees it along one ray: no depth
  // can be measured, so it goes to the frame's scene depth, or the initial
  // depth when the frame has none, on the key frame's ray.
  const Vector3d X(0.3, -0.2, 3.0);
  for (const f32 sceneDepth : {2.0f, 0.0f}) {
    NewPointsScene s;
    s.unit.options.initialDepth = 1.5f;
    s.Build({X}, {NewPointsScene::Pose({0, 0, 0})}, {NewPointsScene::Pose(0.2 * X)}, 0.0, 1);
    s.unit.ring[0].sceneDepth = sceneDepth;
    TrackerContext c = s.unit.Context();
    NewPoints(c).CreateNewPoints(0, {true, false});
    const double depth = sceneDepth > 0.0f ? 2.0 : 1.5;
    EXPECT_EQ(s.Flags(0), kNew);
    EXPECT_LT((s.Point(0) - X * (depth / X.z())).norm(), 1e-5) << sceneDepth;
  }
}

TEST_F(NewPointsTest, TheGateIsSixPixelsAndTenWhileRecovering) {
  // Track 0 is seen d pixels off vertically in one of five views that all
  // lie on a horizontal line: the refined point keeps 4/5 of d as that
  // view's residual, so each pair of cases brackets a gate to 0.4 pixels.
  struct Case {
    double d;
    bool recovering, solved;
  };
  std::vector<CameraPose> ring;
  for (int i = 1; i <= 4; ++i) ring.push_back(NewPointsScene::Pose({0.15 * i, 0, 0}));
  for (const Case& k : {Case{7.0, false, true}, Case{8.0, false, false}, Case{12.0, true, true},
                        Case{13.0, true, false}}) {
    NewPointsScene s;
    s.Build(NewPointsScene::RandomPoints(5, 5), {NewPointsScene::Pose({0, 0, 0})}, ring, 0.0, 1);
    s.Displace(2, 0, 0.0, k.d);
    TrackerContext c = s.unit.Context();
    NewPoints unit(c);
    unit.CreateNewPoints(s.unit.ring.Current(), {true, k.recovering});
    EXPECT_EQ(unit.Counts().solved, k.solved ? 5u : 4u) << k.d;
    EXPECT_EQ(s.Flags(0), k.solved ? kNew : 0) << k.d;
  }
}

TEST_F(NewPointsTest, FailedTracksLeaveOrdinaryFramesOnly) {
  // Track 3 is seen 40 pixels off in slot 2; slot 1 is a key frame.
  std::vector<CameraPose> ring;
  for (int i = 1; i <= 4; ++i) ring.push_back(NewPointsScene::Pose({0.15 * i, 0, 0}));
  scene.Build(NewPointsScene::RandomPoints(6, 6), {NewPointsScene::Pose({0, 0, 0})}, ring, 0.0, 1);
  scene.unit.ring[1].keyFrame = 1;
  scene.Displace(2, 3, 40.0, 0.0);
  Run();
  EXPECT_EQ(counts.triangulated, 6u);
  EXPECT_EQ(counts.solved, 5u);
  EXPECT_EQ(scene.Flags(3), 0);
  const std::vector<u32> kept = {0, 1, 2, 4, 5}, all = {0, 1, 2, 3, 4, 5};
  for (u16 s = 0; s < 4; ++s) {
    const TrackerFrame& f = scene.unit.ring[s];
    EXPECT_EQ(Tracks(f.mapMatches[0]), s == 1 ? all : kept) << s;
    if (s == 1) continue;
    EXPECT_EQ(f.inlierCount, 5) << s;
    EXPECT_EQ(f.unsolvedCount, 0) << s;
  }
}

TEST_F(NewPointsTest, UnreliablePointsAreRecheckedAndFailuresUnsolved) {
  // Tracks 0 and 1 were solved but are unreliable; track 0's point is a
  // little off and refines back, track 1 is seen 40 pixels off in slot 1
  // and returns to the unsolved state, keeping its other bits.
  std::vector<CameraPose> ring;
  for (int i = 1; i <= 3; ++i) ring.push_back(NewPointsScene::Pose({0.2 * i, 0, 0}));
  scene.Build(NewPointsScene::RandomPoints(4, 8), {NewPointsScene::Pose({0, 0, 0})}, ring, 0.0, 1);
  for (u32 j = 0; j < 2; ++j) {
    scene.Flags(j) = kNew | kTrackSurf;
    scene.SetPoint(j, scene.points[j] + Vector3d(0.02, -0.01, 0.05));
  }
  scene.Displace(1, 1, 40.0, 0.0);
  const std::string line = Run();
  EXPECT_EQ(counts.rechecked, 2u);
  EXPECT_EQ(counts.bad, 1u);
  EXPECT_EQ(scene.Flags(0), kNew | kTrackSurf);
  EXPECT_LT((scene.Point(0) - scene.points[0]).norm(), 1e-4);
  EXPECT_EQ(scene.Flags(1), kTrackSurf);
  EXPECT_EQ(Tracks(scene.unit.ring[0].mapMatches[0]), (std::vector<u32>{0, 2, 3}));
  EXPECT_EQ(line, "[102] New Points = 2 / 2 = 100%, Bad Points = 1 / 2 = 50%\n");
}

TEST_F(NewPointsTest, MarkerAndSettledTracksAreNeverCandidates) {
  // Every track is seen 40 pixels off in one frame, so any of them tried
  // would fail and lose its matches: a MARKER track (unsolved or not), a
  // settled INLIER point, an OUTLIER.
  std::vector<CameraPose> ring = {NewPointsScene::Pose({0.2, 0, 0}),
                                  NewPointsScene::Pose({0.4, 0, 0})};
  scene.Build(NewPointsScene::RandomPoints(4, 9), {NewPointsScene::Pose({0, 0, 0})}, ring, 0.0, 1);
  const u8 flags[4] = {kTrackMarker, kNew | kTrackMarker, kTrackSolved | kTrackInlier,
                       kTrackSolved | kTrackUnreliable};
  for (u32 j = 0; j < 4; ++j) {
    scene.Flags(j) = flags[j];
    scene.SetPoint(j, scene.points[j] + Vector3d(0.1, 0, 0));
    scene.Displace(0, j, 40.0, 0.0);
  }
  const AlignedArray<MapPoint> before = scene.Working().points;
  const std::string line = Run();
  EXPECT_EQ(line, "[101] New Points = 0 / 0 = 0%, Bad Points = 0 / 0 = 0%\n");
  for (u32 j = 0; j < 4; ++j) {
    EXPECT_EQ(scene.Flags(j), flags[j]) << j;
    EXPECT_EQ(scene.Point(j), Vector3d(before[j].v[0], before[j].v[1], before[j].v[2])) << j;
  }
  EXPECT_EQ(scene.unit.ring[0].mapMatches[0].size(), 4u);
}

TEST_F(NewPointsTest, ATrackMatchedOnTwoLevelsIsOneCandidate) {
  scene.Build(NewPointsScene::RandomPoints(3, 10), {NewPointsScene::Pose({0, 0, 0})},
              {NewPointsScene::Pose({0.4, 0, 0})}, 0.0, 1);
  TrackerFrame& f = scene.unit.ring[0];
  f.mapMatches[2].push_back(f.mapMatches[0][1]);
  const std::string line = Run();
  EXPECT_EQ(line, "[100] New Points = 3 / 3 = 100%, Bad Points = 0 / 0 = 0%\n");
  EXPECT_LT((scene.Point(1) - scene.points[1]).norm(), 1e-4);
}
