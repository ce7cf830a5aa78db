// 3x3 map routines against products that must give the identity, the pixel
// map from intrinsics against the epipolar constraint, and the Tukey scale
// against a hand-computed median.
#include "features/ImageMapMath.h"

#include <gtest/gtest.h>

#include "la/Random.h"

namespace {

float Uniform(float low, float high) {
  return low + (high - low) * static_cast<float>(Random::Next()) / Random::kMax;
}

WarpRecord RandomMap() {
  WarpRecord m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m.m[4 * r + c] = Uniform(-1, 1) + (r == c ? 2.0f : 0.0f);
  return m;
}

void ExpectIdentity(const WarpRecord& m, int rows) {
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.m[4 * r + c], r == c ? 1.0f : 0.0f, 1e-5f);
}

}  // namespace

TEST(ImageMapMath, InversesGiveIdentityAndNearSingularFails) {
  Random::Seed(12);
  for (int i = 0; i < 50; ++i) {
    const WarpRecord m = RandomMap();
    WarpRecord inverse, product;
    ASSERT_TRUE(Invert3x3(m, inverse));
    MultiplyRotation3x3(m, inverse, product);
    ExpectIdentity(product, 3);
    WarpRecord affine = m;
    affine.m[8] = FLT_MAX;
    WarpRecord affineInverse = affine;
    ASSERT_TRUE(Invert2x2(affine, affineInverse));
    affineInverse.m[8] = 0, affineInverse.m[9] = 0, affineInverse.m[10] = 1;
    affine.m[8] = 0, affine.m[9] = 0, affine.m[10] = 1;
    MultiplyRotation3x3(affineInverse, affine, affine);  // aliased output
    ExpectIdentity(affine, 3);
  }
  WarpRecord tiny{};
  tiny.m[0] = 1e-4f, tiny.m[5] = 1e-4f, tiny.m[10] = 1.0f;  // det 1e-8
  WarpRecord out{};
  EXPECT_FALSE(Invert3x3(tiny, out));
  WarpRecord singular{};
  singular.m[0] = 1, singular.m[1] = 2, singular.m[4] = 2, singular.m[5] = 4,
  singular.m[8] = FLT_MAX;
  EXPECT_FALSE(Invert2x2(singular, out));
}

TEST(ImageMapMath, PatchWarpOfEssentialMatrixIsFundamentalInPixels) {
  Random::Seed(13);
  Intrinsic ka, kb;
  ka.Set(500, 480, 320, 240);
  kb.Set(300, 310, 160, 120);
  const WarpRecord e = RandomMap();
  WarpRecord f;
  float scratch[4];
  ComputePatchWarp(ka, e, kb, f, scratch);
  for (int i = 0; i < 20; ++i) {
    const float na[2] = {Uniform(-0.5f, 0.5f), Uniform(-0.5f, 0.5f)};
    const float nb[2] = {Uniform(-0.5f, 0.5f), Uniform(-0.5f, 0.5f)};
    const float pa[3] = {500 * na[0] + 320, 480 * na[1] + 240, 1};
    const float pb[3] = {300 * nb[0] + 160, 310 * nb[1] + 120, 1};
    const float xa[3] = {na[0], na[1], 1}, xb[3] = {nb[0], nb[1], 1};
    double normalised = 0, pixels = 0;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        normalised += xa[r] * e.m[4 * r + c] * xb[c];
        pixels += pa[r] * f.m[4 * r + c] * pb[c];
      }
    EXPECT_NEAR(pixels, normalised, 1e-4);
  }
}

TEST(ImageMapMath, TukeyScaleFromMedianAndTooFewResiduals) {
  AlignedArray<float> r;
  for (float v : {25.0f, 1.0f, 16.0f, 4.0f, 9.0f}) r.PushBack(v, 8);
  const float s = 3.0f * (1.0f + 5.0f / 4.0f) * 6.9461293f;  // sqrt(median 9), n = 5
  EXPECT_FLOAT_EQ(TukeyScaleSquared(r), s * s);
  AlignedArray<float> few;
  EXPECT_EQ(TukeyScaleSquared(few), 0.0f);
  for (float v : {1.0f, 2.0f, 3.0f}) few.PushBack(v, 8);
  EXPECT_EQ(TukeyScaleSquared(few), 0.0f);  // 2n - 6 = 0 would divide by zero
}
