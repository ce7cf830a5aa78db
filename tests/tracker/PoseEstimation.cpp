// The pose unit over a 640 x 480 camera (f = 500) and points 3 to 7 deep:
// the estimate against a double reference and the truth, degenerate matches,
// the output pose kept in step, and matches carried through image maps.
#include "tracker/PoseEstimation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/Draws.h"
#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "tests/features/AlignmentScene.h"

using AlignmentScene::TestMap;
using AlignmentScene::ToWarp;
using Vector6d = Eigen::Matrix<double, 6, 1>;

namespace {

CameraPose Pose(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  CameraPose p;
  static_cast<LA::AlignedMatrix3f&>(p) = FromEigen(R, t);
  return p;
}
Eigen::Vector3d Apply(const CameraPose& p, const MapPoint& X) {
  return ToEigen(p) * Eigen::Vector3d(X.v[0], X.v[1], X.v[2]) + TranslationOf(p);
}
double AngleDeg(const CameraPose& a, const CameraPose& b) {
  return Eigen::AngleAxisd(ToEigen(a) * ToEigen(b).transpose()).angle() * 180.0 / M_PI;
}
double Difference(const CameraPose& a, const CameraPose& b) {  // largest of the twelve
  return std::max((ToEigen(a) - ToEigen(b)).cwiseAbs().maxCoeff(),
                  (TranslationOf(a) - TranslationOf(b)).cwiseAbs().maxCoeff());
}

// Ten rounds in double: level-weighted residuals, Tukey weights of their
// squares, rows and residuals each carrying the Tukey weight once more.
CameraPose ReferenceRounds(const TrackerFrame& f, const AlignedArray<MapPoint>& X, CameraPose P) {
  for (int round = 0; round < 10; ++round) {
    std::vector<Eigen::Matrix<double, 2, 6>> J;
    std::vector<Eigen::Vector2d> r;
    std::vector<double> e;
    for (int l = 0; l < 4; ++l)
      for (const MapMatch& m : f.mapMatches[l]) {
        const Eigen::Vector3d q = Apply(P, X[m.track]) - TranslationOf(P), p = Apply(P, X[m.track]);
        const double u = p.x() / p.z(), v = p.y() / p.z(), a = std::ldexp(1.0, -l) / p.z();
        J.emplace_back();
        J.back() << -u * q.y(), q.z() + u * q.x(), -q.y(), 1, 0, -u,  //
            -q.z() - v * q.y(), v * q.x(), q.x(), 0, 1, -v;
        J.back() *= a;
        r.push_back(std::ldexp(1.0, -l) * Eigen::Vector2d(m.nx - u, m.ny - v));
        e.push_back(r.back().squaredNorm());
      }
    std::vector<double> s = e;
    std::nth_element(s.begin(), s.begin() + s.size() / 2, s.end());
    const double c2 =
        std::pow(std::sqrt(s[s.size() / 2]) * (1 + 5.0 / (2 * e.size() - 6.0)) * 6.9461293, 2);
    Eigen::Matrix<double, 6, 6> A = Eigen::Matrix<double, 6, 6>::Zero();
    Vector6d b = Vector6d::Zero();
    for (size_t i = 0; i < e.size(); ++i) {
      const double w = e[i] <= c2 ? std::pow(1.0 - e[i] / c2, 4) : 0.0;  // squared biweight
      A += w * J[i].transpose() * J[i];
      b += w * J[i].transpose() * r[i];
    }
    const Vector6d d = A.ldlt().solve(b);
    const Eigen::Vector3d w = d.head<3>();
    P = Pose(Eigen::AngleAxisd(w.norm(), w.normalized()) * ToEigen(P),
             TranslationOf(P) + d.tail<3>());
  }
  return P;
}

}  // namespace

class PoseEstimationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(7);
    u.ring.ResetTo(2);
    truth = Pose(RandomRotationD(0.3), Eigen::Vector3d(0.1, -0.2, 0.3));
    for (u32 i = 0; i < 200; ++i) {  // spread over the view
      const Eigen::Vector3d c(UniformD(-0.5, 0.5), UniformD(-0.4, 0.4), 1.0);
      const Eigen::Vector3d X =
          ToEigen(truth).transpose() * (c * UniformD(3, 7) - TranslationOf(truth));
      points.PushBack({{float(X.x()), float(X.y()), float(X.z()), 1.0f}}, 200);
    }
    u.view.Working().points = points;
    u.view.Working().trackFlags.assign(points.Size(), kTrackSolved | kTrackInlier);
  }
  // Matches of tracks 0..n-1 (level i % 4) at their true projections with
  // pixel noise, the first `outliers` anywhere in the image.
  void Observe(u16 frame, u32 n, float noisePixels = 0.0f, u32 outliers = 0) {
    for (auto& list : u.ring[frame].mapMatches) list.clear();
    for (u32 i = 0; i < n; ++i) {
      const Eigen::Vector3d x = Apply(truth, points[i]);
      MapMatch m{};
      m.track = m.patch = i;
      m.nx = float(x.x() / x.z() + noisePixels / 500.0 * GaussianD());
      m.ny = float(x.y() / x.z() + noisePixels / 500.0 * GaussianD());
      if (i < outliers) m.nx = Uniform(-0.64f, 0.64f), m.ny = Uniform(-0.48f, 0.48f);
      u.ring[frame].mapMatches[i % 4].push_back(m);
    }
  }
  CameraPose Start(double degrees, double shift) const {  // truth moved
    const Eigen::AngleAxisd turn(degrees * M_PI / 180.0, Eigen::Vector3d(1, 2, 3).normalized());
    return Pose(turn * ToEigen(truth),
                TranslationOf(truth) + Eigen::Vector3d(shift, -shift, shift));
  }
  // A normalised position through the pixel map H of the alignment image.
  Eigen::Vector2d Through(const Eigen::Matrix3d& H, double x, double y) const {
    const Intrinsic& k = u.camera.intrinsic[4];
    const Eigen::Vector3d p = H * Eigen::Vector3d(x * k.fx[0] + k.cx[0], y * k.fy[0] + k.cy[0], 1);
    return {(p.x() / p.z() - k.cx[0]) / k.fx[0], (p.y() / p.z() - k.cy[0]) / k.fy[0]};
  }
  CameraPose& Visual(u16 frame = 1) { return u.ring[frame].pose.slot[kVisual]; }

  UnitContext u{640, 480, SceneRender::MakeIntrinsic(500, 500, 319.5f, 239.5f)};
  PoseEstimation pose{u.Context()};
  AlignedArray<MapPoint> points;
  CameraPose truth;
};

// 0.5 px noise and 30 % outliers over four levels, from 3 degrees and 0.17
// off: the reference's pose, the truth within 0.1 degree and 0.5 % of the
// depth, a rotation, and the visual state in step.
TEST_F(PoseEstimationTest, FindsThePoseThroughNoiseAndThirtyPercentOutliers) {
  Observe(1, 200, 0.5f, 60);
  Visual() = Start(3.0, 0.1);
  const CameraPose reference = ReferenceRounds(u.ring[1], points, Visual());
  ASSERT_TRUE(pose.EstimateCameraPose(1));
  EXPECT_LT(Difference(Visual(), reference), 2e-5);
  EXPECT_LT(AngleDeg(Visual(), truth), 0.1);
  const Eigen::Matrix3d R = ToEigen(Visual()), Rt = ToEigen(truth);
  EXPECT_LT(
      (R.transpose() * TranslationOf(Visual()) - Rt.transpose() * TranslationOf(truth)).norm(),
      0.025);
  EXPECT_TRUE((R * R.transpose()).isIdentity(1e-6));
  CameraPose fromState;
  float scratch[8];
  PoseToCamera(u.ring[1].state.record[kVisual], u.camera.bodyToCamera, fromState, scratch);
  EXPECT_LT(Difference(fromState, Visual()), 1e-5);
  EXPECT_FALSE(IsPoseValid(u.ring[1].pose.slot[kOutput]));  // unset stays unset
}

// Ten inlier matches run; nine (the tenth an outlier track, then one unknown
// to the map copy) leave the pose untouched, as does an unset pose.
TEST_F(PoseEstimationTest, TenInlierMatchesRunNineLeaveThePoseUntouched) {
  Observe(1, 10);
  const CameraPose start = Start(1.0, 0.05);
  for (const u8 flags : {u8(kTrackSolved), u8(kTrackSolved | kTrackInlier)}) {
    u.view.Working().trackFlags[9] = flags;
    Visual() = start;
    EXPECT_EQ(pose.EstimateCameraPose(1), flags != kTrackSolved);
    EXPECT_EQ(Difference(Visual(), start) == 0.0, flags == kTrackSolved);
  }
  EXPECT_LT(AngleDeg(Visual(), truth), 1e-3);
  u.ring[1].mapMatches[1][0].track = 500;
  EXPECT_FALSE(pose.EstimateCameraPose(1));
  Visual().m[0][0] = FLT_MAX;
  Observe(1, 10);
  EXPECT_FALSE(pose.EstimateCameraPose(1));
}

// Non-finite positions get no weight; with 12 of 20 residuals exactly 0
// (identity pose, exact floats at depth 1) the pose stays, finite.
TEST_F(PoseEstimationTest, NonFinitePositionsAndAnExactMajorityStayFinite) {
  Observe(1, 40, 0.5f);
  u.ring[1].mapMatches[0][0].nx = NAN;
  u.ring[1].mapMatches[0][1].ny = INFINITY;
  Visual() = Start(2.0, 0.05);
  ASSERT_TRUE(pose.EstimateCameraPose(1));
  EXPECT_LT(AngleDeg(Visual(), truth), 0.2);

  truth = Pose(Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero());
  for (u32 i = 0; i < 20; ++i)
    points[i] = {{0.125f * (i % 5) - 0.25f, 0.125f * (i / 5) - 0.25f, 1, 1}};
  u.view.Working().points = points;
  Observe(1, 20, 0.0f, 8);
  Visual() = truth;
  ASSERT_TRUE(pose.EstimateCameraPose(1));
  EXPECT_LT(Difference(Visual(), truth), 1e-6);
}

// A set output pose moves by exactly the visual pose's rigid change; its
// state follows it.
TEST_F(PoseEstimationTest, TheOutputPoseMovesByTheSameRigidChange) {
  Observe(1, 100, 0.5f, 10);
  const CameraPose start = Visual() = Start(2.0, 0.1);
  CameraPose& output = u.ring[1].pose.slot[kOutput];
  const CameraPose before = output = Pose(RandomRotationD(1.0), Eigen::Vector3d(1.0, 2.0, -1.0));
  ASSERT_TRUE(pose.EstimateCameraPose(1));
  CameraPose visualChange, outputChange, fromState;
  ComputeRelativePose(start, Visual(), visualChange);
  ComputeRelativePose(before, output, outputChange);
  EXPECT_GT(AngleDeg(visualChange, Pose(Eigen::Matrix3d::Identity(), {0, 0, 0})), 1.0);
  EXPECT_LT(Difference(visualChange, outputChange), 2e-5);
  float scratch[8];
  PoseToCamera(u.ring[1].state.record[kOutput], u.camera.bodyToCamera, fromState, scratch);
  EXPECT_LT(Difference(fromState, output), 1e-5);
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
  CameraPose identity = Pose(Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero());
  EXPECT_EQ(refinement.Refine(identity), PoseRefinement::kRounds);
  for (u32 i = 0; i < 15; ++i) {
    EXPECT_EQ(refinement.Weights()[i] == 0.0f, i < 3) << i;
    EXPECT_EQ(std::isinf(refinement.SquaredResiduals()[i]), i < 3) << i;
  }
}

// The reference frame's inliers reach frame 1 through the inverse of its
// projective or affine map and give the true pose; the predicted pose and
// state follow. Without a map, or one without inverse, frame 1 takes the
// reference pose and keeps its matches.
TEST_F(PoseEstimationTest, PredictionCarriesTheReferenceInliersThroughTheInverseMap) {
  for (const bool projective : {true, false}) {
    const Eigen::Matrix3d H = TestMap(40, 30, projective);
    Observe(0, 60);
    for (auto& list : u.ring[0].mapMatches)
      for (MapMatch& m : list) {
        const Eigen::Vector2d x = Through(H, m.nx, m.ny);
        m.nx = float(x.x()), m.ny = float(x.y());
      }
    u.ring.Map(0) = ToWarp(H);
    if (!projective) u.ring.Map(0).m[8] = FLT_MAX;
    u.view.Working().trackFlags[5] = kTrackSolved;
    Visual(0) = Start(3.0, 0.1);
    pose.PredictPoseFromFrame(0, 1);
    EXPECT_EQ(u.ring[1].MapMatchCount(), 59u);
    EXPECT_LT(AngleDeg(Visual(), truth), 1e-3);
    EXPECT_EQ(Difference(u.ring[1].pose.slot[kPredicted], Visual()), 0.0);
    const IMUState* record = u.ring[1].state.record;
    EXPECT_EQ(std::memcmp(&record[kPredicted], &record[kVisual], sizeof(IMUState)), 0);
    u.view.Working().trackFlags[5] |= kTrackInlier;
  }
  for (const WarpRecord& map : {WarpRecord{{FLT_MAX}}, WarpRecord{}}) {
    u.ring.Map(0) = map;
    Observe(1, 3);
    pose.PredictPoseFromFrame(0, 1);
    EXPECT_EQ(u.ring[1].MapMatchCount(), 3u);
    EXPECT_EQ(Difference(Visual(), Visual(0)), 0.0);
    EXPECT_EQ(Difference(u.ring[1].pose.slot[kPredicted], Visual(0)), 0.0);
  }
}

// Key frame 0's 40 features (tracks in reverse order) over four levels: its
// inliers reach frame 1 on their levels through its map and give the true
// pose from the key frame's. Without the map frame 1 takes the key frame's
// pose and keeps its matches.
TEST_F(PoseEstimationTest, RelocalisationCarriesTheKeyFramesInlierFeaturesFromItsPose) {
  const Eigen::Matrix3d H = TestMap(40, 30, true);
  MapWorkingCopy& w = u.view.Working();
  w.keyFramePoses.PushBack(Start(3.0, 0.1), 1);
  w.keyFrameMeasurementStart = {0, 40};
  w.keyFrames.resize(1);
  const u16 offsets[6] = {0, 16, 28, 36, 40, 40};
  std::copy(offsets, offsets + 6, w.keyFrames[0].levelOffsets);
  u.view.Records().assign(1, KeyFrameRecord{});
  for (u32 j = 0; j < 40; ++j) {
    w.measurementTracks.push_back(39 - j);
    const Eigen::Vector3d x = Apply(truth, points[39 - j]);
    const Eigen::Vector2d k = Through(H, x.x() / x.z(), x.y() / x.z());
    u.view.KeyFrameNormalized().PushBack8({float(k.x()), float(k.y())});
  }
  u.view.KeyFrameMaps().PushBack48(ToWarp(H));
  w.trackFlags[39] = kTrackSolved;  // feature 0
  Observe(1, 3);
  pose.RelocaliseFromKeyFrame(0, 1);
  for (int l = 0; l < 4; ++l)
    EXPECT_EQ(u.ring[1].mapMatches[l].size(), offsets[l + 1] - offsets[l] - (l == 0 ? 1u : 0u));
  EXPECT_LT(AngleDeg(Visual(), truth), 1e-3);

  u.view.KeyFrameMaps()[0].m[0] = FLT_MAX;
  Observe(1, 3);
  pose.RelocaliseFromKeyFrame(0, 1);
  EXPECT_EQ(u.ring[1].MapMatchCount(), 3u);
  EXPECT_EQ(Difference(Visual(), w.keyFramePoses[0]), 0.0);
}
