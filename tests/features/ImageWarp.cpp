// Whole-image warps: an identity map copies the image (the last column and
// row need a right or lower neighbour and stay 0), a half-pixel shift gives
// neighbour means, projective and affine forms agree, colour channels stay
// apart, and a map to nowhere leaves a black image.
#include "features/ImageWarp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/common/ScenePyramid.h"

namespace {

WarpRecord Map(float a00, float a02, float a11, float a12, bool affine) {
  WarpRecord m{};
  m.m[0] = a00, m.m[2] = a02, m.m[5] = a11, m.m[6] = a12;
  m.m[8] = affine ? FLT_MAX : 0.0f;
  m.m[10] = 1.0f;
  return m;
}

}  // namespace

TEST(ImageWarp, IdentityShiftProjectiveAndColour) {
  const CVD::Image<CVD::byte> src = SceneRender::RenderPlaneScene(161, 121, 51);
  const int w = 161, h = 121;
  CVD::Image<CVD::byte> dst, projective;
  WarpImageGray(src, src.size(), dst, Map(1, 0, 1, 0, true));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(dst[y][x], x < w - 1 && y < h - 1 ? src[y][x] : 0) << x << "," << y;

  WarpImageGrayAffine(src, {80, 60}, dst, Map(1, 0.5f, 1, 0, true));
  ASSERT_EQ(dst.size(), CVD::ImageRef(80, 60));
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) ASSERT_EQ(dst[y][x], (src[y][x] + src[y][x + 1]) / 2);

  WarpImageGray(src, src.size(), dst, Map(0.9f, 3.2f, 1.1f, -2.7f, true));
  WarpImageGray(src, src.size(), projective, Map(0.9f, 3.2f, 1.1f, -2.7f, false));
  int differ = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) differ += std::abs(dst[y][x] - projective[y][x]) > 1;
  EXPECT_EQ(differ, 0);

  CVD::Image<CVD::Rgb<CVD::byte>> colour(src.size()), warped;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      colour[y][x] = {src[y][x], static_cast<CVD::byte>(255 - src[y][x]), 7};
  WarpImageRgb(colour, {80, 60}, warped, Map(1, 0.5f, 1, 0, false));
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) {
      ASSERT_EQ(warped[y][x].red, (src[y][x] + src[y][x + 1]) / 2);
      ASSERT_NEAR(warped[y][x].green, 255 - (src[y][x] + src[y][x + 1]) / 2.0, 1);
      ASSERT_EQ(warped[y][x].blue, 7);
    }

  WarpRecord away = Map(1, 1e9f, 1, 0, true);
  WarpImageGray(src, src.size(), dst, away);
  away.m[2] = std::nanf("");
  WarpImageGrayAffine(src, src.size(), projective, away);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ASSERT_EQ(dst[y][x] + projective[y][x], 0);
}
