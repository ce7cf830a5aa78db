// The sampling layers and the item masks: uniform and weighted bin samples,
// the weighted sampler's edges, and the 32-bit-word mask layout.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "estimation/EstimatorParsac.h"
#include "estimation/OptimizerTemplate.h"

namespace {

using V4 = LA::AlignedVector4f;
using M4 = LA::AlignedMatrix4f;
struct Model4 : V4 {};
using Sample = std::array<u16, 3>;

struct Items : OptimizerDataTemplate<Model4, V4, M4> {
  u32 n = 0;
  u32 Size() const { return n; }
  static void GetSubset(const Items&, const std::vector<u16>& list, Items& d) {
    d.n = static_cast<u32>(list.size());
  }
  f64 ComputeSSE(const Model4&) override { return 0.0; }
  f64 GetFactorSSEToMSE() override { return 1.0; }
  void ConstructNormalEquation(const Model4&, const V4&, M4&, V4&) override {}
  void ConstructNormalEquationAndScale(const Model4&, M4&, V4&, V4&) override {}
  void UpdateModel(const V4&, const V4&, const Model4& old, Model4& updated) override {
    updated = old;
  }
};

using Optimizer4 = OptimizerTemplate<Model4, V4, M4>;

class BinEstimator : public EstimatorParsac<Items, Sample, Items, Model4, int, Optimizer4, u16> {
 public:
  BinEstimator() : EstimatorParsac(0.0f) {}
  u32 GetMinimalSampleSize() const override { return 3; }
  f32 ComputeAllInlierProbability(const f32& w) const override { return w * w * w; }
  void GenerateMinimalSample(const Items&, Sample&) override {}
  bool SolveNonMinimal(const Items&, AlignedArray<Model4>&) override { return false; }
  bool SolveMinimal(const Sample&, AlignedArray<Model4>&) override { return false; }
  void VerifyModelConstrained(const Items&, const Model4&, const BitMask&, std::vector<u16>&,
                              f64&) override {}
  void VerifyModel(const Items&, const Model4&, std::vector<u16>&, f64&) override {}
  void ComputeInlierSSE(const Items&, const Model4&, const BitMask&, f64&) override {}
  u32 OptimizeModel(Items&, Model4&, u8) override { return 0; }
  bool GenerateMinimalSampleProsac(const Items&, const std::vector<u16>&, u16, bool,
                                   Sample&) override {
    return false;
  }
  bool GenerateMinimalSampleArsac(const Items&, const std::vector<std::vector<u16>>& b,
                                  Sample& s) override {
    u32 chosen[3];
    return DrawBinSample(b, 3, s.data(), chosen);
  }
  bool GenerateMinimalSampleParsac(const Items&, const std::vector<f32>& c,
                                   const std::vector<std::vector<u16>>& b, Sample& s) override {
    u32 chosen[3];
    return DrawWeightedBinSample(c, b, 3, s.data(), chosen);
  }
};

}  // namespace

TEST(EstimatorArsac, BinSamplesTakeDistinctUsableBinsOrNothing) {
  BinEstimator est;
  Items data;
  Sample s{};
  Random::Seed(3);
  // Uniform: six bins, bin 2 empty.
  std::vector<std::vector<u16>> bins(6);
  for (u16 b = 0; b < 6; ++b)
    if (b != 2)
      for (u16 k = 0; k <= b; ++k) bins[b].push_back(static_cast<u16>(10 * b + k));
  std::set<u32> seen;
  for (int t = 0; t < 300; ++t) {
    ASSERT_TRUE(est.GenerateMinimalSampleArsac(data, bins, s));
    const std::set<u32> b = {s[0] / 10u, s[1] / 10u, s[2] / 10u};
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b.count(2), 0u) << "an empty bin has nothing to give";
    seen.insert(b.begin(), b.end());
  }
  EXPECT_EQ(seen.size(), 5u);
  // Weighted: bin 1 has no weight.
  const std::vector<f32> c = {0.0f, 0.3f, 0.3f, 0.6f, 0.8f, 1.0f};
  for (int t = 0; t < 200; ++t) {
    ASSERT_TRUE(est.GenerateMinimalSampleParsac(data, c, bins, s));
    const std::set<u32> b = {s[0] / 10u, s[1] / 10u, s[2] / 10u};
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b.count(1) + b.count(2), 0u);
  }
  // Fewer usable bins than the sample size: refused, not an endless draw.
  s = {7, 7, 7};
  EXPECT_FALSE(
      est.GenerateMinimalSampleParsac(data, {0.0f, 0.5f, 0.5f, 0.5f, 0.5f, 1.0f}, bins, s));
  bins[0].clear();
  bins[1].clear();
  bins[3].clear();
  EXPECT_FALSE(est.GenerateMinimalSampleArsac(data, bins, s));
  EXPECT_EQ(s[0], 7);
}

TEST(EstimatorParsac, WeightedSamplerEdges) {
  Random::Seed(1);
  EXPECT_EQ(BinEstimator::WeightedSampler({}), 0u);
  EXPECT_EQ(BinEstimator::WeightedSampler({0.0f}), 0u);
  // Bin 1 has no weight; bins 0 and 2 share the rest equally.
  int count[3] = {0, 0, 0};
  for (int t = 0; t < 20000; ++t) ++count[BinEstimator::WeightedSampler({0.0f, 0.5f, 0.5f, 1.0f})];
  EXPECT_EQ(count[1], 0);
  EXPECT_NEAR(count[0] / 20000.0, 0.5, 0.02);
  // u at or beyond the last entry gives the last bin.
  for (int t = 0; t < 10; ++t) EXPECT_EQ(BinEstimator::WeightedSampler({0.0f, 0.0f, 0.0f}), 1u);
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
  BinEstimator::MaskToIndexList(m, list);
  EXPECT_EQ(list, (std::vector<u32>{0, 33, 69}));
  m.Reset(33);
  std::vector<u16> shortList;
  BinEstimator::MaskToIndexList(m, shortList);
  EXPECT_EQ(shortList, (std::vector<u16>{0, 69}));
  m.Resize(40);
  EXPECT_EQ(m.Count(), 0u) << "a resized mask starts clear";
}
