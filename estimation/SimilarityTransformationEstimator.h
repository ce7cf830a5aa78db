#pragma once
// Robust 3-D similarity estimators: four-pair minimal samples solved in closed
// form, least-squares re-fits on all inliers, Levenberg-Marquardt refinement
// over the seven parameters. The 3-D form verifies pairs by their 3-D
// distance; the 2-D form verifies each source point by the mean squared image
// error of its observations.
#include <vector>

#include "estimation/Estimator.h"
#include "estimation/OptimizerTemplate.h"
#include "estimation/SimilarityTransformationEstimatorData.h"
#include "estimation/SimilarityTransformationSolver.h"

using SimilarityOptimizer =
    OptimizerTemplate<SimilarityTransformation3D, LA::AlignedVector7f, LA::AlignedMatrix7f>;

// Every slot, written once over the data: a pair's 3-D distance or a point's
// mean image error is the one thing the two estimators measure differently.
template <class Data>
class SimilarityTransformationEstimatorBase
    : public Estimator<Data, MatchSet3DN<4>, Data, SimilarityTransformation3D,
                       SimilarityTransformationSolver, SimilarityOptimizer, u32> {
 public:
  using Base = Estimator<Data, MatchSet3DN<4>, Data, SimilarityTransformation3D,
                         SimilarityTransformationSolver, SimilarityOptimizer, u32>;
  explicit SimilarityTransformationEstimatorBase(const f32& threshold) : Base(threshold) {}

  u32 GetMinimalSampleSize() const override { return 4; }
  f32 ComputeAllInlierProbability(const f32& w) const override {
    const f32 w2 = w * w;
    return w2 * w2;
  }
  // Four distinct pairs drawn uniformly (nothing drawn when N < 4).
  void GenerateMinimalSample(const Data& data, MatchSet3DN<4>& sample) override;
  bool SolveNonMinimal(const Data& data, AlignedArray<SimilarityTransformation3D>& models) override;
  bool SolveMinimal(const MatchSet3DN<4>& sample,
                    AlignedArray<SimilarityTransformation3D>& models) override;
  // A failing required item empties the list and ends the pass; the error
  // keeps the sum reached until then (no loop reads it after a rejection).
  void VerifyModelConstrained(const Data& data, const SimilarityTransformation3D& model,
                              const BitMask& required, std::vector<u32>& inliers,
                              f64& error) override;
  void VerifyModel(const Data& data, const SimilarityTransformation3D& model,
                   std::vector<u32>& inliers, f64& error) override;
  void ComputeInlierSSE(const Data& data, const SimilarityTransformation3D& model,
                        const BitMask& mask, f64& sse) override;
  u32 OptimizeModel(Data& data, SimilarityTransformation3D& model, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Data& data, const std::vector<u32>& order, u32 n,
                                   bool includeLast, MatchSet3DN<4>& sample) override;

 private:
  template <bool kConstrained>
  void Verify(const Data& data, const SimilarityTransformation3D& model, const BitMask* required,
              std::vector<u32>& inliers, f64& error);
};

// Pairs verified by their squared 3-D distance |s (R X + t) - Y|^2.
class SimilarityTransformationEstimator3D
    : public SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData3D> {
 public:
  explicit SimilarityTransformationEstimator3D(const f32& threshold)
      : SimilarityTransformationEstimatorBase(threshold) {}
};

// Source points verified by the mean squared image error of their
// observations; a point without observations, or data whose observation
// table is malformed, gives no inliers.
class SimilarityTransformationEstimator2D
    : public SimilarityTransformationEstimatorBase<SimilarityTransformationEstimatorData2D> {
 public:
  explicit SimilarityTransformationEstimator2D(const f32& threshold)
      : SimilarityTransformationEstimatorBase(threshold) {}
};
