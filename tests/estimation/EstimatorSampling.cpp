// The estimators' bin sampling and item masks, on the fundamental-matrix
// estimator: uniform and weighted bin samples take distinct usable bins or
// nothing, the weighted sampler's frequencies and edges, and the
// 32-bit-word mask layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "TwoViewScene.h"
#include "estimation/FundamentalMatrixEstimator.h"

namespace {

using Estimator = FundamentalMatrixEstimator;

// Bins of the eight matches a sample drew (match i lives in bin i / 8).
std::set<u32> BinsOf(const EightMatches2D& s) {
  std::set<u32> bins;
  for (int k = 0; k < 8; ++k) bins.insert(static_cast<u32>(s.px1[k]) / 8);
  return bins;
}

TEST(EstimatorArsac, BinSamplesTakeDistinctUsableBinsOrNothing) {
  // 96 matches with x1 = i in twelve bins; bin b holds 1 + b % 4 of its own.
  FundamentalMatrixEstimatorData data;
  std::vector<twoview::Match> m(96);
  for (int i = 0; i < 96; ++i) m[i] = {double(i), 0, 0, 0};
  twoview::FillSet(m, data);
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

TEST(EstimatorParsac, WeightedSamplerFrequenciesAndEdges) {
  Random::Seed(1);
  EXPECT_EQ(Estimator::WeightedSampler({}), 0u);
  EXPECT_EQ(Estimator::WeightedSampler({0.0f}), 0u);
  // Bin 1 has no weight; bins 0 and 2 share the rest equally.
  int count[3] = {0, 0, 0};
  for (int t = 0; t < 20000; ++t) ++count[Estimator::WeightedSampler({0.0f, 0.5f, 0.5f, 1.0f})];
  EXPECT_EQ(count[1], 0);
  EXPECT_NEAR(count[0] / 20000.0, 0.5, 0.02);
  // u at or beyond the last entry gives the last bin.
  for (int t = 0; t < 10; ++t) EXPECT_EQ(Estimator::WeightedSampler({0.0f, 0.0f, 0.0f}), 1u);
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

}  // namespace
