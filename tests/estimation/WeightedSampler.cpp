// Bin sampling: the weighted draw follows its table, and tables that cannot
// supply a sample give no sample instead of a crash or an endless loop.
#include "estimation/WeightedSampler.h"

#include <gtest/gtest.h>

#include "la/Random.h"

TEST(WeightedSampler, ShortTablesGiveBinZero) {
  EXPECT_EQ(WeightedSampler({}), 0u);
  EXPECT_EQ(WeightedSampler({0.0f}), 0u);
}

TEST(WeightedSampler, FrequenciesFollowTheTable) {
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
}

TEST(WeightedSampler, MassMissingAtTheTopFallsIntoTheLastBin) {
  const std::vector<float> table = {0.0f, 0.0f, 0.0f};  // u >= c_2 always
  Random::Seed(1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(WeightedSampler(table), 1u);
}

TEST(DrawBinSample, DistinctBinsAndMembersOfThem) {
  std::vector<std::vector<u16>> bins(10);
  for (u16 i = 0; i < 100; ++i) bins[i % 10].push_back(i);
  Random::Seed(7);
  u32 chosen[6];
  u16 members[6];
  for (int trial = 0; trial < 200; ++trial) {
    ASSERT_TRUE(DrawBinSample(bins, nullptr, 6, chosen, members));
    for (int k = 0; k < 6; ++k) {
      EXPECT_EQ(members[k] % 10, chosen[k]);
      for (int l = 0; l < k; ++l) EXPECT_NE(chosen[k], chosen[l]);
    }
  }
}

TEST(DrawBinSample, TooFewUsableBinsGiveNoSample) {
  std::vector<std::vector<u16>> bins(8);
  for (u16 i = 0; i < 5; ++i) bins[i] = {i};  // three empty bins
  u32 chosen[6] = {99, 99, 99, 99, 99, 99};
  u16 members[6] = {};
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
  EXPECT_TRUE((chosen[0] == 0 && chosen[1] == 3) || (chosen[0] == 3 && chosen[1] == 0));
}

TEST(DrawBinSample, SeededDrawsRepeat) {
  std::vector<std::vector<u16>> bins(20);
  for (u16 i = 0; i < 400; ++i) bins[i % 20].push_back(i);
  std::vector<float> table(21);
  for (int j = 0; j <= 20; ++j) table[j] = j / 20.0f;
  u16 a[6], b[6];
  u32 chosen[6];
  Random::Seed(11);
  ASSERT_TRUE(DrawBinSample(bins, &table, 6, chosen, a));
  Random::Seed(11);
  ASSERT_TRUE(DrawBinSample(bins, &table, 6, chosen, b));
  for (int k = 0; k < 6; ++k) EXPECT_EQ(a[k], b[k]);
}
