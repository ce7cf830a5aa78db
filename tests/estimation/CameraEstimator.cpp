// Camera pose from 3-D/2-D matches: the verification rules and the data's
// depth normalisation as known answers, robust runs and degenerate inputs;
// EPnP's exact poses, before its polish too (which would hide a wrong closed
// form), on planar and near-planar scenes, and its 12x12 null vector.
#include "estimation/CameraEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/CameraEPnP.h"
#include "estimation/CameraEPnPNullVector.h"

using namespace scene;

// The closed-form pose, the stages of a solve without the polish.
class CameraEPnPTestAccess {
 public:
  static bool Unpolished(CameraEPnP& s, const MatchSet3DTo2DX& d, Camera& camera) {
    const LA::AlignedVector4f* X = d.worldPoints.Data();
    const u32 n = d.Size();
    if (!s.ComputeControlPoints(X, n) || !s.ComputeAlphas(X, n)) return false;
    s.ConstructMTM(d.imagePoints.Data(), n);
    return s.ComputeCameraControlPoints() && s.ComputeCameraPoints(n) &&
           s.ComputeRigidTransformation(X, n, camera);
  }
};

namespace {

const Camera kIdentity = ToCamera({Eigen::Matrix3f::Identity(), Eigen::Vector3f::Zero()});

void ExpectSameCamera(const Camera& a, const Camera& b, float tolerance) {
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a.m[r][k], b.m[r][k], tolerance) << r << "," << k;
}

bool Near(const Camera& c, const Pose& truth, float rotation, float centre) {
  const Pose e = FromCamera(c);
  return RotationError(e.R, truth.R) < rotation && CentreError(e, truth) < centre;
}

}  // namespace

TEST(CameraEstimator, VerificationNormalisationAndNormalEquations) {
  CameraEstimator estimator(0.0f);
  // Identity camera; match i at depth 2, its image point 0.001 i off along x
  // (error 1e-6 i^2; along y for the pair 4, 5 that the tail checks
  // together), except: 2 lies on the camera plane and 3 behind the camera
  // with an exact image point.
  CameraEstimatorData data;
  data.Resize(7);
  for (u32 i = 0; i < 7; ++i) {
    const float x = 0.1f * i, y = -0.05f * i;
    data.worldPoints[i] = {{2.0f * x, 2.0f * y, 2.0f, 1.0f}};
    const bool alongY = i == 4 || i == 5;
    data.imagePoints[i] = {x + (alongY ? 0.0f : 0.001f * i), y + (alongY ? 0.001f * i : 0.0f)};
  }
  data.worldPoints[2] = {{0.3f, 0.1f, 0.0f, 1.0f}};
  data.worldPoints[3] = {{-0.6f, 0.3f, -2.0f, 1.0f}};  // projects onto (0.3, -0.15)
  data.imagePoints[3] = {0.3f, -0.15f};
  std::vector<u16> inliers;
  f64 error = -1.0;
  const struct {
    float threshold;
    std::vector<u16> inliers;
    f64 error;
  } rows[] = {{3e-5f, {0, 1, 4, 5}, 42e-6},     // match 6 (3.6e-5) fails
              {4e-5f, {0, 1, 4, 5, 6}, 78e-6},  // the odd last one passes as in a pair
              {0.0f, {}, 0.0}};                 // strict: not even match 0 passes
  for (const auto& row : rows) {
    estimator.threshold = row.threshold;
    estimator.VerifyModel(data, kIdentity, inliers, error);
    EXPECT_EQ(inliers, row.inliers);
    EXPECT_NEAR(error, row.error, 1e-8);
  }
  // A required match behind the camera rejects the model.
  estimator.threshold = 4e-5f;
  BitMask required(7);
  required.Set(3);
  estimator.VerifyModelConstrained(data, kIdentity, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  // The inlier SSE adds the flagged errors without a depth test.
  required.Set(6);
  estimator.ComputeInlierSSE(data, kIdentity, required, error);
  EXPECT_NEAR(error, 36e-6, 1e-8);

  // Six points on the optical axis at depths 1..6, seen from the origin and
  // from behind them all: the mean moves into t and the median depth, the
  // upper middle (4), becomes 1 / factor unless it is negative (scale 1,
  // centring only); factor 0 (from 2 in front) leaves the data alone. Rotation
  // about the axis moves no point: its column gets scale 0, not a division by 0.
  const float depths[6] = {5, 1, 3, 6, 2, 4};
  for (const float tz : {0.0f, -10.0f, 2.0f}) {
    data.Resize(6);
    for (u32 i = 0; i < 6; ++i) {
      data.worldPoints[i] = {{0.0f, 0.0f, depths[i], 1.0f}};
      data.imagePoints[i] = {0.0f, 0.0f};
    }
    Camera camera = kIdentity, normalised;
    camera.m[2][3] = tz;
    normalised = camera;
    data.NormalizeData(tz > 0.0f ? 0.0f : 1.0f, normalised);
    const float scale = tz != 0.0f ? 1.0f : 0.25f;
    EXPECT_NEAR(data.scale.v[0], scale, 1e-6f);
    EXPECT_NEAR(normalised.m[2][3], tz > 0.0f ? tz : (tz + 3.5f) * scale, 1e-6f);
    LA::AlignedCompactMatrix6f A;
    LA::AlignedVector6f b, s;
    data.ConstructNormalEquationAndScale(normalised, A, b, s);
    EXPECT_EQ(s.v[2], 0.0f);
    data.DenormalizeModel(normalised);
    ExpectSameCamera(normalised, camera, 1e-6f);
  }

  // The normal equations against finite differences. Exact matches: A is
  // half the Hessian of the SSE at the true pose.
  Random::Seed(9);
  const Pose truth = RandomPose();
  Fill(MakeMatches(truth, 41, 0.0f), data);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, ToCamera(truth));
  // A camera a little off the truth, so residuals are not zero.
  Pose off = truth;
  off.R = Eigen::AngleAxisf(0.02f, Eigen::Vector3f(1, 2, 3).normalized()) * off.R;
  off.t += Eigen::Vector3f(0.05f, -0.03f, 0.1f);
  Camera camera = ToCamera(off);
  double sum = 0.0;  // one match at a time, the odd last one included
  for (u32 i = 0; i < data.Size(); ++i) {
    float z;
    sum += ComputeMatchSquaredError(camera, data.worldPoints[i], data.imagePoints[i], z);
  }
  EXPECT_NEAR(data.ComputeSSE(camera), sum, 1e-5 * sum);
  // Normalised as the optimiser runs it: projections unchanged.
  data.NormalizeData(0.5f, camera);
  EXPECT_NEAR(data.ComputeSSE(camera), sum, 1e-3 * sum);
  fd::ExpectNormalEquationMatchesSSE(data, camera);
  // The scaled system has a unit diagonal.
  LA::AlignedCompactMatrix6f A;
  LA::AlignedVector6f b, s;
  data.ConstructNormalEquationAndScale(camera, A, b, s);
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(A(k, k), 1.0f, 1e-4f) << k;
  data.DenormalizeModel(camera);
  ExpectSameCamera(camera, ToCamera(off), 1e-5f);
}

TEST(CameraEstimator, RobustRunGivesThePoseOrLeavesTheModelOnDegenerateInput) {
  Random::Seed(21);
  CameraEstimator estimator(0.0f);
  estimator.threshold = 9.0f / (kFocal * kFocal);  // 1 px noise: about 99 % of inliers pass
  EXPECT_EQ(estimator.ComputeAllInlierProbability(0.5f), 1.0f / 64);  // w^6 bounds the iterations
  for (int scene = 0; scene < 3; ++scene) {
    const Pose truth = RandomPose();
    CameraEstimatorData data;
    Fill(MakeMatches(truth, 501, 1.0f, 250), data);
    Camera model = kIdentity;
    std::vector<u16> inliers;
    estimator.RunLoRansac(data, model, inliers);
    const auto found =
        std::count_if(inliers.begin(), inliers.end(), [](u16 i) { return i >= 250; });
    EXPECT_GE(found, 0.95 * 251) << scene;
    EXPECT_LE(inliers.size() - found, 2u) << scene;
    EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
    EXPECT_TRUE(Near(model, truth, 0.5f * 3.14159265f / 180.0f, 0.01f)) << scene;
  }
  // Too few matches, all world points at one place or on a line, a NaN: no
  // model, and the one given is left alone.
  for (int kind = 0; kind < 4; ++kind) {
    SCOPED_TRACE(kind);
    Random::Seed(23);
    Matches m = MakeMatches(RandomPose(), kind == 0 ? 5 : 40, 0.0f);
    for (Eigen::Vector3f& X : m.world)
      X = kind == 1   ? Eigen::Vector3f(0.1f, 0.2f, 0.3f)
          : kind == 2 ? Eigen::Vector3f(X.x(), 0.5f * X.x(), -X.x())
                      : X;
    m.image[3].x() = kind == 3 ? NAN : m.image[3].x();
    CameraEstimatorData data;
    Fill(m, data);
    Camera model = kIdentity;
    std::vector<u16> inliers = {1, 2};
    if (kind != 3) {  // the robust loop simply leaves a NaN match out
      estimator.RunLoRansac(data, model, inliers);
      EXPECT_TRUE(inliers.empty());
      EXPECT_EQ(model.m[0][0], 1.0f);
    }
    AlignedArray<Camera> models;
    EXPECT_FALSE(estimator.SolveNonMinimal(data, models));
    EXPECT_EQ(models.Size(), 0u);
  }
}

TEST(CameraEPnP, ExactPosesWithAndWithoutPolishPlanarScenesAndTheNullVector) {
  CameraEPnP solver;
  AlignedArray<LA::AlignedVector4f> work;
  Random::Seed(1);
  int accurate6 = 0;
  for (int trial = 0; trial < 100; ++trial) {
    const Pose truth = RandomPose();
    CameraEstimatorData data;
    Fill(MakeMatches(truth, 100, 0.0f), data);
    Camera c6{}, c100{}, closedForm{};
    // Six random points almost never sit in a degenerate configuration.
    MatchSet3DTo2DN<6> sample;
    CameraEstimator(0.0f).GenerateMinimalSample(data, sample);
    accurate6 += solver.RunMinimalSample(sample, c6, work) && Near(c6, truth, 1e-3f, 1e-3f);
    ASSERT_TRUE(solver.RunNonMinimalData(data, c100, work)) << trial;
    EXPECT_TRUE(Near(c100, truth, 1e-3f, 1e-3f)) << trial;
    ASSERT_TRUE(CameraEPnPTestAccess::Unpolished(solver, data, closedForm)) << trial;
    EXPECT_TRUE(Near(closedForm, truth, 1e-3f, 1e-3f)) << trial;
  }
  EXPECT_GE(accurate6, 98);
  // Exactly planar: the four control points span no volume, so no pose, and
  // the camera is left alone; near planar: the cross-covariance is nearly
  // rank two and its rotation takes the reflection branch about half the
  // time, which must still give the pose.
  Random::Seed(4);
  int accurate = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const Pose truth = RandomPose();
    const bool planar = trial % 2 == 0;
    MatchSet3DTo2DX data;
    Fill(MakeMatches(truth, 50, 0.5f, 0, planar ? 0.0f : 1e-4f), data);
    Camera c{};
    c.m[0][0] = 7.0f;
    const bool solved = solver.RunNonMinimalData(data, c, work);
    EXPECT_NE(solved, planar) << trial;
    EXPECT_TRUE(solved ? AllFinite(c) : c.m[0][0] == 7.0f) << trial;
    accurate += solved && Near(c, truth, 0.01f, 1.0f);
  }
  EXPECT_GE(accurate, 90);

  // The null vector. The second-difference matrix (2, -1) skips the
  // reflections: eigenvalues 2 - 2 cos(k pi / 13), eigenvectors
  // sin(i k pi / 13). The zero matrix gives a unit vector and 0; a value that
  // is not finite anywhere is refused with nothing written. Row-major and,
  // at fixed size, 16-byte aligned as the routine wants it.
  using Matrix12 = Eigen::Matrix<float, 12, 12, Eigen::RowMajor>;
  Matrix12 T = 2.0f * Matrix12::Identity(), Z = Matrix12::Zero();
  Eigen::Matrix<float, 12, 1> u, expected;
  for (int i = 0; i < 12; ++i) expected(i) = std::sin((i + 1) * M_PI / 13.0);
  for (int i = 1; i < 12; ++i) T(i, i - 1) = T(i - 1, i) = -1.0f;
  float smallest;
  ASSERT_TRUE(ComputeSmallestEigenvector12(T.data(), u.data(), smallest));
  EXPECT_NEAR(std::abs(u.dot(expected.normalized())), 1.0, 1e-6);
  EXPECT_NEAR(u.norm(), 1.0, 1e-6);
  EXPECT_NEAR(smallest, 2.0 - 2.0 * std::cos(M_PI / 13.0), 1e-5);
  ASSERT_TRUE(ComputeSmallestEigenvector12(Z.data(), u.data(), smallest));
  EXPECT_NEAR(u.norm(), 1.0, 1e-6);
  EXPECT_NEAR(smallest, 0.0f, 1e-30f);
  const std::pair<float, int> bad[] = {{NAN, 0}, {INFINITY, 13}, {-INFINITY, 77}, {NAN, 143}};
  for (const auto& [value, at] : bad) {
    Matrix12 A = Matrix12::Identity();
    A.data()[at] = value;
    u.setZero();
    smallest = 7.0f;
    EXPECT_FALSE(ComputeSmallestEigenvector12(A.data(), u.data(), smallest)) << at;
    EXPECT_EQ(smallest, 7.0f);
    EXPECT_EQ(u.cwiseAbs().maxCoeff(), 0.0f);
  }
}
