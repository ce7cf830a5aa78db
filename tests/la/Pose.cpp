// Pose and quaternion conventions against Eigen (double precision, Hamilton
// convention): R(q) must be the transpose of Eigen's matrix of q everywhere.
#include "la/Pose.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cfloat>
#include <cmath>

#include "la/Random.h"

namespace {

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

void RandomUnitQuaternion(float* q) {
  double n = 0;
  for (int k = 0; k < 4; ++k) {
    q[k] = Uniform(-1.0f, 1.0f);
    n += double(q[k]) * q[k];
  }
  for (int k = 0; k < 4; ++k) q[k] = static_cast<float>(q[k] / std::sqrt(n));
}

Eigen::Quaterniond ToEigen(const float* q) {
  return Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
}
Eigen::Quaterniond ToEigen(const double* q) {
  return Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
}

// The system's R(q): transpose of Hamilton's matrix.
Eigen::Matrix3d SystemRotation(const Eigen::Quaterniond& q) {
  return q.normalized().toRotationMatrix().transpose();
}

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& R) {
  Eigen::Matrix3d M;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) M(i, j) = R.m[i][j];
  return M;
}

Eigen::Vector3d Translation(const LA::AlignedMatrix3f& P) {
  return Eigen::Vector3d(P.m[0][3], P.m[1][3], P.m[2][3]);
}

class PoseTest : public ::testing::Test {
 protected:
  void SetUp() override { Random::Seed(17); }
};

TEST_F(PoseTest, RotationIsTransposeOfHamilton) {
  const float h = 0.01f;
  const float q[4] = {0.0f, 0.0f, std::sin(h), std::cos(h)};
  LA::AlignedMatrix3f R;
  for (int i = 0; i < 3; ++i) R.m[i][3] = 7.0f;
  LA::QuaternionToRotationMatrix(q, R);
  EXPECT_NEAR(R.m[0][1], 2.0f * std::sin(h) * std::cos(h), 1e-7f);
  EXPECT_GT(R.m[0][1], 0.0f);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(R.m[i][3], 7.0f) << "fourth float must stay untouched";

  for (int trial = 0; trial < 100; ++trial) {
    float p[4];
    RandomUnitQuaternion(p);
    LA::AlignedMatrix3f A, B;
    float scratch[4];
    LA::QuaternionToRotationMatrix(p, A);
    QuaternionToRotation(B, p, scratch);
    EXPECT_TRUE(ToEigen(A).isApprox(SystemRotation(ToEigen(p)), 1e-6));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_EQ(A.m[i][j], B.m[i][j]);
  }
}

// Each quaternion is chosen so that Shepperd's method takes a given branch:
// trace > 0, or R00, R11, R22 the largest diagonal entry with trace <= 0.
TEST_F(PoseTest, RotationToQuaternionRoundTripInAllBranches) {
  const float cases[4][4] = {{0.1f, -0.2f, 0.3f, 0.9f},
                             {0.8f, 0.3f, -0.2f, 0.3f},
                             {0.2f, -0.85f, 0.3f, -0.25f},
                             {-0.1f, 0.3f, 0.9f, 0.2f}};
  for (int c = 0; c < 4; ++c) {
    float q[4];
    double n = 0;
    for (int k = 0; k < 4; ++k) n += double(cases[c][k]) * cases[c][k];
    for (int k = 0; k < 4; ++k) q[k] = static_cast<float>(cases[c][k] / std::sqrt(n));
    LA::AlignedMatrix3f R;
    LA::QuaternionToRotationMatrix(q, R);
    const float t = R.m[0][0] + R.m[1][1] + R.m[2][2];
    const int branch = t > 0                                              ? 0
                       : (R.m[0][0] > R.m[1][1] && R.m[0][0] > R.m[2][2]) ? 1
                       : R.m[1][1] > R.m[2][2]                            ? 2
                                                                          : 3;
    ASSERT_EQ(branch, c) << "test case does not exercise its branch";
    float back[4];
    RotationToQuaternion(R, back);
    const float sign = back[3] * q[3] + back[0] * q[0] >= 0 ? 1.0f : -1.0f;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(back[k], sign * q[k], 2e-6f) << "branch " << c;
    double norm = 0;
    for (int k = 0; k < 4; ++k) norm += double(back[k]) * back[k];
    EXPECT_NEAR(norm, 1.0, 1e-6);
  }
}

TEST_F(PoseTest, ProductsFollowHamiltonAndComposeRotationsInReverse) {
  for (int trial = 0; trial < 100; ++trial) {
    float p[4], q[4], pq[4], scratch[4];
    RandomUnitQuaternion(p);
    RandomUnitQuaternion(q);
    LA::MultiplyQuaternions(q, p, pq, scratch);  // pq = p (x) q
    const Eigen::Quaterniond ref = ToEigen(p) * ToEigen(q);
    EXPECT_NEAR(pq[0], ref.x(), 1e-6);
    EXPECT_NEAR(pq[3], ref.w(), 1e-6);

    LA::AlignedMatrix3f Rp, Rq, Rpq;
    LA::QuaternionToRotationMatrix(p, Rp);
    LA::QuaternionToRotationMatrix(q, Rq);
    LA::QuaternionToRotationMatrix(pq, Rpq);
    EXPECT_TRUE(ToEigen(Rpq).isApprox(ToEigen(Rq) * ToEigen(Rp), 1e-5));

    // In-place use: out aliasing an input.
    float a[4] = {q[0], q[1], q[2], q[3]};
    LA::MultiplyQuaternions(a, p, a, scratch);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], pq[k]);

    // conj(b) (x) a undoes b (x) x.
    float rel[4];
    LA::RelativeQuaternion(pq, p, rel, scratch);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(rel[k], q[k], 1e-6f);

    const double pd[4] = {p[0], p[1], p[2], p[3]}, qd[4] = {q[0], q[1], q[2], q[3]};
    float applied[4];
    ApplyQuaternionOffset(qd, pd, applied);  // p (x) q in double
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(applied[k], ref.coeffs()[k], 1e-7);
    double removed[4];
    RemoveQuaternionOffset(qd, applied, removed);  // (p (x) q) (x) conj(q) = p
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(removed[k], pd[k], 1e-6);
  }
}

TEST_F(PoseTest, QuaternionErrorVector) {
  float q[4];
  RandomUnitQuaternion(q);
  const float negated[4] = {-q[0], -q[1], -q[2], -q[3]};
  float e[4], dot;
  LA::QuaternionErrorVector(q, q, e, dot);
  EXPECT_NEAR(dot, 1.0f, 1e-6f);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(e[k], 0.0f, 1e-7f);
  LA::QuaternionErrorVector(q, negated, e, dot);
  EXPECT_LT(dot, 0.0f);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(e[k], 0.0f, 1e-7f);

  // a = b (x) (d/2, 1) (unnormalised, small d): the error is d, whichever sign
  // a carries.
  const float d[3] = {0.002f, -0.001f, 0.003f};
  const float delta[4] = {d[0] / 2, d[1] / 2, d[2] / 2, 1.0f};
  float a[4], scratch[4];
  LA::MultiplyQuaternions(delta, q, a, scratch);
  LA::QuaternionErrorVector(a, q, e, dot);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(e[k], d[k], 1e-6f);
  for (int k = 0; k < 4; ++k) a[k] = -a[k];
  LA::QuaternionErrorVector(a, q, e, dot);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(e[k], d[k], 1e-6f);
}

TEST_F(PoseTest, UpdateQuaternionStaysUnitWithNonNegativeScalar) {
  const float q[4] = {0.2f, -0.4f, 0.4f, -0.8f};  // |q| = 1.0954, w < 0
  const float zero[3] = {0, 0, 0};
  float out[4];
  LA::UpdateQuaternion(zero, q, out);
  const float n = std::sqrt(0.04f + 0.16f + 0.16f + 0.64f);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(out[k], -q[k] / n, 1e-6f);

  // A small step equals q (x) exp(d/2) to first order.
  const float d[3] = {1e-3f, -2e-3f, 5e-4f};
  float unit[4];
  RandomUnitQuaternion(unit);
  LA::UpdateQuaternion(d, unit, out);
  Eigen::Quaterniond ref = ToEigen(unit) * Eigen::Quaterniond(1.0, d[0] / 2, d[1] / 2, d[2] / 2);
  ref.normalize();
  if (ref.w() < 0) ref.coeffs() = -ref.coeffs();
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(out[k], ref.coeffs()[k], 1e-6);
  EXPECT_GE(out[3], 0.0f);
}

TEST_F(PoseTest, BodyStateAndCameraPoseRoundTrip) {
  for (int trial = 0; trial < 50; ++trial) {
    float qs[4], qo[4];
    RandomUnitQuaternion(qs);
    RandomUnitQuaternion(qo);
    IMUState state{};
    CameraOffset offset{};
    for (int k = 0; k < 4; ++k) {
      state.quaternion[k] = qs[k];
      offset.quaternion[k] = qo[k];
    }
    for (int k = 0; k < 3; ++k) {
      state.position[k] = Uniform(-5, 5);
      offset.position[k] = Uniform(-0.1f, 0.1f);
    }
    state.velocity[1] = 3.0;
    state.time = 12.5;
    CameraPose pose;
    float scratch[8];
    PoseToCamera(state, offset, pose, scratch);

    // x_cam = R_off R_state (X - p_state) + p_off.
    const Eigen::Vector3d X(0.3, -1.2, 4.0);
    const Eigen::Vector3d ps(state.position[0], state.position[1], state.position[2]);
    const Eigen::Vector3d po(offset.position[0], offset.position[1], offset.position[2]);
    const Eigen::Vector3d expected = SystemRotation(ToEigen(offset.quaternion)) *
                                         SystemRotation(ToEigen(state.quaternion)) * (X - ps) +
                                     po;
    EXPECT_TRUE((ToEigen(pose) * X + Translation(pose) - expected).norm() < 2e-5);

    // The single-precision twin agrees.
    float record[8] = {qo[0], qo[1], qo[2], qo[3], float(po[0]), float(po[1]), float(po[2]), 0};
    const float pf[3] = {float(ps[0]), float(ps[1]), float(ps[2])};
    CameraPose poseF;
    PoseToCameraF(record, pf, qs, poseF, scratch);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 4; ++j) EXPECT_NEAR(poseF.m[i][j], pose.m[i][j], 2e-5f);
      EXPECT_EQ(scratch[4 + i], poseF.m[i][3]);
    }

    IMUState back = state;
    back.position[0] = back.position[1] = back.position[2] = 0;
    CameraToPose(back, offset, pose, scratch);
    const double sign = back.quaternion[3] * state.quaternion[3] +
                                    back.quaternion[0] * state.quaternion[0] +
                                    back.quaternion[1] * state.quaternion[1] +
                                    back.quaternion[2] * state.quaternion[2] >=
                                0
                            ? 1
                            : -1;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(back.quaternion[k], sign * state.quaternion[k], 2e-6);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back.position[k], state.position[k], 2e-5);
    EXPECT_EQ(back.velocity[1], 3.0);
    EXPECT_EQ(back.time, 12.5);
  }
}

TEST_F(PoseTest, ComposeAndInvertSimilarity) {
  float q1[4], q2[4];
  RandomUnitQuaternion(q1);
  RandomUnitQuaternion(q2);
  CameraPose first, second, out;
  LA::QuaternionToRotationMatrix(q1, first);
  LA::QuaternionToRotationMatrix(q2, second);
  for (int i = 0; i < 3; ++i) {
    first.m[i][3] = Uniform(-2, 2);
    second.m[i][3] = Uniform(-2, 2);
  }
  alignas(16) float scratch[4];
  ComposePose(first, second, out, scratch);
  const Eigen::Vector3d X(1.0, 2.0, -0.5);
  const Eigen::Vector3d expected =
      ToEigen(second) * (ToEigen(first) * X + Translation(first)) + Translation(second);
  EXPECT_LT((ToEigen(out) * X + Translation(out) - expected).norm(), 1e-5);
  CameraPose aliased = first;
  ComposePose(aliased, second, aliased, scratch);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(aliased.m[i][j], out.m[i][j]);

  // y = s (R x + t); the inverse maps y back to x; twice gives the start.
  alignas(16) float T[16], Ti[16], Tii[16];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) T[i * 4 + j] = first.m[i][j];
  T[12] = T[13] = T[14] = 2.5f;
  T[15] = 1.0f;
  InvertSimilarityTransform(T, Ti, scratch);
  InvertSimilarityTransform(Ti, Tii, scratch);
  for (int k = 0; k < 16; ++k) EXPECT_NEAR(Tii[k], T[k], 1e-5f) << k;
  const Eigen::Vector3d x(0.4, -0.7, 1.9);
  Eigen::Vector3d y = T[12] * (ToEigen(first) * x + Translation(first));
  Eigen::Vector3d xBack;
  for (int i = 0; i < 3; ++i)
    xBack[i] =
        Ti[12] * (Ti[i * 4] * y[0] + Ti[i * 4 + 1] * y[1] + Ti[i * 4 + 2] * y[2] + Ti[i * 4 + 3]);
  EXPECT_LT((xBack - x).norm(), 1e-5);
  EXPECT_EQ(Ti[15], 1.0f);
}

TEST_F(PoseTest, AxisAngleAndRotationVector) {
  for (int trial = 0; trial < 50; ++trial) {
    Eigen::Vector3d axis(Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1));
    axis.normalize();
    const float angle = Uniform(0.0f, 3.1415926f);
    const float a[3] = {float(axis[0]), float(axis[1]), float(axis[2])};
    LA::AlignedMatrix3f R;
    AxisAngleToRotation(R, a, angle);
    const Eigen::Matrix3d ref = Eigen::AngleAxisd(angle, axis).toRotationMatrix();
    EXPECT_TRUE(ToEigen(R).isApprox(ref, 1e-5)) << angle;

    const Eigen::Vector3d w = axis * angle;
    float scratch[16];
    LA::AlignedMatrix3f E;
    RotationVectorToRotation(E, float(w[0]), float(w[1]), float(w[2]), scratch);
    EXPECT_TRUE(ToEigen(E).isApprox(ref, 1e-5));
  }
  LA::AlignedMatrix3f I;
  for (int i = 0; i < 3; ++i) I.m[i][3] = 5.0f;
  float scratch[16];
  RotationVectorToRotation(I, 1e-6f, 0.0f, 0.0f, scratch);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(I.m[i][j], i == j ? 1.0f : 0.0f);
}

TEST(PoseValues, UnsetPoseAndIntrinsics) {
  CameraPose pose{};
  EXPECT_TRUE(IsPoseValid(pose));
  pose.m[0][0] = FLT_MAX;
  pose.m[1][1] = 1.0f;
  EXPECT_TRUE(IsPoseInvalid(pose));
  EXPECT_FALSE(IsPoseValid(pose));

  Intrinsic K;
  K.Set(500.0f, 400.0f, 320.0f, 240.0f);
  EXPECT_EQ(K.cxcxcycy[1], 320.0f);
  EXPECT_EQ(K.cxcxcycy[2], 240.0f);
  EXPECT_FLOAT_EQ(K.misc[1], 1.0f / 200000.0f);
  EXPECT_FLOAT_EQ(K.misc[3], 0.6f);
  AlignedArray<LA::Vector2<float>> points;
  const LA::Vector2<float> src[3] = {{0.1f, -0.2f}, {0.0f, 0.0f}, {-0.5f, 0.25f}};
  for (const auto& p : src) points.PushBack8(p);
  K.ApplyToPoints(points);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FLOAT_EQ(points[i].x, 500.0f * src[i].x + 320.0f);
    EXPECT_FLOAT_EQ(points[i].y, 400.0f * src[i].y + 240.0f);
  }
}

}  // namespace
