#pragma once
// The matches of the essential-matrix estimator (normalised camera
// coordinates) as the Levenberg-Marquardt optimiser sees them. The refined
// model is the relative pose [R | t] with |t| = 1, not the nine entries of E:
// the residual of a match is the signed distance of its second point from
// the epipolar line of its first under E = [t]x R, and a step rotates R on
// the left (R' = exp([w]x) R) and moves t on the unit sphere.
#include <vector>

#include "estimation/MatchSet2D.h"
#include "estimation/OptimizerDataTemplate.h"
#include "estimation/RigidTransformation3D.h"

namespace LA {
// A += J J^T on the upper triangle of the compact storage.
void AddOuterProduct6(const float* J, AlignedCompactMatrix6f& A);
}  // namespace LA

// J_k = g . D_k, k = 0..5, over the nine entries of E (row-major).
void ChainPoseJacobian(const float* g, const float (*D)[12], float* J);

class EssentialMatrixEstimatorData
    : public OptimizerDataTemplate<RigidTransformation3D, LA::AlignedVector6f,
                                   LA::AlignedCompactMatrix6f>,
      public MatchSet2D {
 public:
  // Sum over all matches of e^2 / (l0^2 + l1^2) under E = [t]x R.
  f64 ComputeSSE(const RigidTransformation3D& pose) override;
  // errorScale / N.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const RigidTransformation3D& pose, const LA::AlignedVector6f& scale,
                               LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& b) override;
  void ConstructNormalEquationAndScale(const RigidTransformation3D& pose,
                                       LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& b,
                                       LA::AlignedVector6f& scale) override;
  // R' = exp([w0 w1 w2]x) R, t' = (t + (w3, w4, w5)) / |...|, w = dx * scale.
  void UpdateModel(const LA::AlignedVector6f& scale, const LA::AlignedVector6f& dx,
                   const RigidTransformation3D& old, RigidTransformation3D& updated) override;

  // E = [t]x R of a pose (rows of four floats, fourth floats 0).
  static void PoseToEssential(const RigidTransformation3D& pose, LA::AlignedMatrix3f& E);

  // Owner's index list; not read here.
  std::vector<u16> indices;
  // Numerator of the MSE factor, set by the owner (pixel variance scale).
  f32 errorScale = 1.0f;

 private:
  // Unscaled A (upper triangle), b = -sum r J and the column sums c_k = sum J_k^2.
  void BuildNormalEquation(const RigidTransformation3D& pose, LA::AlignedCompactMatrix6f& A,
                           LA::AlignedVector6f& b, float* columnSums);

  LA::AlignedMatrix3f E_;
  LA::AlignedMatrix3f stepRotation_;
  // Derivatives of the nine entries of E by the six step parameters.
  alignas(16) float D_[6][12];
  alignas(16) float g_[12];
  LA::AlignedVector6f J_;
  alignas(16) float translation_[4];
};
