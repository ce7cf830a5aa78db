// Transfers of homographies and fundamental matrices between pixel and
// normalised coordinates against matrices built in double, and the symmetric
// epipolar error (scalar, four-wide, known answer).
// Also the packed two-view match sets: normalisation, copies read back, the
// tail lanes and degenerate sets.
#include "estimation/TwoViewGeometry.h"

#include <gtest/gtest.h>

#include "common/ProjectiveScene.h"
#include "estimation/MatchSet2D.h"

namespace {

// A = [a 0 -a p; 0 a -a q; 0 0 1].
Eigen::Matrix3d Affine(f64 a, f64 p, f64 q) {
  Eigen::Matrix3d A;
  A << a, 0, -a * p, 0, a, -a * q, 0, 0, 1;
  return A;
}

Eigen::Matrix3d RandomMatrix() {
  Eigen::Matrix3d M;
  for (int i = 0; i < 9; ++i) M(i / 3, i % 3) = UniformD(-1, 1);
  return M;
}

TEST(TwoViewGeometry, TransformsAreBHAAndBTransposedFA) {
  Random::Seed(1);
  const f32 means[4] = {320.5f, 240.25f, 300.0f, 200.75f};
  const f32 a = 0.004f, b = 0.0035f;
  // The inputs as the library holds them, in single precision.
  const Eigen::Matrix3d H = ToEigen(FromEigen(RandomMatrix())),
                        F = ToEigen(FromEigen(RandomMatrix()));
  LA::AlignedMatrix3f M = FromEigen(H);
  LA::AlignedVector4f scratch[6];
  TransformHomography(M, means, a, b, scratch);
  Eigen::Matrix3d B;
  B << 1.0 / b, 0, means[2], 0, 1.0 / b, means[3], 0, 0, 1;
  Eigen::Matrix3d expected = B * H * Affine(a, means[0], means[1]);
  EXPECT_LT((ToEigen(M) - expected).cwiseAbs().maxCoeff(), 1e-4 * expected.cwiseAbs().maxCoeff());
  M = FromEigen(F);
  TransformFundamentalMatrix(M, means, a, b, scratch);
  expected = Affine(b, means[2], means[3]).transpose() * F * Affine(a, means[0], means[1]);
  EXPECT_LT((ToEigen(M) - expected).cwiseAbs().maxCoeff(), 1e-5 * expected.cwiseAbs().maxCoeff());
}

TEST(TwoViewGeometry, SymmetricEpipolarErrorKnownAnswerAndFourWideEqualsScalar) {
  // Sideways motion: epipolar lines are image rows, both distances |y1 - y2|.
  LA::AlignedMatrix3f F{};
  F.m[1][2] = -1.0f;
  F.m[2][1] = 1.0f;
  f32 scratch[6];
  EXPECT_FLOAT_EQ(ComputeSymmetricEpipolarError(F, {3.0f, 2.0f}, {-1.0f, 2.5f}, scratch), 0.5f);
  EXPECT_FLOAT_EQ(scratch[2], -0.5f);  // e
  EXPECT_FLOAT_EQ(scratch[3], 0.25f);  // e^2

  Random::Seed(5);
  F = FromEigen(RandomMatrix());
  const Eigen::Matrix3d Fd = ToEigen(F);
  LA::AlignedVector4f Fb[9], scratch4[6];
  BroadcastMatrix3(F, Fb);
  for (int block = 0; block < 50; ++block) {
    alignas(16) f32 x1[4], y1[4], x2[4], y2[4], out[4];
    for (int l = 0; l < 4; ++l) {
      x1[l] = f32(UniformD(-1, 1)), y1[l] = f32(UniformD(-1, 1));
      x2[l] = f32(UniformD(-1, 1)), y2[l] = f32(UniformD(-1, 1));
    }
    ComputeSymmetricEpipolarError4(Fb, x1, y1, x2, y2, out, scratch4);
    for (int l = 0; l < 4; ++l) {
      const f32 e = ComputeSymmetricEpipolarError(F, {x1[l], y1[l]}, {x2[l], y2[l]}, scratch);
      EXPECT_EQ(out[l], e);
      for (int k = 0; k < 6; ++k) EXPECT_EQ(scratch4[k].v[l], scratch[k]);
      // Against the definition in double.
      const Eigen::Vector3d p(x1[l], y1[l], 1.0), q(x2[l], y2[l], 1.0);
      const Eigen::Vector3d l2 = Fd * p, l1 = Fd.transpose() * q;
      const f64 r = q.dot(Fd * p);
      const f64 ref = r * r / l1.head<2>().squaredNorm() + r * r / l2.head<2>().squaredNorm();
      EXPECT_NEAR(e, ref, 1e-4 * (1.0 + ref));
    }
  }
}

}  // namespace

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
