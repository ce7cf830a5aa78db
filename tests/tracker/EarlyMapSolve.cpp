// The joint solve of the first key frame's points and the ring frames while
// the map holds one or two key frames, over a real map and ring
// (NewPointsScene.h).
#include "tracker/EarlyMapSolve.h"

#include <gtest/gtest.h>

#include "tests/common/tracker/NewPointsScene.h"

using Scene = NewPointsScene;

namespace {

constexpr u32 kPoints = 81;  // odd: the median distance is the median inverse one
constexpr int kFrames = 8;

// The median distance of the points from the origin (the key frame).
double MedianDistance(const std::vector<Eigen::Vector3d>& points) {
  std::vector<double> d;
  for (const Eigen::Vector3d& X : points) d.push_back(X.norm());
  std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
  return d[d.size() / 2];
}

// Ring frames walking sideways while turning back toward the scene: the
// motion a view of points at one guessed depth reads partly as a turn.
Eigen::Vector3d TrueCentre(int i) {
  return {0.03 * i, 0.008 * i, 0.01 * i};
}
double TrueYaw(int i) {
  return -0.5 * i;
}
double TruePitch(int i) {
  return 0.3 * i;
}
// [R | -R c] of a camera at c turned by `yaw` degrees about y and then by
// `pitch` about x: every axis of the frames' turn takes part.
CameraPose WalkPose(const Eigen::Vector3d& centre, double yaw, double pitch) {
  const Eigen::Matrix3d R = (Eigen::AngleAxisd(pitch * M_PI / 180.0, Eigen::Vector3d::UnitX()) *
                             Eigen::AngleAxisd(yaw * M_PI / 180.0, Eigen::Vector3d::UnitY()))
                                .toRotationMatrix();
  return FromEigen<CameraPose>(R, -R * centre);
}
CameraPose TruePose(int i) {
  return WalkPose(TrueCentre(i), TrueYaw(i), TruePitch(i));
}

// With the parameter's count of key frames: the first at the origin, a
// second where the walk stands half-way.
struct EarlyMapSolveTest : ::testing::TestWithParam<int> {
  EarlyMapSolveTest() {
    std::vector<CameraPose> ring, keyFrames = {Scene::Pose({0, 0, 0})};
    for (int i = 1; i <= kFrames; ++i) ring.push_back(TruePose(i));
    if (GetParam() > 1) keyFrames.push_back(TruePose(kFrames / 2));
    scene.Build(Scene::RandomPoints(kPoints, 5), keyFrames, ring, 0.3, 9);
    for (u16 s = 0; s < kFrames; ++s) {
      IMUDelta& d = scene.unit.ring[s].delta[kFromKeyFrame];
      d.dt = 0.033 * (s + 1);  // images only: no translation readings
      d.wp = d.wv = 0.0;
    }
    // Where tracking in turns leaves them: every point at one depth on its
    // key-frame ray, the frames short of their step and their turn.
    for (u32 j = 0; j < kPoints; ++j) {
      const Eigen::Vector3d& X = scene.points[j];
      scene.SetPoint(j, X * (kGuessedDepth / X.z()));
      scene.Flags(j) = kTrackSolved | kTrackInlier | kTrackUnreliable;
    }
    for (int i = 1; i <= kFrames; ++i)
      scene.unit.ring[static_cast<u16>(i - 1)].pose.slot[kVisual] = WalkPose(
          0.6 * TrueCentre(i) * (kGuessedDepth / 3.0), 0.8 * TrueYaw(i), 0.8 * TruePitch(i));
  }
  bool Solve() { return unit.Solve(Current()); }
  u16 Current() { return static_cast<u16>(kFrames - 1); }
  // The working copy's points.
  std::vector<Eigen::Vector3d> Solved() {
    std::vector<Eigen::Vector3d> points;
    for (u32 j = 0; j < kPoints; ++j) points.push_back(scene.Point(j));
    return points;
  }
  // The median relative error of the points' distances from the key frame,
  // each over the median distance, against the truth's.
  double ShapeError() {
    const std::vector<Eigen::Vector3d> solved = Solved();
    const double a = MedianDistance(solved), b = MedianDistance(scene.points);
    std::vector<double> e;
    for (u32 j = 0; j < kPoints; ++j)
      e.push_back(std::fabs(solved[j].norm() / a / (scene.points[j].norm() / b) - 1.0));
    std::nth_element(e.begin(), e.begin() + kPoints / 2, e.end());
    return e[kPoints / 2];
  }

  static constexpr double kGuessedDepth = 1.0;
  Scene scene;
  EarlyMapSolve unit{scene.unit.Context()};
};

}  // namespace

// From the flattened scene and short steps, one solve finds the scene's
// shape and the frame's pose in the map's unit, which it keeps: the points'
// median distance stays where it was. Wrong matches do not pull it.
TEST_P(EarlyMapSolveTest, FramesAndPointsMeetTheSceneTogether) {
  // A tenth of every frame's matches are wrong corners 30 pixels off.
  for (u16 s = 0; s < kFrames; ++s)
    for (u32 j = s; j < kPoints; j += 10) scene.Displace(s, j, 30.0);
  const double held = MedianDistance(Solved());
  ASSERT_GT(ShapeError(), 0.1);

  ASSERT_TRUE(Solve());
  EXPECT_LT(ShapeError(), 0.02);
  EXPECT_NEAR(MedianDistance(Solved()), held, 1e-5);
  // The points are the tracker's own: a pull of the map, which has not
  // solved them, keeps them.
  scene.unit.map->changed = 1;
  ASSERT_TRUE(scene.unit.view.Synchronize());
  EXPECT_LT(ShapeError(), 0.02);

  // The map's unit: the true median distance maps to the held one.
  const double unit = held / MedianDistance(scene.points);
  const CameraPose& P = scene.unit.ring[Current()].pose.slot[kVisual];
  const Eigen::Matrix3d R = ToEigen(P);
  const Eigen::Vector3d centre = -R.transpose() * TranslationOf(P);
  EXPECT_LT((centre - unit * TrueCentre(kFrames)).norm(), 0.05 * unit * TrueCentre(kFrames).norm());
  const Eigen::Matrix3d truth = ToEigen(TruePose(kFrames));
  EXPECT_LT(Eigen::AngleAxisd(R * truth.transpose()).angle(), 0.2 * M_PI / 180.0);
  // The frame's state follows its pose.
  float centreOfState[3];
  CameraCentre(P, centreOfState);
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(scene.unit.ring[Current()].state.record[kVisual].position[k], centreOfState[k],
                1e-4);
}

// Where it does not apply, or cannot gain, it leaves everything as it was.
TEST_P(EarlyMapSolveTest, WhatItDoesNotSolveStaysAsItWas) {
  const MapWorkingCopy before = scene.Working();
  const CameraPose pose = scene.unit.ring[Current()].pose.slot[kVisual];
  auto unchanged = [&](const char* what) {
    for (u32 j = 0; j < kPoints; ++j)
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(scene.Working().points[j].v[k], before.points[j].v[k]) << what;
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 4; ++k)
        ASSERT_EQ(scene.unit.ring[Current()].pose.slot[kVisual].m[r][k], pose.m[r][k]) << what;
  };
  TrackerFrame& f = scene.unit.ring[Current()];

  f.delta[kFromKeyFrame].wp = 1.0;  // the readings' window holds this frame
  EXPECT_FALSE(Solve());
  unchanged("readings");
  f.delta[kFromKeyFrame].wp = 0.0;

  f.keyFrame = 0;
  EXPECT_FALSE(Solve());
  unchanged("key frame");
  f.keyFrame = kNone16;

  scene.Flags(11) |= kTrackMarker;  // the sheet placed the map
  EXPECT_FALSE(Solve());
  unchanged("marker");
  scene.Flags(11) &= static_cast<u8>(~kTrackMarker);

  for (u32 j = EarlyMapSolve::kMinPoints - 1; j < kPoints; ++j) scene.Flags(j) = 0;
  EXPECT_FALSE(Solve());
  unchanged("too few points");
  for (u32 j = 0; j < kPoints; ++j) scene.Flags(j) = kTrackSolved | kTrackInlier;

  f.pose.slot[kVisual].m[0][0] = FLT_MAX;
  EXPECT_FALSE(Solve());
  f.pose.slot[kVisual] = pose;
  unchanged("no pose");

  // Nothing to gain: frames and points already agree.
  ASSERT_TRUE(Solve());
  const MapWorkingCopy solved = scene.Working();
  const CameraPose solvedPose = f.pose.slot[kVisual];
  Solve();
  for (u32 j = 0; j < kPoints; ++j)
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(scene.Working().points[j].v[k], solved.points[j].v[k], 1e-4);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(f.pose.slot[kVisual].m[r][k], solvedPose.m[r][k], 1e-4);
}

INSTANTIATE_TEST_SUITE_P(KeyFrames, EarlyMapSolveTest, ::testing::Values(1, 2));

// A third key frame hands the points to the map's adjustments.
TEST(EarlyMapSolveMap, ThreeKeyFramesAreTheAdjustmentsWork) {
  Scene scene;
  scene.Build(
      Scene::RandomPoints(40, 2),
      {Scene::Pose({0, 0, 0}), Scene::Pose({0.15, 0, 0}, -1.5), Scene::Pose({0.3, 0, 0}, -3.0)},
      {Scene::Pose({0.1, 0, 0}, -1.0), Scene::Pose({0.2, 0, 0}, -2.0)}, 0.3, 3);
  for (u16 s = 0; s < 2; ++s) {
    scene.unit.ring[s].delta[kFromKeyFrame].dt = 0.1;
    scene.unit.ring[s].delta[kFromKeyFrame].wp = scene.unit.ring[s].delta[kFromKeyFrame].wv = 0.0;
  }
  for (u32 j = 0; j < 40; ++j) {
    scene.SetPoint(j, scene.points[j] * 1.3);
    scene.Flags(j) = kTrackSolved | kTrackInlier;
  }
  const MapWorkingCopy before = scene.Working();
  EarlyMapSolve unit{scene.unit.Context()};
  EXPECT_FALSE(unit.Solve(1));
  for (u32 j = 0; j < 40; ++j)
    for (int k = 0; k < 3; ++k) ASSERT_EQ(scene.Working().points[j].v[k], before.points[j].v[k]);
}
