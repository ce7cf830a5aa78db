// Packed match sets: isotropic normalisation (mean 0, mean distance sqrt(2))
// read back from every copy, the tail lanes included, degenerate sets, and
// eight-match samples whose copies keep their own arrays.
#include "estimation/MatchSet2D.h"

#include <gtest/gtest.h>

#include "common/ProjectiveScene.h"

using scene::Match;

namespace {

std::vector<Match> RandomMatches(u32 n, u32 seed) {
  Random::Seed(seed);
  std::vector<Match> m(n);
  const auto u = [] { return Uniform(0.0f, 640.0f); };
  for (Match& x : m) x = {u(), u() * 0.75f, u(), u() * 0.75f};
  return m;
}

// Expects mean 0 and mean distance sqrt(2) of n points.
template <class X, class Y>
void ExpectNormalised(X x, Y y, u32 n, const char* what, f64 tolerance = 1e-5) {
  f64 mx = 0.0, my = 0.0, dist = 0.0;
  for (u32 i = 0; i < n; ++i) mx += x(i) / n, my += y(i) / n;
  for (u32 i = 0; i < n; ++i) dist += std::hypot(x(i) - mx, y(i) - my) / n;
  EXPECT_NEAR(mx, 0.0, tolerance) << what << " " << n;
  EXPECT_NEAR(my, 0.0, tolerance) << what << " " << n;
  EXPECT_NEAR(dist, std::sqrt(2.0), tolerance) << what << " " << n;
}

TEST(MatchSet2D, NormalisationGivesMeanZeroAndMeanDistanceSqrt2) {
  for (const u32 n : {3u, 5u, 8u, 13u}) {
    const auto m = RandomMatches(n, 10 + n);
    MatchSet2D s;
    scene::FillSet(m, s);
    LA::AlignedVector4f scratch[6];
    MatchSet2D::Normalize(s, scratch);
    // Read from the packed storage, the partly filled block too: samplers
    // draw from there. The tail copy must agree with it.
    std::vector<std::array<f32, 4>> r(n);
    for (u32 i = 0; i < n; ++i) {
      s.GetMatch(i, r[i].data());
      if (i >= s.packedCount) {
        EXPECT_EQ(s.tail1[i - s.packedCount].x, r[i][0]) << "tail copy and block disagree";
        EXPECT_EQ(s.tail2[i - s.packedCount].y, r[i][3]);
      }
    }
    ExpectNormalised([&](u32 i) { return r[i][0]; }, [&](u32 i) { return r[i][1]; }, n, "first");
    ExpectNormalised([&](u32 i) { return r[i][2]; }, [&](u32 i) { return r[i][3]; }, n, "second");
    // The stored means and scale undo the normalisation.
    ExpectNormalised([&](u32 i) { return (m[i].x1 - s.means[0]) * s.scale1; },
                     [&](u32 i) { return (m[i].y1 - s.means[1]) * s.scale1; }, n, "stored", 1e-4);
  }
}

TEST(MatchSet2D, CoincidentPointsAndEmptySetsStayFinite) {
  MatchSet2D s;
  scene::FillSet({{5, 5, 1, 2}, {5, 5, 3, 4}, {5, 5, 5, 7}}, s);
  LA::AlignedVector4f scratch[6];
  MatchSet2D::Normalize(s, scratch);
  EXPECT_EQ(s.scale1, 1.0f);
  EXPECT_TRUE(std::isfinite(s.scale2));
  EXPECT_EQ(s.tail1[2].x, 0.0f);
  MatchSet2D empty;
  MatchSet2D::Normalize(empty, scratch);
  EXPECT_EQ(empty.scale1, 1.0f);
  EXPECT_EQ(empty.means[0], 0.0f);
}

TEST(MatchSamples2D, EightMatchCopiesKeepTheirOwnArrays) {
  // The solver reads the arrays through pointers: a copy must aim at its own.
  EightMatches2D eight;
  scene::FillEight(RandomMatches(8, 30), eight);
  EightMatches2D copy = eight, assigned;
  assigned = eight;
  for (const EightMatches2D* e : {&copy, &assigned}) {
    EXPECT_EQ(e->px1, e->x1);
    EXPECT_EQ(e->py2, e->y2);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(e->px1[i], eight.px1[i]);
  }
}

}  // namespace
