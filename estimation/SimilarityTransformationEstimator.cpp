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

template class SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData3D>;
template class SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData2D>;

// ---- 3-D verification ----

namespace {

inline float PairError(const SimilarityTransformation3D& T, const float* X, const float* Y) {
  const float s = T.m[3][0];
  float e2 = 0.0f;
  for (int r = 0; r < 3; ++r) {
    const float e = s * (T.m[r][0] * X[0] + T.m[r][1] * X[1] + T.m[r][2] * X[2] + T.m[r][3]) - Y[r];
    e2 += e * e;
  }
  return e2;
}

}  // namespace

template <bool kConstrained>
void SimilarityTransformationEstimator3D::Verify(
    const SimilarityTransformationEstimatorData3D& data, const SimilarityTransformation3D& model,
    const BitMask* required, std::vector<u32>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  const u32 N = data.Size();
  for (u32 i = 0; i < N; ++i) {
    const float e = PairError(model, data.sources[i].v, data.targets[i].v);
    if (threshold > e) {
      inliers.push_back(i);
      error += static_cast<f64>(e);
    } else if (kConstrained && required->Test(i)) {
      inliers.clear();
      return;
    }
  }
}

void SimilarityTransformationEstimator3D::VerifyModel(
    const SimilarityTransformationEstimatorData3D& data, const SimilarityTransformation3D& model,
    std::vector<u32>& inliers, f64& error) {
  Verify<false>(data, model, nullptr, inliers, error);
}

void SimilarityTransformationEstimator3D::VerifyModelConstrained(
    const SimilarityTransformationEstimatorData3D& data, const SimilarityTransformation3D& model,
    const BitMask& required, std::vector<u32>& inliers, f64& error) {
  Verify<true>(data, model, &required, inliers, error);
}

void SimilarityTransformationEstimator3D::ComputeInlierSSE(
    const SimilarityTransformationEstimatorData3D& data, const SimilarityTransformation3D& model,
    const BitMask& mask, f64& sse) {
  sse = 0.0;
  for (u32 i = 0; i < data.Size(); ++i)
    if (mask.Test(i))
      sse += static_cast<f64>(PairError(model, data.sources[i].v, data.targets[i].v));
}

// ---- 2-D verification ----

template <bool kConstrained>
void SimilarityTransformationEstimator2D::Verify(
    const SimilarityTransformationEstimatorData2D& data, const SimilarityTransformation3D& model,
    const BitMask* required, std::vector<u32>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  if (!data.IsConsistent()) return;
  const u32 N = data.Size();
  for (u32 k = 0; k < N; ++k) {
    float m = 0.0f;
    if (data.ComputePointError(model, k, m) && threshold > m) {
      inliers.push_back(k);
      error += static_cast<f64>(m);
    } else if (kConstrained && required->Test(k)) {
      inliers.clear();
      return;
    }
  }
}

void SimilarityTransformationEstimator2D::VerifyModel(
    const SimilarityTransformationEstimatorData2D& data, const SimilarityTransformation3D& model,
    std::vector<u32>& inliers, f64& error) {
  Verify<false>(data, model, nullptr, inliers, error);
}

void SimilarityTransformationEstimator2D::VerifyModelConstrained(
    const SimilarityTransformationEstimatorData2D& data, const SimilarityTransformation3D& model,
    const BitMask& required, std::vector<u32>& inliers, f64& error) {
  Verify<true>(data, model, &required, inliers, error);
}

void SimilarityTransformationEstimator2D::ComputeInlierSSE(
    const SimilarityTransformationEstimatorData2D& data, const SimilarityTransformation3D& model,
    const BitMask& mask, f64& sse) {
  sse = 0.0;
  if (!data.IsConsistent()) return;
  for (u32 k = 0; k < data.Size(); ++k) {
    float m;
    if (mask.Test(k) && data.ComputePointError(model, k, m)) sse += static_cast<f64>(m);
  }
}
