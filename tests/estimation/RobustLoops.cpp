// ctest-labels: threads
// The plane estimators and the robust loops, run on planes (solvers, normal
// equations, thresholds, iteration bounds, budgets, local optimisation,
// required items); then the bin, PROSAC and weighted draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>

#include "common/FiniteDifference.h"
#include "common/PlaneScene.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/PlaneSolver.h"
#include "estimation/SampleIndices.h"
#include "estimation/WeightedSampler.h"

using scene::Point;

namespace {

PlaneEstimatorData3D Points(const std::vector<LA::AlignedVector4f>& points) {
  PlaneEstimatorData3D d;
  d.points.Resize(static_cast<u32>(points.size()));
  for (u32 i = 0; i < points.size(); ++i) d.points[i] = points[i];
  return d;
}

// The plane estimator (all-inlier probability w^3) with its iteration bound exposed.
struct Probe : PlaneEstimator3D {
  Probe() : PlaneEstimator3D(0.03f) {}
  using PlaneEstimator3D::ComputeIterationCount;
};

}  // namespace

// Both solvers (first three points, all points) against the known plane
// n . X + d = 0, d > 0, or failure leaving the plane; degeneracy by shape.
TEST(PlaneSolver, KnownPlanesAndDegenerateInput) {
  const f32 n[3] = {2.0f / 7.0f, -6.0f / 7.0f, 3.0f / 7.0f}, d = 4.0f;
  std::vector<LA::AlignedVector4f> tilted, tiny, line, sliver;
  for (u32 k = 0; k < 30; ++k) {
    const f32 x = 1.0f + 0.5f * (k % 3), y = 2.0f - 0.75f * (k * k % 5), f = f32(k);
    if (k < 12) tilted.push_back(Point(x, y, (d + n[0] * x + n[1] * y) / -n[2]));
    tiny.push_back(Point(1e-3f * ((k + 4) % 5), 1e-3f * ((k + 4) / 5), 1));
    line.push_back(Point(0.1f * f, 1.0f + 0.2f * f, 2.0f - 0.3f * f));
    sliver.push_back(Point(1e-5f * (k % 2), 0.3f * f, 1));  // two lines: the spread of one
  }
  using Points3 = std::vector<LA::AlignedVector4f>;
  const Points3 collinear = {Point(0.1f, 0.2f, 0.3f), Point(0.2f, 0.4f, 0.6f),
                             Point(0.3f, 0.6f, 0.9f)};
  const Points3 origin = {Point(1, 0, 0), Point(0, 1, 0), Point(1, 1, 0), Point(-2, 1, 0)};
  struct Case {
    const char* what;
    bool minimal, all;
    Plane plane;
    std::vector<LA::AlignedVector4f> points;
  };
  const Case cases[] = {
      {"tilted, far from the origin", true, true, {{n[0], n[1], n[2], d}}, tilted},
      {"tiny", true, true, {{0, 0, -1, 1}}, tiny},
      {"collinear, the float cross product not 0", false, false, {}, collinear},
      // Edges along y: the test must weigh every axis of the edges' lengths.
      {"a millionth off a line along y",
       false,
       false,
       {},
       {Point(0, 0, 1), Point(0, 1, 1), Point(1e-6f, 2, 1)}},
      {"repeated", false, false, {}, {Point(1, 2, 3), Point(1, 2, 3), Point(0, 5, 1)}},
      {"thirty copies", false, false, {}, Points3(30, Point(0.3f, 1.7f, 2.9f))},
      {"thirty on a line", false, false, {}, line},
      {"sliver", true, false, {}, sliver},
      {"through the origin: a . X + 1 = 0 has no solution", true, false, {}, origin}};
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PlaneEstimatorMinimalSample s = {{c.points[0], c.points[1], c.points[2]}};
    Plane minimal = {{7, 7, 7, 7}}, all = minimal;
    ASSERT_EQ(solver.RunMinimalSample(s, minimal, work), c.minimal);
    ASSERT_EQ(solver.RunNonMinimalData(Points(c.points), all), c.all);
    EXPECT_TRUE((c.minimal || minimal.v[0] == 7.0f) && (c.all || all.v[0] == 7.0f))
        << "a failed solve leaves the plane";
    if (!c.all) continue;
    const f32 sign = minimal.v[3] > 0.0f ? 1.0f : -1.0f;
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(sign * minimal.v[k], c.plane.v[k], 1e-4f) << k;
      EXPECT_NEAR(all.v[k], c.plane.v[k], 1e-3f) << k;
    }
  }
  Plane p{};
  EXPECT_FALSE(solver.RunNonMinimalData(Points({}), p));
}

// The data's normal equations match finite differences in every mode; the
// threshold is inclusive for the plain check and strict for required points;
// a distance bound flipped by one thread while another verifies is always
// seen whole, never torn; the seeded loop keeps required points.
TEST(PlaneEstimator, NormalEquationsThresholdsADistanceBoundWrittenWhileVerifyingRequiredPoints) {
  scene::PlaneScene s;
  s.Build(3, 60, 0.0f, 0.02f, false, 0.0f);
  const Eigen::Vector3f n =
      Eigen::Vector3f(s.plane.v[0] + 0.05f, s.plane.v[1] - 0.04f, s.plane.v[2]).normalized();
  const Plane q = {{n.x(), n.y(), n.z(), s.plane.v[3] + 0.1f}};  // away from the optimum
  fd::ExpectNormalEquationMatchesSSE(s.data3, q);
  for (const u32 mode : {0u, 1u}) {
    s.data2.mode = mode;
    fd::ExpectNormalEquationMatchesSSE(s.data2, q);
  }
  // A is half the Hessian at zero residual; small steps, as renormalising n
  // is strongly curved.
  s.Build(4, 40, 0.0f, 0.0f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(s.data3, s.plane, {2e-3, 5e-3, 1e-6});
  fd::ExpectGaussNewtonHessianAtZeroResidual(s.data2, s.plane, {2e-3, 5e-3, 1e-6});

  PlaneEstimator3D est(0.25f);
  const PlaneEstimatorData3D d = Points({Point(0, 1, 0), Point(0.5f, 1, 0.25f), Point(1, 1, -0.25f),
                                         Point(1.5f, 1, 0.5f), Point(2, 1, 0.1f)});
  const Plane z = {{0, 0, 1, 0}};
  std::vector<u32> in;
  f64 error = -1.0;
  est.VerifyModel(d, z, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 1, 2, 4}));
  EXPECT_DOUBLE_EQ(error, 0.25 + 0.25 + static_cast<f64>(0.1f));
  BitMask required(5);
  required.Set(4);
  est.VerifyModelConstrained(d, z, required, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 4}));
  // A required point on the threshold rejects the model.
  required.Set(1);
  est.VerifyModelConstrained(d, z, required, in, error);
  EXPECT_TRUE(in.empty() && error == 0.0);

  // Noise along the normal only: moved onto the plane, points reproject exactly.
  s.Build(6, 200, 0.0f, 0.01f, true);
  EXPECT_LT(s.data2.ComputeSSE(s.plane), 1e-9);
  s.data2.mode = 1;
  PlaneEstimator2D est2(0.0f);
  const auto verify = [&](f32 bound) {
    if (bound > 0.0f) PlaneDistanceThreshold.store(bound);
    est2.VerifyModel(s.data2, s.plane, in, error);
    return in.size();
  };
  const size_t loose = verify(1.0f), tight = verify(0.005f);
  ASSERT_NE(loose, tight);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) PlaneDistanceThreshold.store(i % 2 ? 1.0f : 0.005f);
  });
  int torn = 0;
  for (int t = 0; t < 2000; ++t) torn += verify(0.0f) != loose && in.size() != tight;
  stop.store(true);
  writer.join();
  EXPECT_EQ(torn, 0);

  // A shifted seed whose support is a patch of the plane, a third required.
  s.Build(25, 600, 0.3f, 0.01f, true, 0.001f);
  PlaneDistanceThreshold.store(0.04f);
  PlaneEstimator2D seeded(1e-5f);
  Plane seedPlane = s.plane;
  seedPlane.v[3] += 0.015f;
  std::vector<u32> support;
  seeded.VerifyModel(s.data2, seedPlane, support, error);
  ASSERT_GE(support.size(), 100u);
  BitMask kept(600);
  for (u32 j = 0; j < support.size(); j += 3) kept.Set(support[j]);
  Random::Seed(1);
  seeded.RunLoRansacFromModel(s.data2, kept, seedPlane, in);
  for (u32 j = 0; j < support.size(); j += 3)
    EXPECT_TRUE(std::binary_search(in.begin(), in.end(), support[j])) << j;
  EXPECT_GE(in.size(), support.size());
  EXPECT_LT(scene::AngleDegrees(seedPlane, s.plane), 0.5);
  PlaneDistanceThreshold.store(FLT_MAX);
}

TEST(RobustLoop, IterationBoundAndRunsThatFindThePlaneRepeatablyWithinTheirBudget) {
  // {inliers, items, maxIterations, bound}: w = 1/2 gives
  // ceil(log 0.1 / log(7/8)) = 18; P = 0.002^3 rounds 1 - P to 1 in float but
  // the true bound is ~2.9e8, clamped one past maxIterations; P = 1 gives 0;
  // a bound past the u32 range converts safely.
  const std::tuple<u32, u32, u32, u64> cases[] = {{500, 1000, 1000, 18},
                                                  {2, 1000, 2000, 2001},
                                                  {1000, 1000, 2000, 0},
                                                  {1, 1000000, 0xffffffffu, 0x100000000ull}};
  for (const auto& [inliers, items, maxIterations, bound] : cases) {
    Probe est;
    est.maxIterations = maxIterations;
    EXPECT_EQ(est.ComputeIterationCount(inliers, items), bound) << inliers;
  }
  // {points, outlier share, iterations}: 60 % inliers need fewer than the
  // minimum of iterations; 10 % are below the minimum share (20 %) and keep
  // the full budget; two points are below the sample size.
  const std::tuple<u32, f32, u32> runs[] = {{500, 0.4f, 300}, {500, 0.9f, 400}, {2, 0.0f, 0}};
  for (const auto& [n, outliers, expected] : runs) {
    SCOPED_TRACE(outliers);
    scene::PlaneScene s;
    s.Build(20, n, outliers, 0.01f);
    PlaneEstimator3D est(0.03f);
    est.maxIterations = 400;
    est.loIterations = 1;  // one local-optimisation iteration is still one
    Plane results[2];
    for (int lo = 0; lo < 2; ++lo) {
      const auto run = [&](Plane& p, std::vector<u32>& inliers) {
        Random::Seed(5);
        return lo ? est.RunLoRansac(s.data3, p, inliers) : est.RunRansac(s.data3, p, inliers);
      };
      Plane& p = results[lo] = {{0, 0, 0, 42}};
      Plane again = p;
      std::vector<u32> inliers = {1}, second;
      EXPECT_EQ(run(p, inliers), expected) << lo;
      if (expected == 0) {
        EXPECT_TRUE(inliers.empty() && p.v[3] == 42.0f);
      } else if (outliers < 0.5f) {
        u32 found = 0;
        for (const u32 i : inliers) found += s.inlier[i];
        EXPECT_GE(found, 0.98 * (1.0 - outliers) * n) << "recall";
        EXPECT_GE(found, 0.98 * inliers.size()) << "precision";
        EXPECT_LT(scene::AngleDegrees(p, s.plane), 0.5);
        EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
      }
      // The same seed on the reused estimator repeats the run exactly.
      EXPECT_EQ(run(again, second), expected);
      EXPECT_TRUE(second == inliers && std::memcmp(&again, &p, sizeof(p)) == 0);
    }
    // With few inliers that one iteration shows in the result.
    EXPECT_TRUE(outliers < 0.5f || std::memcmp(&results[0], &results[1], sizeof(Plane)) != 0);
    if (expected == 0) {
      AlignedArray<Plane> models;
      std::vector<std::vector<u32>> lists;
      est.RunSequentialRansac(s.data3, models, lists);
      EXPECT_EQ(models.Size() + lists.size(), 0u);
      EXPECT_TRUE(!est.OptimizeOnAllData(s.data3, results[0]) && results[0].v[3] == 42.0f);
    }
  }
}

// A noise-free plane at 1.5 (every other scene's is at 1): re-estimating from
// a shifted plane's support, and a seeded run without final steps whose seed
// holds every point, both end on the plane: equal support, smaller error.
TEST(RobustLoop, EqualSupportWithASmallerErrorReplacesTheModel) {
  scene::PlaneScene s;
  s.Build(3, 100, 0.0f, 0.0f);
  PlaneEstimator3D est(0.03f);
  const Plane seed = {{s.plane.v[0], s.plane.v[1], s.plane.v[2], -1.498f}};
  std::vector<u32> inliers;
  BitMask all(100);
  for (u32 i = 0; i < 100; ++i) {
    for (int k = 0; k < 3; ++k) s.data3.points[i].v[k] += 0.5f * s.plane.v[k];
    inliers.push_back(i);
    all.Set(i);
  }
  Plane p = seed;
  f64 error = DBL_MAX;
  EXPECT_TRUE(est.ReestimateModel(s.data3, p, inliers, error));
  EXPECT_NEAR(std::fabs(p.v[3]), 1.5f, 1e-4f);
  est.finalNonMinimal = est.finalOptimize = 0;
  p = seed;
  est.RunLoRansacFromModel(s.data3, all, p, inliers);
  EXPECT_NEAR(std::fabs(p.v[3]), 1.5f, 1e-4f);
  EXPECT_EQ(inliers.size(), 100u);
}

// Local-optimisation samples are distinct inliers; PROSAC positions are
// distinct and hold the newest, n - 1, when asked, also when already drawn;
// bin tables map pixels to bins; bin samples take distinct usable bins or none.
TEST(Samplers, LocalOptimisationProsacAndBinSamplesAreDistinct) {
  PlaneEstimator3D est(0.1f);
  PlaneEstimatorData3D data, out;
  data.points.Resize(100);
  for (u32 i = 0; i < 100; ++i) data.points[i] = Point(f32(i), 0.0f, 0.0f);
  std::vector<u32> sample;
  BitMask marks(100);
  const std::vector<u32> inliers = {3, 9, 11, 20, 21, 40, 41, 42, 77, 99};
  Random::Seed(4);
  for (int t = 0; t < 20; ++t) {
    ASSERT_TRUE(est.GenerateLoSample(data, inliers, out, sample, marks));
    std::set<u32> drawn;
    for (u32 j = 0; j < out.points.Size(); ++j) drawn.insert(u32(out.points[j].v[0]));
    EXPECT_EQ(drawn, std::set<u32>(sample.begin(), sample.end()));
    EXPECT_EQ(drawn.size(), 5u) << "ceil(10 * 0.5) distinct inliers";
    EXPECT_TRUE(std::includes(inliers.begin(), inliers.end(), drawn.begin(), drawn.end()));
    EXPECT_EQ(marks.Count(), 0u) << "marks are cleared after each draw";
  }
  EXPECT_FALSE(est.GenerateLoSample(data, {5, 6}, out, sample, marks));
  for (int t = 0; t < 200; ++t) {
    const u32 n = 4 + t % 3, m = 4;
    u32 positions[4];
    DrawProsacPositions(n, m, t % 2 == 0, positions);
    const std::set<u32> drawn(positions, positions + m);
    EXPECT_TRUE(drawn.size() == m && *drawn.rbegin() < n) << t;
    EXPECT_TRUE(t % 2 == 1 || drawn.count(n - 1)) << t;
  }

  // A 640 x 480 image on a 10 x 4 grid: 64-pixel columns, 120-pixel rows.
  FundamentalMatrixEstimator grid(1.0f);
  grid.SetGrid(10, 4);
  grid.BuildBinTables(640, 480);
  ASSERT_TRUE(grid.columnTable.size() == 641u && grid.rowTable.size() == 481u);
  for (u32 x : {0u, 63u, 64u, 300u, 639u}) EXPECT_EQ(grid.columnTable[x], x / 64) << x;
  for (u32 y : {0u, 119u, 120u, 479u}) EXPECT_EQ(grid.rowTable[y], 10 * (y / 120)) << y;
  EXPECT_TRUE(grid.binCentres[13].x == 32.0f + 3 * 64.0f && grid.binCentres[13].y == 180.0f);
  // Twelve bins of 96 items, bin b holds 1 + b % 4 of items 8b..8b+3; bin 2
  // is empty, and a weight table gives bin 1 no mass.
  std::vector<std::vector<u16>> bins(12);
  for (u16 b = 0; b < 12; ++b)
    if (b != 2)
      for (u16 k = 0; k <= b % 4; ++k) bins[b].push_back(static_cast<u16>(8 * b + k));
  std::vector<f32> c(13);
  for (int j = 0; j <= 12; ++j) c[j] = (j == 0 ? 0 : std::max(j - 1, 1)) / 11.0f;
  Random::Seed(3);
  u32 chosen[8];
  u16 members[8];
  const std::vector<f32>* const tables[] = {nullptr, &c};
  for (const std::vector<f32>* table : tables) {
    std::set<u32> seen;
    for (int t = 0; t < 300; ++t) {
      ASSERT_TRUE(DrawBinSample(bins, table, 8, chosen, members));
      for (int k = 0; k < 8; ++k)
        EXPECT_TRUE(members[k] / 8 == chosen[k] && members[k] % 8 <= chosen[k] % 4) << k;
      seen.insert(chosen, chosen + 8);
      EXPECT_EQ(std::set<u32>(chosen, chosen + 8).size(), 8u);
    }
    EXPECT_EQ(seen.size(), table ? 10u : 11u) << "every usable bin, and only those";
    EXPECT_EQ(seen.count(2) + seen.count(table ? 1 : 2), 0u);
  }
  // Too few usable bins (a table shorter than the bins, a weight below the
  // draw's resolution): refused without writing, not an endless draw.
  const std::vector<f32> shorter = {0.0f, 0.5f, 0.5f, 0.5f, 1.0f}, tiny = {0.0f, 1e-12f, 1.0f};
  for (const auto& [table, count] : {std::pair(&shorter, 3u), std::pair(&tiny, 2u)}) {
    EXPECT_EQ(CountUsableBins(bins, table), 2u);
    chosen[0] = 99;
    EXPECT_TRUE(!DrawBinSample(bins, table, count, chosen, members) && chosen[0] == 99u);
  }
  ASSERT_TRUE(DrawBinSample(bins, &shorter, 2, chosen, members));
  EXPECT_EQ(std::set<u32>(chosen, chosen + 2), (std::set<u32>{0, 3}));
  EXPECT_EQ(WeightedSampler({0.0f}), 0u);
  EXPECT_EQ(WeightedSampler({0.0f, 0.0f, 0.0f}), 1u) << "mass missing at the top: the last bin";
}
