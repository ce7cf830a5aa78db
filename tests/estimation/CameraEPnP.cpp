// EPnP: exact and noisy known-answer poses, the N-point path against the
// six-point path, degenerate inputs that must fail without NaN; and its
// null vector, the smallest eigenvector of a symmetric 12x12 (known spectra,
// a tridiagonal matrix, inputs that must be rejected).
#include "estimation/CameraEPnP.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cfloat>
#include <cmath>

#include "common/Draws.h"
#include "common/ProjectiveScene.h"
#include "estimation/CameraEPnPNullVector.h"

using namespace scene;

namespace {

void Fill(const Matches& m, MatchSet3DTo2DN<6>& sample) {
  for (int i = 0; i < 6; ++i) {
    sample.worldPoints[i] = {{m.world[i].x(), m.world[i].y(), m.world[i].z(), 1.0f}};
    sample.imagePoints[i] = {m.image[i].x(), m.image[i].y()};
  }
}

class CameraEPnPTest : public ::testing::Test {
 protected:
  CameraEPnP solver;
  AlignedArray<LA::AlignedVector4f> work;
};

}  // namespace

TEST_F(CameraEPnPTest, ExactSixAndHundredPointsRecoverThePose) {
  Random::Seed(1);
  int solved6 = 0, accurate6 = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const Pose truth = RandomPose();
    const Matches m = MakeMatches(truth, 100, 0.0f);
    MatchSet3DTo2DN<6> sample;
    Fill(m, sample);
    Camera c6{}, c100{};
    if (solver.RunMinimalSample(sample, c6, work)) {
      ++solved6;
      const Pose e = FromCamera(c6);
      accurate6 += RotationError(e.R, truth.R) < 1e-3f && CentreError(e, truth) < 1e-3f;
      // Every solution explains its own six matches to float precision.
      for (int i = 0; i < 6; ++i) {
        const Eigen::Vector3f x = e.Apply(m.world[i]);
        EXPECT_LT((x.head<2>() / x.z() - m.image[i]).norm(), 1e-5f) << trial;
      }
    }
    MatchSet3DTo2DX data;
    Fill(m, data);
    ASSERT_TRUE(solver.RunNonMinimalData(data, c100, work)) << trial;
    EXPECT_LT(RotationError(FromCamera(c100).R, truth.R), 1e-3f) << trial;
    EXPECT_LT(CentreError(FromCamera(c100), truth), 1e-3f) << trial;
  }
  // Six random points almost never sit in a degenerate configuration; the
  // rare near-critical one is explained exactly by a slightly different pose.
  EXPECT_GE(solved6, 198);
  EXPECT_GE(accurate6, 197);
}

TEST_F(CameraEPnPTest, NPointPathOverSixMatchesEqualsSixPointPath) {
  Random::Seed(2);
  const Matches m = MakeMatches(RandomPose(), 6, 0.5f);
  MatchSet3DTo2DN<6> sample;
  MatchSet3DTo2DX data;
  Fill(m, sample);
  Fill(m, data);
  Camera a{}, b{};
  ASSERT_TRUE(solver.RunMinimalSample(sample, a, work));
  ASSERT_TRUE(solver.RunNonMinimalData(data, b, work));
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a.m[r][k], b.m[r][k], 1e-5f);
}

TEST_F(CameraEPnPTest, TwoHundredNoisyPointsStayWithinHalfADegree) {
  Random::Seed(3);
  for (int trial = 0; trial < 50; ++trial) {
    const Pose truth = RandomPose();
    MatchSet3DTo2DX data;
    Fill(MakeMatches(truth, 200, 1.0f), data);
    Camera c{};
    ASSERT_TRUE(solver.RunNonMinimalData(data, c, work)) << trial;
    EXPECT_LT(RotationError(FromCamera(c).R, truth.R), 0.5f * 3.14159265f / 180.0f) << trial;
    EXPECT_LT(CentreError(FromCamera(c), truth), 0.02f) << trial;
  }
}

TEST_F(CameraEPnPTest, PlanarScenesFailCleanlyAndNearPlanarOnesSolve) {
  // Exactly planar: the four control points span no volume, so no pose; near
  // planar: the cross-covariance is nearly rank two and its rotation takes the
  // reflection branch about half the time, which must still give the pose.
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
    if (!solved) {
      EXPECT_EQ(c.m[0][0], 7.0f);  // untouched on failure
      continue;
    }
    EXPECT_TRUE(AllFinite(c)) << trial;
    const Pose e = FromCamera(c);
    EXPECT_NEAR(e.R.determinant(), 1.0f, 1e-3f);
    accurate += !planar && RotationError(e.R, truth.R) < 0.01f;
  }
  EXPECT_GE(accurate, 90);
}

TEST_F(CameraEPnPTest, DegenerateInputsFailCleanly) {
  Random::Seed(5);
  const Pose truth = RandomPose();
  // All world points at one place: no axes, no pose.
  Matches m = MakeMatches(truth, 10, 0.0f);
  for (auto& X : m.world) X = Eigen::Vector3f(0.1f, 0.2f, 0.3f);
  MatchSet3DTo2DX data;
  Fill(m, data);
  Camera c{};
  c.m[1][1] = 9.0f;
  EXPECT_FALSE(solver.RunNonMinimalData(data, c, work));
  EXPECT_EQ(c.m[1][1], 9.0f);
  // Collinear world points.
  m = MakeMatches(truth, 10, 0.0f);
  for (auto& X : m.world) X = Eigen::Vector3f(X.x(), 0.5f * X.x(), -X.x());
  Fill(m, data);
  EXPECT_FALSE(solver.RunNonMinimalData(data, c, work));
  // Non-finite input.
  m = MakeMatches(truth, 10, 0.0f);
  m.image[3].x() = NAN;
  Fill(m, data);
  if (solver.RunNonMinimalData(data, c, work)) {
    EXPECT_TRUE(AllFinite(c));
  }
  // Too few matches.
  Fill(MakeMatches(truth, 3, 0.0f), data);
  EXPECT_FALSE(solver.RunNonMinimalData(data, c, work));
}

namespace {

using Matrix12 = Eigen::Matrix<double, 12, 12>;
using Vector12 = Eigen::Matrix<double, 12, 1>;

struct alignas(16) Buffer {
  float a[144];
  void From(const Matrix12& A) {
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) a[r * 12 + c] = float(A(r, c));
  }
};

// Sine of the angle between two directions, whatever their signs.
double Misalignment(const float* v, const Vector12& expected) {
  Vector12 u;
  for (int i = 0; i < 12; ++i) u(i) = v[i];
  const double c = std::abs(u.normalized().dot(expected.normalized()));
  return std::sqrt(std::max(0.0, 1.0 - c * c));
}

Matrix12 RandomOrthogonal() {
  Matrix12 M;
  for (int r = 0; r < 12; ++r)
    for (int c = 0; c < 12; ++c) M(r, c) = UniformD(-1.0, 1.0);
  return Eigen::HouseholderQR<Matrix12>(M).householderQ();
}

}  // namespace

TEST(CameraEPnPNullVector, KnownSpectraGiveTheirSmallestVector) {
  Random::Seed(11);
  for (int trial = 0; trial < 500; ++trial) {
    const Matrix12 Q = RandomOrthogonal();
    // Smallest eigenvalue 0 or small (the exact and the noisy EPnP case), the
    // others spread over three decades above 1.
    Vector12 lambda;
    lambda(0) = trial % 2 == 0 ? 0.0 : UniformD(0.0, 1e-2);
    for (int i = 1; i < 12; ++i) lambda(i) = std::pow(10.0, UniformD(0.0, 3.0));
    const Matrix12 A = Q * lambda.asDiagonal() * Q.transpose();
    Buffer b;
    b.From(A);
    float v[12], smallest;
    ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
    // Float rounding of A moves the vector by about eps ||A|| / gap.
    const double gap = lambda.tail<11>().minCoeff() - lambda(0);
    const double bound = 8.0 * FLT_EPSILON * lambda.maxCoeff() / gap;
    EXPECT_LT(Misalignment(v, Q.col(0)), bound) << trial;
    EXPECT_NEAR(smallest, lambda(0), 16.0 * FLT_EPSILON * lambda.maxCoeff()) << trial;
    double norm = 0.0;
    for (const float x : v) norm += double(x) * x;
    EXPECT_NEAR(norm, 1.0, 1e-6);
  }
}

TEST(CameraEPnPNullVector, TridiagonalMatrixSkipsTheReflections) {
  // The second-difference matrix 2, -1 has eigenvalues 2 - 2 cos(k pi / 13)
  // and eigenvectors sin(i k pi / 13).
  Matrix12 T = Matrix12::Zero();
  for (int i = 0; i < 12; ++i) {
    T(i, i) = 2.0;
    if (i > 0) T(i, i - 1) = T(i - 1, i) = -1.0;
  }
  Buffer b;
  b.From(T);
  float v[12], smallest;
  ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
  Vector12 expected;
  for (int i = 0; i < 12; ++i) expected(i) = std::sin((i + 1) * M_PI / 13.0);
  EXPECT_LT(Misalignment(v, expected), 1e-4);
  EXPECT_NEAR(smallest, 2.0 - 2.0 * std::cos(M_PI / 13.0), 1e-5);
}

TEST(CameraEPnPNullVector, ZeroMatrixGivesAUnitVector) {
  Buffer b;
  b.From(Matrix12::Zero());
  float v[12], smallest = 1.0f;
  ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
  double norm = 0.0;
  for (const float x : v) {
    ASSERT_TRUE(std::isfinite(x));
    norm += double(x) * x;
  }
  EXPECT_NEAR(norm, 1.0, 1e-6);
  EXPECT_NEAR(smallest, 0.0f, 1e-30f);
}

TEST(CameraEPnPNullVector, ValuesThatAreNotFiniteAreRejected) {
  for (const float bad : {NAN, INFINITY, -INFINITY}) {
    for (const int at : {0, 13, 77, 143}) {
      Matrix12 A = Matrix12::Identity();
      Buffer b;
      b.From(A);
      b.a[at] = bad;
      float v[12] = {}, smallest = 7.0f;
      EXPECT_FALSE(ComputeSmallestEigenvector12(b.a, v, smallest)) << at;
      EXPECT_EQ(smallest, 7.0f);
      for (const float x : v) EXPECT_EQ(x, 0.0f);
    }
  }
}
