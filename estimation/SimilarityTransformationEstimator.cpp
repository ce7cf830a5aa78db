#include "estimation/SimilarityTransformationEstimator.h"

#include "estimation/SampleIndices.h"

// ---- Shared slots ----

template <class Data>
void SimilarityTransformationEstimatorBase<Data>::GenerateMinimalSample(const Data& data,
                                                                        MatchSet3DN<4>& sample) {
  const u32 N = data.sources.Size();
  if (N < 4 || data.targets.Size() < N) return;
  u32 p[4];
  DrawDistinctIndices(N, 4, p);
  for (u32 k = 0; k < 4; ++k) {
    sample.sources[k] = &data.sources[p[k]];
    sample.targets[k] = &data.targets[p[k]];
  }
}

template <class Data>
bool SimilarityTransformationEstimatorBase<Data>::GenerateMinimalSampleProsac(
    const Data& data, const std::vector<u32>& order, u32 n, bool includeLast,
    MatchSet3DN<4>& sample) {
  if (n < 4 || n > order.size()) return false;
  u32 items[4];
  DrawProsacItems(order, n, 4, includeLast, items);
  for (u32 k = 0; k < 4; ++k)
    if (items[k] >= data.sources.Size() || items[k] >= data.targets.Size()) return false;
  for (u32 k = 0; k < 4; ++k) {
    sample.sources[k] = &data.sources[items[k]];
    sample.targets[k] = &data.targets[items[k]];
  }
  return true;
}

template <class Data>
bool SimilarityTransformationEstimatorBase<Data>::SolveNonMinimal(
    const Data& data, AlignedArray<SimilarityTransformation3D>& models) {
  return SolveOneModel(models, [&](SimilarityTransformation3D& model) {
    return this->solver.RunNonMinimalData(data.sources, data.targets, model);
  });
}

template <class Data>
bool SimilarityTransformationEstimatorBase<Data>::SolveMinimal(
    const MatchSet3DN<4>& sample, AlignedArray<SimilarityTransformation3D>& models) {
  return SolveOneModel(models, [&](SimilarityTransformation3D& model) {
    return this->solver.RunMinimalSample(sample, model);
  });
}

template <class Data>
u32 SimilarityTransformationEstimatorBase<Data>::OptimizeModel(Data& data,
                                                               SimilarityTransformation3D& model,
                                                               u8 verbosity) {
  return this->RunOptimizer(data, model, verbosity);
}

// ---- Verification ----

namespace {

// The two error measures: pair i's squared 3-D distance, always defined, and
// point k's mean image error, undefined for a point without observations or
// when the observation table is malformed.
inline bool IsMeasurable(const SimilarityTransformationEstimatorData3D&) {
  return true;
}
inline bool IsMeasurable(const SimilarityTransformationEstimatorData2D& data) {
  return data.IsConsistent();
}
inline bool ComputeItemError(const SimilarityTransformationEstimatorData3D& data,
                             const SimilarityTransformation3D& model, u32 i, float& error) {
  error = data.ComputePairError(model, i);
  return true;
}
inline bool ComputeItemError(const SimilarityTransformationEstimatorData2D& data,
                             const SimilarityTransformation3D& model, u32 k, float& error) {
  return data.ComputePointError(model, k, error);
}

}  // namespace

template <class Data>
template <bool kConstrained>
void SimilarityTransformationEstimatorBase<Data>::Verify(const Data& data,
                                                         const SimilarityTransformation3D& model,
                                                         const BitMask* required,
                                                         std::vector<u32>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  if (!IsMeasurable(data)) return;
  const u32 N = data.Size();
  for (u32 i = 0; i < N; ++i) {
    float e = 0.0f;
    if (ComputeItemError(data, model, i, e) && this->threshold > e) {
      inliers.push_back(i);
      error += static_cast<f64>(e);
    } else if (kConstrained && required->Test(i)) {
      inliers.clear();
      return;
    }
  }
}

template <class Data>
void SimilarityTransformationEstimatorBase<Data>::VerifyModel(
    const Data& data, const SimilarityTransformation3D& model, std::vector<u32>& inliers,
    f64& error) {
  Verify<false>(data, model, nullptr, inliers, error);
}

template <class Data>
void SimilarityTransformationEstimatorBase<Data>::VerifyModelConstrained(
    const Data& data, const SimilarityTransformation3D& model, const BitMask& required,
    std::vector<u32>& inliers, f64& error) {
  Verify<true>(data, model, &required, inliers, error);
}

template <class Data>
void SimilarityTransformationEstimatorBase<Data>::ComputeInlierSSE(
    const Data& data, const SimilarityTransformation3D& model, const BitMask& mask, f64& sse) {
  sse = 0.0;
  if (!IsMeasurable(data)) return;
  for (u32 i = 0; i < data.Size(); ++i) {
    float e;
    if (mask.Test(i) && ComputeItemError(data, model, i, e)) sse += static_cast<f64>(e);
  }
}

template class SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData3D>;
template class SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData2D>;
