// The owned-buffer Gaussian blur against libCVD's on noise images of the
// engine's frame sizes, and known answers: a constant image, impulses inside
// and on the corner, images below the tap reach, reused scratch.
#include "features/GaussianBlur.h"

#include <cvd/convolution.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "la/Random.h"

namespace {

using FloatImage = CVD::Image<float>;

FloatImage Noise(int w, int h, u32 seed) {
  Random::Seed(seed);
  FloatImage image(CVD::ImageRef(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) image[y][x] = static_cast<float>(Random::Index(256)) - 127.5f;
  return image;
}

FloatImage Copy(const FloatImage& image) {
  FloatImage copy(image.size());
  copy.copy_from(image);
  return copy;
}

float LargestDifference(const FloatImage& a, const FloatImage& b) {
  float worst = 0.0f;
  for (int y = 0; y < a.size().y; ++y)
    for (int x = 0; x < a.size().x; ++x) worst = std::max(worst, std::fabs(a[y][x] - b[y][x]));
  return worst;
}

TEST(GaussianBlur, MatchesLibCvdWithinFloatRounding) {
  // The alignment and small images of a 640 x 480 frame (40 x 30, taps),
  // of a 1280 x 960 one (80 x 60, recursive), odd sizes, and the smallest
  // one of the recursion.
  const int sizes[][2] = {{40, 30}, {30, 40}, {80, 60}, {41, 31}, {64, 12}, {4, 4}, {13, 17}};
  const double sigmas[][2] = {{1.5, 3.0}, {1.0, 3.0}, {2.0, 3.0}};
  GaussianScratch scratch;
  u32 seed = 3;
  for (const auto& size : sizes) {
    for (const auto& s : sigmas) {
      const FloatImage input = Noise(size[0], size[1], ++seed);
      FloatImage ours = Copy(input), theirs = Copy(input);
      BlurGaussian(ours, s[0], s[1], scratch);
      CVD::convolveGaussian(theirs, s[0], s[1]);
      // Values reach 128: float rounding of a dozen-term sum stays far below.
      EXPECT_LT(LargestDifference(ours, theirs), 2e-4f)
          << size[0] << " x " << size[1] << " sigma " << s[0];
    }
  }
}

TEST(GaussianBlur, KnownAnswers) {
  GaussianScratch scratch;
  // Taps sum to one and the edge repeats: a constant stays, to rounding.
  FloatImage flat(CVD::ImageRef(23, 19), 7.25f);
  BlurGaussian(flat, 1.5, 3.0, scratch);
  for (int y = 0; y < 19; ++y)
    for (int x = 0; x < 23; ++x) ASSERT_NEAR(flat[y][x], 7.25f, 1e-5f) << x << ", " << y;

  // An impulse spreads as the product of the normalised 1-D taps.
  FloatImage impulse(CVD::ImageRef(21, 21), 0.0f);
  impulse[10][10] = 1.0f;
  BlurGaussian(impulse, 1.5, 3.0, scratch);
  double sum = 1.0;
  for (int i = 1; i <= 5; ++i) sum += 2.0 * std::exp(-i * i / 4.5);
  auto tap = [&](int d) { return std::exp(-d * d / 4.5) / sum; };
  for (int dy = -6; dy <= 6; ++dy) {
    for (int dx = -6; dx <= 6; ++dx) {
      const double expected = std::abs(dx) > 5 || std::abs(dy) > 5 ? 0.0 : tap(dx) * tap(dy);
      ASSERT_NEAR(impulse[10 + dy][10 + dx], expected, 1e-7) << dx << ", " << dy;
    }
  }
  // An impulse on the corner: the repeated edge folds the outside taps in.
  FloatImage corner(CVD::ImageRef(13, 13), 0.0f);
  corner[0][0] = 1.0f;
  BlurGaussian(corner, 1.5, 3.0, scratch);
  double edge = tap(0);
  for (int d = 1; d <= 5; ++d) edge += tap(d);
  EXPECT_NEAR(corner[0][0], edge * edge, 1e-6);
  EXPECT_NEAR(corner[0][5], edge * tap(5), 1e-7);
  EXPECT_EQ(corner[0][6], 0.0f);

  // Below the reach (five taps at sigma 1.5) the image is left as it is.
  const FloatImage narrow = Noise(3, 13, 9), low = Noise(13, 3, 10);
  for (const FloatImage* input : {&narrow, &low}) {
    FloatImage copy = Copy(*input);
    BlurGaussian(copy, 1.5, 3.0, scratch);
    EXPECT_EQ(LargestDifference(copy, *input), 0.0f);
  }
  FloatImage empty;
  BlurGaussian(empty, 1.5, 3.0, scratch);
  EXPECT_EQ(empty.size(), CVD::ImageRef(0, 0));
  // No rows or no columns: nothing to read (sides a multiple of 4 would take
  // the recursion, whose lines start from their first value).
  for (const CVD::ImageRef& size : {CVD::ImageRef(8, 0), CVD::ImageRef(0, 8)}) {
    FloatImage none(size);
    BlurGaussian(none, 1.5, 3.0, scratch);
    EXPECT_EQ(none.size(), size);
  }
}

TEST(GaussianBlur, ReusedScratchGivesTheSameAndDoesNotGrowAgain) {
  GaussianScratch reused;
  FloatImage taps = Noise(81, 61, 21), recursion = Noise(84, 64, 22);
  BlurGaussian(taps, 1.5, 3.0, reused);
  BlurGaussian(recursion, 1.5, 3.0, reused);
  const float* rows = reused.rows.data();
  const double* line = reused.line.data();
  // Taps, the recursion, taps again on a size between.
  const int sizes[][2] = {{40, 30}, {40, 28}, {41, 29}};
  for (const auto& size : sizes) {
    const FloatImage input = Noise(size[0], size[1], 30 + size[1]);
    FloatImage a = Copy(input), b = Copy(input);
    GaussianScratch fresh;
    BlurGaussian(a, 1.5, 3.0, reused);
    BlurGaussian(b, 1.5, 3.0, fresh);
    EXPECT_EQ(LargestDifference(a, b), 0.0f) << size[0] << " x " << size[1];
  }
  // Smaller images fit the grown buffers.
  EXPECT_EQ(reused.rows.data(), rows);
  EXPECT_EQ(reused.line.data(), line);
}

}  // namespace
