// Image maps (affine and projective) and relative poses against known answers.
#include "viewer/ImageGeometry.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "tests/common/MarkerScene.h"

TEST(ImageGeometry, AffineMapIgnoresThirdRowProjectiveDivides) {
  float H[3][4] = {{2, 0.5f, 3, 0}, {-1, 1, 4, 0}, {FLT_MAX, 7, 9, 0}};
  const float p[2] = {2, 6}, w = 0.1f * 2 + 0.2f * 6 + 1;
  float out[2];
  ApplyHomography(H, p, out);
  EXPECT_FLOAT_EQ(out[0], 2 * 2 + 0.5f * 6 + 3);
  EXPECT_FLOAT_EQ(out[1], -2 + 6 + 4);
  H[2][0] = 0.1f, H[2][1] = 0.2f, H[2][2] = 1.0f;
  ApplyHomography(H, p, out);
  EXPECT_FLOAT_EQ(out[0], 10.0f / w);
  EXPECT_FLOAT_EQ(out[1], 8.0f / w);
}

// Camera 0 coordinates mapped by the relative pose equal camera 1
// coordinates; P0 to itself is the identity.
TEST(ImageGeometry, RelativePoseMapsCameraZeroToCameraOne) {
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
