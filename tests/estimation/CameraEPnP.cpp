// EPnP: exact and noisy known-answer poses, before its polish too (which
// would hide a wrong closed form), the N-point path against the six-point
// path, degenerate inputs that must fail without NaN; and its null vector,
// the smallest eigenvector of a symmetric 12x12 (known spectra, a
// tridiagonal matrix, inputs that must be rejected).
#include "estimation/CameraEPnP.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cfloat>
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

void Fill(const Matches& m, MatchSet3DTo2DN<6>& sample) {
  for (int i = 0; i < 6; ++i) {
    sample.worldPoints[i] = {{m.world[i].x(), m.world[i].y(), m.world[i].z(), 1.0f}};
    sample.imagePoints[i] = {m.image[i].x(), m.image[i].y()};
  }
}

bool Near(const Camera& c, const Pose& truth, float rotation, float centre) {
  const Pose e = FromCamera(c);
  return RotationError(e.R, truth.R) < rotation && CentreError(e, truth) < centre;
}

class CameraEPnPTest : public ::testing::Test {
 protected:
  CameraEPnP solver;
  AlignedArray<LA::AlignedVector4f> work;
};

}  // namespace

TEST_F(CameraEPnPTest, ExactPosesWithAndWithoutPolish) {
  Random::Seed(1);
  int solved6 = 0, accurate6 = 0;
  for (int trial = 0; trial < 100; ++trial) {
    const Pose truth = RandomPose();
    const Matches m = MakeMatches(truth, 100, 0.0f);
    MatchSet3DTo2DN<6> sample;
    Fill(m, sample);
    Camera c6{}, c100{}, closedForm{};
    if (solver.RunMinimalSample(sample, c6, work)) {
      ++solved6;
      accurate6 += Near(c6, truth, 1e-3f, 1e-3f);
      // Every solution explains its own six matches to float precision.
      for (int i = 0; i < 6; ++i) {
        const Eigen::Vector3f x = FromCamera(c6).Apply(m.world[i]);
        EXPECT_LT((x.head<2>() / x.z() - m.image[i]).norm(), 1e-5f) << trial;
      }
    }
    MatchSet3DTo2DX data;
    Fill(m, data);
    ASSERT_TRUE(solver.RunNonMinimalData(data, c100, work)) << trial;
    EXPECT_TRUE(Near(c100, truth, 1e-3f, 1e-3f)) << trial;
    ASSERT_TRUE(CameraEPnPTestAccess::Unpolished(solver, data, closedForm)) << trial;
    EXPECT_TRUE(Near(closedForm, truth, 1e-3f, 1e-3f)) << trial;
  }
  // Six random points almost never sit in a degenerate configuration; the
  // rare near-critical one is explained exactly by a slightly different pose.
  EXPECT_GE(solved6, 99);
  EXPECT_GE(accurate6, 98);

  // The N-point path over six matches is the six-point path.
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
  for (int trial = 0; trial < 30; ++trial) {
    const Pose truth = RandomPose();
    MatchSet3DTo2DX data;
    Fill(MakeMatches(truth, 200, 1.0f), data);
    Camera c{};
    ASSERT_TRUE(solver.RunNonMinimalData(data, c, work)) << trial;
    EXPECT_TRUE(Near(c, truth, 0.5f * 3.14159265f / 180.0f, 0.02f)) << trial;
  }
}

TEST_F(CameraEPnPTest, DegenerateInputsFailCleanly) {
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
    if (!solver.RunNonMinimalData(data, c, work)) {
      EXPECT_EQ(c.m[0][0], 7.0f);  // untouched on failure
      continue;
    }
    EXPECT_TRUE(AllFinite(c)) << trial;
    EXPECT_NEAR(FromCamera(c).R.determinant(), 1.0f, 1e-3f);
    accurate += !planar && Near(c, truth, 0.01f, 1.0f);
  }
  EXPECT_GE(accurate, 90);

  struct Case {
    const char* name;
    int n;
    int kind;  // 0: as drawn, 1: one world point, 2: collinear, 3: a NaN image point
  };
  const Case cases[] = {
      {"one world point", 10, 1}, {"collinear", 10, 2}, {"NaN", 10, 3}, {"three", 3, 0}};
  const Pose truth = RandomPose();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Matches m = MakeMatches(truth, k.n, 0.0f);
    for (Eigen::Vector3f& X : m.world)
      X = k.kind == 1   ? Eigen::Vector3f(0.1f, 0.2f, 0.3f)
          : k.kind == 2 ? Eigen::Vector3f(X.x(), 0.5f * X.x(), -X.x())
                        : X;
    if (k.kind == 3) m.image[3].x() = NAN;
    MatchSet3DTo2DX data;
    Fill(m, data);
    Camera c{};
    c.m[1][1] = 9.0f;
    EXPECT_FALSE(solver.RunNonMinimalData(data, c, work));
    EXPECT_EQ(c.m[1][1], 9.0f);
  }
}

namespace {

using Matrix12 = Eigen::Matrix<double, 12, 12>;
using Vector12 = Eigen::Matrix<double, 12, 1>;

struct alignas(16) Buffer {
  float a[144];
  explicit Buffer(const Matrix12& A) {
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) a[r * 12 + c] = float(A(r, c));
  }
};

// Sine of the angle between two directions, whatever their signs; the norm
// of v must be 1.
double Misalignment(const float* v, const Vector12& expected) {
  Vector12 u;
  for (int i = 0; i < 12; ++i) u(i) = v[i];
  EXPECT_NEAR(u.squaredNorm(), 1.0, 1e-6);
  const double c = std::abs(u.normalized().dot(expected.normalized()));
  return std::sqrt(std::max(0.0, 1.0 - c * c));
}

}  // namespace

TEST(CameraEPnPNullVector, KnownSpectraGiveTheirSmallestVector) {
  Random::Seed(11);
  float v[12], smallest;
  for (int trial = 0; trial < 500; ++trial) {
    Matrix12 M;
    for (int i = 0; i < 144; ++i) M(i / 12, i % 12) = UniformD(-1.0, 1.0);
    const Matrix12 Q = Eigen::HouseholderQR<Matrix12>(M).householderQ();
    // Smallest eigenvalue 0 or small (the exact and the noisy EPnP case), the
    // others spread over three decades above 1.
    Vector12 lambda;
    lambda(0) = trial % 2 == 0 ? 0.0 : UniformD(0.0, 1e-2);
    for (int i = 1; i < 12; ++i) lambda(i) = std::pow(10.0, UniformD(0.0, 3.0));
    Buffer b(Q * lambda.asDiagonal() * Q.transpose());
    ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
    // Float rounding of A moves the vector by about eps ||A|| / gap.
    const double gap = lambda.tail<11>().minCoeff() - lambda(0);
    EXPECT_LT(Misalignment(v, Q.col(0)), 8.0 * FLT_EPSILON * lambda.maxCoeff() / gap) << trial;
    EXPECT_NEAR(smallest, lambda(0), 16.0 * FLT_EPSILON * lambda.maxCoeff()) << trial;
  }
  // The second-difference matrix (2, -1) skips the reflections: eigenvalues
  // 2 - 2 cos(k pi / 13), eigenvectors sin(i k pi / 13).
  Matrix12 T = 2.0 * Matrix12::Identity();
  for (int i = 1; i < 12; ++i) T(i, i - 1) = T(i - 1, i) = -1.0;
  ASSERT_TRUE(ComputeSmallestEigenvector12(Buffer(T).a, v, smallest));
  Vector12 expected;
  for (int i = 0; i < 12; ++i) expected(i) = std::sin((i + 1) * M_PI / 13.0);
  EXPECT_LT(Misalignment(v, expected), 1e-4);
  EXPECT_NEAR(smallest, 2.0 - 2.0 * std::cos(M_PI / 13.0), 1e-5);
  // The zero matrix: any unit vector, eigenvalue 0.
  ASSERT_TRUE(ComputeSmallestEigenvector12(Buffer(Matrix12::Zero()).a, v, smallest));
  Misalignment(v, Vector12::Ones());
  EXPECT_NEAR(smallest, 0.0f, 1e-30f);
}

TEST(CameraEPnPNullVector, ValuesThatAreNotFiniteAreRejected) {
  for (const float bad : {NAN, INFINITY, -INFINITY}) {
    for (const int at : {0, 13, 77, 143}) {
      Buffer b(Matrix12::Identity());
      b.a[at] = bad;
      float v[12] = {}, smallest = 7.0f;
      EXPECT_FALSE(ComputeSmallestEigenvector12(b.a, v, smallest)) << at;
      EXPECT_EQ(smallest, 7.0f);
      for (const float x : v) EXPECT_EQ(x, 0.0f);
    }
  }
}
