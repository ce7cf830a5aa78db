#pragma once
// The eigenvector of the smallest eigenvalue of EPnP's symmetric 12x12 M^T M.
// EPnP needs that one vector only, and a full decomposition (ssyev, all twelve
// vectors) was most of the robust loop's time. This follows the route of
// LAPACK's selected-eigenvector drivers at fixed size: Householder reduction
// to tridiagonal form, the smallest eigenvalue of the tridiagonal by Sturm
// count bisection, its eigenvector by inverse iteration, and the reflections
// applied back. The result equals ssyev's vector up to sign and float rounding.
#include "la/Types.h"

// A: 12x12 symmetric, row-major, 16-byte aligned, overwritten by the reduction. vector: 12
// floats of unit length; eigenvalue: the smallest eigenvalue. False, nothing
// written, when A holds a value that is not finite.
bool ComputeSmallestEigenvector12(float* A, float* vector, float& eigenvalue);
