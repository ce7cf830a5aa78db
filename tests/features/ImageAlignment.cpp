// Image maps and their estimation on rendered pairs with a known map: direct
// alignment (plain and extended, acceptance limits, degenerate maps), map
// maths and chaining against closed forms, rotation between small images, and
// the float array kernels against scalar sums.
#include "features/ImageAlignment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/Draws.h"
#include "features/AlignmentNormalEquations.h"
#include "features/FloatArrayKernels.h"
#include "features/ImageMapChain.h"
#include "features/ImageMapMath.h"
#include "features/ImageRotation.h"
#include "la/Random.h"
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
    if (c.extended && c.w == 80) {
      // One pair 4 pixels off weighs less than the others and moves nothing.
      pointsA[5].x += 4.0f;
      H = ToWarp(Shift(c.startShift) * truth);
      EXPECT_TRUE(align(H));
      EXPECT_LT(MaxCornerError(ToEigen(H), truth, c.w, h), c.tolerance);
      pointsA[5].x -= 4.0f;
    }
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

// The projective normal equations against a plain double sum of w^2 J^T J
// and w^2 r J over the same pixels, 35 of them so that the one-by-one tail
// runs after the four-wide blocks; the lower triangle stays zero.
TEST(ImageAlignment, ProjectiveNormalEquationsEqualAPlainSum) {
  constexpr int w = 9, h = 7;
  Random::Seed(5);
  AlignedArray<float> W, B, grad, weights;
  W.Resize(w * h), B.Resize(w * h), grad.Resize(2 * w * h);
  for (u32 i = 0; i < W.Size(); ++i) W[i] = Uniform(0, 1), B[i] = Uniform(0, 1);
  for (u32 i = 0; i < grad.Size(); ++i) grad[i] = Uniform();
  AlignedArray<u32> pixels;
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) pixels.PushBack(static_cast<u32>(y * w + x), 4);
  weights.Resize(pixels.Size());
  for (u32 k = 0; k < weights.Size(); ++k) weights[k] = Uniform(0.2f, 1);
  AlignmentScratch scratch;
  BuildMonomialTable(w, h, scratch);
  const PixelAccess p{W.Data(), B.Data(), grad.Data(), pixels.Data(), w, 0.5f * w, 0.5f * h, 0.1f};
  float N[9][9], g[9];
  AccumulateProjective(p, weights, scratch.monomials, N, g);

  double Nref[9][9] = {}, gref[9] = {};
  for (u32 k = 0; k < pixels.Size(); ++k) {
    float x, y, gx, gy, r;
    p.Get(k, x, y, gx, gy, r);
    const double s = gx * x + gy * y, w2 = double{weights[k]} * weights[k];
    const double J[9] = {gx * x, gx * y, gx, gy * x, gy * y, gy, -x * s, -y * s, 1};
    for (int a = 0; a < 9; ++a) {
      for (int c = a; c < 9; ++c) Nref[a][c] += w2 * J[a] * J[c];
      gref[a] += w2 * r * J[a];
    }
  }
  for (int a = 0; a < 9; ++a) {
    for (int c = 0; c < 9; ++c) {
      if (c < a)
        EXPECT_EQ(N[a][c], 0.0f) << a << c;
      else
        EXPECT_NEAR(N[a][c], Nref[a][c], 1e-4 * (1 + std::fabs(Nref[a][c]))) << a << c;
    }
    EXPECT_NEAR(g[a], gref[a], 1e-4 * (1 + std::fabs(gref[a]))) << a;
  }
}

// The terms of the projective normal equations: per pixel and per point the
// centred powers, at pixels where x and y differ in size and sign; the pixel
// table follows a new size.
TEST(ImageAlignment, MonomialTablesHoldTheCentredPowers) {
  AlignmentScratch scratch;
  BuildMonomialTable(6, 4, scratch);                                            // centre (3, 2)
  const float atFiveOne[12] = {4, 8, 16, -8, 1, -1, 1, -2, -2, -4, 2, 4};       // x 2, y -1
  const float atOrigin[12] = {9, -27, 81, 54, 4, -8, 16, 24, 6, -18, -12, 36};  // x -3, y -2
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(scratch.monomials[12 * (6 + 5) + i], atFiveOne[i]) << i;
    EXPECT_EQ(scratch.monomials[i], atOrigin[i]) << i;
  }
  BuildMonomialTable(8, 4, scratch);  // centre (4, 2): pixel (5, 1) is x 1, y -1
  ASSERT_EQ(scratch.monomials.Size(), 12u * 32u);
  EXPECT_EQ(scratch.monomials[12 * (8 + 5) + 1], 1.0f);
  AlignedArray<LA::Vector2<float>> points;
  points.PushBack8({0.0f, 0.0f});
  points.PushBack8({5.0f, 1.0f});
  AlignedArray<float> table;
  BuildPointMonomials(points, 6, 4, table);
  const float point[12] = {4, -2, 1, 2, 8, -4, 2, -1, 20, -10, 5, -1};  // x 2, y -1, r 5
  for (int i = 0; i < 12; ++i) EXPECT_EQ(table[12 + i], point[i]) << i;
}

TEST(AlignmentLimits, DistortionResidualBoundSharpnessAndDegenerateMaps) {
  const WarpRecord identity = ToWarp(Matrix3d::Identity());
  const u32 size[2] = {40, 30};
  float corners[8];
  ASSERT_TRUE(MapImageCorners(40, 30, identity, corners));
  EXPECT_NEAR(ComputeWarpDistortion(40, 30, corners), 0.4f, 1e-6f);
  EXPECT_TRUE(IsWarpValid(size, identity));
  const Matrix3d projective = TestMap(40, 30, true);
  ASSERT_TRUE(MapImageCorners(40, 30, ToWarp(projective), corners));
  for (int i = 0; i < 4; ++i) {  // (0, 0), (w, 0), (w, h), (0, h), divided by W
    const Eigen::Vector3d p(i % 3 ? 40 : 0, i < 2 ? 0 : 30, 1);
    EXPECT_LT((Eigen::Vector2d(corners[2 * i], corners[2 * i + 1]) - (projective * p).hnormalized())
                  .norm(),
              1e-4);
  }
  const float folded[8] = {0, 0, 40, 30, 40, 0, 0, 30};  // two corners exchanged
  EXPECT_EQ(ComputeWarpDistortion(40, 30, folded), 1.0f);
  EXPECT_EQ(AlignmentResidualBound(0.0f), 5.0f);
  EXPECT_EQ(AlignmentResidualBound(20.0f), 7.0f);
  CVD::Image<float> ones(CVD::ImageRef(4, 3), 1.0f), threes(CVD::ImageRef(4, 3), 3.0f), other;
  EXPECT_EQ(ImageSsdFloat(ones, threes), 48.0f);
  EXPECT_EQ(ImageSsdFloat(ones, other), FLT_MAX);
  // All 48 interior pixels of 10 x 8 count, the offset added to each.
  const CVD::Image<float> twos(CVD::ImageRef(10, 8), 2.0f), fives(CVD::ImageRef(10, 8), 5.0f);
  EXPECT_EQ(MeanAbsoluteResidual(fives, twos, 0.0f), 3.0f);
  EXPECT_EQ(MeanAbsoluteResidual(twos, fives, 0.5f), 2.5f);
  // The residual list runs over every interior pixel in row-major order but
  // those next to an invalid one (FLT_MAX), with its pixel indices.
  CVD::Image<float> indices(CVD::ImageRef(10, 8));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) indices[y][x] = static_cast<float>(x + 10 * y);
  indices[4][5] = FLT_MAX;
  AlignedArray<float> squared;
  AlignedArray<u32> pixels;
  ComputeImageResiduals(indices, CVD::Image<float>(indices.size(), 0.0f), 0.5f, squared, &pixels);
  ASSERT_EQ(squared.Size(), 43u);
  ASSERT_EQ(pixels.Size(), 43u);
  for (u32 k = 0; k < pixels.Size(); ++k) {
    const u32 i = pixels[k], x = i % 10, y = i / 10;
    EXPECT_TRUE(x >= 1 && x <= 8 && y >= 1 && y <= 6) << i;
    EXPECT_GE(std::abs(int(x) - 5) + std::abs(int(y) - 4), 2) << i;
    EXPECT_EQ(squared[k], (i + 0.5f) * (i + 0.5f)) << i;
    if (k > 0) {
      EXPECT_GT(i, pixels[k - 1]);
    }
  }

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

  // The Laplacian's border rules show in the sharpness of one bright pixel:
  // its own |lambda| plus that of each neighbour that counts it (x, y and
  // the sum of |lambda| in units of the pixel value).
  const float cases[][3] = {{5, 4, 8.0f}, {0, 0, 4.0f}, {5, 0, 5.0f}, {0, 4, 6.0f}};
  GradientImage grad;
  float sharpness = 0.0f;
  for (const auto& c : cases) {
    CVD::Image<u8> img(CVD::ImageRef(10, 8), 0);
    img[int(c[1])][int(c[0])] = 100;
    PrepareAlignmentImage(img, dst, grad, sharpness);
    EXPECT_FLOAT_EQ(sharpness, c[2] * 100.0f / 80.0f) << c[0] << ", " << c[1];
  }
  PrepareAlignmentImage(CVD::Image<u8>(CVD::ImageRef(10, 8), 77), dst, grad, sharpness);
  EXPECT_TRUE(sharpness == 0.0f && dst[3][3] == 0.0f);

  // The gradient's border has no central difference and reads as flat,
  // whatever the reused buffer held; the interior is the central difference.
  const LA::Vector2<float> junk{std::nanf(""), std::nanf("")};
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) grad[y][x] = junk;
  CVD::Image<u8> ramp(CVD::ImageRef(10, 8));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) ramp[y][x] = static_cast<u8>(10 * x + 3 * y);
  PrepareAlignmentImage(ramp, dst, grad, sharpness);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) {
      const bool border = x == 0 || y == 0 || x == 9 || y == 7;
      const float gx = border ? 0.0f : dst[y][x + 1] - dst[y][x - 1];
      const float gy = border ? 0.0f : dst[y + 1][x] - dst[y - 1][x];
      EXPECT_EQ(grad[y][x].x, gx) << x << ", " << y;
      EXPECT_EQ(grad[y][x].y, gy) << x << ", " << y;
    }
  // An image without columns or without rows has no border to write.
  for (const CVD::ImageRef& size : {CVD::ImageRef(0, 5), CVD::ImageRef(5, 0)}) {
    ComputeImageGradient(CVD::Image<float>(size), grad);
    EXPECT_EQ(grad.size(), size);
  }
}

// A map near twice the identity.
WarpRecord RandomMap() {
  Matrix3d m;
  for (int k = 0; k < 9; ++k) m(k / 3, k % 3) = Uniform() + (k % 4 == 0 ? 2 : 0);
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
    const Eigen::Vector3d a(Uniform(), Uniform(), 1), b(Uniform(), Uniform(), 1);
    const Eigen::Vector3d pa(500 * a.x() + 320, 480 * a.y() + 240, 1),
        pb(300 * b.x() + 160, 310 * b.y() + 120, 1);
    EXPECT_NEAR(pa.dot(ToEigen(f) * pb), a.dot(ToEigen(e) * b), 1e-4);
  }

  AlignedArray<float> r, weights, copy;
  for (float v : {25.0f, 1.0f, 16.0f, 4.0f, 9.0f}) r.PushBack(v, 8);
  const float s = 3.0f * (1.0f + 5.0f / 4.0f) * 6.9461293f;  // sqrt(median 9), n = 5
  weights.Resize(5);
  std::fill(weights.begin(), weights.end(), -1.0f);
  ComputeRobustWeights(r, weights, copy);  // every weight, the first included
  for (u32 i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(weights[i], 1.0f / (r[i] / (s * s) + 1.0f)) << i;
  EXPECT_FLOAT_EQ(TukeyScaleSquared(r), s * s);
  AlignedArray<float> four;  // the smallest sample with a scale: 2n - 6 = 2
  for (float v : {16.0f, 1.0f, 9.0f, 4.0f}) four.PushBack(v, 8);
  const float s4 = 3.0f * (1.0f + 5.0f / 2.0f) * 6.9461293f;
  EXPECT_FLOAT_EQ(TukeyScaleSquared(four), s4 * s4);
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
  // An affine map chained with a projective one, either way round, keeps
  // the perspective row.
  for (const bool affineFirst : {true, false}) {
    WarpRecord first = ToWarp(affineFirst ? a : b), second = ToWarp(affineFirst ? b : a);
    (affineFirst ? first : second).m[8] = FLT_MAX;
    ChainImageMaps(first, second, out);
    EXPECT_FALSE(out.IsAffine());
    EXPECT_TRUE(ToEigen(out).isApprox(affineFirst ? a * b : b * a, 1e-6)) << affineFirst;
  }
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

// H = K R K^-1 maps the previous small image into the current one. On 40 x
// 30 pixels the 8-bit quantisation alone moves the optimum by some 0.03 px
// (0.06 degrees at f = 31 px); 80 x 60 pixels pin it within 0.05 degrees.
// Without gradient the 4x4 system is singular (code 2); images under three
// pixels a side have no interior pixel (code 3, no wrapped count sizing the
// tables).
TEST(ImageRotation, RecoversPureRotationsIdentityAtOnceAndRejectsFlatOrTinyImages) {
  const CVD::Image<u8> texture = SceneRender::MakeNoiseTexture(256, 256, 23, 8);
  Intrinsic k = SceneRender::MakeIntrinsic(31.25f, 31.25f, 19.5f, 14.5f);
  MotionJacobianTable table;
  SmallImage previous, current;
  LA::AlignedMatrix3f rotation;
  RotationScratch scratch;
  const auto run = [&](const CVD::Image<u8>& a, const CVD::Image<u8>& b) {
    MakeSmallImage(previous, a, k, table);
    MakeSmallImage(current, b, k, table);
    EstimateImageRotation(previous, current, k, rotation, scratch);
    return ToEigen(rotation);
  };
  for (const int scale : {1, 2}) {
    for (const Matrix3d& R : {YawPitchRoll(2, 0, 0), YawPitchRoll(0, -1, 0),
                              YawPitchRoll(0, 0, 0.5), YawPitchRoll(2, -1, 0.5)}) {
      const RotationPair pair = MakeRotationPair(texture, R, scale);
      const Matrix3d& K = pair.smallK;
      k.Set(float(K(0, 0)), float(K(1, 1)), float(K(0, 2)), float(K(1, 2)));
      const Matrix3d estimate = run(pair.previous, pair.current);
      ASSERT_EQ(previous.image.size(), CVD::ImageRef(40 * scale, 30 * scale));
      EXPECT_LE(scratch.exitCode, 1);
      EXPECT_LT(AngleDegrees(estimate, R), scale == 1 ? 0.1 : 0.05) << R;
    }
  }
  const RotationPair same = MakeRotationPair(texture, Matrix3d::Identity(), 2);
  EXPECT_TRUE(run(same.previous, same.previous).isIdentity(0.0));
  EXPECT_TRUE(scratch.exitCode == 1 && scratch.error == 0.0f);

  const CVD::Image<u8> flat(CVD::ImageRef(80, 60), 90);
  run(flat, flat);
  EXPECT_TRUE(scratch.exitCode == 2 && rotation.m[0][0] == FLT_MAX);
  for (const CVD::ImageRef& size :
       {CVD::ImageRef(4, 4), CVD::ImageRef(6, 5), CVD::ImageRef(2, 9)}) {
    CVD::Image<u8> tiny(size, 90);
    tiny[0][0] = 200;
    run(tiny, tiny);
    // Halved all the same, down to one pixel wide: 2 x 2 means.
    ASSERT_EQ(previous.halfSampled.size(), size / 2);
    EXPECT_NEAR(previous.halfSampled[0][0], 117.5, 1.0) << size;
    EXPECT_EQ(previous.halfSampled[1][0], 90) << size;
    EXPECT_TRUE(previous.gradients.Empty());
    EXPECT_TRUE(scratch.exitCode == 3 && rotation.m[0][0] == FLT_MAX) << size;
  }
}

TEST(RotationMath, JacobianTableExponentialAndBilinearSampling) {
  // A 30 x 40 image has as many interior pixels as a 40 x 30 one, and a new
  // camera none more: the table must follow both.
  const Intrinsic k1 = SceneRender::MakeIntrinsic(31.25f, 31.25f, 19.5f, 14.5f),
                  k2 = SceneRender::MakeIntrinsic(40.0f, 40.0f, 14.5f, 19.5f);
  SmallImage small;
  MotionJacobianTable reused, fresh;
  NormalizeSmallImage(small, CVD::Image<u8>(CVD::ImageRef(40, 30), 9), k1, reused);
  for (const Intrinsic& k : {k1, k2}) {
    const CVD::Image<u8> tall(CVD::ImageRef(30, 40), 9);
    NormalizeSmallImage(small, tall, k, reused);
    NormalizeSmallImage(small, tall, k, fresh = MotionJacobianTable());
    ASSERT_EQ(reused.rows.Size(), fresh.rows.Size());
    for (u32 i = 0; i < fresh.rows.Size(); ++i) ASSERT_EQ(reused.rows[i], fresh.rows[i]);
  }

  // A constant frame of 51 is the mean 0.2 and nothing else: no image, no
  // gradient. Half 0 and half 255 has the mean 0.5 and +-0.5 far from the step.
  NormalizeSmallImage(small, CVD::Image<u8>(CVD::ImageRef(40, 30), 51), k1, reused);
  EXPECT_FLOAT_EQ(small.mean, 0.2f);
  for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(small.image.data()[i], 0.0f);
  for (const float g : small.gradients) ASSERT_EQ(g, 0.0f);
  CVD::Image<u8> halves(CVD::ImageRef(40, 30), 0);
  for (int y = 0; y < 30; ++y) std::fill(halves[y] + 20, halves[y] + 40, u8(255));
  NormalizeSmallImage(small, halves, k1, reused);
  EXPECT_FLOAT_EQ(small.mean, 0.5f);
  EXPECT_NEAR(small.image[15][5], -0.5f, 1e-5f);
  EXPECT_NEAR(small.image[15][34], 0.5f, 1e-5f);
  // An image with no rows or no columns has the mean 0, not 0 / 0.
  for (const CVD::ImageRef& size : {CVD::ImageRef(8, 0), CVD::ImageRef(0, 8)}) {
    NormalizeSmallImage(small, CVD::Image<u8>(size, 51), k1, fresh = MotionJacobianTable());
    EXPECT_EQ(small.mean, 0.0f) << size;
  }

  // Each table row is the derivative of the pixel's image under the
  // rotation So3Exp(w) at w = 0, x over the first three floats and y over the
  // next three: central differences of the projection agree.
  {
    const Intrinsic& k = k1;
    const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
    NormalizeSmallImage(small, CVD::Image<u8>(CVD::ImageRef(40, 30), 9), k, fresh);
    const auto project = [&](const float w[3], float x, float y, float out[2]) {
      LA::AlignedMatrix3f R;
      So3Exp(w, R);
      const float ray[3] = {(x - cx) / fx, (y - cy) / fy, 1.0f};
      float q[3];
      for (int r = 0; r < 3; ++r)
        q[r] = R.m[r][0] * ray[0] + R.m[r][1] * ray[1] + R.m[r][2] * ray[2];
      out[0] = fx * q[0] / q[2] + cx, out[1] = fy * q[1] / q[2] + cy;
    };
    for (const auto& [x, y] :
         {std::pair{1, 1}, std::pair{38, 28}, std::pair{20, 3}, std::pair{5, 22}}) {
      const float* row = &fresh.rows[8 * ((y - 1) * 38 + (x - 1))];
      for (int j = 0; j < 3; ++j) {
        float plus[2], minus[2], w[3] = {0, 0, 0};
        w[j] = 1e-3f;
        project(w, x, y, plus);
        w[j] = -1e-3f;
        project(w, x, y, minus);
        EXPECT_NEAR(row[j], (plus[0] - minus[0]) / 2e-3f, 0.02f + 1e-3f * std::fabs(row[j]))
            << x << y << j;
        EXPECT_NEAR(row[4 + j], (plus[1] - minus[1]) / 2e-3f, 0.02f + 1e-3f * std::fabs(row[4 + j]))
            << x << y << j;
      }
    }
  }

  // So3Exp is the transposed exponential on both branches.
  const Eigen::Vector3d axis = Eigen::Vector3d(0.3, -0.5, 0.8).normalized();
  for (const double angle : {0.5, 1e-3, 3.3e-4}) {  // the last has theta^2 below FLT_EPSILON
    const Eigen::Vector3f w = (angle * axis).cast<float>();
    LA::AlignedMatrix3f R;
    So3Exp(w.data(), R);
    const Matrix3d expected = Eigen::AngleAxisd(angle, axis).toRotationMatrix().transpose();
    EXPECT_TRUE(ToEigen(R).isApprox(expected, 1e-6)) << angle;
  }

  // The convergence test's squared corner shifts, one per corner.
  const float a[8] = {0, 0, 1, 1, 2, 2, 3, 3}, b[8] = {3, 4, 1, 1, 2, 5, 3, 3};
  float shifts[4];
  SquaredShift4(a, b, shifts);
  EXPECT_EQ(std::vector<float>(shifts, shifts + 4), (std::vector<float>{25, 0, 9, 0}));

  CVD::Image<float> img(CVD::ImageRef(4, 3)), out;
  for (int i = 0; i < 12; ++i) img.data()[i] = float(10 * (i / 4) + i % 4);
  float v = 0.0f;
  ASSERT_TRUE(SampleFloatBilinear(img, 1.25f, 0.5f, v));
  EXPECT_FLOAT_EQ(v, 6.25f);
  for (const float bad : {-0.1f, 3.0f, std::nanf(""), INFINITY, -INFINITY, 1e30f})
    EXPECT_FALSE(SampleFloatBilinear(img, bad, 0.5f, v) || SampleFloatBilinear(img, 0.5f, bad, v));
  // A map taking every pixel behind the horizon fills the output.
  LA::AlignedMatrix3f H{};
  H.m[0][0] = H.m[1][1] = 1.0f, H.m[2][2] = -1.0f;
  WarpImageHomography(H, img, out, 4, 3, -7.0f);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(out.data()[i], -7.0f);
}

TEST(FloatArrayKernels, MatchScalarSumsForEveryTailLength) {
  Random::Seed(5);
  float a[11], b[11], c[11], w[11];
  for (int i = 0; i < 11; ++i) a[i] = Uniform(-2, 2), b[i] = Uniform(-2, 2);
  for (u32 n = 0; n <= 11; ++n) {
    double sum = 0, squares = 0, dot = 0;
    for (u32 i = 0; i < n; ++i) sum += a[i], squares += a[i] * a[i], dot += a[i] * b[i];
    EXPECT_NEAR(SumArray(a, n), sum, 1e-5);
    EXPECT_NEAR(SumOfSquaresArray(a, n), squares, 1e-5);
    EXPECT_NEAR(DotArrays(a, b, n), dot, 1e-5);
    SubtractArrays(a, b, c, n);
    ScaleArray(c, 2.0f, n);
    for (u32 i = 0; i < n; ++i) EXPECT_FLOAT_EQ(c[i], 2.0f * (a[i] - b[i]));
    SquareArray(a, c, n);
    HuberWeights(c, w, n);
    for (u32 i = 0; i < n; ++i)
      EXPECT_FLOAT_EQ(w[i], c[i] > 1.809025f ? std::sqrt(1.809025f / c[i]) : 1.0f);
  }
}

}  // namespace
