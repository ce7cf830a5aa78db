// The analytic pose Jacobians of the marker alignment against central finite
// differences of the pose increment actually applied, the degenerate edge,
// bilinear samples at and past the image border, and the image maps and
// relative poses it builds on against known answers.
#include "viewer/MarkerAlignment.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "tests/common/MarkerScene.h"
#include "viewer/ImageGeometry.h"

// The corner projection and the edge frame (direction d, normal offset m) of
// the edge from A to B.
TEST(MarkerAlignment, ProjectionAndEdgeFrameJacobiansMatchFiniteDifferences) {
  const Intrinsic K = SceneRender::MakeIntrinsic(480.0f, 470.0f, 160.0f, 120.0f);
  const CameraPose pose = MarkerScene::LookDown(0.05f, -0.1f, 1.2f, 0.15f, -0.1f, 0.2f);
  const float A[3] = {-0.15f, -0.1f, 0}, B[3] = {0.15f, -0.1f, 0}, c[2] = {K.cx[0], K.cy[0]};
  float XA[3], XB[3], a[2], b[2], Ja[2][6], Jb[2][6], d[2], m[2], Jd[2][6], Jm[2][6];
  SceneRender::ToCamera(pose, A, XA);
  SceneRender::ToCamera(pose, B, XB);
  ProjectWithPoseJacobian(XA, K, a, Ja);
  ProjectWithPoseJacobian(XB, K, b, Jb);
  ASSERT_TRUE(ComputeEdgeFrameWithJacobian(a, b, c, Ja, Jb, d, m, Jd, Jm));
  EXPECT_NEAR(d[0] * d[0] + d[1] * d[1], 1.0f, 1e-6f);
  EXPECT_NEAR(m[0] * d[0] + m[1] * d[1], 0.0f, 1e-6f);
  // d, m and the pixel of A once the pose moved by eps along parameter k.
  const auto frame = [&](int k, float eps, float out[6]) {
    float delta[6] = {0, 0, 0, 0, 0, 0}, pixelB[2];
    delta[k] = eps;
    CameraPose moved = pose;
    ApplyPoseIncrement(delta, moved);
    SceneRender::ProjectPoint(moved, K, A, out + 4);
    SceneRender::ProjectPoint(moved, K, B, pixelB);
    EXPECT_TRUE(ComputeEdgeFrame(out + 4, pixelB, c, out, out + 2));
  };
  for (int k = 0; k < 6; ++k) {
    float plus[6], minus[6], fd[6];
    frame(k, 1e-3f, plus);
    frame(k, -1e-3f, minus);
    for (int i = 0; i < 6; ++i) fd[i] = (plus[i] - minus[i]) / 2e-3f;
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

// An affine map ignores its third row, a projective one divides; camera 0
// coordinates mapped by the relative pose equal camera 1 coordinates, and
// P0 to itself is the identity.
TEST(ImageGeometry, ImageMapsAndRelativePoseAgainstKnownAnswers) {
  float H[3][4] = {{2, 0.5f, 3, 0}, {-1, 1, 4, 0}, {FLT_MAX, 7, 9, 0}};
  const float p[2] = {2, 6}, w = 0.1f * 2 + 0.2f * 6 + 1;
  float out[2];
  ApplyHomography(H, p, out);
  EXPECT_TRUE(out[0] == 2 * 2 + 0.5f * 6 + 3 && out[1] == -2 + 6 + 4);
  H[2][0] = 0.1f, H[2][1] = 0.2f, H[2][2] = 1.0f;
  ApplyHomography(H, p, out);
  EXPECT_FLOAT_EQ(out[0], 10.0f / w);
  EXPECT_FLOAT_EQ(out[1], 8.0f / w);

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
