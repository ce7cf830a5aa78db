#pragma once
// The Levenberg-Marquardt and conjugate-gradient settings of the per-frame
// ISO solver; the frame pose refinement reads the same block (its first five
// fields).
#include "la/Types.h"

struct ISOParameters {
  u32 maxIterations = 20;
  f32 initialDamping = 0.001f;
  f32 minRelativeReduction = 0.0005f;  // stop on an accepted step that gains less
  f32 minGradient = 1e-5f;             // stop when max |b| falls below
  f32 minStep = 1e-6f;                 // stop when |dx|^2 falls below
  u32 pcgMinIterations = 10;           // convergence accepted from here on
  u32 pcgMaxIterations = 500;
  f32 pcgRelativeTolerance = 0.001f;  // relative to the first r.z
  f32 pcgDivergenceFactor = 10.0f;    // relative to the first r.z
};
