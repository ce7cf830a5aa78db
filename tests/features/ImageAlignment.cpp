// Direct image alignment on rendered pairs with a known map: similarity and
// homography recovered, the extended form pulled back from a 5-pixel offset
// by point pairs, the acceptance limits, and maps that are singular, fold the
// image, overlap too little or put it behind the horizon.
#include "features/ImageAlignment.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/features/AlignmentScene.h"

namespace {

using namespace AlignmentScene;
using Eigen::Matrix3d;

// The rendered pair of w x 3/4 w pixels under the test map, prepared.
Prepared PairFor(const Matrix3d& truth, int w) {
  static const CVD::Image<u8> texture = SceneRender::MakeNoiseTexture(256, 256, 19, 8);
  return Prepare(MakePair(texture, truth, w, w * 3 / 4));
}

Matrix3d Shift(double dx) {
  return Similarity(0.0, 1.0, dx, 0.0, 0.0, 0.0);
}

// The similarity phase cannot change a start's perspective part (its steps
// compose on the right): a homography is found by the plain form from a
// start that carries its perspective, as the callers' plane-induced starts
// do (40 x 30 pixels are too few to pin the perspective to 0.05). The
// extended form pulls a start 5 pixels off back with 12 point pairs (more
// loosely on 40 x 30, whose photometric optimum lies about 0.1 pixel from
// the truth at the extrapolated corners).
TEST(ImageAlignment, RecoversKnownMapsAndRejectsBadPairsAndSingularStarts) {
  AlignmentScratch scratch;
  CVD::Image<float> warped;
  struct Case {
    int w;
    bool projective, extended;
    double startShift, tolerance;  // start shift 0: no start map
  };
  for (const Case& c : {Case{40, false, false, 0, 0.05}, Case{80, false, false, 0, 0.05},
                        Case{80, true, false, 1, 0.05}, Case{80, true, true, 5, 0.05},
                        Case{40, true, true, 5, 0.15}}) {
    SCOPED_TRACE(testing::Message() << c.w << " " << c.projective << " " << c.extended);
    const int h = c.w * 3 / 4;
    const Matrix3d truth = TestMap(c.w, h, c.projective);
    const Prepared p = PairFor(truth, c.w);
    AlignedArray<LA::Vector2<float>> pointsA, pointsB;
    for (int i = 0; i < 12; ++i) {
      const Eigen::Vector3d q(c.w * (0.1 + 0.07 * i), h * (0.15 + 0.2 * (i % 4)), 1.0);
      const Eigen::Vector2d a = (truth * q).hnormalized();
      pointsB.PushBack8({float(q.x()), float(q.y())});
      pointsA.PushBack8({float(a.x()), float(a.y())});
    }
    float residual = 0.0f;
    const auto align = [&](WarpRecord& H) {
      return c.extended
                 ? AlignFrameImagesExtended(p.A, p.B, p.gradB, warped, pointsA, pointsB, H,
                                            p.sharpnessB, residual, scratch)
                 : AlignFrameImages(p.A, p.B, p.gradB, warped, H, p.sharpnessB, residual, scratch);
    };
    WarpRecord H = ToWarp(Shift(c.startShift) * truth);
    H.m[0] = c.startShift ? H.m[0] : FLT_MAX;
    EXPECT_TRUE(align(H));
    EXPECT_LT(residual, AlignmentResidualBound(p.sharpnessB));
    EXPECT_LT(MaxCornerError(ToEigen(H), truth, c.w, h), c.tolerance);
    if (!c.extended || c.w != 40) continue;
    // Pairs 3 pixels off the image's answer, alternately up and down so that
    // no map fits them, fail the point test (mean squared distance below 4).
    for (u32 i = 0; i < pointsA.Size(); ++i) pointsA[i].y += i % 2 ? 3.0f : -3.0f;
    H = ToWarp(truth);
    EXPECT_FALSE(align(H));
    // A singular start cannot move the points: the loop stops before any
    // step, H is written back unchanged and the alignment is rejected.
    const float singular[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    std::copy(singular, singular + 12, H.m);
    EXPECT_FALSE(align(H));
    EXPECT_TRUE(std::equal(singular, singular + 12, H.m));
  }
  // A shift by 34 of 40 columns leaves 15 % of the pixels overlapping: no
  // residual, and the alignment is rejected.
  const Prepared p = PairFor(Matrix3d::Identity(), 40);
  WarpRecord H = ToWarp(Shift(34.0));
  float residual = -1.0f;
  WarpFloatImage(p.A, warped, H);
  EXPECT_EQ(MeanAbsoluteResidual(warped, p.B, 0.0f), FLT_MAX);
  EXPECT_FALSE(AlignFrameImages(p.A, p.B, p.gradB, warped, H, p.sharpnessB, residual, scratch));
}

TEST(AlignmentLimits, DistortionResidualBoundAndDegenerateMaps) {
  const WarpRecord identity = ToWarp(Matrix3d::Identity());
  const u32 size[2] = {40, 30};
  float corners[8];
  ASSERT_TRUE(MapImageCorners(40, 30, identity, corners));
  EXPECT_NEAR(ComputeWarpDistortion(40, 30, corners), 0.4f, 1e-6f);
  EXPECT_TRUE(IsWarpValid(size, identity));
  const Matrix3d projective = TestMap(40, 30, true);
  ASSERT_TRUE(MapImageCorners(40, 30, ToWarp(projective), corners));
  for (int i = 0; i < 4; ++i) {  // (0, 0), (w, 0), (w, h), (0, h), divided by W
    const Eigen::Vector2d q =
        (projective * Eigen::Vector3d(i % 3 ? 40 : 0, i < 2 ? 0 : 30, 1)).hnormalized();
    EXPECT_NEAR(corners[2 * i], q.x(), 1e-4);
    EXPECT_NEAR(corners[2 * i + 1], q.y(), 1e-4);
  }
  const float folded[8] = {0, 0, 40, 30, 40, 0, 0, 30};  // two corners exchanged
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
    for (int k = 0; k < 40 * 30; ++k) ASSERT_EQ(dst.data()[k], FLT_MAX);
    EXPECT_FALSE(MapImageCorners(40, 30, m, corners));
    EXPECT_EQ(ComputeWarpDistortion(40, 30, corners), 1.0f);
    EXPECT_FALSE(IsWarpValid(size, m));
  }
}

// The Laplacian's border rules show in the sharpness of one bright pixel:
// its own |lambda| plus that of each neighbour that counts it.
TEST(PrepareAlignmentImage, SharpnessFollowsTheBorderRules) {
  // x, y and the sum of |lambda| in units of the pixel value.
  const float cases[][3] = {{5, 4, 8.0f}, {0, 0, 4.0f}, {5, 0, 5.0f}, {0, 4, 6.0f}};
  CVD::Image<float> out;
  GradientImage grad;
  float sharpness = 0.0f;
  for (const auto& c : cases) {
    CVD::Image<u8> img(CVD::ImageRef(10, 8), 0);
    img[int(c[1])][int(c[0])] = 100;
    PrepareAlignmentImage(img, out, grad, sharpness);
    EXPECT_FLOAT_EQ(sharpness, c[2] * 100.0f / 80.0f) << c[0] << ", " << c[1];
  }
  PrepareAlignmentImage(CVD::Image<u8>(CVD::ImageRef(10, 8), 77), out, grad, sharpness);
  EXPECT_EQ(sharpness, 0.0f);
  EXPECT_EQ(out[3][3], 0.0f);
}

}  // namespace
