// EPnP: exact known-answer poses, before its polish too (which would hide a
// wrong closed form), the N-point path against the six-point path, planar and
// near-planar scenes (other degenerate inputs: the camera estimator's tests);
// and its null vector, the smallest eigenvector of a symmetric 12x12.
#include "estimation/CameraEPnP.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "common/ProjectiveScene.h"
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

// The first six matches of the data as a sample.
MatchSet3DTo2DN<6> Sample(const MatchSet3DTo2DX& data) {
  MatchSet3DTo2DN<6> sample;
  for (int i = 0; i < 6; ++i) {
    sample.worldPoints[i] = data.worldPoints[i];
    sample.imagePoints[i] = data.imagePoints[i];
  }
  return sample;
}

bool Near(const Camera& c, const Pose& truth, float rotation, float centre) {
  const Pose e = FromCamera(c);
  return RotationError(e.R, truth.R) < rotation && CentreError(e, truth) < centre;
}

}  // namespace

TEST(CameraEPnP, ExactPosesWithAndWithoutPolishAndPlanarScenes) {
  CameraEPnP solver;
  AlignedArray<LA::AlignedVector4f> work;
  Random::Seed(1);
  int accurate6 = 0;
  for (int trial = 0; trial < 100; ++trial) {
    const Pose truth = RandomPose();
    MatchSet3DTo2DX data;
    Fill(MakeMatches(truth, 100, 0.0f), data);
    Camera c6{}, c100{}, closedForm{};
    // Six random points almost never sit in a degenerate configuration.
    accurate6 += solver.RunMinimalSample(Sample(data), c6, work) && Near(c6, truth, 1e-3f, 1e-3f);
    ASSERT_TRUE(solver.RunNonMinimalData(data, c100, work)) << trial;
    EXPECT_TRUE(Near(c100, truth, 1e-3f, 1e-3f)) << trial;
    ASSERT_TRUE(CameraEPnPTestAccess::Unpolished(solver, data, closedForm)) << trial;
    EXPECT_TRUE(Near(closedForm, truth, 1e-3f, 1e-3f)) << trial;
  }
  EXPECT_GE(accurate6, 98);
  // The N-point path over six noisy matches is the six-point path.
  MatchSet3DTo2DX data;
  Fill(MakeMatches(RandomPose(), 6, 0.5f), data);
  Camera a{}, b{};
  ASSERT_TRUE(solver.RunMinimalSample(Sample(data), a, work));
  ASSERT_TRUE(solver.RunNonMinimalData(data, b, work));
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a.m[r][k], b.m[r][k], 1e-5f);

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
}

// Row-major and, at fixed size, 16-byte aligned as the routine wants it.
using Matrix12 = Eigen::Matrix<float, 12, 12, Eigen::RowMajor>;
using Vector12 = Eigen::Matrix<float, 12, 1>;

// The second-difference matrix (2, -1) skips the reflections: eigenvalues
// 2 - 2 cos(k pi / 13), eigenvectors sin(i k pi / 13). The zero matrix gives
// a unit vector and 0; a value that is not finite anywhere is refused with
// nothing written. (General matrices: the EPnP known answers.)
TEST(CameraEPnPNullVector, KnownSpectraAndValuesThatAreNotFinite) {
  Matrix12 T = 2.0f * Matrix12::Identity(), Z = Matrix12::Zero();
  Vector12 u, expected;
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
  for (const float bad : {NAN, INFINITY, -INFINITY}) {
    for (const int at : {0, 13, 77, 143}) {
      Matrix12 A = Matrix12::Identity();
      A.data()[at] = bad;
      u.setZero();
      smallest = 7.0f;
      EXPECT_FALSE(ComputeSmallestEigenvector12(A.data(), u.data(), smallest)) << at;
      EXPECT_EQ(smallest, 7.0f);
      EXPECT_EQ(u.cwiseAbs().maxCoeff(), 0.0f);
    }
  }
}
