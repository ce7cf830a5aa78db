// Tukey biweights (1 - e / c^2)^2 for e <= c^2, else 0, from squared residuals
// e over the four-wide part and the remainder.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "features/ImageMapMath.h"

// Nine finite residuals, the median element 16: c = 4 (1 + 5/12) 6.9461293
// (c^2 = 1549.3 < 1e4); the NaN among the first four and the infinity in the
// remainder get 0 and stay out of the median. A median of 0 (six of ten
// exactly 0), or too few finite residuals: the floored scale keeps the exact
// ones at 1 and the others at 0.
TEST(TukeyWeights, KnownAnswersNonFiniteResidualsAndTheFlooredScale) {
  const auto expectWeights = [](const std::vector<float>& e, float c2) {
    AlignedArray<float> squared, w, copy;
    for (const float v : e) squared.PushBack(v, 16);
    ComputeTukeyWeights(squared, w, copy);
    ASSERT_EQ(w.Size(), e.size());
    for (u32 i = 0; i < e.size(); ++i)
      EXPECT_NEAR(w[i], e[i] <= c2 ? std::pow(1 - e[i] / c2, 2) : 0, 1e-6) << i;
  };
  expectWeights({0, 1, NAN, 4, 9, 16, 25, 100, 1e4f, INFINITY, 36},
                std::pow(4.0f * (1.0f + 5.0f / 12.0f) * 6.9461293f, 2));
  expectWeights({0, 0, 0, 1e-4f, 0, 0, 1e-3f, 0, 2e-3f, 5e-3f}, kMinTukeyScaleSquared);
  expectWeights({0, NAN, 1e-3f, 0}, kMinTukeyScaleSquared);
}
