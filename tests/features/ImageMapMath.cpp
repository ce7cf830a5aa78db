// Map inverses against the identity, the pixel map from intrinsics against
// the epipolar constraint, and the Tukey scale against a hand median.
#include "features/ImageMapMath.h"

#include <gtest/gtest.h>

#include "la/Random.h"

namespace {

float U() {
  return static_cast<float>(Random::Next()) / Random::kMax - 0.5f;
}

float& At(WarpRecord& m, int k) {
  return m.m[4 * (k / 3) + k % 3];
}

WarpRecord RandomMap() {
  WarpRecord m{};
  for (int k = 0; k < 9; ++k) At(m, k) = 2 * U() + (k % 4 == 0 ? 2 : 0);
  return m;
}

}  // namespace

TEST(ImageMapMath, InversesAndPixelMap) {
  Random::Seed(12);
  for (int i = 0; i < 50; ++i) {
    WarpRecord m = RandomMap(), a = RandomMap(), inverse, ai;
    ASSERT_TRUE(Invert3x3(m, inverse) && Invert2x2(a, ai));
    MultiplyRotation3x3(m, inverse, m);                               // aliased output
    ai.m[8] = ai.m[9] = a.m[8] = a.m[9] = 0, ai.m[10] = a.m[10] = 1;  // affine as 3x3
    MultiplyRotation3x3(ai, a, a);
    for (int k = 0; k < 9; ++k) ASSERT_NEAR(At(m, k) + At(a, k), k % 4 == 0 ? 2 : 0, 1e-5) << k;
  }
  WarpRecord tiny{}, out;
  tiny.m[0] = tiny.m[5] = 1e-4f, tiny.m[10] = 1;  // det 1e-8
  EXPECT_FALSE(Invert3x3(tiny, out) || Invert2x2(WarpRecord{}, out));

  Intrinsic ka, kb;
  ka.Set(500, 480, 320, 240), kb.Set(300, 310, 160, 120);
  WarpRecord e = RandomMap(), f;
  float scratch[4];
  ComputePatchWarp(ka, e, kb, f, scratch);
  for (int i = 0; i < 20; ++i) {
    const float a[3] = {U(), U(), 1}, pa[3] = {500 * a[0] + 320, 480 * a[1] + 240, 1};
    const float b[3] = {U(), U(), 1}, pb[3] = {300 * b[0] + 160, 310 * b[1] + 120, 1};
    double normalised = 0, pixels = 0;
    for (int k = 0; k < 9; ++k) {
      normalised += a[k / 3] * At(e, k) * b[k % 3];
      pixels += pa[k / 3] * At(f, k) * pb[k % 3];
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
