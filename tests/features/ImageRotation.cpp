// Rotation between small images: rendered pure-rotation pairs recovered,
// identical images, the rejections (flat image, images without interior),
// the Jacobian table, the rotation exponential, bilinear sampling of bad
// positions and the array kernels against scalar sums.
#include "features/ImageRotation.h"

#include <gtest/gtest.h>

#include <cmath>

#include "common/Draws.h"
#include "features/FloatArrayKernels.h"
#include "tests/features/AlignmentScene.h"

namespace {

using namespace AlignmentScene;
using Eigen::Matrix3d;

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

  // So3Exp is the transposed exponential on both branches.
  const Eigen::Vector3d axis = Eigen::Vector3d(0.3, -0.5, 0.8).normalized();
  for (const double angle : {0.5, 1e-3, 3.3e-4}) {  // the last has theta^2 below FLT_EPSILON
    const Eigen::Vector3f w = (angle * axis).cast<float>();
    LA::AlignedMatrix3f R;
    So3Exp(w.data(), R);
    const Matrix3d expected = Eigen::AngleAxisd(angle, axis).toRotationMatrix().transpose();
    EXPECT_TRUE(ToEigen(R).isApprox(expected, 1e-6)) << angle;
  }

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
