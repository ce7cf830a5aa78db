#pragma once
// Estimator layer that samples bins by weight: bin j is drawn with probability
// c[j + 1] - c[j] of a cumulative table c (c[0] = 0), then one random member
// of it, so that bins of better items are sampled more often. The draw itself
// is DrawBinSample (WeightedSampler.h), shared with the uniform bin slot.
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

  std::vector<f32> cumulative;
  std::vector<f32> weights;
};
