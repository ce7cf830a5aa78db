// The new-points unit over a real map and ring (NewPointsScene.h).
#include "tracker/NewPoints.h"

#include <gtest/gtest.h>

#include "tests/common/tracker/NewPointsScene.h"

using Scene = NewPointsScene;
constexpr u8 kNew = kTrackSolved | kTrackInlier | kTrackUnreliable;

// n ring frames along x, `step` apart, after a key frame at the origin.
static std::vector<CameraPose> Along(int n, double step) {
  std::vector<CameraPose> poses;
  for (int i = 1; i <= n; ++i) poses.push_back(Scene::Pose({step * i, 0, 0}));
  return poses;
}

struct NewPointsTest : ::testing::Test {
  // Runs one unit from call to call on the current frame; returns its log.
  std::string Run(bool recovering = false) {
    testing::internal::CaptureStdout();
    unit.CreateNewPoints(scene.unit.ring.Current(), {true, recovering});
    return testing::internal::GetCapturedStdout();
  }
  Scene scene;
  TrackerLog log{true, ""};
  TrackerContext c = scene.unit.Context();
  NewPoints unit{{c.options, c.camera, c.ring, c.mapView, c.links, c.objects, log}};
};

TEST_F(NewPointsTest, TwoNoisyViewsMeetTheScenePoints) {
  // Depth deviation z^2 sqrt(2) sigma / (f b) = 0.045 at the far end (z = 4,
  // b = 0.5, sigma = 0.5 pixels), less nearer; the largest within three.
  scene.Build(Scene::RandomPoints(60, 3), {Scene::Pose({0, 0, 0})},
              {Scene::Pose({0.5, 0, 0}, -5.0)}, 0.5, 7);
  EXPECT_EQ(Run(), "[100] New Points = 60 / 60 = 100%, Bad Points = 0 / 0 = 0%\n");
  Eigen::VectorXd error(60);
  for (u32 j = 0; j < 60; ++j) error[j] = (scene.Point(j) - scene.points[j]).norm();
  EXPECT_LT(error.mean(), 0.03);
  EXPECT_LT(error.maxCoeff(), 0.15);
}

TEST_F(NewPointsTest, EveryViewCountsAndFailuresLeaveOrdinaryFramesOnly) {
  // Noise-free; "off" is 40 pixels off. Tracks 0 to 3 (MARKER, solved MARKER,
  // settled INLIER, OUTLIER) are off in slot 0, so a try would fail them. 4
  // is off in slot 3, which has no pose. 5 and 6 are solved but unreliable,
  // their points a little off; 6 is off in slot 0. 7 is matched again on
  // level 2 of the current frame. 8 is off in key frame 1. Slot 1 is a key
  // frame: it keeps the failed tracks' matches.
  scene.Build(Scene::RandomPoints(9, 8), {Scene::Pose({0, 0, 0}), Scene::Pose({0.5, 0, 0}, -5.0)},
              Along(5, 0.12), 0.0, 1);
  scene.Flags(0) = kTrackMarker;
  scene.Flags(1) = kNew | kTrackMarker;
  scene.Flags(2) = kTrackSolved | kTrackInlier;
  scene.Flags(3) = kTrackSolved | kTrackUnreliable;
  scene.Flags(5) = scene.Flags(6) = kNew | kTrackSurf;
  for (u32 j = 0; j < 9; ++j) {
    scene.SetPoint(j, scene.points[j] + Eigen::Vector3d(0.02, -0.01, 0.05));
    if (j < 4 || j == 6) scene.Displace(0, j, 40.0);
  }
  scene.Displace(3, 4, 40.0);
  scene.unit.ring[3].pose.slot[kVisual].m[0][0] = FLT_MAX;
  scene.unit.ring[4].mapMatches[2].push_back(scene.unit.ring[4].mapMatches[0][7]);
  scene.unit.view.KeyFrameNormalized()[scene.unit.view.Records()[1].featureStart + 8].y += 0.08f;
  scene.unit.ring[1].keyFrame = 1;
  EXPECT_EQ(Run(), "[104] New Points = 2 / 3 = 66%, Bad Points = 1 / 2 = 50%\n");
  for (u32 j : {4, 5, 7}) EXPECT_LT((scene.Point(j) - scene.points[j]).norm(), 1e-4) << j;
  EXPECT_EQ(scene.Flags(5), kNew | kTrackSurf);
  EXPECT_EQ(scene.Flags(6), kTrackSurf);
  EXPECT_EQ(scene.Tracks(1).size(), 9u);
  for (u16 s : {0, 2, 3, 4}) EXPECT_EQ(scene.Tracks(s), (std::vector<u32>{0, 1, 2, 3, 4, 5, 7}));
  EXPECT_EQ(scene.unit.ring[0].inlierCount, 5);    // 1, 2, 4, 5, 7
  EXPECT_EQ(scene.unit.ring[0].unsolvedCount, 1);  // 0
  // Next frame the new points are re-checked with the rest.
  EXPECT_EQ(Run(), "[104] New Points = 0 / 0 = 0%, Bad Points = 0 / 3 = 0%\n");
}

TEST_F(NewPointsTest, RaysWithinOneDegreeTakeTheDefaultDepth) {
  const f32 degree = static_cast<f32>(M_PI) / 180.0f;
  EXPECT_EQ(TriangulationDepth(std::cos(0.99f * degree), 2.5f), 2.5f);
  EXPECT_EQ(TriangulationDepth(std::cos(1.01f * degree), 2.5f), FLT_MAX);
  // A camera moving straight at the point sees it along one ray: it goes to
  // the frame's scene depth on the key frame's ray, or to the initial depth
  // when the frame has none in front (0, negative, not finite).
  const Eigen::Vector3d X(0.3, -0.2, 3.0);
  scene.unit.options.initialDepth = 1.5f;
  scene.Build({X}, {Scene::Pose({0, 0, 0})}, {Scene::Pose(0.2 * X)}, 0.0, 1);
  for (const f32 sceneDepth : {2.0f, 0.0f, -1.0f, INFINITY, NAN}) {
    scene.Flags(0) = 0;
    scene.SetPoint(0, {0, 0, 0});
    scene.unit.ring[0].sceneDepth = sceneDepth;
    Run();
    const double depth = sceneDepth == 2.0f ? 2.0 : 1.5;
    EXPECT_LT((scene.Point(0) - X * (depth / X.z())).norm(), 1e-5) << sceneDepth;
  }
}

// A frame that sees enough of a map of two or more key frames leaves a
// track without parallax unsolved, its matches kept for a later view; with
// one inlier fewer, or over the first key frame alone, the track takes the
// guessed depth.
TEST_F(NewPointsTest, AFrameThatSeesEnoughOfTheMapGuessesNoDepth) {
  const Eigen::Vector3d X(0.3, -0.2, 3.0);
  for (const u32 keyFrames : {2u, 1u}) {
    std::vector<CameraPose> poses = {Scene::Pose({0, 0, 0})};
    if (keyFrames == 2) poses.push_back(Scene::Pose(0.1 * X));
    Scene s;
    s.Build({X}, poses, {Scene::Pose(0.2 * X)}, 0.0, 1);
    TrackerContext sc = s.unit.Context();
    NewPoints points{{sc.options, sc.camera, sc.ring, sc.mapView, sc.links, sc.objects, log}};
    TrackerFrame& f = s.unit.ring[0];
    f.sceneDepth = 2.0f;
    for (const u16 inliers : {kEnoughMeasuredInliers, kEnoughMeasuredInliers - 1}) {
      s.Flags(0) = 0;
      f.inlierCount = static_cast<u16>(inliers);
      testing::internal::CaptureStdout();
      points.CreateNewPoints(0, {true, false});
      testing::internal::GetCapturedStdout();
      const bool guessed = keyFrames == 1 || inliers < kEnoughMeasuredInliers;
      EXPECT_EQ(s.Flags(0), guessed ? kNew : 0) << keyFrames << " " << inliers;
      if (guessed) {
        EXPECT_LT((s.Point(0) - X * (2.0 / X.z())).norm(), 1e-5);
      }
      EXPECT_EQ(s.Tracks(0), std::vector<u32>{0});
    }
  }
}

TEST_F(NewPointsTest, TheGateIsSixPixelsAndTenWhileRecovering) {
  // Tracks 0 to 3 are seen 7, 8, 12 and 13 pixels off in the middle of five
  // views on a horizontal line: that view keeps 4/5 of the offset as its
  // residual, so each pair brackets a gate to 0.4 pixels. Key frames all, the
  // ring frames keep the failed tracks for the recovering call.
  scene.Build(Scene::RandomPoints(4, 5), {Scene::Pose({0, 0, 0})}, Along(4, 0.15), 0.0, 1);
  for (u32 j = 0; j < 4; ++j) scene.Displace(2, j, (j < 2 ? 7.0 : 10.0) + j);
  for (u16 s = 0; s < 4; ++s) scene.unit.ring[s].keyFrame = s;
  EXPECT_EQ(Run(), "[103] New Points = 1 / 4 = 25%, Bad Points = 0 / 0 = 0%\n");
  EXPECT_EQ(Run(true), "[103] New Points = 2 / 3 = 66%, Bad Points = 0 / 1 = 0%\n");
}

// Points that only one key frame measures are solved from the ring frames and
// the map never solves them. A pull after any change of the map keeps them;
// once the map solves a track its point wins; after a pop or trim they go.
TEST_F(NewPointsTest, OwnPointsSurviveAPullUntilTheMapSolvesThem) {
  scene.Build(Scene::RandomPoints(20, 5), {Scene::Pose({0, 0, 0})}, Along(3, 0.2), 0.0, 2);
  Run();
  TrackerMapView& view = scene.unit.view;
  GlobalMap& map = *scene.unit.map;
  const auto pull = [&] {
    map.changed = 1;
    EXPECT_TRUE(view.Synchronize());
  };
  const Eigen::Vector3d solved = scene.Point(3);
  EXPECT_LT((solved - scene.points[3]).norm(), 1e-3);
  pull();
  for (u32 j = 0; j < 20; ++j) EXPECT_EQ(scene.Flags(j) & kNew, kNew) << j;
  EXPECT_EQ(scene.Point(3), solved);

  // The map solves track 3 itself, at its own place.
  map.trackFlags[3] = kTrackSolved | kTrackInlier;
  map.points[3] = MapPoint{{1.0f, 2.0f, 3.0f, 1.0f}};
  pull();
  EXPECT_EQ(scene.Flags(3), kTrackSolved | kTrackInlier);
  EXPECT_EQ(scene.Point(3), Eigen::Vector3d(1.0, 2.0, 3.0));
  EXPECT_EQ(scene.Flags(4) & kNew, kNew);

  view.ForgetOwnPoints();
  pull();
  EXPECT_EQ(scene.Flags(4), 0);
  EXPECT_EQ(scene.Flags(3), kTrackSolved | kTrackInlier);
}

// Rays from cameras that stood still in the map while the view moved meet at
// the cameras. A point nearer to a camera that sees it than a twentieth of
// the frame's scene depth is refused, new or re-checked; one beyond is kept.
TEST_F(NewPointsTest, APointByTheLensIsRefused) {
  // Scene depth 2: the bound is 0.1 in front of every view.
  scene.Build({{0.01, 0.0, 0.09}, {0.02, 0.01, 0.12}}, {Scene::Pose({0, 0, 0})}, Along(3, 0.01),
              0.0, 1);
  for (u16 s = 0; s < 3; ++s) scene.unit.ring[s].sceneDepth = 2.0f;
  EXPECT_EQ(Run(), "[102] New Points = 1 / 2 = 50%, Bad Points = 0 / 0 = 0%\n");
  EXPECT_EQ(scene.Flags(0), 0);
  EXPECT_EQ(scene.Flags(1), kNew);
  EXPECT_LT((scene.Point(1) - scene.points[1]).norm(), 1e-4);
  EXPECT_EQ(scene.Tracks(2), std::vector<u32>{1});
  // At scene depth 3 the kept point is within the bound when it is re-checked.
  for (u16 s = 0; s < 3; ++s) scene.unit.ring[s].sceneDepth = 3.0f;
  EXPECT_EQ(Run(), "[102] New Points = 0 / 0 = 0%, Bad Points = 1 / 1 = 100%\n");
  EXPECT_EQ(scene.Flags(1), 0);

  // Nearer than the bound, at it and behind the camera.
  Point3DEstimatorData data;
  const CameraPose pose = Scene::Pose({0, 0, 1});
  data.cameras.push_back(&pose);
  for (const auto& [z, near] : std::vector<std::pair<f32, bool>>{
           {1.05f, true}, {1.1f, false}, {0.5f, true}, {3.0f, false}}) {
    Point3D X;
    X.v[0] = 0.0f, X.v[1] = 0.0f, X.v[2] = z, X.v[3] = 1.0f;
    EXPECT_EQ(SeenTooNear(data, X, 0.1f), near) << z;
  }
}
