#pragma once
// In-place LDL^T decomposition and solve of small symmetric systems
// (N = 3..9), addressed through a table of row pointers so that one routine
// serves every row layout. Only the diagonal and the upper triangle of the
// input are read. A pivot fails when |d| < FLT_EPSILON (a NaN pivot does not
// fail); a failed call leaves the matrix partly factorised.
#include "la/LinearAlgebra.h"

namespace LA {

// Factorises in place: D on the diagonal, the unit-lower factor L in both
// off-diagonal triangles (a[i][j] = a[j][i] = L[j][i], i < j). The last pivot
// is not tested here.
bool DecomposeLDL3(float* const* a);
bool DecomposeLDL4(float* const* a);
bool DecomposeLDL5(float* const* a);
bool DecomposeLDL6(float* const* a);
bool DecomposeLDL7(float* const* a);
bool DecomposeLDL8(float* const* a);
bool DecomposeLDL9(float* const* a);

// Solves A x = b in place (x into b). False on a too small pivot; when the
// decomposition fails b is unchanged.
bool SolveLDL3(float* const* a, float* b);
bool SolveLDL4(float* const* a, float* b);
bool SolveLDL5(float* const* a, float* b);
bool SolveLDL6(float* const* a, float* b);
bool SolveLDL7(float* const* a, float* b);
bool SolveLDL8(float* const* a, float* b);
bool SolveLDL9(float* const* a, float* b);

// Row-pointer views of the fixed-size matrix types.
bool SolveLDL(AlignedMatrix3f& A, AlignedVector3f& b);
bool SolveLDL(AlignedMatrix4f& A, AlignedVector4f& b);
bool SolveLDL(AlignedMatrix7f& A, AlignedVector7f& b);
bool SolveLDL(AlignedMatrix8f& A, AlignedVector8f& b);
inline bool SolveLDL(AlignedCompactMatrix6f& A, AlignedVector6f& b) {
  float scratch[2];
  return A.SolveLDL(b, scratch);
}

// Upper triangle of the Gram matrix of the columns x, y, z (n values each):
// G00 = x.x, G01 = x.y, G02 = x.z, G11 = y.y, G12 = y.z, G22 = z.z.
void ComputeGramMatrix3(u32 n, const float* x, const float* y, const float* z, AlignedMatrix3f& G);

// Eigen decomposition of the symmetric 3x3 S (upper triangle read) by cyclic
// Jacobi rotations in double: ascending eigenvalues, eigenvector k into row
// k of S. False, S unchanged, for a value that is not finite.
bool ComputeSymmetricEigen3(AlignedMatrix3f& S, float* eigenvalues);

// Solves A x = b for the symmetric positive definite n x n A (row-major, the
// lower triangle read) by Cholesky in place: L into A's lower triangle, x
// into b. False, b unchanged, when a pivot is not positive or not finite.
bool SolveCholesky(u32 n, f64* a, f64* b);

}  // namespace LA
