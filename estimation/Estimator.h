#pragma once
// The robust estimator family. A concrete estimator (camera, point, plane,
// similarity, essential, fundamental, homography) implements the virtual
// slots below; the robust loops (RunLoRansac and its variants, written once
// in EstimatorRobustLoops.h) and the final refinement know an estimator only
// through these slots and through EstimatorDataTraits<Data> (item count and
// subset gathering).
//
// Template parameters: Data is the full data set (an OptimizerDataTemplate
// class); MinimalSample is what slot 2 fills and slot 4 solves;
// NonMinimalSample is the same class as Data (a second data object that the
// loops gather subsets into); Model the estimated model; Solver and Optimizer
// the estimator's solver and OptimizerTemplate; Index u16 or u32.
//
// An estimator belongs to one thread at a time: all working storage is in the
// object and only grows.
#include <cfloat>
#include <vector>

#include "estimation/BitMask.h"
#include "estimation/EstimatorDataTraits.h"
#include "estimation/ModelIsFinite.h"
#include "estimation/OptimizerTemplate.h"
#include "la/AlignedArray.h"
#include "la/Types.h"

// Slots 3 and 4 of an estimator whose solver yields one model: models holds
// that model when solve(models[0]) succeeds with a finite model, else
// nothing. Returns the same.
template <class Model, class Solve>
bool SolveOneModel(AlignedArray<Model>& models, Solve&& solve) {
  models.Resize(1);
  if (solve(models[0]) && IsFiniteModel(models[0])) return true;
  models.Resize(0);
  return false;
}

// Removes the models that are not finite, keeping the order of the others.
template <class Model>
void DropNonFiniteModels(AlignedArray<Model>& models) {
  u32 kept = 0;
  for (u32 j = 0; j < models.Size(); ++j) {
    if (!IsFiniteModel(models[j])) continue;
    if (kept != j) models[kept] = models[j];
    ++kept;
  }
  models.Resize(kept);
}

template <class Data, class MinimalSample, class NonMinimalSample, class Model, class Solver,
          class Optimizer, class Index>
class Estimator {
 public:
  using DataType = Data;
  using ModelType = Model;
  using IndexType = Index;
  using Traits = EstimatorDataTraits<Data>;
  using SampleTraits = EstimatorDataTraits<NonMinimalSample>;

  // Least support of a model extracted by RunSequentialRansac, and the number
  // of models it extracts at most.
  static constexpr u32 kSequentialMinInliers = 20;
  static constexpr u32 kSequentialMaxModels = 1;

  // Writes the parameter defaults with the given inlier threshold.
  explicit Estimator(const f32& threshold) : threshold(threshold) {}
  virtual ~Estimator() = default;
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  // ---- Slots (the only thing the loops know about a concrete estimator) ----
  // 0: m, the number of items of a minimal sample.
  virtual u32 GetMinimalSampleSize() const = 0;
  // 1: probability w^m that a minimal sample holds only inliers.
  virtual f32 ComputeAllInlierProbability(const f32& w) const = 0;
  // 2: m distinct items drawn uniformly into the sample (caller: N >= m).
  virtual void GenerateMinimalSample(const Data& data, MinimalSample& sample) = 0;
  // 3: fit on all items of `sample`; the array receives the solutions.
  virtual bool SolveNonMinimal(const NonMinimalSample& sample, AlignedArray<Model>& models) = 0;
  // 4: minimal solve; the array receives every solution (possibly none).
  virtual bool SolveMinimal(const MinimalSample& sample, AlignedArray<Model>& models) = 0;
  // 5: as slot 6, but a required item that fails empties the list (rejection).
  virtual void VerifyModelConstrained(const Data& data, const Model& model, const BitMask& required,
                                      std::vector<Index>& inliers, f64& error) = 0;
  // 6: ascending inlier list and the summed error of the inliers.
  virtual void VerifyModel(const Data& data, const Model& model, std::vector<Index>& inliers,
                           f64& error) = 0;
  // 7: summed error of the items set in `mask`.
  virtual void ComputeInlierSSE(const Data& data, const Model& model, const BitMask& mask,
                                f64& sse) = 0;
  // 8: Levenberg-Marquardt refinement of the model on `sample`; returns the
  // optimiser's stop code. Verbosity below 2 runs silently, else minus 2.
  virtual u32 OptimizeModel(NonMinimalSample& sample, Model& model, u8 verbosity) = 0;
  // 9: m distinct entries of the first n entries of `order` (with includeLast,
  // entry n - 1 among them). False, sample untouched, when n < m.
  virtual bool GenerateMinimalSampleProsac(const Data& data, const std::vector<Index>& order,
                                           Index n, bool includeLast, MinimalSample& sample) = 0;

  // ---- Robust loops (EstimatorRobustLoops.h) ----
  // Adaptive LO-RANSAC; returns the iterations run. model and inliers receive
  // the best model; model is untouched when nothing was found.
  u32 RunLoRansac(const Data& data, Model& model, std::vector<Index>& inliers);
  // The same without local optimisation.
  u32 RunRansac(const Data& data, Model& model, std::vector<Index>& inliers);
  // LO-RANSAC seeded with `model`; every accepted model keeps the items set in
  // `required` as inliers.
  u32 RunLoRansacFromModel(const Data& data, const BitMask& required, Model& model,
                           std::vector<Index>& inliers);
  // Extracts models one after another from a shrinking pool of items; each
  // list holds indices into `data`. At most kSequentialMaxModels models, each
  // with at least kSequentialMinInliers inliers.
  void RunSequentialRansac(const Data& data, AlignedArray<Model>& models,
                           std::vector<std::vector<Index>>& inlierLists);
  // Verifies every candidate; the winner (most inliers, then least error,
  // then earliest) is moved to position 0. No candidate: empty list, DBL_MAX.
  void VerifyModels(const Data& data, AlignedArray<Model>& candidates, std::vector<Index>& inliers,
                    std::vector<Index>& scratch, f64& error);
  void VerifyModelsConstrained(const Data& data, const BitMask& required,
                               AlignedArray<Model>& candidates, std::vector<Index>& inliers,
                               std::vector<Index>& scratch, f64& error);
  // Gathers k = max(ceil(|inliers| loSampleRatio), m) distinct inliers into
  // `out`; false when fewer than m inliers exist. `marks` covers N items and
  // is all clear before and after.
  bool GenerateLoSample(const Data& data, const std::vector<Index>& inliers, NonMinimalSample& out,
                        std::vector<Index>& sample, BitMask& marks);
  // Least-squares re-fit on the inliers, verified on all data; true when the
  // model, inliers and error were replaced.
  bool ReestimateModel(const Data& data, Model& model, std::vector<Index>& inliers, f64& error);
  // Levenberg-Marquardt refinement on the inliers, verified on all data.
  bool RefineModel(const Data& data, Model& model, std::vector<Index>& inliers, f64& error);
  bool ReestimateModelConstrained(const Data& data, const BitMask& required, Model& model,
                                  std::vector<Index>& inliers, f64& error);
  bool RefineModelConstrained(const Data& data, const BitMask& required, Model& model,
                              std::vector<Index>& inliers, f64& error);
  // Refines `model` on every item, without verification; false when N < m
  // or when the data give no finite cost or no finite model (model then
  // untouched).
  bool OptimizeOnAllData(const Data& data, Model& model);
  // Clears `list` and appends the index of every set item, ascending.
  template <class ListIndex>
  static void MaskToIndexList(const BitMask& mask, std::vector<ListIndex>& list);

  // ---- Parameters (owners write them directly) ----
  f32 threshold;
  f32 confidence = 0.9f;
  f32 minInlierRatio = 0.2f;
  u32 maxIterations = 10000;
  u32 minIterations = 300;
  f32 loSampleRatio = 0.5f;
  u32 loIterations = 20;
  u8 finalNonMinimal = 1;
  u8 finalOptimize = 1;
  u16 optimizerIterations = 100;

  Solver solver;
  Optimizer optimizer;

 protected:
  // Iteration bound for an inlier share w (see EstimatorRobustLoops.h):
  // at most maxIterations + 1 (meaning "more than maxIterations").
  u64 ComputeIterationCount(u32 inlierCount, u32 itemCount) const;
  // Slot 8's optimiser run: optimizerIterations at most, silent below
  // verbosity 2, else at verbosity - 2. `refined` is what the optimiser
  // refines (the model, or a parametrisation of it). A result that is not
  // finite (an overflowing normalisation, non-finite data) is not kept: the
  // input is restored and the run reports OPT_LM_INFINIT_SSE.
  template <class Refined>
  u32 RunOptimizer(NonMinimalSample& sample, Refined& refined, u8 verbosity) {
    optimizer.maxIterations = optimizerIterations;
    const Refined input = refined;
    const u32 code =
        optimizer.Optimize(sample, refined, verbosity < 2 ? 0 : static_cast<u8>(verbosity - 2));
    if (IsFiniteModel(refined)) return code;
    refined = input;
    return OPT_LM_INFINIT_SSE;
  }
  bool FinalStep(const Data& data, const BitMask* required, bool optimize, Model& model,
                 std::vector<Index>& inliers, f64& error);
  template <bool kLocalOptimization, bool kConstrained>
  u32 RunLoop(const Data& data, const BitMask* required, Model& model, std::vector<Index>& inliers);

  // Working members: overwritten by every run, they keep only capacity.
  MinimalSample minimalSample_{};
  NonMinimalSample nonMinimalSample_;
  AlignedArray<Model> candidates_;
  std::vector<Index> candidateInliers_;
  std::vector<Index> scratchInliers_;
  std::vector<Index> loSampleList_;
  BitMask loMarks_;
  // Sequential extraction: the items not yet explained, their mask and the
  // subset data of the next pass.
  std::vector<Index> poolList_;
  BitMask poolMask_;
  NonMinimalSample subsetData_;
};

#include "estimation/EstimatorRobustLoops.h"
