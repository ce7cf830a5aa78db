#pragma once
// Fixed-size single-precision vectors and matrices held in 16-byte-aligned
// rows of four floats, and the 3x3 kernels the estimators and solvers share.
// The types are plain storage: the owner fills them. Row dot products over
// three floats always add as (e1 + e0) + e2 so that all kernels agree bit for
// bit; the fourth float of a row never enters a result.
#include <cmath>
#include <cstddef>

#include "la/Types.h"

namespace LA {

// a . b over three floats, always summed as (a1 b1 + a0 b0) + a2 b2.
inline float Dot3(const float* a, const float* b) {
  return (a[1] * b[1] + a[0] * b[0]) + a[2] * b[2];
}
// True when the n floats from v are all finite.
inline bool AllFinite(const float* v, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}
// c = a x b over three floats (c's fourth float, if any, untouched).
inline void Cross3(const float* a, const float* b, float* c) {
  c[0] = a[1] * b[2] - a[2] * b[1];
  c[1] = a[2] * b[0] - a[0] * b[2];
  c[2] = a[0] * b[1] - a[1] * b[0];
}

template <class T>
struct Vector2 {
  T x, y;
};

struct alignas(16) AlignedVector3f {
  float v[4];
  float& operator[](int i) { return v[i]; }
  const float& operator[](int i) const { return v[i]; }
};

struct alignas(16) AlignedVector4f {
  float v[4];
  float& operator[](int i) { return v[i]; }
  const float& operator[](int i) const { return v[i]; }
};

struct alignas(16) AlignedVector6f {
  float v[8];
  float& operator[](int i) { return v[i]; }
  const float& operator[](int i) const { return v[i]; }
};

struct alignas(16) AlignedVector7f {
  float v[8];
  float& operator[](int i) { return v[i]; }
  const float& operator[](int i) const { return v[i]; }
};

struct alignas(16) AlignedVector8f {
  float v[8];
  float& operator[](int i) { return v[i]; }
  const float& operator[](int i) const { return v[i]; }
};

// 3x3 in rows of four; a 3x4 pose keeps its translation in the fourth column.
struct alignas(16) AlignedMatrix3f {
  float m[3][4];
  float* operator[](int i) { return m[i]; }
  const float* operator[](int i) const { return m[i]; }
};

struct alignas(16) AlignedMatrix4f {
  float m[4][4];
  float* operator[](int i) { return m[i]; }
  const float* operator[](int i) const { return m[i]; }
};

struct alignas(16) AlignedMatrix7f {
  float m[7][8];
  float* operator[](int i) { return m[i]; }
  const float* operator[](int i) const { return m[i]; }
};

struct alignas(16) AlignedMatrix8f {
  float m[8][8];
  float* operator[](int i) { return m[i]; }
  const float* operator[](int i) const { return m[i]; }
  // a[j][i] = a[i][j] for all i < j.
  void CopyUpperToLower();
};

// Symmetric 6x6 stored by row pairs (0,1), (2,3), (4,5); per pair three groups
// of four: even row columns 0-3; even row columns 4-5 then odd row columns
// 4-5; odd row columns 0-3.
struct alignas(16) AlignedCompactMatrix6f {
  float m[36];
  // Index of entry (r, c) in the compact storage.
  static constexpr int Index(int r, int c) {
    return (r / 2) * 12 + ((r & 1) == 0 ? c : (c < 4 ? 8 + c : c + 2));
  }
  float& operator()(int r, int c) { return m[Index(r, c)]; }
  float operator()(int r, int c) const { return m[Index(r, c)]; }
  // Solves this x = b in place (x into b); consumes the matrix (it is left
  // rearranged and factorised). `scratch` holds two floats. False on a too
  // small pivot.
  bool SolveLDL(AlignedVector6f& b, float* scratch);
};

// P = A B. P must not alias A or B; the fourth floats of P are not written.
void MultiplyAB(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P,
                float* scratch);
// P = B A, the same computation with the operands exchanged.
void MultiplyBA(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P,
                float* scratch);
// P = A B^T.
void MultiplyABT(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P);
// P += A B^T (all nine entries).
void AddABTTo(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P);
// P += A B^T on the upper triangle only.
void AddABTToUpper(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P);
// P -= A B^T (all nine entries).
void SubtractABTFrom(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P);
// P -= A B^T on the upper triangle only.
void SubtractABTFromUpper(const AlignedMatrix3f& A, const AlignedMatrix3f& B, AlignedMatrix3f& P);
// Inverts a symmetric M (stored in full), through double where the float
// determinant overflows. On |det| < 2^-52 returns false and
// writes the diagonal fallback (reciprocals of the non-zero diagonal entries).
bool InvertSymmetric3x3(const AlignedMatrix3f& M, AlignedMatrix3f& Minv);
// Largest absolute value of six floats; a NaN after the first never wins.
float MaxAbs6(const float* v);
// Largest absolute value of eight floats (magnitudes taken in double).
float MaxAbs8(const float* v);

}  // namespace LA
