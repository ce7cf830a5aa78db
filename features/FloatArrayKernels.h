#pragma once
// Kernels over float arrays of length n: four floats at a time with SSE over
// the largest multiple of four not above n, then a scalar tail. Pointers need
// no alignment.
#include "la/Types.h"

// Sum of a[0..n).
float SumArray(const float* a, u32 n);
// Sum of a[i]^2.
float SumOfSquaresArray(const float* a, u32 n);
// Sum of a[i] b[i].
float DotArrays(const float* a, const float* b, u32 n);
// out[i] = a[i]^2 (out may be a).
void SquareArray(const float* a, float* out, u32 n);
// c[i] = a[i] - b[i] (c may be a or b).
void SubtractArrays(const float* a, const float* b, float* c, u32 n);
// a[i] *= s.
void ScaleArray(float* a, float s, u32 n);
// Huber weights of squared residuals: sqrt(1.809025 / r2) above 1.809025
// (1.345^2), else 1.
void HuberWeights(const float* squaredResiduals, float* weights, u32 n);
