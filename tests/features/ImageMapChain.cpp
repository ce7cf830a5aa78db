// Chaining image maps: the product in the right order, affine records kept
// affine, unset maps propagated, and a chained map that blows the image up
// dropped (the tracker's tests drop one that shrinks it).
#include "features/ImageMapChain.h"

#include <gtest/gtest.h>

#include "tests/features/AlignmentScene.h"

using namespace AlignmentScene;

TEST(ImageMapChain, ChainsInOrderKeepsAffinePropagatesUnsetAndDropsDistortedMaps) {
  const Eigen::Matrix3d a = Similarity(3.0, 1.05, 2.0, -1.0, 20.0, 15.0);
  const Eigen::Matrix3d c = Similarity(-5.0, 0.9, -1.0, 0.5, 20.0, 15.0);
  Eigen::Matrix3d b = c;
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
