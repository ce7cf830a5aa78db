// Direct image alignment on rendered pairs with a known map: similarity and
// homography recovered from the identity, the extended form pulled back from
// a 5-pixel offset by point pairs, self-alignment, the acceptance limits, and
// maps that are singular, fold the image or put it behind the horizon.
#include "features/ImageAlignment.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/features/AlignmentScene.h"

namespace {

using namespace AlignmentScene;
using Eigen::Matrix3d;

Matrix3d Shift(double dx) {
  Matrix3d S = Matrix3d::Identity();
  S(0, 2) = dx;
  return S;
}

class ImageAlignment : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { texture_ = SceneRender::MakeNoiseTexture(256, 256, 19, 8); }
  static CVD::Image<u8> texture_;
  AlignmentScratch scratch_;
  CVD::Image<float> warped_;
};
CVD::Image<u8> ImageAlignment::texture_;

// The similarity phase cannot change a start's perspective part (its steps
// compose on the right), and it converges before the projective phase would
// begin: a homography is found from a start that carries its perspective, as
// the callers' plane-induced starts do.
TEST_F(ImageAlignment, RecoversSimilarityFromIdentityAndHomographyFromNearbyStart) {
  for (const int w : {40, 80}) {
    for (const bool projective : {false, true}) {
      const int h = w * 3 / 4;
      const Matrix3d truth = TestMap(w, h, projective);
      if (projective && w == 40) continue;  // too few pixels to pin the perspective to 0.05
      const Prepared p = Prepare(MakePair(texture_, truth, w, h));
      WarpRecord H{};
      H.m[0] = FLT_MAX;
      if (projective) H = ToWarp(Shift(1.0) * truth);
      float residual = 0.0f;
      EXPECT_TRUE(
          AlignFrameImages(p.A, p.B, p.gradB, warped_, H, p.sharpnessB, residual, scratch_));
      EXPECT_LT(residual, AlignmentResidualBound(p.sharpnessB));
      EXPECT_LT(MaxCornerError(ToEigen(H), truth, w, h), 0.05)
          << w << " x " << h << (projective ? " homography" : " similarity");
    }
  }
}

// Projective throughout: point pairs and pixels pull a homography start that
// is 5 pixels off back to the true map (more loosely on the 40 x 30 image,
// whose photometric optimum lies about 0.1 pixel from the truth at the
// extrapolated corners).
TEST_F(ImageAlignment, ExtendedFormPullsAnOffsetStartBackWithPointPairs) {
  for (const int w : {40, 80}) {
    const int h = w * 3 / 4;
    const Matrix3d truth = TestMap(w, h, true);
    const Prepared p = Prepare(MakePair(texture_, truth, w, h));
    AlignedArray<LA::Vector2<float>> pointsA, pointsB;
    for (int i = 0; i < 12; ++i) {
      const Eigen::Vector3d q(w * (0.1 + 0.07 * i), h * (0.15 + 0.2 * (i % 4)), 1.0);
      const Eigen::Vector2d a = (truth * q).hnormalized();
      pointsB.PushBack8({float(q.x()), float(q.y())});
      pointsA.PushBack8({float(a.x()), float(a.y())});
    }
    WarpRecord H = ToWarp(Shift(5.0) * truth);
    float residual = 0.0f;
    EXPECT_TRUE(AlignFrameImagesExtended(p.A, p.B, p.gradB, warped_, pointsA, pointsB, H,
                                         p.sharpnessB, residual, scratch_));
    EXPECT_LT(MaxCornerError(ToEigen(H), truth, w, h), w == 40 ? 0.15 : 0.05);
    if (w == 80) continue;

    // Pairs that contradict the image fail the point test.
    for (auto& a : pointsA) a.x += 6.0f;
    H = ToWarp(truth);
    EXPECT_FALSE(AlignFrameImagesExtended(p.A, p.B, p.gradB, warped_, pointsA, pointsB, H,
                                          p.sharpnessB, residual, scratch_));

    // A singular start cannot move the points: the loop stops before any
    // step, H is written back unchanged and the alignment is rejected.
    const float singular[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    std::copy(singular, singular + 12, H.m);
    EXPECT_FALSE(AlignFrameImagesExtended(p.A, p.B, p.gradB, warped_, pointsA, pointsB, H,
                                          p.sharpnessB, residual, scratch_));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(H.m[i], singular[i]);
  }
}

// Self-alignment converges at once; a shift by 34 of 40 columns leaves 15 %
// of the pixels overlapping: no residual, and the alignment is rejected.
TEST_F(ImageAlignment, SelfAlignmentConvergesAtOnceAndLittleOverlapIsRejected) {
  const Prepared p = Prepare(MakePair(texture_, Matrix3d::Identity(), 40, 30));
  WarpRecord H{};
  H.m[0] = FLT_MAX;
  float residual = -1.0f;
  EXPECT_TRUE(AlignFrameImages(p.B, p.B, p.gradB, warped_, H, p.sharpnessB, residual, scratch_));
  EXPECT_EQ(residual, 0.0f);
  EXPECT_TRUE(ToEigen(H).isIdentity(0.0));
  H = ToWarp(Shift(34.0));
  WarpFloatImage(p.A, warped_, H);
  EXPECT_EQ(MeanAbsoluteResidual(warped_, p.B, 0.0f), FLT_MAX);
  EXPECT_FALSE(AlignFrameImages(p.A, p.B, p.gradB, warped_, H, p.sharpnessB, residual, scratch_));
}

TEST(AlignmentLimits, DistortionResidualBoundAndDegenerateMaps) {
  WarpRecord identity = ToWarp(Matrix3d::Identity());
  float corners[8];
  ASSERT_TRUE(MapImageCorners(40, 30, identity, corners));
  EXPECT_NEAR(ComputeWarpDistortion(40, 30, corners), 0.4f, 1e-6f);
  const u32 size[2] = {40, 30};
  EXPECT_TRUE(IsWarpValid(size, identity));
  // Two corners exchanged: the quad folds.
  const float folded[8] = {0, 0, 40, 30, 40, 0, 0, 30};
  EXPECT_EQ(ComputeWarpDistortion(40, 30, folded), 1.0f);
  EXPECT_EQ(AlignmentResidualBound(0.0f), 5.0f);
  EXPECT_EQ(AlignmentResidualBound(20.0f), 7.0f);
  CVD::Image<float> ones(CVD::ImageRef(4, 3), 1.0f), threes(CVD::ImageRef(4, 3), 3.0f), other;
  EXPECT_EQ(ImageSsdFloat(ones, threes), 48.0f);
  EXPECT_EQ(ImageSsdFloat(ones, other), FLT_MAX);

  // Maps putting the image behind the horizon or holding NaN give no pixel
  // and no corners instead of converting infinities to int.
  CVD::Image<float> src(CVD::ImageRef(40, 30), 1.0f), dst;
  WarpRecord behind = identity, nan = identity;
  behind.m[10] = -1.0f;
  nan.m[2] = std::nanf("");
  for (const WarpRecord& m : {behind, nan}) {
    WarpFloatImage(src, dst, m);
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x) ASSERT_EQ(dst[y][x], FLT_MAX);
    EXPECT_FALSE(MapImageCorners(40, 30, m, corners));
    EXPECT_EQ(ComputeWarpDistortion(40, 30, corners), 1.0f);
    EXPECT_FALSE(IsWarpValid(size, m));
  }
}

// The Laplacian's border rules show in the sharpness of one bright pixel:
// its own |lambda| plus that of each neighbour that counts it.
TEST(PrepareAlignmentImage, SharpnessFollowsTheBorderRules) {
  struct Case {
    int x, y;
    float sum;  // sum of |lambda| in units of the pixel value
  } cases[] = {{5, 4, 8.0f}, {0, 0, 4.0f}, {5, 0, 5.0f}, {0, 4, 6.0f}};
  CVD::Image<float> out;
  GradientImage grad;
  float sharpness = 0.0f;
  for (const Case& c : cases) {
    CVD::Image<u8> img(CVD::ImageRef(10, 8), 0);
    img[c.y][c.x] = 100;
    PrepareAlignmentImage(img, out, grad, sharpness);
    EXPECT_FLOAT_EQ(sharpness, c.sum * 100.0f / 80.0f) << c.x << ", " << c.y;
  }
  PrepareAlignmentImage(CVD::Image<u8>(CVD::ImageRef(10, 8), 77), out, grad, sharpness);
  EXPECT_EQ(sharpness, 0.0f);
  EXPECT_EQ(out[3][3], 0.0f);
}

}  // namespace
