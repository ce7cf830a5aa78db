#pragma once
// Polynomial algebra of the five-point solver: products of polynomials in
// (x, y, z) stored as coefficient arrays, and the Gauss-Jordan elimination of
// the 10 x 20 cubic constraint matrix.
//
// Layouts (all floats):
//  linear    4: x, y, z, 1
//  quadratic 12: x^2, xy, xz, x | y^2, yz, y, z^2 | -, -, z, 1
//            (floats 8 and 9 are padding, kept 0, so that a linear factor
//            times the first eight coefficients is two whole vectors)
//  cubic     20: x^3, x^2y, x^2z, x^2, xy^2, xyz, xy, xz^2, xz, x, y^3, y^2z,
//            y^2, yz^2, yz, y, z^3, z^2, z, 1
#include "la/Types.h"

// out = p1 q1 - p2 q2 (all linear). tmp: four floats.
void LinearMinorToQuadratic(const float* p1, const float* q1, const float* p2, const float* q2,
                            float* out, float* tmp);
// out = p1 q1 + p2 q2 + p3 q3 (all linear). tmp: four floats.
void LinearDotToQuadratic(const float* p1, const float* q1, const float* p2, const float* q2,
                          const float* p3, const float* q3, float* out, float* tmp);
// out = p1 q1 + p2 q2 + p3 q3 with p linear and q quadratic. tmp: four
// four-float vectors.
void LinearQuadraticDotToCubic(const float* p1, const float* q1, const float* p2, const float* q2,
                               const float* p3, const float* q3, float* out, float* tmp);

namespace LA {

// Brings a row-major 10 x 20 matrix (rows of 20 floats, 16-byte aligned) to
// [I | B] in its right half, with partial pivoting: after the call row i,
// columns 10-19, holds B_i (row exchanges do not change the reduced form).
// Columns left of 10 are left unreduced. False when the largest remaining
// pivot is exactly zero or not a number. tmp: six four-float vectors.
bool GaussJordanEliminate10x20(float* matrix, float* tmp);

}  // namespace LA
