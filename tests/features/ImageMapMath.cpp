// Map inverses against the identity, the pixel map from intrinsics against
// the epipolar constraint, the Tukey scale against a hand median, and
// chaining: the product in the right order, affine records kept affine,
// unset maps propagated, and a chained map that blows the image up dropped
// (the tracker's tests drop one that shrinks it).
#include "features/ImageMapMath.h"

#include <gtest/gtest.h>

#include "features/ImageMapChain.h"
#include "la/Random.h"
#include "tests/features/AlignmentScene.h"

namespace {

using namespace AlignmentScene;
using Eigen::Matrix3d;

float U() {
  return static_cast<float>(Random::Next()) / Random::kMax - 0.5f;
}

WarpRecord RandomMap() {
  Matrix3d m;
  for (int k = 0; k < 9; ++k) m(k / 3, k % 3) = 2 * U() + (k % 4 == 0 ? 2 : 0);
  return ToWarp(m);
}

TEST(ImageMapMath, InversesPixelMapAndTukeyScale) {
  Random::Seed(12);
  for (int i = 0; i < 50; ++i) {
    WarpRecord m = RandomMap(), a = RandomMap(), inverse, ai;
    ASSERT_TRUE(Invert3x3(m, inverse) && Invert2x2(a, ai));
    MultiplyRotation3x3(m, inverse, m);                               // aliased output
    ai.m[8] = ai.m[9] = a.m[8] = a.m[9] = 0, ai.m[10] = a.m[10] = 1;  // affine as 3x3
    MultiplyRotation3x3(ai, a, a);
    ASSERT_LT((ToEigen(m) + ToEigen(a) - 2 * Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-5);
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
    const Eigen::Vector3d a(U(), U(), 1), b(U(), U(), 1);
    const Eigen::Vector3d pa(500 * a.x() + 320, 480 * a.y() + 240, 1),
        pb(300 * b.x() + 160, 310 * b.y() + 120, 1);
    EXPECT_NEAR(pa.dot(ToEigen(f) * pb), a.dot(ToEigen(e) * b), 1e-4);
  }

  AlignedArray<float> r;
  for (float v : {25.0f, 1.0f, 16.0f, 4.0f, 9.0f}) r.PushBack(v, 8);
  const float s = 3.0f * (1.0f + 5.0f / 4.0f) * 6.9461293f;  // sqrt(median 9), n = 5
  EXPECT_FLOAT_EQ(TukeyScaleSquared(r), s * s);
  r.Resize(3);  // 2n - 6 = 0 would divide by zero
  EXPECT_EQ(TukeyScaleSquared(r), 0.0f);
}

TEST(ImageMapChain, ChainsInOrderKeepsAffinePropagatesUnsetAndDropsDistortedMaps) {
  const Matrix3d a = Similarity(3.0, 1.05, 2.0, -1.0, 20.0, 15.0);
  const Matrix3d c = Similarity(-5.0, 0.9, -1.0, 0.5, 20.0, 15.0);
  Matrix3d b = c;
  b(2, 0) = 0.001;
  WarpRecord out, affineA = ToWarp(a), affineC = ToWarp(c), unset = ToWarp(a);
  ChainImageMaps(ToWarp(a), ToWarp(b), out);
  EXPECT_FALSE(out.IsAffine());
  EXPECT_TRUE(ToEigen(out).isApprox(a * b, 1e-6));
  affineA.m[8] = affineC.m[8] = FLT_MAX;
  ChainImageMaps(affineA, affineC, affineA);  // in place
  ASSERT_TRUE(affineA.IsAffine());
  for (int k = 0; k < 6; ++k)
    EXPECT_NEAR(affineA.m[4 * (k / 3) + k % 3], (a * c)(k / 3, k % 3), 1e-5);
  unset.m[0] = FLT_MAX;
  ChainImageMaps(ToWarp(a), unset, out);
  EXPECT_FALSE(out.IsSet());

  const u32 size[2] = {40, 30};
  WarpRecord map = ToWarp(Similarity(2.0, 1.0, 1.0, 0.0, 20.0, 15.0));
  EXPECT_TRUE(CarryImageMap(map, ToWarp(Similarity(1.0, 1.1, 0.0, 0.0, 20, 15)), size));
  EXPECT_TRUE(map.IsSet());
  // Five times larger: the long side is 200 pixels against a diagonal of 50.
  EXPECT_FALSE(CarryImageMap(map, ToWarp(Similarity(0.0, 5.0, 0.0, 0.0, 0, 0)), size));
  EXPECT_FALSE(map.IsSet());
}

}  // namespace
