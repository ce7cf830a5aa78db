// Bin sampling: the weighted draw follows its table, and tables that cannot
// supply a sample give no sample instead of a crash or an endless loop.
#include "estimation/WeightedSampler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "la/Random.h"

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
}
