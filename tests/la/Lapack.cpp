// The LAPACK wrappers refuse NaN or infinity before the call (the SVD used to
// loop for ever on them) and read nothing outside the matrices they check.
#include "la/Lapack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

TEST(Lapack, RefusesNonFiniteMatricesAndReadsOnlyTheMatrix) {
  const float inf = std::numeric_limits<float>::infinity();
  const int refused = Lapack::kNonFiniteInput;
  float s[3], u[16], vt[16], work[64], w[3], wi[3];
  int pivots[3];
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf}) {
    // diag(3, 2, 1), column-major with leading dimension 4, one entry spoilt.
    float a[16] = {3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0}, b[8] = {1, 1, 1}, copy[16];
    a[4] = bad;
    EXPECT_EQ(Lapack::Gesvd('A', 'A', 3, 3, a, 4, s, u, 4, vt, 4, work, 64), refused);
    EXPECT_EQ(Lapack::Syev('V', 'L', 3, a, 4, w, work, 64), refused);
    EXPECT_EQ(Lapack::Geev('N', 'N', 3, a, 4, w, wi, u, 1, vt, 1, work, 64), refused);
    EXPECT_EQ(Lapack::Gesv(3, 1, a, 4, pivots, b, 4), refused);
    EXPECT_EQ(Lapack::Gels('N', 3, 3, 1, a, 4, b, 4, work, 64), refused);
    a[4] = 0.0f;
    b[1] = bad;  // a bad right-hand side is refused as well
    EXPECT_EQ(Lapack::Gesv(3, 1, a, 4, pivots, b, 4), refused);

    // The padding row, the column after the matrix and the rows after b are
    // not part of the systems: bad values there change nothing.
    b[1] = 1.0f;
    for (int k : {3, 7, 11, 12, 13, 14, 15}) a[k] = bad;
    std::fill(b + 3, b + 8, bad);
    std::copy(a, a + 16, copy);
    ASSERT_EQ(Lapack::Gesvd('N', 'N', 3, 3, copy, 4, s, u, 1, vt, 1, work, 64), 0);
    ASSERT_EQ(Lapack::Gesv(3, 1, a, 4, pivots, b, 4), 0);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(s[k], 3 - k, 1e-6);
      EXPECT_NEAR(b[k], 1.0 / (3 - k), 1e-6);
    }
  }
}

}  // namespace
