// The analytic pose Jacobians of the marker alignment against central finite
// differences of the pose increment actually applied, and the degenerate
// border frame.
#include "viewer/MarkerAlignment.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/common/SceneRenderer.h"

namespace {

const Intrinsic kK = SceneRender::MakeIntrinsic(480.0f, 470.0f, 160.0f, 120.0f);

CameraPose TestPose() {
  const float a = 0.2f, b = -0.15f;
  const float r0[3] = {std::cos(a), std::sin(a), 0},
              r1[3] = {-std::sin(a) * std::cos(b), std::cos(a) * std::cos(b), std::sin(b)};
  const float r2[3] = {std::sin(a) * std::sin(b), -std::cos(a) * std::sin(b), std::cos(b)};
  const float c[3] = {0.05f, -0.1f, -1.2f};
  return SceneRender::MakePose(r0, r1, r2, c);
}

void PixelOf(const CameraPose& pose, const float* P, float* p) {
  SceneRender::ProjectPoint(pose, kK, P, p);
}

// f(pose moved by +-eps along parameter k), central difference.
template <class F>
void CentralDifference(const CameraPose& pose, int k, F f, float* out, int n) {
  const float eps = 1e-3f;
  float delta[6] = {0, 0, 0, 0, 0, 0}, plus[6], minus[6];
  CameraPose moved = pose;
  delta[k] = eps;
  ApplyPoseIncrement(delta, moved);
  f(moved, plus);
  moved = pose;
  delta[k] = -eps;
  ApplyPoseIncrement(delta, moved);
  f(moved, minus);
  for (int i = 0; i < n; ++i) out[i] = (plus[i] - minus[i]) / (2 * eps);
}

}  // namespace

// The corner projection and the edge frame (direction d, normal offset m) of
// the edge from A to B.
TEST(MarkerAlignment, ProjectionAndEdgeFrameJacobiansMatchFiniteDifferences) {
  const CameraPose pose = TestPose();
  const float A[3] = {-0.15f, -0.1f, 0}, B[3] = {0.15f, -0.1f, 0};
  const float c[2] = {kK.cx[0], kK.cy[0]};
  float XA[3], XB[3];
  SceneRender::ToCamera(pose, A, XA);
  SceneRender::ToCamera(pose, B, XB);
  float a[2], b[2], Ja[2][6], Jb[2][6], d[2], m[2], Jd[2][6], Jm[2][6];
  ProjectWithPoseJacobian(XA, kK, a, Ja);
  ProjectWithPoseJacobian(XB, kK, b, Jb);
  ASSERT_TRUE(ComputeEdgeFrameWithJacobian(a, b, c, Ja, Jb, d, m, Jd, Jm));
  EXPECT_NEAR(d[0] * d[0] + d[1] * d[1], 1.0f, 1e-6f);
  EXPECT_NEAR(m[0] * d[0] + m[1] * d[1], 0.0f, 1e-6f);
  const auto frame = [&](const CameraPose& q, float* out) {
    float qa[2], qb[2];
    PixelOf(q, A, qa);
    PixelOf(q, B, qb);
    ASSERT_TRUE(ComputeEdgeFrame(qa, qb, c, out, out + 2));
    out[4] = qa[0], out[5] = qa[1];
  };
  for (int k = 0; k < 6; ++k) {
    float fd[6];
    CentralDifference(pose, k, frame, fd, 6);
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(Ja[i][k], fd[4 + i], 0.01f * (1.0f + std::fabs(fd[4 + i]))) << i << k;
      EXPECT_NEAR(Jd[i][k], fd[i], 2e-3f + 0.01f * std::fabs(fd[i])) << i << k;
      EXPECT_NEAR(Jm[i][k], fd[2 + i], 2e-3f + 0.01f * std::fabs(fd[2 + i])) << i << k;
    }
  }
  // Coincident corners have no frame.
  EXPECT_FALSE(ComputeEdgeFrameWithJacobian(a, a, c, Ja, Ja, d, m, Jd, Jm));
}

TEST(MarkerAlignment, BilinearSamplesStayInsideTheImage) {
  CVD::Image<float> image(CVD::ImageRef(4, 3), 0.0f);
  CVD::Image<LA::Vector2<float>> gradients(CVD::ImageRef(4, 3), LA::Vector2<float>{1.0f, 2.0f});
  image[1][1] = 1.0f;
  EXPECT_FLOAT_EQ(SampleBilinear(image, 1.5f, 1.0f), 0.5f);
  float g[2];
  EXPECT_FLOAT_EQ(SampleBilinearWithGradient(image, gradients, 0.5f, 0.5f, g), 0.25f);
  EXPECT_FLOAT_EQ(g[1], 2.0f);
  for (float x : {-0.5f, 3.0f, NAN, 1e30f}) EXPECT_EQ(SampleBilinear(image, x, 1.0f), 0.0f);
}
