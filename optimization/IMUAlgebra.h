#pragma once
// Double-precision quaternion and 3x3 helpers of the inertial preintegration.
// Matrices are row-major 3x3 (9 doubles); packed symmetric matrices hold the
// upper triangle as (00, 01, 02, 11, 12, 22). Quaternions are (x, y, z, w)
// with Hamilton products; H(q) here is Hamilton's rotation matrix (body to
// world), the transpose of the single-precision R(q) of the solvers.
#include <cmath>

#include "la/Types.h"

// Entry (r, c) of a packed symmetric 3x3.
inline int PackedIndex3(int r, int c) {
  static constexpr int kIndex[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  return kIndex[r][c];
}

// q := q / |q|, negated when w < 0 (w = 0 keeps its sign).
inline void NormalizeQuaternion(f64* q) {
  f64 s = 1.0 / std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (q[3] < 0.0) s = -s;
  q[0] *= s;
  q[1] *= s;
  q[2] *= s;
  q[3] *= s;
}

// out = a (x) b (Hamilton product); out may alias neither input.
inline void MultiplyQuaternionsDouble(const f64* a, const f64* b, f64* out) {
  out[0] = a[3] * b[0] + b[3] * a[0] + (a[1] * b[2] - a[2] * b[1]);
  out[1] = a[3] * b[1] + b[3] * a[1] + (a[2] * b[0] - a[0] * b[2]);
  out[2] = a[3] * b[2] + b[3] * a[2] + (a[0] * b[1] - a[1] * b[0]);
  out[3] = a[3] * b[3] - (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// H = H(q), Hamilton's matrix; q need not be unit (no renormalisation).
inline void QuaternionToRotationDouble(const f64* q, f64* H) {
  const f64 x = q[0], y = q[1], z = q[2], w = q[3];
  H[0] = 1.0 - 2.0 * (y * y + z * z);
  H[1] = 2.0 * (x * y - w * z);
  H[2] = 2.0 * (x * z + w * y);
  H[3] = 2.0 * (x * y + w * z);
  H[4] = 1.0 - 2.0 * (x * x + z * z);
  H[5] = 2.0 * (y * z - w * x);
  H[6] = 2.0 * (x * z - w * y);
  H[7] = 2.0 * (y * z + w * x);
  H[8] = 1.0 - 2.0 * (x * x + y * y);
}

// Unit q (w >= 0) with H(q) = H for a rotation matrix H (Shepperd's method:
// from the largest of the trace and the diagonal, never a small divisor).
inline void RotationToQuaternionDouble(const f64* H, f64* q) {
  const f64 trace = H[0] + H[4] + H[8];
  if (trace >= H[0] && trace >= H[4] && trace >= H[8]) {
    const f64 s = 2.0 * std::sqrt(1.0 + trace);
    q[0] = (H[7] - H[5]) / s, q[1] = (H[2] - H[6]) / s, q[2] = (H[3] - H[1]) / s, q[3] = 0.25 * s;
  } else if (H[0] >= H[4] && H[0] >= H[8]) {
    const f64 s = 2.0 * std::sqrt(1.0 + H[0] - H[4] - H[8]);
    q[0] = 0.25 * s, q[1] = (H[1] + H[3]) / s, q[2] = (H[2] + H[6]) / s, q[3] = (H[7] - H[5]) / s;
  } else if (H[4] >= H[8]) {
    const f64 s = 2.0 * std::sqrt(1.0 + H[4] - H[0] - H[8]);
    q[0] = (H[1] + H[3]) / s, q[1] = 0.25 * s, q[2] = (H[5] + H[7]) / s, q[3] = (H[2] - H[6]) / s;
  } else {
    const f64 s = 2.0 * std::sqrt(1.0 + H[8] - H[0] - H[4]);
    q[0] = (H[2] + H[6]) / s, q[1] = (H[5] + H[7]) / s, q[2] = 0.25 * s, q[3] = (H[3] - H[1]) / s;
  }
  NormalizeQuaternion(q);
}

// H = transpose of H(q).
inline void QuaternionToRotationTransposed(const f64* q, f64* H) {
  f64 T[9];
  QuaternionToRotationDouble(q, T);
  H[0] = T[0], H[1] = T[3], H[2] = T[6];
  H[3] = T[1], H[4] = T[4], H[5] = T[7];
  H[6] = T[2], H[7] = T[5], H[8] = T[8];
}

// y = A x.
inline void MatrixVector3d(const f64* A, const f64* x, f64* y) {
  y[0] = A[0] * x[0] + A[1] * x[1] + A[2] * x[2];
  y[1] = A[3] * x[0] + A[4] * x[1] + A[5] * x[2];
  y[2] = A[6] * x[0] + A[7] * x[1] + A[8] * x[2];
}

// T += A B.
inline void AddMatrixProduct3d(const f64* A, const f64* B, f64* T) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      T[3 * r + c] += A[3 * r] * B[c] + A[3 * r + 1] * B[3 + c] + A[3 * r + 2] * B[6 + c];
    }
  }
}

// T = A B; T must alias neither input.
inline void MatrixProduct3d(const f64* A, const f64* B, f64* T) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      T[3 * r + c] = A[3 * r] * B[c] + A[3 * r + 1] * B[3 + c] + A[3 * r + 2] * B[6 + c];
    }
  }
}

// T = A B^T; T must alias neither input.
inline void MatrixProductTransposed3d(const f64* A, const f64* B, f64* T) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      T[3 * r + c] =
          A[3 * r] * B[3 * c] + A[3 * r + 1] * B[3 * c + 1] + A[3 * r + 2] * B[3 * c + 2];
    }
  }
}

// S += A B^T, upper triangle only, packed.
inline void AddSymmetricProductTransposed3d(const f64* A, const f64* B, f64* S) {
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      S[PackedIndex3(r, c)] +=
          A[3 * r] * B[3 * c] + A[3 * r + 1] * B[3 * c + 1] + A[3 * r + 2] * B[3 * c + 2];
    }
  }
}

// S = A B, upper triangle only, packed (for products known to be symmetric).
inline void SymmetricProduct3d(const f64* A, const f64* B, f64* S) {
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      S[PackedIndex3(r, c)] = A[3 * r] * B[c] + A[3 * r + 1] * B[3 + c] + A[3 * r + 2] * B[6 + c];
    }
  }
}

// S += A B, upper triangle only, packed.
inline void AddSymmetricProduct3d(const f64* A, const f64* B, f64* S) {
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      S[PackedIndex3(r, c)] += A[3 * r] * B[c] + A[3 * r + 1] * B[3 + c] + A[3 * r + 2] * B[6 + c];
    }
  }
}

// T = A^T.
inline void Transpose3d(const f64* A, f64* T) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) T[3 * c + r] = A[3 * r + c];
  }
}

// Half-angle increment of a rate w over dt: (w sin(n dt/2)/n, cos(n dt/2)),
// or the first-order (w dt/2, 1) when |w|^2 < DBL_EPSILON (then false).
bool HalfAngleIncrement(const f64* w, f64 dt, f64* delta);
