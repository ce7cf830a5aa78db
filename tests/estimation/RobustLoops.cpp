// The robust loops: their mechanics on a scripted estimator (iteration bound,
// local-optimisation samples) and their results on plane scenes (accuracy,
// repeatability, too few points, required items, sequential extraction).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "PlaneScene.h"
#include "estimation/PlaneEstimator.h"

namespace {

using V4 = LA::AlignedVector4f;
using M4 = LA::AlignedMatrix4f;

// Items are only counted; a gather records which items it took.
struct CountData : OptimizerDataTemplate<Plane, V4, M4> {
  u32 n = 0;
  std::vector<u32> taken;
  u32 Size() const { return n; }
  static void GetSubset(const CountData& source, const std::vector<u32>& list, CountData& dst) {
    (void)source;
    dst.n = static_cast<u32>(list.size());
    dst.taken = list;
  }
  f64 ComputeSSE(const Plane&) override { return 0.0; }
  f64 GetFactorSSEToMSE() override { return 1.0; }
  void ConstructNormalEquation(const Plane&, const V4&, M4&, V4&) override {}
  void ConstructNormalEquationAndScale(const Plane&, M4&, V4&, V4&) override {}
  void UpdateModel(const V4&, const V4&, const Plane& old, Plane& updated) override {
    updated = old;
  }
};

struct Outcome {
  u32 count;
  f64 error;
};

// Candidate k of the minimal solves has id k, of the least-squares solves id
// 1000 + k; verification reports the scripted count (items 0..count-1) and
// error of an id, and nothing for an unscripted one.
class ScriptedEstimator
    : public Estimator<CountData, int, CountData, Plane, int, PlaneOptimizer, u32> {
 public:
  using Base = Estimator<CountData, int, CountData, Plane, int, PlaneOptimizer, u32>;
  explicit ScriptedEstimator(u32 m) : Base(0.0f), m_(m) {
    finalNonMinimal = 0;
    finalOptimize = 0;
  }
  using Base::ComputeIterationCount;

  u32 GetMinimalSampleSize() const override { return m_; }
  f32 ComputeAllInlierProbability(const f32& w) const override {
    f32 p = 1.0f;
    for (u32 i = 0; i < m_; ++i) p *= w;
    return p;
  }
  void GenerateMinimalSample(const CountData&, int&) override {}
  bool SolveNonMinimal(const CountData&, AlignedArray<Plane>& models) override {
    models.Resize(1);
    models[0].v[0] = static_cast<f32>(1000 + nonMinimalSolves++);
    return true;
  }
  bool SolveMinimal(const int&, AlignedArray<Plane>& models) override {
    models.Resize(1);
    models[0].v[0] = static_cast<f32>(minimalSolves++);
    return true;
  }
  void VerifyModelConstrained(const CountData& d, const Plane& p, const BitMask& required,
                              std::vector<u32>& inliers, f64& error) override {
    VerifyModel(d, p, inliers, error);
    for (u32 i = static_cast<u32>(inliers.size()); i < d.n; ++i) {
      if (required.Test(i)) {
        inliers.clear();
        error = 0.0;
        return;
      }
    }
  }
  void VerifyModel(const CountData&, const Plane& p, std::vector<u32>& inliers,
                   f64& error) override {
    const auto it = script.find(static_cast<int>(p.v[0]));
    const Outcome o = it == script.end() ? Outcome{0, 0.0} : it->second;
    inliers.resize(o.count);
    for (u32 i = 0; i < o.count; ++i) inliers[i] = i;
    error = o.error;
  }
  void ComputeInlierSSE(const CountData&, const Plane&, const BitMask& mask, f64& sse) override {
    sse = mask.Count();
  }
  u32 OptimizeModel(CountData&, Plane& p, u8) override {
    p.v[0] = static_cast<f32>(2000 + optimizeCalls++);
    return 0;
  }
  bool GenerateMinimalSampleProsac(const CountData&, const std::vector<u32>&, u32, bool,
                                   int&) override {
    return false;
  }

  std::map<int, Outcome> script;
  int minimalSolves = 0, nonMinimalSolves = 0, optimizeCalls = 0;

 private:
  u32 m_;
};

CountData Items(u32 n) {
  CountData d;
  d.n = n;
  return d;
}

Plane Id(f32 id) {
  Plane p{};
  p.v[0] = id;
  return p;
}

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
    ScriptedEstimator est(m);
    est.minInlierRatio = 0.05f;
    est.maxIterations = maxIterations;
    EXPECT_EQ(est.ComputeIterationCount(inliers, items), bound) << m << " " << inliers;
  }
}

TEST(RobustLoop, RunsStopAtTheBoundWithinTheirLimits) {
  // {m, minInlierRatio, minIterations, maxIterations, scripted count, items,
  // iterations run}
  const std::tuple<u32, f32, u32, u32, u32, u32, u32> cases[] = {
      {3, 0.2f, 5, 1000, 500, 1000, 18},      // the adaptive bound
      {8, 0.05f, 10, 2000, 100, 1000, 2000},  // the bound beyond maxIterations
      {3, 0.2f, 300, 1000, 150, 1000, 1000},  // below minInliers (200): the full budget
      {3, 0.2f, 300, 1000, 1000, 1000, 300},  // all inliers: the minimum
      {3, 0.2f, 300, 0, 0, 100, 0},           // no budget
      {3, 0.2f, 300, 1000, 0, 2, 0}};         // fewer items than the sample size
  for (const auto& [m, ratio, minIt, maxIt, count, items, expected] : cases) {
    ScriptedEstimator est(m);
    est.minInlierRatio = ratio;
    est.minIterations = minIt;
    est.maxIterations = maxIt;
    est.loIterations = 0;
    est.script[0] = {count, 1.0};
    Plane model = Id(-1);
    std::vector<u32> inliers = {7};
    EXPECT_EQ(est.RunRansac(Items(items), model, inliers), expected) << count << " of " << items;
    EXPECT_EQ(model.v[0], expected ? 0.0f : -1.0f);
    EXPECT_EQ(inliers.size(), expected ? count : 0u);
  }
}

TEST(RobustLoop, LocalOptimisationSampleDrawsDistinctInliers) {
  ScriptedEstimator est(3);
  const CountData data = Items(100);
  CountData out;
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
    EXPECT_EQ(out.taken, sample);
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

TEST(PlaneLoops, TooFewPointsGiveNothing) {
  scene::PlaneScene s;
  s.Build(24, 2, 0.0f, 0.0f);
  PlaneEstimator3D est(0.05f);
  Plane p = s.plane;
  p.v[3] = 42.0f;
  std::vector<u32> inliers = {1};
  EXPECT_EQ(est.RunLoRansac(s.data3, p, inliers), 0u);
  EXPECT_EQ(est.RunRansac(s.data3, p, inliers), 0u);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(p.v[3], 42.0f);
  AlignedArray<Plane> models;
  std::vector<std::vector<u32>> lists;
  est.RunSequentialRansac(s.data3, models, lists);
  EXPECT_EQ(models.Size(), 0u);
  EXPECT_TRUE(lists.empty());
  EXPECT_FALSE(est.OptimizeOnAllData(s.data3, p));
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
