#include "la/LinearAlgebra.h"

#include <immintrin.h>

#include <cmath>

namespace LA {
namespace {

// Sum of the first three floats of p, added as (p1 + p0) + p2.
inline float Sum3(__m128 p) {
  alignas(16) float f[4];
  _mm_store_ps(f, p);
  return (f[1] + f[0]) + f[2];
}

inline float DotLanes(const float* a, const float* b) {
  return Sum3(_mm_mul_ps(_mm_load_ps(a), _mm_load_ps(b)));
}

}  // namespace

void MultiplyAB(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P,
                float* scratch) {
  for (int j = 0; j < 3; ++j) {
    scratch[0] = B.m[0][j];
    scratch[1] = B.m[1][j];
    scratch[2] = B.m[2][j];
    scratch[3] = 0.0f;
    // Unaligned load: a caller's misaligned scratch must not crash the kernel.
    const __m128 column = _mm_loadu_ps(scratch);
    P.m[0][j] = Sum3(_mm_mul_ps(_mm_load_ps(A.m[0]), column));
    P.m[1][j] = Sum3(_mm_mul_ps(_mm_load_ps(A.m[1]), column));
    P.m[2][j] = Sum3(_mm_mul_ps(_mm_load_ps(A.m[2]), column));
  }
}

void MultiplyBA(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P,
                float* scratch) {
  MultiplyAB(B, A, P, scratch);
}

void MultiplyABT(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P) {
  for (int i = 0; i < 3; ++i) {
    P.m[i][0] = DotLanes(A.m[i], B.m[0]);
    P.m[i][1] = DotLanes(A.m[i], B.m[1]);
    P.m[i][2] = DotLanes(A.m[i], B.m[2]);
  }
}

void AddABTTo(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P) {
  for (int i = 0; i < 3; ++i) {
    P.m[i][0] += DotLanes(A.m[i], B.m[0]);
    P.m[i][1] += DotLanes(A.m[i], B.m[1]);
    P.m[i][2] += DotLanes(A.m[i], B.m[2]);
  }
}

void AddABTToUpper(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P) {
  P.m[0][0] += DotLanes(A.m[0], B.m[0]);
  P.m[0][1] += DotLanes(A.m[0], B.m[1]);
  P.m[0][2] += DotLanes(A.m[0], B.m[2]);
  P.m[1][1] += DotLanes(A.m[1], B.m[1]);
  P.m[1][2] += DotLanes(A.m[1], B.m[2]);
  P.m[2][2] += DotLanes(A.m[2], B.m[2]);
}

void SubtractABTFrom(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P) {
  for (int i = 0; i < 3; ++i) {
    P.m[i][0] -= DotLanes(A.m[i], B.m[0]);
    P.m[i][1] -= DotLanes(A.m[i], B.m[1]);
    P.m[i][2] -= DotLanes(A.m[i], B.m[2]);
  }
}

void SubtractABTFromUpper(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P) {
  P.m[0][0] -= DotLanes(A.m[0], B.m[0]);
  P.m[0][1] -= DotLanes(A.m[0], B.m[1]);
  P.m[0][2] -= DotLanes(A.m[0], B.m[2]);
  P.m[1][1] -= DotLanes(A.m[1], B.m[1]);
  P.m[1][2] -= DotLanes(A.m[1], B.m[2]);
  P.m[2][2] -= DotLanes(A.m[2], B.m[2]);
}

namespace {

template <class T>
T Determinant3(const AlignedMatrix3f& M) {
  const T m00 = M.m[0][0], m01 = M.m[0][1], m02 = M.m[0][2];
  const T m10 = M.m[1][0], m11 = M.m[1][1], m12 = M.m[1][2];
  const T m20 = M.m[2][0], m21 = M.m[2][1], m22 = M.m[2][2];
  return m00 * (m11 * m22 - m21 * m12) + m01 * (m12 * m20 - m10 * m22) +
         m02 * (m10 * m21 - m11 * m20);
}

// The cofactors of the symmetric M over det, worked in T.
template <class T>
void WriteInverse(const AlignedMatrix3f& M, T det, AlignedMatrix3f& Minv) {
  const T m00 = M.m[0][0], m01 = M.m[0][1], m02 = M.m[0][2];
  const T m11 = M.m[1][1], m12 = M.m[1][2], m22 = M.m[2][2];
  const T s = T(1) / det;
  Minv.m[0][0] = static_cast<float>((m22 * m11 - m12 * m12) * s);
  Minv.m[0][1] = static_cast<float>((m02 * m12 - m22 * m01) * s);
  Minv.m[0][2] = static_cast<float>((m12 * m01 - m02 * m11) * s);
  Minv.m[1][1] = static_cast<float>((m22 * m00 - m02 * m02) * s);
  Minv.m[1][2] = static_cast<float>((m02 * m01 - m12 * m00) * s);
  Minv.m[2][2] = static_cast<float>((m00 * m11 - m01 * m01) * s);
  Minv.m[1][0] = Minv.m[0][1];
  Minv.m[2][0] = Minv.m[0][2];
  Minv.m[2][1] = Minv.m[1][2];
}

bool FiniteEntries(const AlignedMatrix3f& M) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!std::isfinite(M.m[i][j])) return false;
  return true;
}

}  // namespace

bool InvertSymmetric3x3(const AlignedMatrix3f& M, AlignedMatrix3f& Minv) {
  const float det = Determinant3<float>(M);
  // Entries past about 7e12 (a point a hundredth of the map's unit from the
  // camera) overflow a float determinant, to inf or, where two overflowing
  // products meet, NaN; the inverse is well within float's range, and double
  // gets it.
  if (!std::isfinite(det) && FiniteEntries(M)) {
    WriteInverse(M, Determinant3<double>(M), Minv);
    return true;
  }
  if (std::fabs(det) < 2.220446e-16f) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) Minv.m[i][j] = 0.0f;
    if (M.m[0][0] != 0.0f) Minv.m[0][0] = 1.0f / M.m[0][0];
    if (M.m[1][1] != 0.0f) Minv.m[1][1] = 1.0f / M.m[1][1];
    if (M.m[2][2] != 0.0f) Minv.m[2][2] = 1.0f / M.m[2][2];
    return false;
  }
  WriteInverse(M, det, Minv);
  return true;
}

float MaxAbs6(const float* v) {
  float m = std::fabs(v[0]);
  for (int i = 1; i < 6; ++i) {
    const float a = std::fabs(v[i]);
    if (a > m) m = a;
  }
  return m;
}

float MaxAbs8(const float* v) {
  float m = static_cast<float>(std::fabs(static_cast<double>(v[0])));
  for (int i = 1; i < 8; ++i) {
    const float a = static_cast<float>(std::fabs(static_cast<double>(v[i])));
    if (a > m) m = a;
  }
  return m;
}

void AlignedMatrix8f::CopyUpperToLower() {
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j) m[j][i] = m[i][j];
}

}  // namespace LA
