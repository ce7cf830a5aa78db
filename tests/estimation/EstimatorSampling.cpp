// Bin sampling, in the shared sampler and through the estimators' bin slots
// (on the fundamental-matrix estimator): weighted draws follow their table,
// bin samples take distinct usable bins or nothing (never an endless loop),
// and the item masks keep the 32-bit-word layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "common/ProjectiveScene.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/WeightedSampler.h"

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
