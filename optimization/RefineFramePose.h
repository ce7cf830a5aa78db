#pragma once
// Rotation-only Levenberg-Marquardt fit of a frame pose to 2-D
// correspondences, run before the per-frame ISO step: each correspondence
// pairs a normalised point of a reference view with its observation in the
// frame, related by the pure-rotation homography of the pose's 3x3 rotation.
// The translation column is never touched. Single precision throughout.
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"
#include "optimization/ISOParameters.h"

// Parameters and the reused work data of RefineFramePose.
struct FramePoseRefinement {
  ISOParameters parameters;
  LA::AlignedMatrix3f A;         // undamped or damped 3x3 system
  LA::AlignedVector3f b;         // gradient, -sum w J^T r
  LA::AlignedVector3f diagonal;  // undamped diagonal of A
  LA::AlignedVector3f step;
};

// One frame's correspondences grouped by pyramid level.
struct FramePoseProblem {
  f32 scale = 1.0f;                                      // turns the mean cost into squared pixels
  std::vector<u32> groupStarts;                          // group g: [start g, start g + 1)
  AlignedArray<LA::AlignedVector4f> weights;             // one lane per group, first float used
  const LA::AlignedVector4f* correspondences = nullptr;  // (x_ref, y_ref, x_obs, y_obs), a view
  u32 count = 0;                                         // total correspondences
};

// Refines the pose's rotation. Returns true when the final mean weighted
// squared error, times the problem's scale, is at least 100 (the fit is
// poor); false when it is below, or when there is nothing to fit (pose
// unchanged).
bool RefineFramePose(FramePoseRefinement& solver, const FramePoseProblem& problem,
                     CameraPose& pose);
// Sum over groups of the group weight times the squared residuals.
f32 ComputeFramePoseCost(const FramePoseProblem& problem, const CameraPose& pose);
// A = sum w J^T J and b = -sum w J^T r, J the 2x3 derivative of a residual
// by a small rotation of the pose (LA::UpdateQuaternion convention).
void ConstructFramePoseNormalEquation(const FramePoseProblem& problem, const CameraPose& pose,
                                      LA::AlignedMatrix3f& A, LA::AlignedVector3f& b);
