// The new-points unit over a real map and ring (640 x 480, f = 500): points
// of unsolved tracks from noisy views, every key frame a view, the default
// depth of rays that do not spread, the pixel gates, re-checks, the tracks
// that are never candidates, removal from ordinary frames only, the log line.
#include "tracker/NewPoints.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>

#include "tests/common/tracker/NewPointsScene.h"

using Eigen::Vector3d;
using Scene = NewPointsScene;

namespace {

constexpr u8 kNew = kTrackSolved | kTrackInlier | kTrackUnreliable;

// n ring frames along x, `step` apart, after a key frame at the origin.
std::vector<CameraPose> Along(int n, double step) {
  std::vector<CameraPose> poses;
  for (int i = 1; i <= n; ++i) poses.push_back(Scene::Pose({step * i, 0, 0}));
  return poses;
}

std::vector<u32> Tracks(const std::vector<MapMatch>& list) {
  std::vector<u32> tracks;
  for (const MapMatch& m : list) tracks.push_back(m.track);
  return tracks;
}

}  // namespace

class NewPointsTest : public ::testing::Test {
 protected:
  // Runs the same unit from call to call on the current frame; returns its
  // log line.
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
  void BuildAlong(u32 points, u32 seed, int n, double step) {
    scene.Build(Scene::RandomPoints(points, seed), {Scene::Pose({0, 0, 0})}, Along(n, step), 0.0,
                1);
  }

  Scene scene;
  TrackerLog log{true, ""};
  std::unique_ptr<NewPoints> unit;
  NewPointCounts counts;
};

TEST_F(NewPointsTest, TwoNoisyViewsMeetTheScenePointsAndAreRecheckedNextFrame) {
  // Depth deviation z^2 sqrt(2) sigma / (f b) = 0.045 at the far end (z = 4,
  // b = 0.5, sigma = 0.5 pixels), less nearer; the largest within three.
  scene.Build(Scene::RandomPoints(60, 3), {Scene::Pose({0, 0, 0})},
              {Scene::Pose({0.5, 0, 0}, -5.0)}, 0.5, 7);
  Run();
  EXPECT_EQ(counts.solved, 60u);
  for (u32 j = 0; j < 60; ++j) EXPECT_EQ(scene.Flags(j), kNew) << j;
  double mean = 0.0, largest = 0.0;
  scene.Errors(mean, largest);
  EXPECT_LT(mean, 0.03);
  EXPECT_LT(largest, 0.15);
  Run();
  EXPECT_EQ(counts.triangulated, 0u);
  EXPECT_EQ(counts.rechecked, 60u);
  EXPECT_EQ(counts.bad, 0u);
}

TEST_F(NewPointsTest, EveryKeyFrameIsAView) {
  // Noise-free views come back to float precision, except track 5, which
  // key frame 1 sees (its sixth feature) 40 pixels off.
  scene.Build(Scene::RandomPoints(20, 3), {Scene::Pose({0, 0, 0}), Scene::Pose({0.5, 0, 0}, -5.0)},
              Along(3, 0.25), 0.0, 1);
  scene.unit.view.KeyFrameNormalized()[scene.unit.view.Records()[1].featureStart + 5].x += 0.08f;
  Run();
  EXPECT_EQ(counts.solved, 19u);
  EXPECT_EQ(scene.Flags(5), 0);
  scene.SetPoint(5, scene.points[5]);
  double mean = 0.0, largest = 0.0;
  scene.Errors(mean, largest);
  EXPECT_LT(largest, 1e-4);
}

TEST_F(NewPointsTest, RaysWithinOneDegreeTakeTheDefaultDepth) {
  const f32 degree = static_cast<f32>(M_PI) / 180.0f;
  EXPECT_EQ(TriangulationDepth(std::cos(0.99f * degree), 2.5f), 2.5f);
  EXPECT_EQ(TriangulationDepth(std::cos(1.01f * degree), 2.5f), FLT_MAX);
  EXPECT_EQ(TriangulationDepth(FLT_MAX, 2.5f), 2.5f);  // fewer than two views
  // A camera moving straight at the point sees it along one ray: it goes to
  // the frame's scene depth on the key frame's ray, or to the initial depth
  // when the frame has none (0, or a depth not in front).
  const Vector3d X(0.3, -0.2, 3.0);
  for (const f32 sceneDepth : {2.0f, 0.0f, -1.0f}) {
    Scene s;
    s.unit.options.initialDepth = 1.5f;
    s.Build({X}, {Scene::Pose({0, 0, 0})}, {Scene::Pose(0.2 * X)}, 0.0, 1);
    s.unit.ring[0].sceneDepth = sceneDepth;
    NewPoints(s.unit.Context()).CreateNewPoints(0, {true, false});
    EXPECT_EQ(s.Flags(0), kNew);
    EXPECT_LT((s.Point(0) - X * ((sceneDepth > 0.0f ? 2.0 : 1.5) / X.z())).norm(), 1e-5);
  }
}

TEST_F(NewPointsTest, TheGateIsSixPixelsAndTenWhileRecovering) {
  // Track 0 is seen d pixels off vertically in one of five views on a
  // horizontal line: that view keeps 4/5 of d as its residual, so each pair
  // of cases brackets a gate to 0.4 pixels.
  using Case = std::tuple<double, bool, bool>;  // d, recovering, solved
  for (const auto& [d, recovering, solved] : {Case{7.0, false, true}, Case{8.0, false, false},
                                              Case{12.0, true, true}, Case{13.0, true, false}}) {
    Scene s;
    s.Build(Scene::RandomPoints(5, 5), {Scene::Pose({0, 0, 0})}, Along(4, 0.15), 0.0, 1);
    s.Displace(2, 0, 0.0, d);
    NewPoints(s.unit.Context()).CreateNewPoints(s.unit.ring.Current(), {true, recovering});
    EXPECT_EQ(s.Flags(0), solved ? kNew : 0) << d;
    EXPECT_EQ(s.Flags(1), kNew) << d;
  }
}

TEST_F(NewPointsTest, FailedTracksLeaveOrdinaryFramesOnly) {
  // Track 3 is seen 40 pixels off in slot 2; slot 1 is a key frame; slot 3
  // has no pose, so its far-off match of track 0 is no view.
  BuildAlong(6, 6, 5, 0.12);
  scene.unit.ring[1].keyFrame = 1;
  scene.unit.ring[3].pose.slot[kVisual].m[0][0] = FLT_MAX;
  scene.Displace(2, 3, 40.0, 0.0);
  scene.Displace(3, 0, 40.0, 0.0);
  Run();
  EXPECT_EQ(counts.solved, 5u);
  EXPECT_EQ(scene.Flags(3), 0);
  EXPECT_LT((scene.Point(0) - scene.points[0]).norm(), 1e-4);
  for (u16 s = 0; s < 5; ++s) {
    const TrackerFrame& f = scene.unit.ring[s];
    EXPECT_EQ(Tracks(f.mapMatches[0]),
              s == 1 ? (std::vector<u32>{0, 1, 2, 3, 4, 5}) : (std::vector<u32>{0, 1, 2, 4, 5}));
    if (s == 1) continue;  // a key frame's counts are not recomputed
    EXPECT_EQ(f.inlierCount, 5) << s;
    EXPECT_EQ(f.unsolvedCount, 0) << s;
  }
}

TEST_F(NewPointsTest, UnreliablePointsAreRecheckedAndFailuresUnsolved) {
  // Tracks 0 and 1 are solved but unreliable: 0's point, a little off,
  // refines back; 1, seen 40 pixels off in slot 1, becomes unsolved and
  // keeps its other bits. Of the unsolved 2 to 4, track 4 is seen off too,
  // and track 2 is matched on two levels of the current frame (one try).
  BuildAlong(5, 8, 3, 0.2);
  for (u32 j = 0; j < 2; ++j) {
    scene.Flags(j) = kNew | kTrackSurf;
    scene.SetPoint(j, scene.points[j] + Vector3d(0.02, -0.01, 0.05));
  }
  scene.Displace(1, 1, 40.0, 0.0);
  scene.Displace(1, 4, 40.0, 0.0);
  TrackerFrame& f = scene.unit.ring[2];
  f.mapMatches[2].push_back(f.mapMatches[0][2]);
  EXPECT_EQ(Run(), "[102] New Points = 2 / 3 = 66%, Bad Points = 1 / 2 = 50%\n");
  EXPECT_EQ(scene.Flags(0), kNew | kTrackSurf);
  EXPECT_LT((scene.Point(0) - scene.points[0]).norm(), 1e-4);
  EXPECT_EQ(scene.Flags(1), kTrackSurf);
  EXPECT_EQ(Tracks(scene.unit.ring[0].mapMatches[0]), (std::vector<u32>{0, 2, 3}));
}

TEST_F(NewPointsTest, MarkerAndSettledTracksAreNeverCandidates) {
  // Each is seen 40 pixels off, so a try would fail and drop its matches: a
  // MARKER track unsolved and solved, a settled INLIER point, an OUTLIER.
  BuildAlong(4, 9, 2, 0.2);
  const u8 flags[4] = {kTrackMarker, kNew | kTrackMarker, kTrackSolved | kTrackInlier,
                       kTrackSolved | kTrackUnreliable};
  for (u32 j = 0; j < 4; ++j) {
    scene.Flags(j) = flags[j];
    scene.SetPoint(j, scene.points[j] + Vector3d(0.1, 0, 0));
    scene.Displace(0, j, 40.0, 0.0);
  }
  const AlignedArray<MapPoint> before = scene.Working().points;
  EXPECT_EQ(Run(), "[101] New Points = 0 / 0 = 0%, Bad Points = 0 / 0 = 0%\n");
  for (u32 j = 0; j < 4; ++j) {
    EXPECT_EQ(scene.Flags(j), flags[j]) << j;
    EXPECT_EQ(scene.Point(j), Vector3d(before[j].v[0], before[j].v[1], before[j].v[2])) << j;
  }
  EXPECT_EQ(scene.unit.ring[0].mapMatches[0].size(), 4u);
}
