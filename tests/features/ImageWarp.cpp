// Whole-image warps: identity copies (the last column and row lack a
// neighbour and stay 0), a half-pixel shift gives neighbour means in every
// channel, projective and affine forms agree, and NaN maps leave black.
#include "features/ImageWarp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/common/ScenePyramid.h"

TEST(ImageWarp, IdentityShiftProjectiveColourAndNaN) {
  const CVD::Image<CVD::byte> src = SceneRender::RenderPlaneScene(161, 121, 51);
  CVD::Image<CVD::byte> a, b;
  CVD::Image<CVD::Rgb<CVD::byte>> colour(src.size()), warped;
  for (int k = 0; k < 161 * 121; ++k) colour.data()[k] = {src.data()[k], 255, 7};
  WarpRecord m{};
  m.m[0] = m.m[5] = m.m[10] = 1, m.m[8] = FLT_MAX;
  WarpImageGray(src, src.size(), a, m);
  m.m[2] = 0.5f;
  WarpImageRgbAffine(colour, {80, 60}, warped, m);
  for (int y = 0; y < 121; ++y)
    for (int x = 0; x < 161; ++x) {
      ASSERT_EQ(a[y][x], x < 160 && y < 120 ? src[y][x] : 0);
      const CVD::Rgb<CVD::byte> mean((src[y][x] + src[y][std::min(x + 1, 160)]) / 2, 255, 7);
      ASSERT_TRUE(x >= 80 || y >= 60 || warped[y][x] == mean);
    }
  m.m[0] = 0.9f, m.m[2] = 3.2f, m.m[5] = 1.1f, m.m[6] = -2.7f;
  WarpImageGray(src, src.size(), a, m);
  m.m[8] = 0;
  WarpImageGray(src, src.size(), b, m);
  for (int k = 0; k < 161 * 121; ++k) ASSERT_NEAR(a.data()[k], b.data()[k], 1);
  m.m[2] = NAN;
  WarpImageGray(src, src.size(), b, m);
  for (int k = 0; k < 161 * 121; ++k) ASSERT_EQ(b.data()[k], 0);
}
