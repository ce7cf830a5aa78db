// Tukey biweights from squared residuals: the known answer over the four-wide
// part and the remainder, non-finite residuals, an exact majority and too few
// residuals for a scale.
#include <gtest/gtest.h>

#include <cmath>

#include "features/ImageMapMath.h"

namespace {

AlignedArray<float> Array(std::initializer_list<float> values) {
  AlignedArray<float> a;
  for (float v : values) a.PushBack(v, 16);
  return a;
}

}  // namespace

// Nine finite residuals (median element 16, so c = 4 (1 + 5/12) 6.9461293,
// c^2 = 1549.3), a NaN among the first four and an infinity in the remainder:
// those get 0 and stay out of the median; 1e4 lies beyond c^2.
TEST(TukeyWeights, KnownAnswerNonFiniteResidualsGetNothingAndStayOutOfTheScale) {
  const AlignedArray<float> e = Array({0, 1, NAN, 4, 9, 16, 25, 100, 1e4f, INFINITY, 36});
  AlignedArray<float> w, copy;
  ComputeTukeyWeights(e, w, copy);
  ASSERT_EQ(w.Size(), e.Size());
  const float c = 4.0f * (1.0f + 5.0f / 12.0f) * 6.9461293f, c2 = c * c;
  for (u32 i = 0; i < e.Size(); ++i) {
    const float expected = e[i] <= c2 ? (1.0f - e[i] / c2) * (1.0f - e[i] / c2) : 0.0f;
    EXPECT_NEAR(w[i], expected, 1e-6f) << i;
  }
}

// Six of ten residuals exactly 0 make the median 0: the scale is floored, the
// exact ones keep 1 and the others get 0, all finite. Three finite residuals
// give no scale at all: the same floor holds.
TEST(TukeyWeights, AnExactMajorityOrTooFewResidualsFloorTheScale) {
  for (const AlignedArray<float>& e :
       {Array({0, 0, 0, 1e-4f, 0, 0, 1e-3f, 0, 2e-3f, 5e-3f}), Array({0, NAN, 1e-3f, 0})}) {
    AlignedArray<float> w, copy;
    ComputeTukeyWeights(e, w, copy);
    for (u32 i = 0; i < e.Size(); ++i) EXPECT_EQ(w[i], e[i] == 0.0f ? 1.0f : 0.0f) << i;
  }
}
