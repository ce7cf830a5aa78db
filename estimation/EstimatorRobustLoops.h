#pragma once
// The robust loops of the estimator family, written once over the slots.
// Included by Estimator.h; not meant to be included on its own.
//
// Two departures from the textbook loop keep it sound: the adaptive iteration
// bound is computed in double with log1p and clamped before it becomes an
// integer (a float 1 - P that rounds to 1 must not end the search early, and
// an out-of-range float must not be converted), and a local-optimisation
// sample never asks for more distinct inliers than exist.
#include <algorithm>
#include <cmath>

#include "la/Random.h"

#define ESTIMATOR_TEMPLATE                                                                      \
  template <class Data, class MinimalSample, class NonMinimalSample, class Model, class Solver, \
            class Optimizer, class Index>
#define ESTIMATOR_CLASS \
  Estimator<Data, MinimalSample, NonMinimalSample, Model, Solver, Optimizer, Index>

// A count computed from a share parameter (n times the ratio, already
// rounded): a negative or NaN ratio asks for none, and a count beyond n is
// held at n + 1 (as unreachable, and still convertible).
inline u32 ShareToCount(f32 rounded, u32 n) {
  if (!(rounded > 0.0f)) return 0;
  const f32 cap = static_cast<f32>(n) + 1.0f;
  return rounded < cap ? static_cast<u32>(rounded) : n + 1;
}

ESTIMATOR_TEMPLATE
template <class ListIndex>
void ESTIMATOR_CLASS::MaskToIndexList(const BitMask& mask, std::vector<ListIndex>& list) {
  list.clear();
  const u32* words = mask.Words();
  const u32 size = mask.Size();
  for (u32 w = 0; w < mask.WordCount(); ++w) {
    u32 bits = words[w];
    while (bits != 0) {
      const u32 i = (w << 5) + static_cast<u32>(__builtin_ctz(bits));
      bits &= bits - 1;
      if (i < size) list.push_back(static_cast<ListIndex>(i));
    }
  }
}

// n = ceil(log(1 - confidence) / log(1 - P)), P = w^m the chance of a clean
// sample. 0 only for P = 1; a bound beyond maxIterations (or not a number)
// comes back as maxIterations + 1.
ESTIMATOR_TEMPLATE
u64 ESTIMATOR_CLASS::ComputeIterationCount(u32 inlierCount, u32 itemCount) const {
  const u64 beyond = static_cast<u64>(maxIterations) + 1;
  const f32 w = static_cast<f32>(inlierCount) / static_cast<f32>(itemCount);
  const f32 P = ComputeAllInlierProbability(w);
  if (P >= 1.0f) return 0;
  const f64 numerator = std::log1p(-static_cast<f64>(confidence));
  const f64 denominator = std::log1p(-static_cast<f64>(P));
  const f64 n = std::ceil(numerator / denominator);
  if (!(n <= static_cast<f64>(maxIterations))) return beyond;
  return n > 0.0 ? static_cast<u64>(n) : 0;
}

ESTIMATOR_TEMPLATE
void ESTIMATOR_CLASS::VerifyModels(const Data& data, AlignedArray<Model>& candidates,
                                   std::vector<Index>& inliers, std::vector<Index>& scratch,
                                   f64& error) {
  DropNonFiniteModels(candidates);
  const u32 k = candidates.Size();
  if (k == 0) {
    inliers.clear();
    error = DBL_MAX;
    return;
  }
  VerifyModel(data, candidates[0], inliers, error);
  for (u32 j = 1; j < k; ++j) {
    f64 e = 0.0;
    VerifyModel(data, candidates[j], scratch, e);
    if (scratch.size() > inliers.size() || (scratch.size() == inliers.size() && error > e)) {
      candidates[0] = candidates[j];
      inliers.swap(scratch);
      error = e;
    }
  }
}

ESTIMATOR_TEMPLATE
void ESTIMATOR_CLASS::VerifyModelsConstrained(const Data& data, const BitMask& required,
                                              AlignedArray<Model>& candidates,
                                              std::vector<Index>& inliers,
                                              std::vector<Index>& scratch, f64& error) {
  DropNonFiniteModels(candidates);
  const u32 k = candidates.Size();
  if (k == 0) {
    inliers.clear();
    error = DBL_MAX;
    return;
  }
  VerifyModelConstrained(data, candidates[0], required, inliers, error);
  for (u32 j = 1; j < k; ++j) {
    f64 e = 0.0;
    VerifyModelConstrained(data, candidates[j], required, scratch, e);
    if (scratch.size() > inliers.size() || (scratch.size() == inliers.size() && error > e)) {
      candidates[0] = candidates[j];
      inliers.swap(scratch);
      error = e;
    }
  }
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::GenerateLoSample(const Data& data, const std::vector<Index>& inliers,
                                       NonMinimalSample& out, std::vector<Index>& sample,
                                       BitMask& marks) {
  const u32 m = GetMinimalSampleSize();
  const u32 k0 = static_cast<u32>(inliers.size());
  if (k0 < m) return false;
  u32 k = ShareToCount(std::ceil(static_cast<f32>(k0) * loSampleRatio), k0);
  if (k < m) k = m;
  // More distinct draws than inliers would never end.
  if (k > k0) k = k0;
  sample.clear();
  while (sample.size() < k) {
    const Index idx = inliers[Random::Next() % k0];
    if (marks.Test(idx)) continue;
    marks.Set(idx);
    sample.push_back(idx);
  }
  for (const Index idx : sample) marks.Reset(idx);
  Traits::GetSubset(data, sample, out);
  return true;
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::FinalStep(const Data& data, const BitMask* required, bool optimize,
                                Model& model, std::vector<Index>& inliers, f64& error) {
  const u32 m = GetMinimalSampleSize();
  const u32 c0 = static_cast<u32>(inliers.size());
  if (c0 < m) return false;
  Traits::GetSubset(data, inliers, nonMinimalSample_);
  if (optimize) {
    candidates_.Resize(1);
    candidates_[0] = model;
    OptimizeModel(nonMinimalSample_, candidates_[0], 0);
  } else {
    SolveNonMinimal(nonMinimalSample_, candidates_);
    if (candidates_.Size() == 0) return false;
  }
  f64 e = 0.0;
  if (required) {
    VerifyModelsConstrained(data, *required, candidates_, candidateInliers_, scratchInliers_, e);
  } else {
    VerifyModels(data, candidates_, candidateInliers_, scratchInliers_, e);
  }
  const u32 c = static_cast<u32>(candidateInliers_.size());
  if (error == DBL_MAX) {
    // No earlier model to beat: demand the least share of inliers instead.
    const u32 N = Traits::Size(data);
    const u32 least = ShareToCount(static_cast<f32>(N) * minInlierRatio + 0.5f, N);
    if (c < least) return false;
    model = candidates_[0];
    inliers.swap(candidateInliers_);
    return true;
  }
  if (c > c0 || (c == c0 && error > e)) {
    model = candidates_[0];
    inliers.swap(candidateInliers_);
    error = e;
    return true;
  }
  return false;
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::ReestimateModel(const Data& data, Model& model, std::vector<Index>& inliers,
                                      f64& error) {
  return FinalStep(data, nullptr, false, model, inliers, error);
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::RefineModel(const Data& data, Model& model, std::vector<Index>& inliers,
                                  f64& error) {
  return FinalStep(data, nullptr, true, model, inliers, error);
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::ReestimateModelConstrained(const Data& data, const BitMask& required,
                                                 Model& model, std::vector<Index>& inliers,
                                                 f64& error) {
  return FinalStep(data, &required, false, model, inliers, error);
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::RefineModelConstrained(const Data& data, const BitMask& required,
                                             Model& model, std::vector<Index>& inliers,
                                             f64& error) {
  return FinalStep(data, &required, true, model, inliers, error);
}

ESTIMATOR_TEMPLATE
bool ESTIMATOR_CLASS::OptimizeOnAllData(const Data& data, Model& model) {
  const u32 N = Traits::Size(data);
  if (N < GetMinimalSampleSize()) return false;
  candidateInliers_.resize(N);
  for (u32 i = 0; i < N; ++i) candidateInliers_[i] = static_cast<Index>(i);
  Traits::GetSubset(data, candidateInliers_, nonMinimalSample_);
  // A non-finite cost leaves nothing to refine; slot 8 keeps a non-finite
  // result from reaching the model and reports it the same way. Refined on a
  // copy, so that a failure leaves the caller's model bit for bit.
  Model refined = model;
  if (OptimizeModel(nonMinimalSample_, refined, 0) == OPT_LM_INFINIT_SSE) return false;
  model = refined;
  return true;
}

// One body for the three loops. kConstrained is the seeded form: it starts
// from the caller's model and the support in `required`, and verifies every
// candidate against that support.
ESTIMATOR_TEMPLATE
template <bool kLocalOptimization, bool kConstrained>
u32 ESTIMATOR_CLASS::RunLoop(const Data& data, const BitMask* required, Model& model,
                             std::vector<Index>& inliers) {
  inliers.clear();
  const u32 N = Traits::Size(data);
  const u32 m = GetMinimalSampleSize();
  if (N < m) return 0;
  u32 minInliers = ShareToCount(std::ceil(static_cast<f32>(N) * minInlierRatio), N);
  if (minInliers < m) minInliers = m;

  u32 bestCount = m - 1;
  f64 bestError = DBL_MAX;
  u32 bound = maxIterations;
  u32 floor = 0;
  bool lo = false;
  if constexpr (kConstrained) {
    MaskToIndexList(*required, inliers);
    // Bits past the data name no item.
    while (!inliers.empty() && static_cast<u32>(inliers.back()) >= N) inliers.pop_back();
    ComputeInlierSSE(data, model, *required, bestError);
    bestCount = static_cast<u32>(inliers.size());
    floor = std::max(bestCount, m);
    const u64 n = ComputeIterationCount(bestCount, N);
    bound = (n > maxIterations || bestCount < minInliers)
                ? maxIterations
                : static_cast<u32>(std::max<u64>(n, minIterations));
    lo = kLocalOptimization && bestCount > minInliers && loIterations > 0;
  }
  u32 loCounter = 0;
  if constexpr (kLocalOptimization) loMarks_.Resize(N);

  u32 iteration = 0;
  if (maxIterations != 0) {
    do {
      if (kLocalOptimization && lo) {
        if (++loCounter == loIterations) {
          loCounter = 0;
          lo = false;
        }
        if (GenerateLoSample(data, inliers, nonMinimalSample_, loSampleList_, loMarks_)) {
          SolveNonMinimal(nonMinimalSample_, candidates_);
        } else {
          candidates_.Resize(0);
        }
      } else {
        GenerateMinimalSample(data, minimalSample_);
        SolveMinimal(minimalSample_, candidates_);
      }
      f64 e = DBL_MAX;
      if constexpr (kConstrained) {
        VerifyModelsConstrained(data, *required, candidates_, candidateInliers_, scratchInliers_,
                                e);
      } else {
        VerifyModels(data, candidates_, candidateInliers_, scratchInliers_, e);
      }
      const u32 c = static_cast<u32>(candidateInliers_.size());
      if (kConstrained && c < floor) {
        // Too little support to replace the seed.
      } else if (c == bestCount && e < bestError) {
        model = candidates_[0];
        inliers.assign(candidateInliers_.begin(), candidateInliers_.end());
        bestError = e;
      } else if (c > bestCount) {
        model = candidates_[0];
        inliers.assign(candidateInliers_.begin(), candidateInliers_.end());
        bestCount = c;
        bestError = e;
        const u64 n = ComputeIterationCount(c, N);
        const bool tooFew = !kConstrained && c < minInliers;
        bound = (n > maxIterations || tooFew) ? maxIterations
                                              : static_cast<u32>(std::max<u64>(n, minIterations));
        // The LO counter keeps running across improvements.
        if (kLocalOptimization && loIterations > 0) lo = true;
      }
      ++iteration;
    } while (iteration < bound);
  }

  if (finalNonMinimal) FinalStep(data, required, false, model, inliers, bestError);
  if (finalOptimize) FinalStep(data, required, true, model, inliers, bestError);
  return iteration;
}

ESTIMATOR_TEMPLATE
u32 ESTIMATOR_CLASS::RunLoRansac(const Data& data, Model& model, std::vector<Index>& inliers) {
  return RunLoop<true, false>(data, nullptr, model, inliers);
}

ESTIMATOR_TEMPLATE
u32 ESTIMATOR_CLASS::RunRansac(const Data& data, Model& model, std::vector<Index>& inliers) {
  return RunLoop<false, false>(data, nullptr, model, inliers);
}

ESTIMATOR_TEMPLATE
u32 ESTIMATOR_CLASS::RunLoRansacFromModel(const Data& data, const BitMask& required, Model& model,
                                          std::vector<Index>& inliers) {
  return RunLoop<true, true>(data, &required, model, inliers);
}

ESTIMATOR_TEMPLATE
void ESTIMATOR_CLASS::RunSequentialRansac(const Data& data, AlignedArray<Model>& models,
                                          std::vector<std::vector<Index>>& inlierLists) {
  models.Resize(0);
  inlierLists.resize(0);
  const u32 N = Traits::Size(data);
  const u32 m = GetMinimalSampleSize();
  if (N < std::min(kSequentialMinInliers, m)) return;
  poolList_.resize(N);
  for (u32 i = 0; i < N; ++i) poolList_[i] = static_cast<Index>(i);
  models.Resize(kSequentialMaxModels);
  inlierLists.resize(kSequentialMaxModels);
  for (u32 t = 0; t < kSequentialMaxModels; ++t) {
    std::vector<Index>& list = inlierLists[t];
    RunLoRansac(t == 0 ? data : subsetData_, models[t], list);
    if (list.size() < kSequentialMinInliers) {
      models.Resize(t);
      inlierLists.resize(t);
      return;
    }
    // Map the pass's indices back to the full data and drop them from the pool.
    const u32 poolSize = static_cast<u32>(poolList_.size());
    poolMask_.Resize(poolSize);
    for (Index& j : list) {
      poolMask_.Set(j);
      j = poolList_[j];
    }
    u32 kept = 0;
    for (u32 i = 0; i < poolSize; ++i) {
      if (!poolMask_.Test(i)) poolList_[kept++] = poolList_[i];
    }
    poolList_.resize(kept);
    Traits::GetSubset(data, poolList_, subsetData_);
  }
}

#undef ESTIMATOR_CLASS
#undef ESTIMATOR_TEMPLATE
