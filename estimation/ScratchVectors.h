#pragma once
// Scratch space of the two-view estimators and solvers: an array that grows
// to the largest request and never shrinks, so that a warmed-up estimator
// allocates nothing.
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Types.h"

// At least n four-float vectors of `scratch`.
inline LA::AlignedVector4f* ScratchVectors(AlignedArray<LA::AlignedVector4f>& scratch, u32 n) {
  if (scratch.Size() < n) scratch.Resize(n);
  return scratch.Data();
}

// At least n four-float vectors (4 n floats) of a float array.
inline float* ScratchVectors(AlignedArray<float>& scratch, u32 n) {
  if (scratch.Size() < 4 * n) scratch.Resize(4 * n);
  return scratch.Data();
}
