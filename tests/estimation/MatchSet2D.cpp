// Packed match sets and samples: filling, subsets and isotropic
// normalisation (mean 0, mean distance sqrt(2)) read back from every copy.
#include "estimation/MatchSet2D.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "la/Random.h"

namespace {

struct Match {
  f32 x1, y1, x2, y2;
};

std::vector<Match> RandomMatches(u32 n, u32 seed) {
  Random::Seed(seed);
  std::vector<Match> m(n);
  const auto u = [] { return static_cast<f32>(Random::Next() % 64000) / 100.0f; };
  for (Match& x : m) x = {u(), u() * 0.75f, u(), u() * 0.75f};
  return m;
}

MatchSet2D Fill(const std::vector<Match>& m) {
  MatchSet2D s;
  s.Resize(static_cast<u16>(m.size()));
  for (u32 i = 0; i < m.size(); ++i) s.SetMatch(i, m[i].x1, m[i].y1, m[i].x2, m[i].y2);
  return s;
}

// Mean and mean distance of one image's points, in double.
void Moments(const std::vector<std::array<f64, 2>>& p, f64& mx, f64& my, f64& dist) {
  mx = my = dist = 0.0;
  for (const auto& q : p) mx += q[0], my += q[1];
  mx /= p.size();
  my /= p.size();
  for (const auto& q : p) dist += std::hypot(q[0] - mx, q[1] - my);
  dist /= p.size();
}

}  // namespace

TEST(MatchSet2D, SubsetFollowsTheListAndStorageOnlyGrows) {
  const auto m = RandomMatches(20, 2);
  const MatchSet2D s = Fill(m);
  MatchSet2D d;
  const std::vector<u16> list = {19, 3, 7, 0, 12, 5, 18, 1, 9};
  MatchSet2D::GetSubset(s, list, d);
  ASSERT_EQ(d.Size(), 9u);
  EXPECT_EQ(d.packedCount, 8u);
  EXPECT_EQ(d.tailCount, 1u);
  f32 r[4];
  for (u32 j = 0; j < list.size(); ++j) {
    d.GetMatch(j, r);
    EXPECT_EQ(r[0], m[list[j]].x1);
    EXPECT_EQ(r[1], m[list[j]].y1);
    EXPECT_EQ(r[2], m[list[j]].x2);
    EXPECT_EQ(r[3], m[list[j]].y2);
  }
  EXPECT_EQ(d.tail1[0].x, m[9].x1);
  EXPECT_EQ(d.tail2[0].y, m[9].y2);
  const u32 capacity = d.packed.Capacity();
  MatchSet2D::GetSubset(s, {4, 2}, d);
  EXPECT_EQ(d.Size(), 2u);
  EXPECT_EQ(d.packedCount, 0u);
  EXPECT_EQ(d.tail1[1].x, m[2].x1);
  EXPECT_EQ(d.packed.Capacity(), capacity);
}

TEST(MatchSet2D, NormalisationGivesMeanZeroAndMeanDistanceSqrt2) {
  for (const u32 n : {3u, 5u, 8u, 13u}) {
    const auto m = RandomMatches(n, 10 + n);
    MatchSet2D s = Fill(m);
    LA::AlignedVector4f scratch[6];
    MatchSet2D::Normalize(s, scratch);
    // Read every match from the packed storage, the partly filled block too:
    // samplers draw from there.
    std::vector<std::array<f64, 2>> a, b;
    f32 r[4];
    for (u32 i = 0; i < n; ++i) {
      s.GetMatch(i, r);
      a.push_back({r[0], r[1]});
      b.push_back({r[2], r[3]});
      if (i >= s.packedCount) {
        EXPECT_EQ(s.tail1[i - s.packedCount].x, r[0]) << "tail copy and block disagree";
        EXPECT_EQ(s.tail2[i - s.packedCount].y, r[3]);
      }
    }
    f64 mx, my, dist;
    Moments(a, mx, my, dist);
    EXPECT_NEAR(mx, 0.0, 1e-5) << n;
    EXPECT_NEAR(my, 0.0, 1e-5) << n;
    EXPECT_NEAR(dist, std::sqrt(2.0), 1e-5) << n;
    Moments(b, mx, my, dist);
    EXPECT_NEAR(mx, 0.0, 1e-5) << n;
    EXPECT_NEAR(dist, std::sqrt(2.0), 1e-5) << n;
    // The stored means and scales undo the normalisation.
    std::vector<std::array<f64, 2>> original;
    for (const Match& x : m) original.push_back({x.x1, x.y1});
    Moments(original, mx, my, dist);
    EXPECT_NEAR(s.means[0], mx, 1e-3 * std::fabs(mx));
    EXPECT_NEAR(s.means[1], my, 1e-3 * std::fabs(my));
    EXPECT_NEAR(s.scale1, std::sqrt(2.0) / dist, 1e-5 * s.scale1);
  }
}

TEST(MatchSet2D, CoincidentPointsAndEmptySetsStayFinite) {
  MatchSet2D s = Fill({{5, 5, 1, 2}, {5, 5, 3, 4}, {5, 5, 5, 7}});
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

TEST(MatchSamples2D, FourAndEightNormaliseBothImages) {
  const auto m = RandomMatches(8, 30);
  FourMatches2D four;
  EightMatches2D eight;
  for (int i = 0; i < 4; ++i) {
    four.x1[i] = m[i].x1;
    four.y1[i] = m[i].y1;
    four.x2[i] = m[i].x2;
    four.y2[i] = m[i].y2;
  }
  for (int i = 0; i < 8; ++i) {
    eight.px1[i] = m[i].x1;
    eight.py1[i] = m[i].y1;
    eight.px2[i] = m[i].x2;
    eight.py2[i] = m[i].y2;
  }
  LA::AlignedVector4f scratch[6];
  FourMatches2D::Normalize(four, scratch);
  EightMatches2D::Normalize(eight, scratch);
  const auto check = [](const f32* x, const f32* y, int n) {
    std::vector<std::array<f64, 2>> p;
    for (int i = 0; i < n; ++i) p.push_back({x[i], y[i]});
    f64 mx, my, dist;
    Moments(p, mx, my, dist);
    EXPECT_NEAR(mx, 0.0, 1e-5);
    EXPECT_NEAR(my, 0.0, 1e-5);
    EXPECT_NEAR(dist, std::sqrt(2.0), 1e-5);
  };
  check(four.x1, four.y1, 4);
  check(four.x2, four.y2, 4);
  check(eight.px1, eight.py1, 8);
  check(eight.px2, eight.py2, 8);
  EXPECT_NEAR(eight.means[0],
              (m[0].x1 + m[1].x1 + m[2].x1 + m[3].x1 + m[4].x1 + m[5].x1 + m[6].x1 + m[7].x1) / 8.0,
              1e-3);
}

TEST(MatchSamples2D, EightMatchesPointersStayOnTheirOwnArrays) {
  EightMatches2D a;
  EXPECT_EQ(a.py2, a.px2 + 8);
  EXPECT_EQ(a.px1, a.px2 + 16);
  EXPECT_EQ(a.py1, a.px2 + 24);
  for (int i = 0; i < 8; ++i) a.px1[i] = static_cast<f32>(i);
  const EightMatches2D b = a;
  EightMatches2D c;
  c = a;
  EXPECT_EQ(b.px1, b.x1);
  EXPECT_EQ(c.py2, c.y2);
  EXPECT_EQ(b.x1[5], 5.0f);
  EXPECT_EQ(c.x1[7], 7.0f);
}
