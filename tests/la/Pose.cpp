// Pose and quaternion conventions against Eigen (double precision, Hamilton
// products): the system's R(q) is the transpose of Eigen's matrix of q, so
// R(p (x) q) = R(q) R(p). Round trips through the conversion pairs.
#include "la/Pose.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>

#include "common/Draws.h"

namespace {

using Eigen::Quaterniond;
using Eigen::Vector3d;
using Rows34 = Eigen::Matrix<float, 3, 4, Eigen::RowMajor>;

template <class F>
void RandomUnitQuaternion(F* q) {
  const Eigen::Vector4d v(Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1));
  for (int k = 0; k < 4; ++k) q[k] = static_cast<F>(v[k] / v.norm());
}
template <class F>
Quaterniond ToEigen(const F* q) {
  return Quaterniond(q[3], q[0], q[1], q[2]);
}
Eigen::Matrix<double, 3, 4> ToEigen34(const LA::AlignedMatrix3f& P) {
  return Eigen::Map<const Rows34>(P.m[0]).cast<double>();
}
Eigen::Matrix3d Rotation(const LA::AlignedMatrix3f& P) {
  return ToEigen34(P).leftCols<3>();
}
// Equal up to the sign every quaternion shares with its negation.
template <class A, class B>
void ExpectSameRotation(const A* a, const B* b, double tol) {
  const double sign = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3] >= 0 ? 1 : -1;
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], sign * b[k], tol) << k;
}

class PoseTest : public ::testing::Test {
 protected:
  void SetUp() override { Random::Seed(17); }
};

TEST_F(PoseTest, RotationIsTransposeOfHamilton) {
  for (int trial = 0; trial < 100; ++trial) {
    float q[4], scratch[4];
    RandomUnitQuaternion(q);
    LA::AlignedMatrix3f A{}, B{};
    for (int i = 0; i < 3; ++i) A.m[i][3] = 7.0f;
    LA::QuaternionToRotationMatrix(q, A);
    QuaternionToRotation(B, q, scratch);
    const Eigen::Matrix3d hamilton = ToEigen(q).toRotationMatrix();
    EXPECT_TRUE(Rotation(A).isApprox(hamilton.transpose(), 1e-6));
    EXPECT_EQ(Rotation(A), Rotation(B));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(A.m[i][3], 7.0f) << "fourth float must stay untouched";
  }
}

// Each quaternion makes Shepperd's method take one branch: trace > 0, or
// R00, R11, R22 the largest diagonal entry with trace <= 0.
TEST_F(PoseTest, RotationToQuaternionRoundTripInAllBranches) {
  const double cases[4][4] = {{0.1, -0.2, 0.3, 0.9},
                              {0.8, 0.3, -0.2, 0.3},
                              {0.2, -0.85, 0.3, -0.25},
                              {-0.1, 0.3, 0.9, 0.2}};
  for (int c = 0; c < 4; ++c) {
    const Eigen::Vector4f q = Eigen::Vector4d(cases[c]).normalized().cast<float>();
    LA::AlignedMatrix3f R;
    LA::QuaternionToRotationMatrix(q.data(), R);
    const Eigen::Vector3f d(R.m[0][0], R.m[1][1], R.m[2][2]);
    int largest;
    d.maxCoeff(&largest);
    ASSERT_EQ(d.sum() > 0 ? 0 : 1 + largest, c) << "test case does not exercise its branch";
    float back[4];
    RotationToQuaternion(R, back);
    ExpectSameRotation(back, q.data(), 2e-6);
  }
}

TEST_F(PoseTest, ProductsAreHamiltonAndComposeRotationsInReverse) {
  for (int trial = 0; trial < 100; ++trial) {
    float p[4], q[4], pq[4], a[4], scratch[4];
    RandomUnitQuaternion(p);
    RandomUnitQuaternion(q);
    LA::MultiplyQuaternions(q, p, pq, scratch);  // pq = p (x) q
    const Eigen::Vector4d ref = (ToEigen(p) * ToEigen(q)).coeffs();
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(pq[k], ref[k], 1e-6);
    LA::AlignedMatrix3f Rp, Rq, Rpq;
    LA::QuaternionToRotationMatrix(p, Rp);
    LA::QuaternionToRotationMatrix(q, Rq);
    LA::QuaternionToRotationMatrix(pq, Rpq);
    EXPECT_TRUE(Rotation(Rpq).isApprox(Rotation(Rq) * Rotation(Rp), 1e-5));

    std::copy(q, q + 4, a);
    LA::MultiplyQuaternions(a, p, a, scratch);  // out aliasing an input
    for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], pq[k]);
    LA::RelativeQuaternion(pq, p, a, scratch);  // conj(p) (x) p (x) q = q
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], q[k], 1e-6f);

    const double pd[4] = {p[0], p[1], p[2], p[3]}, qd[4] = {q[0], q[1], q[2], q[3]};
    double removed[4];
    ApplyQuaternionOffset(qd, pd, a);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], ref[k], 1e-7);
    RemoveQuaternionOffset(qd, a, removed);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(removed[k], pd[k], 1e-6);
  }
}

// A small step d taken by UpdateQuaternion (unit result, w >= 0) comes back as
// the error vector against the start, whichever sign the result carries.
TEST_F(PoseTest, SmallStepAndErrorVectorRoundTrip) {
  for (int trial = 0; trial < 20; ++trial) {
    float q[4], out[4], e[3], dot;
    RandomUnitQuaternion(q);
    const float d[3] = {Uniform(-2e-3f, 2e-3f), Uniform(-2e-3f, 2e-3f), Uniform(-2e-3f, 2e-3f)};
    LA::UpdateQuaternion(d, q, out);
    EXPECT_NEAR(Eigen::Vector4f(out).norm(), 1.0f, 1e-6f);
    EXPECT_GE(out[3], 0.0f);
    for (int flip = 0; flip < 2; ++flip) {
      LA::QuaternionErrorVector(out, q, e, dot);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(e[k], d[k], 1e-6f);
      for (float& v : out) v = -v;
    }
  }
}

TEST_F(PoseTest, BodyStateAndCameraPoseRoundTrip) {
  for (int trial = 0; trial < 50; ++trial) {
    IMUState state{}, back{};
    CameraOffset offset{};
    RandomUnitQuaternion(state.quaternion);
    RandomUnitQuaternion(offset.quaternion);
    for (int k = 0; k < 3; ++k) state.position[k] = Uniform(-5, 5);
    for (int k = 0; k < 3; ++k) offset.position[k] = Uniform(-0.1f, 0.1f);
    CameraPose pose;
    float scratch[8];
    PoseToCamera(state, offset, pose, scratch);
    // x_cam = R_off R_state (X - p_state) + p_off
    const Vector3d X(0.3, -1.2, 4.0), ps(state.position), po(offset.position);
    const Vector3d expected =
        (ToEigen(state.quaternion) * ToEigen(offset.quaternion)).toRotationMatrix().transpose() *
            (X - ps) +
        po;
    EXPECT_LT((ToEigen34(pose) * X.homogeneous() - expected).norm(), 2e-5);
    CameraToPose(back, offset, pose, scratch);
    ExpectSameRotation(back.quaternion, state.quaternion, 2e-6);
    EXPECT_LT((Vector3d(back.position) - ps).norm(), 3e-5);
  }
}

}  // namespace
