#pragma once
// Data of the similarity estimators y = s (R x + t). The 3-D data holds point
// pairs and measures the 3-D distance; the 2-D data keeps the same pairs for
// sampling and the closed-form solves, but measures each transformed source
// point against its image observations in known cameras (reprojection error).
// Optimiser parameters, in order: scale increment, rotation vector (applied on
// the left of R), translation increment.
#include <vector>

#include "estimation/EstimatorDataTraits.h"
#include "estimation/OptimizerDataTemplate.h"
#include "estimation/SimilarityTransformationSolver.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

class SimilarityTransformationEstimatorData3D
    : public OptimizerDataTemplate<SimilarityTransformation3D, LA::AlignedVector7f,
                                   LA::AlignedMatrix7f>,
      public MatchSet3DX {
 public:
  // destination = the listed pairs of source, in list order.
  template <class Index>
  static void GetSubset(const SimilarityTransformationEstimatorData3D& source,
                        const std::vector<Index>& list,
                        SimilarityTransformationEstimatorData3D& destination) {
    const u32 n = static_cast<u32>(list.size());
    destination.sources.Resize(n);
    destination.targets.Resize(n);
    for (u32 i = 0; i < n; ++i) {
      destination.sources[i] = source.sources[list[i]];
      destination.targets[i] = source.targets[list[i]];
    }
  }

  // |s (R X_i + t) - Y_i|^2 of pair i, in float.
  float ComputePairError(const SimilarityTransformation3D& model, u32 i) const {
    const float* X = sources[i].v;
    const float* Y = targets[i].v;
    const float s = model.m[3][0];
    float e[3];
    for (int r = 0; r < 3; ++r) {
      const float q =
          model.m[r][0] * X[0] + model.m[r][1] * X[1] + model.m[r][2] * X[2] + model.m[r][3];
      e[r] = s * q - Y[r];
    }
    return e[0] * e[0] + e[1] * e[1] + e[2] * e[2];
  }
  // Sum of |s (R X + t) - Y|^2.
  f64 ComputeSSE(const SimilarityTransformation3D& model) override;
  // 1 / pair count.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const SimilarityTransformation3D& model,
                               const LA::AlignedVector7f& scale, LA::AlignedMatrix7f& A,
                               LA::AlignedVector7f& b) override;
  void ConstructNormalEquationAndScale(const SimilarityTransformation3D& model,
                                       LA::AlignedMatrix7f& A, LA::AlignedVector7f& b,
                                       LA::AlignedVector7f& scale) override;
  // s' = s + ds, R' = exp([w]x) R, t' = t + dt (the scaled step).
  void UpdateModel(const LA::AlignedVector7f& scale, const LA::AlignedVector7f& dx,
                   const SimilarityTransformation3D& old,
                   SimilarityTransformation3D& updated) override;

 protected:
  // Adds one 3-row block (J rows, residuals) into A, b and the column sums D.
  static void AddRows(const float (*J)[7], const float* e, int rows, LA::AlignedMatrix7f& A,
                      LA::AlignedVector7f& b, float* D);
  // Clears A, b and D; finishing mirrors A and applies the scale.
  static void Begin(LA::AlignedMatrix7f& A, LA::AlignedVector7f& b, float* D);
  static void Finish(const LA::AlignedVector7f& scale, LA::AlignedMatrix7f& A,
                     LA::AlignedVector7f& b);
  // The 3x7 Jacobian of s (R X + t) and the transformed point.
  static void ComputeJacobian(const SimilarityTransformation3D& model, const float* X,
                              float (*J)[7], float* Y);

 private:
  virtual void Accumulate(const SimilarityTransformation3D& model, LA::AlignedMatrix7f& A,
                          LA::AlignedVector7f& b, float* D);
};

class SimilarityTransformationEstimatorData2D : public SimilarityTransformationEstimatorData3D {
 public:
  // Number of source points (each with its observations).
  u32 Size() const { return sources.Size(); }
  u32 ObservationCount() const { return static_cast<u32>(cameras.size()); }
  // Weights apply only when there is one per observation.
  bool IsWeighted() const { return weights.size() == cameras.size(); }
  // Offsets of N + 1 non-decreasing entries ending at the observation count,
  // with one camera and one measurement per observation. Inconsistent data is
  // measured as having no observations at all.
  bool IsConsistent() const;
  // Mean squared image error of point k over its observations (weighted when
  // in use); false for a point without observations.
  bool ComputePointError(const SimilarityTransformation3D& model, u32 k, float& error) const;

  // Sum over points and observations of the squared image error (unweighted).
  f64 ComputeSSE(const SimilarityTransformation3D& model) override;
  // MSE factor / total observation count.
  f64 GetFactorSSEToMSE() override;

  f32 mseFactor = 1.0f;
  // Point k owns observations offsets[k] .. offsets[k + 1] - 1.
  std::vector<u32> offsets;
  std::vector<const LA::AlignedMatrix3f*> cameras;
  AlignedArray<LA::Vector2<float>> measurements;
  std::vector<f32> weights;

 private:
  void Accumulate(const SimilarityTransformation3D& model, LA::AlignedMatrix7f& A,
                  LA::AlignedVector7f& b, float* D) override;
};

// Makes destination a self-contained data set of the listed points, in list
// order, with all their observations (and weights when in use); the offsets
// are rebuilt and the arrays only grow. False, destination an empty data set,
// when the source is not consistent or the list names a point it lacks.
bool CopyGroupedSubset(const SimilarityTransformationEstimatorData2D& source,
                       const std::vector<u32>& list,
                       SimilarityTransformationEstimatorData2D& destination);

template <>
struct EstimatorDataTraits<SimilarityTransformationEstimatorData2D> {
  static u32 Size(const SimilarityTransformationEstimatorData2D& data) { return data.Size(); }
  static void GetSubset(const SimilarityTransformationEstimatorData2D& source,
                        const std::vector<u32>& list,
                        SimilarityTransformationEstimatorData2D& destination) {
    CopyGroupedSubset(source, list, destination);
  }
};
