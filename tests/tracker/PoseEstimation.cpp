// The pose unit over a 640 x 480 camera (f = 500) and 200 points 3 to 7 deep.
#include "tracker/PoseEstimation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "common/Draws.h"
#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "tests/features/AlignmentScene.h"

using Vector6d = Eigen::Matrix<double, 6, 1>;

class PoseEstimationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(7);
    u.ring.ResetTo(2);
    const Eigen::Matrix3d R = RandomRotationD(0.3);
    truth = FromEigen<CameraPose>(R, {0.1, -0.2, 0.3});
    Visual(0) = Visual() = start = FromEigen<CameraPose>(
        Eigen::AngleAxisd(0.05, Eigen::Vector3d(1, 2, 3).normalized()) * R, {0.2, -0.3, 0.4});
    for (u32 i = 0; i < 200; ++i) {  // spread over the view
      const Eigen::Vector3d c(UniformD(-0.5, 0.5), UniformD(-0.4, 0.4), 1.0);
      X.push_back(R.transpose() * (c * UniformD(3, 7) - TranslationOf(truth)));
      points.PushBack({{float(X[i].x()), float(X[i].y()), float(X[i].z()), 1.0f}}, 200);
    }
    u.view.Working().trackFlags.assign(200, kTrackSolved | kTrackInlier);
  }
  // Matches of tracks 0..n-1 (level i % 4) at their true projections through
  // H with pixel noise, the first `outliers` anywhere in the image.
  void Observe(u16 frame, u32 n, double noisePixels = 0, u32 outliers = 0,
               const Eigen::Matrix3d& H = Eigen::Matrix3d::Identity()) {
    for (auto& list : u.ring[frame].mapMatches) list.clear();
    for (u32 i = 0; i < n; ++i) {
      Eigen::Vector2d x = (ToEigen(truth) * X[i] + TranslationOf(truth)).hnormalized() +
                          noisePixels / 500 * Eigen::Vector2d(GaussianD(), GaussianD());
      if (i < outliers) x = {UniformD(-0.64, 0.64), UniformD(-0.48, 0.48)};
      const Intrinsic& k = u.camera.intrinsic[4];  // through H in pixels of the alignment image
      const Eigen::Vector2d c(k.cx[0], k.cy[0]);
      x = ((H * (k.fx[0] * x + c).homogeneous()).hnormalized() - c) / k.fx[0];
      u.ring[frame].mapMatches[i % 4].push_back(
          {i, i, 0, 0, 0, 0, 0, float(x.x()), float(x.y()), 0});
    }
  }
  CameraPose& Visual(u16 frame = 1) { return u.ring[frame].pose.slot[kVisual]; }
  CameraPose FromState(int slot) {
    CameraPose p;
    float scratch[8];
    PoseToCamera(u.ring[1].state.record[slot], u.camera.bodyToCamera, p, scratch);
    return p;
  }
  static double Difference(const CameraPose& a, const CameraPose& b) {  // largest of the twelve
    return std::max((ToEigen(a) - ToEigen(b)).cwiseAbs().maxCoeff(),
                    (TranslationOf(a) - TranslationOf(b)).cwiseAbs().maxCoeff());
  }
  // One Gauss-Newton step in double from frame 1's pose (rotation turned on the left):
  // residuals 2^-l (observed - projected) of the finite positions, weighted by the biweight.
  Vector6d ReferenceStep() {
    const auto residualsAt = [&](const Vector6d& d) {
      const Eigen::Matrix3d R =
          Eigen::AngleAxisd(d.head<3>().norm(), d.head<3>().normalized()) * ToEigen(Visual());
      Eigen::VectorXd r(0);
      for (int l = 0; l < 4; ++l)
        for (const MapMatch& m : u.ring[1].mapMatches[l]) {
          if (!std::isfinite(m.nx + m.ny)) continue;
          const Eigen::Vector3d p = R * X[m.track] + TranslationOf(Visual()) + d.tail<3>();
          r.conservativeResize(r.size() + 2);
          r.tail<2>() = std::ldexp(1.0, -l) * (Eigen::Vector2d(m.nx, m.ny) - p.hnormalized());
        }
      return r;
    };
    const Eigen::VectorXd r = residualsAt(Vector6d::Zero());
    Eigen::MatrixXd J(r.size(), 6);
    for (int k = 0; k < 6; ++k)
      J.col(k) =
          (residualsAt(Vector6d::Unit(k) * 1e-6) - residualsAt(Vector6d::Unit(k) * -1e-6)) / 2e-6;
    const Eigen::VectorXd e = r.reshaped(2, r.size() / 2).colwise().squaredNorm();
    std::vector<double> s(e.begin(), e.end());
    std::nth_element(s.begin(), s.begin() + s.size() / 2, s.end());
    const double c2 =
        std::pow(std::sqrt(s[s.size() / 2]) * (1 + 5.0 / (2 * s.size() - 6.0)) * 6.9461293, 2);
    Eigen::VectorXd w(r.size());  // of each row: (1 - e / c^2)^2, 0 beyond c
    for (Eigen::Index i = 0; i < r.size(); ++i)
      w(i) = std::pow(std::max(0.0, 1 - e(i / 2) / c2), 2);
    return (w.asDiagonal() * J).colPivHouseholderQr().solve(-(w.asDiagonal() * r));
  }

  UnitContext u{640, 480, SceneRender::MakeIntrinsic(500, 500, 319.5f, 239.5f)};
  PoseEstimation pose{u.Context()};
  AlignedArray<MapPoint>& points = u.view.Working().points;
  std::vector<Eigen::Vector3d> X;  // the points in double
  CameraPose truth, start;
};

// Ten inlier matches run, nine (the tenth an outlier track, then one unknown to
// the map copy) do not; an unset output pose stays unset. 0.5 px noise, 30 %
// outliers and two non-finite positions: a fixed point of the double step; a
// set output pose follows with its state. An unset visual pose does not run.
TEST_F(PoseEstimationTest, EstimatesFromTenInlierMatchesThroughNoiseOutliersAndNonFinitePositions) {
  Observe(1, 10);
  u.view.Working().trackFlags[9] = kTrackSolved;
  EXPECT_FALSE(pose.EstimateCameraPose(1));
  u.view.Working().trackFlags[9] |= kTrackInlier;
  EXPECT_TRUE(pose.EstimateCameraPose(1));
  EXPECT_FALSE(IsPoseValid(u.ring[1].pose.slot[kOutput]));
  u.ring[1].mapMatches[1][0].track = 500;
  EXPECT_FALSE(pose.EstimateCameraPose(1));

  Observe(1, 200, 0.5, 60);
  u.ring[1].mapMatches[2][20].nx = NAN;
  u.ring[1].mapMatches[3][20].ny = INFINITY;
  CameraPose& output = u.ring[1].pose.slot[kOutput];
  const CameraPose before = output = FromEigen<CameraPose>(RandomRotationD(1.0), {1, 2, -1});
  Visual() = start;
  ASSERT_TRUE(pose.EstimateCameraPose(1));
  EXPECT_LT(ReferenceStep().cwiseAbs().maxCoeff(), 2e-5);
  CameraPose visualChange, outputChange;
  ComputeRelativePose(start, Visual(), visualChange);
  ComputeRelativePose(before, output, outputChange);
  EXPECT_LT(Difference(visualChange, outputChange), 2e-5);
  EXPECT_LT(Difference(FromState(kOutput), output), 1e-5);
  Visual().m[0][0] = FLT_MAX;
  EXPECT_FALSE(pose.EstimateCameraPose(1));
  // A start pose not finite in its first row is refused, and stays as it was.
  Visual() = start;
  Visual().m[0][3] = NAN;
  EXPECT_FALSE(pose.EstimateCameraPose(1));
  EXPECT_TRUE(std::isnan(Visual().m[0][3]) && Visual().m[1][3] == start.m[1][3]);
}

// Points behind the camera whose flipped projections fit exactly still get
// an infinite residual and no weight.
TEST(PoseRefinement, PointsBehindTheCameraGetNoWeightWhateverTheirResidual) {
  PoseRefinement refinement;
  refinement.Resize(15);
  for (u32 i = 0; i < 15; ++i) {
    const float z = i < 3 ? -2.0f : 2.0f, x = 0.1f * (i % 4) - 0.15f, y = 0.1f * (i / 4) - 0.15f;
    refinement.Set(i, {{x, y, z, 1.0f}}, x / z, y / z, 1.0f);
  }
  CameraPose identity = FromEigen<CameraPose>(Eigen::Matrix3d::Identity());
  EXPECT_EQ(refinement.Refine(identity), PoseRefinement::kRounds);
  for (u32 i = 0; i < 15; ++i)
    EXPECT_EQ(refinement.Weights()[i] == 0 && std::isinf(refinement.SquaredResiduals()[i]), i < 3);
}

// The inliers of frame 0 (affine map), then of key frame 0 (projective map,
// features by level), reach frame 1 through the inverse map on their levels;
// the predicted pose and state follow. With a singular or an unset map frame 1
// keeps its matches and its predicted rotation at the other's centre (the
// other's pose when it has no prediction).
TEST_F(PoseEstimationTest, InliersArriveThroughTheInverseOfTheReferenceOrKeyFrameMap) {
  u.view.Working().trackFlags[4] = kTrackSolved;
  const Eigen::Matrix3d H = AlignmentScene::TestMap(40, 30, false);
  Observe(0, 60, 0, 0, H);
  u.ring.Map(0) = AlignmentScene::ToWarp(H);
  u.ring.Map(0).m[8] = FLT_MAX;
  pose.PredictPoseFromFrame(0, 1);
  EXPECT_EQ(u.ring[1].MapMatchCount(), 59u);
  // Each transferred match is at its level's pixels of its normalised position.
  for (int l = 0; l < kPyramidLevels; ++l) {
    const Intrinsic& k = u.camera.intrinsic[l];
    for (const MapMatch& m : u.ring[1].mapMatches[l]) {
      EXPECT_NEAR(m.x, m.nx * k.fx[0] + k.cx[0], 1e-3f);
      EXPECT_NEAR(m.y, m.ny * k.fy[0] + k.cy[0], 1e-3f);
      EXPECT_EQ(m.px, m.x);
      EXPECT_EQ(m.py, m.y);
    }
  }
  EXPECT_LT(Difference(Visual(), truth), 2e-5);
  EXPECT_LT(Difference(FromState(kPredicted), Visual()), 1e-5);
  u.ring.Map(0) = WarpRecord{};  // singular
  Observe(1, 3);
  // Frame 1's predicted rotation (a turn the readings saw) with frame 0's
  // centre: the reference pose alone would be the whole turn behind.
  const CameraPose predicted = truth;
  Visual() = predicted;
  pose.PredictPoseFromFrame(0, 1);
  EXPECT_EQ(u.ring[1].MapMatchCount(), 3u);
  const CameraPose& kept = u.ring[1].pose.slot[kPredicted];
  float c0[3], c1[3];
  CameraCentre(start, c0);
  CameraCentre(kept, c1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(c1[i], c0[i], 1e-5f);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(kept.m[i][j], predicted.m[i][j]);
  }
  EXPECT_LT(Difference(FromState(kPredicted), kept), 1e-5);
  Visual().m[0][0] = FLT_MAX;  // no prediction: the reference pose
  pose.PredictPoseFromFrame(0, 1);
  EXPECT_EQ(Difference(u.ring[1].pose.slot[kPredicted], start), 0.0);

  const Eigen::Matrix3d G = AlignmentScene::TestMap(40, 30, true);
  MapWorkingCopy& w = u.view.Working();
  w.keyFramePoses.PushBack(start, 1);
  w.keyFrameMeasurementStart = {0, 40};
  w.keyFrames.push_back({0, {0, 10, 20, 30, 40, 40}, {}});
  u.view.Records().assign(1, KeyFrameRecord{});
  Observe(0, 40, 0, 0, G);  // features by level: tracks 0, 4, .., 36, then 1, 5, ..
  for (const auto& list : u.ring[0].mapMatches)
    for (const MapMatch& m : list) {
      w.measurementTracks.push_back(m.track);
      u.view.KeyFrameNormalized().PushBack8({m.nx, m.ny});
    }
  u.view.KeyFrameMaps().PushBack48(AlignmentScene::ToWarp(G));
  pose.RelocaliseFromKeyFrame(0, 1);
  for (int l = 0; l < 4; ++l) EXPECT_EQ(u.ring[1].mapMatches[l].size(), l == 0 ? 9u : 10u);
  EXPECT_LT(Difference(Visual(), truth), 2e-5);
  u.view.KeyFrameMaps()[0].m[0] = FLT_MAX;
  Observe(1, 3);
  pose.RelocaliseFromKeyFrame(0, 1);
  EXPECT_EQ(u.ring[1].MapMatchCount(), 3u);
  EXPECT_EQ(Difference(Visual(), start), 0.0);
}
