#pragma once
// Estimator layer that samples bins by weight: bin j is drawn with probability
// c[j + 1] - c[j] of a cumulative table c (c[0] = 0), then one random member
// of it, so that bins of better items are sampled more often.
#include <vector>

#include "estimation/EstimatorArsac.h"

template <class Data, class MinimalSample, class NonMinimalSample, class Model, class Solver,
          class Optimizer, class Index>
class EstimatorParsac : public EstimatorArsac<Data, MinimalSample, NonMinimalSample, Model, Solver,
                                              Optimizer, Index> {
 public:
  using Base =
      EstimatorArsac<Data, MinimalSample, NonMinimalSample, Model, Solver, Optimizer, Index>;

  explicit EstimatorParsac(const f32& threshold) : Base(threshold) {}

  // 11: m distinct bins drawn by weight, one random member of each. False,
  // sample untouched, when fewer than m non-empty bins have weight.
  virtual bool GenerateMinimalSampleParsac(const Data& data, const std::vector<f32>& cumulative,
                                           const std::vector<std::vector<Index>>& bins,
                                           MinimalSample& sample) = 0;

  // The j with c[j] <= u < c[j + 1] for a uniform u in [0, 1]; u at or past
  // the last entry gives the last bin; 0 for a table of fewer than 2 entries.
  static u32 WeightedSampler(const std::vector<f32>& cumulative) {
    const u32 S = static_cast<u32>(cumulative.size());
    if (S < 2) return 0;
    const f32 u = static_cast<f32>(Random::Next()) / static_cast<f32>(Random::kMax);
    // Upper bound over c[1] .. c[S - 1].
    u32 lo = 1, hi = S;
    while (lo < hi) {
      const u32 mid = lo + (hi - lo) / 2;
      if (cumulative[mid] > u) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    const u32 j = lo - 1;
    return j > S - 2 ? S - 2 : j;
  }

  std::vector<f32> cumulative;
  std::vector<f32> weights;

 protected:
  // Draws m distinct bins of non-zero probability by weight, one member each.
  static bool DrawWeightedBinSample(const std::vector<f32>& cumulative,
                                    const std::vector<std::vector<Index>>& bins, u32 m,
                                    Index* items, u32* chosen) {
    const u32 B = static_cast<u32>(bins.size());
    if (cumulative.size() < 2) return false;
    u32 usable = 0;
    for (u32 j = 0; j + 1 < cumulative.size() && j < B; ++j)
      if (cumulative[j + 1] > cumulative[j] && !bins[j].empty()) ++usable;
    if (usable < m) return false;
    for (u32 k = 0; k < m; ++k) {
      u32 b;
      do {
        b = WeightedSampler(cumulative);
      } while (b >= B || bins[b].empty() || !(cumulative[b + 1] > cumulative[b]) ||
               Base::Contains(chosen, k, b));
      chosen[k] = b;
      items[k] = bins[b][Random::Next() % bins[b].size()];
    }
    return true;
  }
};
