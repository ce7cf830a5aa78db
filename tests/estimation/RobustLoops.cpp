// The robust loops on planes: the iteration bound (in double, clamped), the
// budgets the runs keep, distinct local-optimisation samples, accuracy,
// repeatability, too few points, and required items kept.
// Also bin sampling, in the shared sampler and through the estimators' bin
// slots: weighted draws follow their table, bin samples take distinct usable
// bins or nothing, and the item masks keep the 32-bit-word layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>
#include <tuple>

#include "common/PlaneScene.h"
#include "common/ProjectiveScene.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/WeightedSampler.h"

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

namespace {

using Estimator = FundamentalMatrixEstimator;

// Bins of the eight matches a sample drew (match i lives in bin i / 8).
std::set<u32> BinsOf(const EightMatches2D& s) {
  std::set<u32> bins;
  for (int k = 0; k < 8; ++k) bins.insert(static_cast<u32>(s.px1[k]) / 8);
  return bins;
}

// A 640 x 480 image on a 10 x 4 grid: 64-pixel columns, 120-pixel rows.
TEST(EstimatorArsac, BinTablesMapPixelsToTheirBins) {
  Estimator est(1.0f);
  est.SetGrid(10, 4);
  est.BuildBinTables(640, 480);
  ASSERT_EQ(est.columnTable.size(), 641u);
  ASSERT_EQ(est.rowTable.size(), 481u);
  for (u32 x : {0u, 63u, 64u, 300u, 639u}) EXPECT_EQ(est.columnTable[x], x / 64) << x;
  for (u32 y : {0u, 119u, 120u, 479u}) EXPECT_EQ(est.rowTable[y], 10 * (y / 120)) << y;
  EXPECT_EQ(est.binCentres[13].x, 32.0f + 3 * 64.0f);
  EXPECT_EQ(est.binCentres[13].y, 60.0f + 120.0f);
}

TEST(EstimatorArsac, BinSamplesTakeDistinctUsableBinsOrNothing) {
  // 96 matches with x1 = i in twelve bins; bin b holds 1 + b % 4 of its own.
  FundamentalMatrixEstimatorData data;
  std::vector<scene::Match> m(96);
  for (int i = 0; i < 96; ++i) m[i] = {double(i), 0, 0, 0};
  scene::FillSet(m, data);
  std::vector<std::vector<u16>> bins(12);
  for (u16 b = 0; b < 12; ++b)
    if (b != 2)
      for (u16 k = 0; k <= b % 4; ++k) bins[b].push_back(static_cast<u16>(8 * b + k));
  Estimator est(1.0f);
  EightMatches2D s;
  Random::Seed(3);
  std::set<u32> seen;
  for (int t = 0; t < 300; ++t) {
    ASSERT_TRUE(est.GenerateMinimalSampleArsac(data, bins, s));
    const std::set<u32> b = BinsOf(s);
    EXPECT_EQ(b.size(), 8u);
    EXPECT_EQ(b.count(2), 0u) << "an empty bin has nothing to give";
    seen.insert(b.begin(), b.end());
  }
  EXPECT_EQ(seen.size(), 11u);
  // Weighted: bin 1 has no weight.
  std::vector<f32> c(13);
  for (int j = 0; j <= 12; ++j) c[j] = (j == 0 ? 0 : std::max(j - 1, 1)) / 11.0f;
  for (int t = 0; t < 200; ++t) {
    ASSERT_TRUE(est.GenerateMinimalSampleParsac(data, c, bins, s));
    const std::set<u32> b = BinsOf(s);
    EXPECT_EQ(b.size(), 8u);
    EXPECT_EQ(b.count(1) + b.count(2), 0u);
  }
  // Fewer usable bins than the sample size: refused, not an endless draw.
  s.px1[0] = 7.5f;
  for (int j = 9; j <= 12; ++j) c[j] = c[8];  // six usable bins left
  EXPECT_FALSE(est.GenerateMinimalSampleParsac(data, c, bins, s));
  for (int b = 0; b < 5; ++b) bins[b].clear();  // seven non-empty bins left
  EXPECT_FALSE(est.GenerateMinimalSampleArsac(data, bins, s));
  EXPECT_EQ(s.px1[0], 7.5f);
}

TEST(BitMask, WordLayoutAndIndexLists) {
  BitMask m(70);
  EXPECT_EQ(m.WordCount(), 3u);
  m.Set(0);
  m.Set(33);
  m.Set(69);
  EXPECT_EQ(m.Words()[0], 1u);
  EXPECT_EQ(m.Words()[1], 2u);
  EXPECT_EQ(m.Words()[2], 1u << 5);
  EXPECT_FALSE(m.Test(1000)) << "items past the end read as clear";
  std::vector<u32> list = {5};
  Estimator::MaskToIndexList(m, list);
  EXPECT_EQ(list, (std::vector<u32>{0, 33, 69}));
  m.Reset(33);
  std::vector<u16> shortList;
  Estimator::MaskToIndexList(m, shortList);
  EXPECT_EQ(shortList, (std::vector<u16>{0, 69}));
  m.Resize(40);
  EXPECT_EQ(m.Count(), 0u) << "a resized mask starts clear";
}

TEST(WeightedSampler, FrequenciesFollowTheTableAndEdgesGiveFixedBins) {
  EXPECT_EQ(WeightedSampler({}), 0u);
  EXPECT_EQ(WeightedSampler({0.0f}), 0u);
  const std::vector<float> table = {0.0f, 0.1f, 0.1f, 0.6f, 1.0f};  // bin 1 has no mass
  Random::Seed(3);
  int counts[4] = {0, 0, 0, 0};
  const int draws = 100000;
  for (int i = 0; i < draws; ++i) {
    const u32 j = WeightedSampler(table);
    ASSERT_LT(j, 4u);
    ++counts[j];
  }
  EXPECT_NEAR(counts[0] / double(draws), 0.1, 0.01);
  EXPECT_EQ(counts[1], 0);
  EXPECT_NEAR(counts[2] / double(draws), 0.5, 0.01);
  EXPECT_NEAR(counts[3] / double(draws), 0.4, 0.01);
  // Mass missing at the top falls into the last bin.
  for (int i = 0; i < 100; ++i) EXPECT_EQ(WeightedSampler({0.0f, 0.0f, 0.0f}), 1u);
}

TEST(DrawBinSample, DistinctUsableBinsOrNoSample) {
  std::vector<std::vector<u16>> bins(10);
  for (u16 i = 0; i < 100; ++i) bins[i % 10].push_back(i);
  Random::Seed(7);
  u32 chosen[6] = {99, 99, 99, 99, 99, 99};
  u16 members[6] = {};
  for (int trial = 0; trial < 200; ++trial) {
    ASSERT_TRUE(DrawBinSample(bins, nullptr, 6, chosen, members));
    for (int k = 0; k < 6; ++k) {
      EXPECT_EQ(members[k] % 10, chosen[k]);
      for (int l = 0; l < k; ++l) EXPECT_NE(chosen[k], chosen[l]);
    }
  }
  // Five non-empty bins of eight: six refused without writing, five taken.
  bins.assign(8, {});
  for (u16 i = 0; i < 5; ++i) bins[i] = {i};
  chosen[0] = 99;
  EXPECT_EQ(CountUsableBins(bins, nullptr), 5u);
  EXPECT_FALSE(DrawBinSample(bins, nullptr, 6, chosen, members));
  EXPECT_EQ(chosen[0], 99u);
  EXPECT_TRUE(DrawBinSample(bins, nullptr, 5, chosen, members));
  for (int k = 0; k < 5; ++k) EXPECT_FALSE(bins[chosen[k]].empty());
  // Weighted: only bins with mass count; the table may be shorter than the bins.
  for (u16 i = 0; i < 8; ++i) bins[i] = {i};
  const std::vector<float> table = {0.0f, 0.5f, 0.5f, 0.5f, 1.0f};
  EXPECT_EQ(CountUsableBins(bins, &table), 2u);
  EXPECT_FALSE(DrawBinSample(bins, &table, 3, chosen, members));
  ASSERT_TRUE(DrawBinSample(bins, &table, 2, chosen, members));
  EXPECT_EQ(std::min(chosen[0], chosen[1]), 0u);
  EXPECT_EQ(std::max(chosen[0], chosen[1]), 3u);
  // A usable bin whose weight lies below the resolution of the uniform draw
  // is (practically) never hit: a sample that needs it gives up, untouched.
  const std::vector<float> tiny = {0.0f, 1e-12f, 1.0f};
  EXPECT_EQ(CountUsableBins(bins, &tiny), 2u);
  chosen[0] = 99;
  EXPECT_FALSE(DrawBinSample(bins, &tiny, 2, chosen, members));
  EXPECT_EQ(chosen[0], 99u);
}

}  // namespace
