// The robust loops on planes: the iteration bound (in double, clamped), the
// budgets the runs keep, distinct local-optimisation samples, accuracy,
// repeatability, too few points, and required items kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>
#include <tuple>

#include "common/PlaneScene.h"
#include "estimation/PlaneEstimator.h"

namespace {

// A plane estimator whose all-inlier probability is w^m for a chosen m, with
// the iteration bound exposed.
class Probe : public PlaneEstimator3D {
 public:
  explicit Probe(u32 m) : PlaneEstimator3D(0.03f), m_(m) {}
  using PlaneEstimator3D::ComputeIterationCount;
  f32 ComputeAllInlierProbability(const f32& w) const override {
    f32 p = 1.0f;
    for (u32 i = 0; i < m_; ++i) p *= w;
    return p;
  }

 private:
  u32 m_;
};

}  // namespace

TEST(RobustLoop, IterationBoundIsComputedInDoubleAndClamped) {
  // {m, inliers, items, maxIterations, bound}: w = 1/2, m = 3 gives
  // ceil(log 0.1 / log(7/8)) = 18; P = 0.1^8 = 1e-8 rounds 1 - P to 1 in float
  // but the true bound is ~2.3e8, clamped one past maxIterations; P = 1 gives 0;
  // a bound past the u32 range converts safely.
  const std::tuple<u32, u32, u32, u32, u64> cases[] = {
      {3, 500, 1000, 1000, 18},
      {8, 100, 1000, 2000, 2001},
      {8, 1000, 1000, 2000, 0},
      {8, 1, 1000000, 0xffffffffu, 0x100000000ull}};
  for (const auto& [m, inliers, items, maxIterations, bound] : cases) {
    Probe est(m);
    est.minInlierRatio = 0.05f;
    est.maxIterations = maxIterations;
    EXPECT_EQ(est.ComputeIterationCount(inliers, items), bound) << m << " " << inliers;
  }
}

TEST(RobustLoop, RunsKeepTheMinimumOrTheFullBudgetAndTooFewPointsGiveNothing) {
  // {points, outlier share, iterations}: 60 % inliers need fewer than the
  // minimum of iterations; 10 % are below the minimum share (20 %) and keep
  // the full budget; two points are below the sample size.
  const std::tuple<u32, f32, u32> cases[] = {{500, 0.4f, 300}, {500, 0.9f, 400}, {2, 0.0f, 0}};
  for (const auto& [n, outliers, expected] : cases) {
    scene::PlaneScene s;
    s.Build(20, n, outliers, 0.01f);
    PlaneEstimator3D est(0.03f);
    est.maxIterations = 400;
    Plane p = s.plane;
    p.v[3] = 42.0f;
    std::vector<u32> inliers = {1};
    Random::Seed(5);
    EXPECT_EQ(est.RunRansac(s.data3, p, inliers), expected) << n << " " << outliers;
    Random::Seed(5);
    EXPECT_EQ(est.RunLoRansac(s.data3, p, inliers), expected) << n << " " << outliers;
    if (expected == 0) {
      EXPECT_TRUE(inliers.empty());
      EXPECT_EQ(p.v[3], 42.0f);
      AlignedArray<Plane> models;
      std::vector<std::vector<u32>> lists;
      est.RunSequentialRansac(s.data3, models, lists);
      EXPECT_EQ(models.Size(), 0u);
      EXPECT_TRUE(lists.empty());
      EXPECT_FALSE(est.OptimizeOnAllData(s.data3, p));
    }
  }
}

TEST(RobustLoop, LocalOptimisationSampleDrawsDistinctInliers) {
  PlaneEstimator3D est(0.1f);
  PlaneEstimatorData3D data, out;
  data.points.Resize(100);
  for (u32 i = 0; i < 100; ++i) data.points[i] = scene::Point(f32(i), 0.0f, 0.0f);
  std::vector<u32> sample;
  BitMask marks(100);
  const std::vector<u32> inliers = {3, 9, 11, 20, 21, 40, 41, 42, 77, 99};
  Random::Seed(4);
  for (int t = 0; t < 20; ++t) {
    ASSERT_TRUE(est.GenerateLoSample(data, inliers, out, sample, marks));
    ASSERT_EQ(sample.size(), 5u);
    EXPECT_EQ(std::set<u32>(sample.begin(), sample.end()).size(), 5u);
    for (const u32 i : sample)
      EXPECT_NE(std::find(inliers.begin(), inliers.end(), i), inliers.end());
    for (u32 k = 0; k < 5; ++k) EXPECT_EQ(out.points[k].v[0], f32(sample[k]));
    EXPECT_EQ(marks.Count(), 0u) << "marks are cleared after each draw";
  }
  EXPECT_FALSE(est.GenerateLoSample(data, {5, 6}, out, sample, marks));
  // A ratio above 1 would ask for more distinct inliers than exist.
  est.loSampleRatio = 2.0f;
  ASSERT_TRUE(est.GenerateLoSample(data, inliers, out, sample, marks));
  EXPECT_EQ(std::set<u32>(sample.begin(), sample.end()).size(), inliers.size());
}

// ---- On planes ----

namespace {

void ExpectFound(const scene::PlaneScene& s, const Plane& p, const std::vector<u32>& inliers) {
  u32 truePositive = 0, positives = 0;
  for (const bool b : s.inlier) positives += b;
  for (const u32 i : inliers) truePositive += s.inlier[i];
  EXPECT_GE(f64(truePositive) / positives, 0.98) << "recall";
  EXPECT_GE(f64(truePositive) / std::max<size_t>(inliers.size(), 1), 0.98) << "precision";
  EXPECT_LT(scene::AngleDegrees(p, s.plane), 0.5);
  EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
}

}  // namespace

TEST(PlaneLoops, ThreeDimensionalAndImageLoopsFindThePlane) {
  scene::PlaneScene s;
  s.Build(21, 1000, 0.4f, 0.01f);
  for (int lo = 0; lo < 2; ++lo) {
    PlaneEstimator3D est(0.03f);
    Plane p{};
    std::vector<u32> inliers;
    Random::Seed(5);
    lo ? est.RunLoRansac(s.data3, p, inliers) : est.RunRansac(s.data3, p, inliers);
    ExpectFound(s, p, inliers);
  }
  s.Build(22, 1000, 0.4f, 0.01f, true, 0.001f);
  PlaneDistanceThreshold.store(0.04f);
  PlaneEstimator2D est(1e-5f);
  Plane p{};
  std::vector<u32> inliers;
  Random::Seed(5);
  est.RunLoRansac(s.data2, p, inliers);
  PlaneDistanceThreshold.store(FLT_MAX);
  ExpectFound(s, p, inliers);
}

TEST(PlaneLoops, SeededRunsRepeatExactly) {
  scene::PlaneScene s;
  s.Build(23, 500, 0.5f, 0.02f);
  PlaneEstimator3D a(0.05f), b(0.05f);
  Plane pa{}, pb{};
  std::vector<u32> ia, ib;
  Random::Seed(77);
  const u32 na = a.RunLoRansac(s.data3, pa, ia);
  Random::Next();
  Random::Seed(77);
  EXPECT_EQ(b.RunLoRansac(s.data3, pb, ib), na);
  EXPECT_EQ(ia, ib);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(pa.v[i], pb.v[i]);
  // The same estimator object reused gives the same again.
  Random::Seed(77);
  EXPECT_EQ(a.RunLoRansac(s.data3, pa, ia), na);
  EXPECT_EQ(ia, ib);
}

TEST(PlaneLoops, SeededLoopKeepsEveryRequiredPoint) {
  scene::PlaneScene s;
  s.Build(25, 600, 0.3f, 0.01f, true, 0.001f);
  PlaneDistanceThreshold.store(0.04f);
  for (u32 seed = 1; seed <= 5; ++seed) {
    PlaneEstimator2D est(1e-5f);
    // A shifted seed whose support is a patch of the plane.
    Plane seedPlane = s.plane;
    seedPlane.v[3] += 0.015f;
    std::vector<u32> support;
    f64 error = 0.0;
    est.VerifyModel(s.data2, seedPlane, support, error);
    ASSERT_GE(support.size(), 100u);
    BitMask required(600);
    for (u32 j = 0; j < support.size(); j += 3) required.Set(support[j]);
    Random::Seed(seed);
    Plane p = seedPlane;
    std::vector<u32> inliers;
    est.RunLoRansacFromModel(s.data2, required, p, inliers);
    const std::set<u32> kept(inliers.begin(), inliers.end());
    for (u32 j = 0; j < support.size(); j += 3)
      EXPECT_EQ(kept.count(support[j]), 1u) << "seed " << seed << " dropped " << support[j];
    EXPECT_GE(inliers.size(), support.size());
    EXPECT_LT(scene::AngleDegrees(p, s.plane), 0.5);
  }
  PlaneDistanceThreshold.store(FLT_MAX);
}
