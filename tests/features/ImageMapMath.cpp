// Map inverses against the identity, the pixel map from intrinsics against
// the epipolar constraint, and the Tukey scale against a hand median.
#include "features/ImageMapMath.h"

#include <gtest/gtest.h>

#include "la/Random.h"

namespace {

float Uniform(float low, float high) {
  return low + (high - low) * static_cast<float>(Random::Next()) / Random::kMax;
}

WarpRecord RandomMap() {
  WarpRecord m{};
  for (int k = 0; k < 9; ++k) m.m[4 * (k / 3) + k % 3] = Uniform(-1, 1) + (k % 4 == 0 ? 2 : 0);
  return m;
}

}  // namespace

TEST(ImageMapMath, InversesProductsAndPixelMap) {
  Random::Seed(12);
  for (int i = 0; i < 50; ++i) {
    WarpRecord m = RandomMap(), inverse, affine;
    ASSERT_TRUE(Invert3x3(m, inverse));
    MultiplyRotation3x3(m, inverse, m);  // aliased output
    m.m[8] = m.m[9] = 0, affine = RandomMap(), inverse = affine;
    ASSERT_TRUE(Invert2x2(affine, inverse));
    inverse.m[8] = inverse.m[9] = affine.m[8] = affine.m[9] = 0, inverse.m[10] = affine.m[10] = 1;
    MultiplyRotation3x3(inverse, affine, affine);
    for (int k = 0; k < 9; ++k) {
      EXPECT_NEAR(m.m[4 * (k / 3) + k % 3], k % 4 == 0 ? 1 : 0, 1e-5) << k;
      EXPECT_NEAR(affine.m[4 * (k / 3) + k % 3], k % 4 == 0 ? 1 : 0, 1e-5) << k;
    }
  }
  WarpRecord tiny{}, out;
  tiny.m[0] = tiny.m[5] = 1e-4f, tiny.m[10] = 1;  // det 1e-8
  EXPECT_FALSE(Invert3x3(tiny, out));
  EXPECT_FALSE(Invert2x2(WarpRecord{}, out));

  Intrinsic ka, kb;
  ka.Set(500, 480, 320, 240), kb.Set(300, 310, 160, 120);
  const WarpRecord e = RandomMap();
  WarpRecord f;
  float scratch[4];
  ComputePatchWarp(ka, e, kb, f, scratch);
  for (int i = 0; i < 20; ++i) {
    const float a[3] = {Uniform(-.5f, .5f), Uniform(-.5f, .5f), 1},
                pa[3] = {500 * a[0] + 320, 480 * a[1] + 240, 1};
    const float b[3] = {Uniform(-.5f, .5f), Uniform(-.5f, .5f), 1},
                pb[3] = {300 * b[0] + 160, 310 * b[1] + 120, 1};
    double normalised = 0, pixels = 0;
    for (int k = 0; k < 9; ++k) {
      normalised += a[k / 3] * e.m[4 * (k / 3) + k % 3] * b[k % 3];
      pixels += pa[k / 3] * f.m[4 * (k / 3) + k % 3] * pb[k % 3];
    }
    EXPECT_NEAR(pixels, normalised, 1e-4);
  }
}

TEST(ImageMapMath, TukeyScaleFromMedianAndTooFewResiduals) {
  AlignedArray<float> r;
  for (float v : {25.0f, 1.0f, 16.0f, 4.0f, 9.0f}) r.PushBack(v, 8);
  const float s = 3.0f * (1.0f + 5.0f / 4.0f) * 6.9461293f;  // sqrt(median 9), n = 5
  EXPECT_FLOAT_EQ(TukeyScaleSquared(r), s * s);
  r.Resize(3);  // 2n - 6 = 0 would divide by zero
  EXPECT_EQ(TukeyScaleSquared(r), 0.0f);
}
