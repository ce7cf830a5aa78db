// The shared test renderer against known images: a fronto-parallel plane at
// one texel per pixel reproduces its texture, a half-texel shift gives the
// bilinear mean, and textures repeat per seed.
#include "tests/common/SceneRenderer.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace SceneRender;

namespace {

// Camera looking along +z at the plane z = 0, one world unit per pixel, its
// centre shifted by (dx, dy) from texel-centre alignment.
CameraPose FrontCamera(float cx, float cy, float dx, float dy) {
  const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1};
  const float c[3] = {cx + 0.5f + dx, cy + 0.5f + dy, -100.0f};
  return MakePose(r0, r1, r2, c);
}

}  // namespace

TEST(SceneRenderer, FrontoParallelPlaneReproducesTextureAndInterpolates) {
  const CVD::Image<unsigned char> texture = MakeNoiseTexture(64, 48, 3, 6);
  const std::vector<TexturedPlane> planes = {
      {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 64.0f, 48.0f, &texture}};
  const Intrinsic K = MakeIntrinsic(100.0f, 100.0f, 31.5f, 23.5f);
  CVD::Image<unsigned char> image(CVD::ImageRef(64, 48));
  Render(planes, FrontCamera(31.5f, 23.5f, 0, 0), K, image, 0, 1);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      ASSERT_LE(std::abs(image[y][x] - texture[y][x]), 1) << x << "," << y;

  // Half a texel to the right: each pixel is the mean of two neighbours.
  Render(planes, FrontCamera(31.5f, 23.5f, 0.5f, 0), K, image, 0, 1);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 63; ++x)
      ASSERT_LE(std::abs(2 * image[y][x] - texture[y][x] - texture[y][x + 1]), 3);

  // Moved away, the plane leaves pixels to the background.
  Render(planes, FrontCamera(31.5f + 100.0f, 23.5f, 0, 0), K, image, 17, 2);
  EXPECT_EQ(image[10][10], 17);
}

TEST(SceneRenderer, TexturesRepeatPerSeedAndSheetIsBrightWithPrintedInterior) {
  const CVD::Image<unsigned char> a = MakeNoiseTexture(40, 30, 5), b = MakeNoiseTexture(40, 30, 5),
                                  c = MakeNoiseTexture(40, 30, 6);
  int same = 0, differ = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      same += a[y][x] == b[y][x];
      differ += a[y][x] != c[y][x];
    }
  EXPECT_EQ(same, 40 * 30);
  EXPECT_GT(differ, 40 * 30 / 2);

  const CVD::Image<unsigned char> sheet = MakeMarkerSheetTexture(297, 210);
  double mean = 0;
  int dark = 0;
  for (int y = 0; y < 210; ++y)
    for (int x = 0; x < 297; ++x) {
      mean += sheet[y][x];
      dark += sheet[y][x] < 128;
    }
  mean /= 297.0 * 210.0;
  EXPECT_GT(mean, 0.7 * 255);  // reads as a bright sheet
  EXPECT_GT(dark, 297 * 210 / 20);
  for (int x = 0; x < 297; ++x) EXPECT_EQ(sheet[2][x], 245);  // plain margin
}
