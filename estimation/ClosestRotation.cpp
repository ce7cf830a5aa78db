#include "estimation/ClosestRotation.h"

#include <cmath>

#include "la/Lapack.h"

bool ComputeClosestRotation(const LA::AlignedMatrix3f& H, LA::AlignedMatrix3f& R) {
  // LAPACK reads the row-major rows as columns, so it factors H^T = U S V^T,
  // which is H = V S U^T: P = V, Q = U.
  alignas(16) float a[12], u[12], vt[12];
  float singularValues[4];  // kept apart from the LAPACK work area
  float work[16];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      if (!std::isfinite(H.m[r][c])) return false;
      a[r * 4 + c] = H.m[r][c];
    }
    a[r * 4 + 3] = 0.0f;
  }
  if (Lapack::Gesvd('A', 'A', 3, 3, a, 4, singularValues, u, 4, vt, 4, work, 15) != 0) return false;
  // Column-major with leading dimension 4: U(i, k) = u[4 k + i], V(j, k) = vt[4 j + k].
  float V[3][3], U[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) {
      U[i][k] = u[4 * k + i];
      V[i][k] = vt[4 * i + k];
    }
  }
  const auto det3 = [](const float M[3][3]) {
    return M[0][0] * (M[1][1] * M[2][2] - M[1][2] * M[2][1]) -
           M[0][1] * (M[1][0] * M[2][2] - M[1][2] * M[2][0]) +
           M[0][2] * (M[1][0] * M[2][1] - M[1][1] * M[2][0]);
  };
  // det(V U^T) = det V det U; singular values come in descending order, so
  // column 2 belongs to the smallest one.
  const float last = det3(V) * det3(U) < 0.0f ? -1.0f : 1.0f;
  float Rn[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      Rn[i][j] = V[i][0] * U[j][0] + V[i][1] * U[j][1] + last * V[i][2] * U[j][2];
      if (!std::isfinite(Rn[i][j])) return false;
    }
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R.m[i][j] = Rn[i][j];
  return true;
}
