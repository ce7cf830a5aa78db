#pragma once
// The entry points every robust estimator shares, driven from fuzzer bytes
// over data the harness has built (and spoiled): minimal and non-minimal
// solves, the LO-RANSAC loop, a PROSAC draw from a caller's order table that
// may name items past the data, the refinement on all data and, for the
// bin-sampling estimators, a draw from caller's bins. Contract: a solve that
// succeeds returns finite models only, the loop returns a finite model and
// ascending inliers inside the data, and a failed refinement leaves the model
// as it was.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "estimation/Estimator.h"

namespace fuzz {

template <class Model>
void CheckModels(const AlignedArray<Model>& models) {
  for (const Model& m : models) FUZZ_CHECK(IsFiniteModel(m));
}

// Hostile parameters now and then, a short loop always.
template <class E>
void SetParameters(E& estimator, FuzzInput& in) {
  estimator.maxIterations = 1 + in.Byte() % 32;
  estimator.minIterations = in.Byte() % 8;
  estimator.loIterations = in.Byte() % 4;
  estimator.optimizerIterations = static_cast<u16>(in.Byte() % 16);
  if (in.Byte() % 8 == 0) estimator.minInlierRatio = in.Float();
  if (in.Byte() % 8 == 0) estimator.loSampleRatio = in.Float();
  if (in.Byte() % 8 == 0) estimator.threshold = in.Float();
}

template <class E, class Sample>
void ExerciseEstimator(E& estimator, const typename E::DataType& data, FuzzInput& in) {
  using Model = typename E::ModelType;
  using Index = typename E::IndexType;
  const u32 N = E::Traits::Size(data);
  const u32 m = estimator.GetMinimalSampleSize();
  SetParameters(estimator, in);
  AlignedArray<Model> models;
  Sample sample{};
  switch (in.Byte() % 5) {
    case 0:
      if (N < m) return;
      estimator.GenerateMinimalSample(data, sample);
      if (estimator.SolveMinimal(sample, models)) CheckModels(models);
      return;
    case 1:
      if (estimator.SolveNonMinimal(data, models)) CheckModels(models);
      return;
    case 2: {
      Model model{};
      std::vector<Index> inliers;
      estimator.RunLoRansac(data, model, inliers);
      FUZZ_CHECK(IsFiniteModel(model));
      for (size_t i = 0; i < inliers.size(); ++i) {
        FUZZ_CHECK(inliers[i] < N);
        FUZZ_CHECK(i == 0 || inliers[i - 1] < inliers[i]);
      }
      return;
    }
    case 3: {
      // An order table of the caller's making: entries may name any item.
      std::vector<Index> order(in.Byte() % 40);
      for (Index& o : order) o = static_cast<Index>(in.Bool() ? in.Index(N) : in.U32());
      const Index n = static_cast<Index>(in.Index(static_cast<u32>(order.size()) + 1));
      if (estimator.GenerateMinimalSampleProsac(data, order, n, in.Bool(), sample) &&
          estimator.SolveMinimal(sample, models)) {
        CheckModels(models);
      }
      return;
    }
    default: {
      if (N < m) return;
      estimator.GenerateMinimalSample(data, sample);
      if (!estimator.SolveMinimal(sample, models) || models.Size() == 0) return;
      Model model = models[0];
      const Model before = model;
      if (estimator.OptimizeOnAllData(data, model)) {
        FUZZ_CHECK(IsFiniteModel(model));
      } else {
        FUZZ_CHECK(std::memcmp(&model, &before, sizeof(Model)) == 0);
      }
      return;
    }
  }
}

// The bin draw of an estimator that samples by image bins, with bins whose
// members may lie past the data.
template <class E, class Sample>
void ExerciseBins(E& estimator, const typename E::DataType& data, FuzzInput& in) {
  using Index = typename E::IndexType;
  const u32 N = E::Traits::Size(data);
  std::vector<std::vector<Index>> bins(in.Byte() % 24);
  for (std::vector<Index>& bin : bins) {
    bin.resize(in.Byte() % 4);
    for (Index& member : bin) member = static_cast<Index>(in.Bool() ? in.Index(N) : in.U32());
  }
  Sample sample{};
  AlignedArray<typename E::ModelType> models;
  if (estimator.GenerateMinimalSampleArsac(data, bins, sample) &&
      estimator.SolveMinimal(sample, models)) {
    CheckModels(models);
  }
}

}  // namespace fuzz
