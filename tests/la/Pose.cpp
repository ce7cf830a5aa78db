// Pose and quaternion conventions against Eigen (double precision, Hamilton
// products): the system's R(q) is the transpose of Eigen's matrix of q, so
// R(p (x) q) = R(q) R(p). Round trips through the conversion pairs; the
// camera centre, image maps and relative poses against known answers.
#include "la/Pose.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "common/Draws.h"
#include "la/Homography.h"
#include "tests/common/MarkerScene.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;

// A random unit quaternion (x, y, z, w) into q, returned as Eigen's.
Quaterniond RandomUnitQuaternion(float* q) {
  const Eigen::Vector4d v(Gaussian(), Gaussian(), Gaussian(), Gaussian());
  for (int k = 0; k < 4; ++k) q[k] = static_cast<float>(v[k] / v.norm());
  return Quaterniond(q[3], q[0], q[1], q[2]);
}
// Equal up to the sign every quaternion shares with its negation.
template <class A, class B>
void ExpectSameRotation(const A* a, const B* b, double tol) {
  const double sign = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3] >= 0 ? 1 : -1;
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], sign * b[k], tol) << k;
}

// Random products (which take every branch of Shepperd's method in
// RotationToQuaternion) against Eigen, back to quaternions, and camera poses.
// (Small steps and error vectors are exercised by the inertial solvers, whose
// tests converge to the true states.)
TEST(Pose, ProductsRotationsAndCameraPoses) {
  Random::Seed(17);
  for (int trial = 0; trial < 100; ++trial) {
    float p[4], q[4], pq[4], a[4], scratch[9];
    const Quaterniond P = RandomUnitQuaternion(p), Q = RandomUnitQuaternion(q);
    LA::MultiplyQuaternions(q, p, pq, scratch);  // pq = p (x) q
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(pq[k], (P * Q).coeffs()[k], 1e-6);
    LA::AlignedMatrix3f Rp, Rq, Rpq = FromEigen(Matrix3d::Zero(), Vector3d(7, 7, 7));
    LA::QuaternionToRotationMatrix(p, Rp);
    QuaternionToRotation(Rq, q, scratch);
    LA::QuaternionToRotationMatrix(pq, Rpq);
    EXPECT_TRUE(ToEigen(Rp).isApprox(P.toRotationMatrix().transpose(), 1e-6));
    EXPECT_TRUE(ToEigen(Rpq).isApprox(ToEigen(Rq) * ToEigen(Rp), 1e-5));
    RotationToQuaternion(Rpq, a);
    ExpectSameRotation(a, pq, 2e-6);
    EXPECT_EQ(TranslationOf(Rpq), Vector3d(7, 7, 7)) << "fourth floats must stay untouched";

    std::copy(q, q + 4, a);
    LA::MultiplyQuaternions(a, p, a, scratch);  // out aliasing an input
    for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], pq[k]);
    LA::RelativeQuaternion(pq, p, a, scratch);  // conj(p) (x) p (x) q = q
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], q[k], 1e-6f);

    // The body state with rotation p and the camera offset q give the pose
    // x_cam = R_off R_state (X - p_state) + p_off, and back.
    IMUState state{}, back{};
    CameraOffset offset{};
    std::copy(p, p + 4, state.quaternion);
    std::copy(q, q + 4, offset.quaternion);
    for (int k = 0; k < 3; ++k) state.position[k] = Uniform(-5, 5);
    for (int k = 0; k < 3; ++k) offset.position[k] = Uniform(-0.1f, 0.1f);
    CameraPose pose;
    PoseToCamera(state, offset, pose, scratch);
    const Vector3d X(0.3, -1.2, 4.0), ps(state.position), po(offset.position);
    const Matrix3d R = (P * Q).toRotationMatrix().transpose();
    EXPECT_LT((ToEigen(pose) * X + TranslationOf(pose) - (R * (X - ps) + po)).norm(), 2e-5);
    CameraToPose(back, offset, pose, scratch);
    ExpectSameRotation(back.quaternion, state.quaternion, 2e-6);
    EXPECT_LT((Vector3d(back.position) - ps).norm(), 3e-5);

    // A similarity y = s (R x + t) and its inverse take X there and back.
    using Rows34 = Eigen::Matrix<float, 3, 4, Eigen::RowMajor>;
    float T[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2.5f, 2.5f, 2.5f, 1.0f}, inverse[16];
    Eigen::Map<Rows34>(T) << ToEigen(Rp).cast<float>(), Eigen::Vector3f(0.5f, -1, 2);
    InvertSimilarityTransform(T, inverse, scratch);
    const auto apply = [](const float* M, const Vector3d& x) {
      return (M[12] * Eigen::Map<const Rows34>(M).cast<double>() * x.homogeneous()).eval();
    };
    EXPECT_LT((apply(inverse, apply(T, X)) - X).norm(), 1e-5);
    EXPECT_EQ(inverse[15], 1.0f);
  }
}

// A rotation vector gives the identity up to |w|^2 = 1e-10 (the float pair
// below squares exactly to it), a rotation just above. The intrinsics take
// normalised points to pixels, pairs by SSE and an odd last point alone.
TEST(Pose, RotationVectorThresholdAndPixels) {
  const float wx = 0x1.0c6fccp-20f, wy = 0x1.4ddcc4p-17f;
  float scratch[9];
  LA::AlignedMatrix3f R;
  RotationVectorToRotation(R, wx, wy, 0.0f, scratch);
  EXPECT_EQ(ToEigen(R), Matrix3d::Identity());
  EXPECT_EQ(TranslationOf(R), Vector3d::Zero());
  RotationVectorToRotation(R, wx, std::nextafter(wy, 1.0f), 0.0f, scratch);
  EXPECT_FLOAT_EQ(R.m[0][2], wy);

  Intrinsic K;
  K.Set(500.0f, 400.0f, 320.0f, 240.0f);
  AlignedArray<LA::Vector2<float>> points;
  points.Resize(3);
  for (u32 i = 0; i < 3; ++i) points[i] = {0.1f * (i + 1), -0.2f * (i + 1)};
  K.ApplyToPoints(points);
  for (u32 i = 0; i < 3; ++i) {
    EXPECT_NEAR(points[i].x, 50.0f * (i + 1) + 320.0f, 1e-3f) << i;
    EXPECT_NEAR(points[i].y, -80.0f * (i + 1) + 240.0f, 1e-3f) << i;
  }
}

// R turns x into y (R^T turns y into x): with t = (1, 2, 3) the centre -R^T t
// is (-2, 1, -3), a transposed R would give (2, -1, -3).
TEST(Pose, CameraCentreKnownAnswer) {
  const float rows[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, t[3] = {1, 2, 3};
  CameraPose P;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) P.m[r][c] = rows[r][c];
    P.m[r][3] = t[r];
  }
  float centre[3];
  CameraCentre(P, centre);
  EXPECT_EQ(centre[0], -2.0f);
  EXPECT_EQ(centre[1], 1.0f);
  EXPECT_EQ(centre[2], -3.0f);
}

// An affine map ignores its third row, a projective one divides; camera 0
// coordinates mapped by the relative pose equal camera 1 coordinates, and
// P0 to itself is the identity.
TEST(ImageGeometry, ImageMapsAndRelativePoseAgainstKnownAnswers) {
  float H[3][4] = {{2, 0.5f, 3, 0}, {-1, 1, 4, 0}, {FLT_MAX, 7, 9, 0}}, out[2];
  const float p[2] = {2, 6}, w = 0.1f * 2 + 0.2f * 6 + 1;
  ApplyHomography(H, p, out);
  EXPECT_TRUE(out[0] == 2 * 2 + 0.5f * 6 + 3 && out[1] == -2 + 6 + 4);
  H[2][0] = 0.1f, H[2][1] = 0.2f, H[2][2] = 1.0f;
  ApplyHomography(H, p, out);
  EXPECT_TRUE(std::fabs(out[0] - 10 / w) < 1e-6f && std::fabs(out[1] - 8 / w) < 1e-6f);

  const CameraPose P0 = MarkerScene::LookDown(1, 2, 3, 0.3f, -0.2f, 0.9f),
                   P1 = MarkerScene::LookDown(-1, 0.5f, 2, -0.4f, 0.1f, 2.5f);
  const float X[3] = {0.3f, -1.2f, 4.0f};
  CameraPose rel;
  for (const CameraPose* target : {&P1, &P0}) {
    ComputeRelativePose(P0, *target, rel);
    float x0[3], x1[3], mapped[3];
    SceneRender::ToCamera(P0, X, x0);
    SceneRender::ToCamera(*target, X, x1);
    SceneRender::ToCamera(rel, x0, mapped);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(mapped[i], x1[i], 1e-5f);
  }
  EXPECT_NEAR(rel.m[0][0] + rel.m[1][1] + rel.m[2][2], 3.0f, 1e-5f);
}

}  // namespace
