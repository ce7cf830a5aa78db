#include "estimation/FundamentalMatrixEstimator.h"

#include "la/Random.h"

namespace {

inline LA::AlignedVector4f* Vectors(AlignedArray<LA::AlignedVector4f>& a, u32 n) {
  if (a.Size() < n) a.Resize(n);
  return a.Data();
}

// Draws `count` distinct values below n into out.
template <class T>
void DrawDistinct(u32 n, u32 count, T* out) {
  for (u32 k = 0; k < count; ++k) {
    T v;
    bool taken;
    do {
      v = static_cast<T>(Random::Next() % n);
      taken = false;
      for (u32 j = 0; j < k; ++j) taken = taken || out[j] == v;
    } while (taken);
    out[k] = v;
  }
}

}  // namespace

FundamentalMatrixEstimator::FundamentalMatrixEstimator(const f32& threshold)
    : EstimatorParsac(threshold) {}

f32 FundamentalMatrixEstimator::ComputeAllInlierProbability(const f32& w) const {
  const f32 w2 = w * w;
  const f32 w4 = w2 * w2;
  return w4 * w4;
}

void FundamentalMatrixEstimator::CopyToSample(const Data& data, const u16* items,
                                              EightMatches2D& sample) const {
  float m[4];
  for (int k = 0; k < 8; ++k) {
    data.GetMatch(items[k], m);
    sample.px1[k] = m[0];
    sample.py1[k] = m[1];
    sample.px2[k] = m[2];
    sample.py2[k] = m[3];
  }
}

void FundamentalMatrixEstimator::GenerateMinimalSample(const Data& data, EightMatches2D& sample) {
  u16 items[8];
  DrawDistinct<u16>(data.Size(), 8, items);
  CopyToSample(data, items, sample);
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                             const std::vector<u16>& order, u16 n,
                                                             bool includeLast,
                                                             EightMatches2D& sample) {
  if (n < 8 || order.size() < n) return false;
  u16 positions[8];
  DrawDistinct<u16>(n, 7, positions);
  const u16 last = static_cast<u16>(n - 1);
  bool lastTaken = false;
  for (int k = 0; k < 7; ++k) lastTaken = lastTaken || positions[k] == last;
  if (includeLast && !lastTaken) {
    positions[7] = last;
  } else {
    u16 v;
    bool taken;
    do {
      v = static_cast<u16>(Random::Next() % n);
      taken = false;
      for (int j = 0; j < 7; ++j) taken = taken || positions[j] == v;
    } while (taken);
    positions[7] = v;
  }
  u16 items[8];
  for (int k = 0; k < 8; ++k) items[k] = order[positions[k]];
  CopyToSample(data, items, sample);
  return true;
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleArsac(
    const Data& data, const std::vector<std::vector<u16>>& bins, EightMatches2D& sample) {
  u16 items[8];
  u32 chosen[8];
  if (!DrawBinSample(bins, 8, items, chosen)) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleParsac(
    const Data& data, const std::vector<f32>& cumulative, const std::vector<std::vector<u16>>& bins,
    EightMatches2D& sample) {
  u16 items[8];
  u32 chosen[8];
  if (!DrawWeightedBinSample(cumulative, bins, 8, items, chosen)) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool FundamentalMatrixEstimator::SolveMinimal(const EightMatches2D& sample,
                                              AlignedArray<FundamentalMatrix>& models) {
  models.Resize(1);
  LA::AlignedVector4f* scratch = Vectors(scratch_, 11);
  minimalWork_ = sample;
  EightMatches2D::Normalize(minimalWork_, scratch);
  if (!solver.RunMinimalSample(minimalWork_, models[0], scratch_)) {
    models.Resize(0);
    return false;
  }
  TransformFundamentalMatrix(models[0], minimalWork_.means, minimalWork_.scale1,
                             minimalWork_.scale2, Vectors(scratch_, 11));
  return true;
}

bool FundamentalMatrixEstimator::SolveNonMinimal(Data& sample,
                                                 AlignedArray<FundamentalMatrix>& models) {
  models.Resize(1);
  MatchSet2D::Normalize(sample, Vectors(scratch_, 11));
  if (!solver.RunNonMinimalData(sample, models[0], scratch_)) {
    models.Resize(0);
    return false;
  }
  TransformFundamentalMatrix(models[0], sample.means, sample.scale1, sample.scale2,
                             Vectors(scratch_, 11));
  return true;
}

bool FundamentalMatrixEstimator::SolveNonMinimal(const Data& sample,
                                                 AlignedArray<FundamentalMatrix>& models) {
  static_cast<MatchSet2D&>(normalizedSample_) = sample;
  return SolveNonMinimal(normalizedSample_, models);
}

void FundamentalMatrixEstimator::Verify(const Data& data, const FundamentalMatrix& F,
                                        const BitMask* required, std::vector<u16>& inliers,
                                        f64& error) {
  inliers.clear();
  error = 0.0;
  LA::AlignedVector4f* Fb = Vectors(scratch_, 20);
  BroadcastMatrix3(F, Fb);
  LA::AlignedVector4f* work = Fb + 9;
  alignas(16) float out[4];
  const float* p = reinterpret_cast<const float*>(data.packed.Data());
  const u32 N = data.count;
  for (u32 i = 0; i < N; ++i) {
    float e;
    if (i < data.packedCount) {
      if ((i & 3) == 0) {
        ComputeSymmetricEpipolarError4(Fb, p, p + 4, p + 8, p + 12, out, work);
        p += 16;
      }
      e = out[i & 3];
    } else {
      const u32 t = i - data.packedCount;
      e = ComputeSymmetricEpipolarError(F, data.tail1[t], data.tail2[t], work[0].v);
    }
    if (threshold > e) {
      inliers.push_back(static_cast<u16>(i));
      error += static_cast<f64>(e);
    } else if (required && required->Test(i)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
}

void FundamentalMatrixEstimator::VerifyModel(const Data& data, const FundamentalMatrix& model,
                                             std::vector<u16>& inliers, f64& error) {
  Verify(data, model, nullptr, inliers, error);
}

void FundamentalMatrixEstimator::VerifyModelConstrained(const Data& data,
                                                        const FundamentalMatrix& model,
                                                        const BitMask& required,
                                                        std::vector<u16>& inliers, f64& error) {
  Verify(data, model, &required, inliers, error);
}

void FundamentalMatrixEstimator::ComputeInlierSSE(const Data& data, const FundamentalMatrix& F,
                                                  const BitMask& mask, f64& sse) {
  sse = 0.0;
  float work[6];
  float m[4];
  for (u32 i = 0; i < data.count; ++i) {
    if (!mask.Test(i)) continue;
    data.GetMatch(i, m);
    if (i >= data.packedCount) {
      // The tail copy is what the other passes read for these matches.
      const u32 t = i - data.packedCount;
      m[0] = data.tail1[t].x;
      m[1] = data.tail1[t].y;
      m[2] = data.tail2[t].x;
      m[3] = data.tail2[t].y;
    }
    const LA::Vector2<f32> p1{m[0], m[1]}, p2{m[2], m[3]};
    sse += static_cast<f64>(ComputeSymmetricEpipolarError(F, p1, p2, work));
  }
}

u32 FundamentalMatrixEstimator::OptimizeModel(Data& sample, FundamentalMatrix& model,
                                              u8 verbosity) {
  optimizer.maxIterations = optimizerIterations;
  return optimizer.Optimize(sample, model, verbosity < 2 ? 0 : static_cast<u8>(verbosity - 2));
}
