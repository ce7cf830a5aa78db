#include "la/SmallSolvers.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace LA {
namespace {

// |d| is taken in double and rounded back before the comparison, so a NaN
// pivot never fails.
inline bool PivotFails(float d) {
  return static_cast<float>(std::fabs(static_cast<double>(d))) < FLT_EPSILON;
}

// Constant trip counts: the compiler unrolls each instance completely.
template <int N>
bool Decompose(float* const* a) {
  const float d0 = a[0][0];
  if (PivotFails(d0)) return false;
#pragma GCC unroll 8
  for (int j = 1; j < N; ++j) a[0][j] = a[j][0] = a[0][j] / d0;
#pragma GCC unroll 8
  for (int i = 1; i < N; ++i) {
    float d = a[i][i];
#pragma GCC unroll 8
    for (int k = 0; k < i; ++k) d -= (a[i][k] * a[i][k]) * a[k][k];
    a[i][i] = d;
    if (i == N - 1) break;
    if (PivotFails(d)) return false;
#pragma GCC unroll 8
    for (int j = i + 1; j < N; ++j) {
      float v = a[i][j];
#pragma GCC unroll 8
      for (int k = 0; k < i; ++k) v -= (a[i][k] * a[j][k]) * a[k][k];
      a[i][j] = a[j][i] = v / d;
    }
  }
  return true;
}

template <int N>
bool Solve(float* const* a, float* b) {
  if (!Decompose<N>(a)) return false;
#pragma GCC unroll 8
  for (int i = 1; i < N; ++i) {
#pragma GCC unroll 8
    for (int j = 0; j < i; ++j) b[i] -= a[i][j] * b[j];
  }
#pragma GCC unroll 8
  for (int i = N - 1; i >= 0; --i) {
    if (PivotFails(a[i][i])) return false;
    b[i] /= a[i][i];
#pragma GCC unroll 8
    for (int j = i + 1; j < N; ++j) b[i] -= a[i][j] * b[j];
  }
  return true;
}

}  // namespace

bool DecomposeLDL3(float* const* a) {
  return Decompose<3>(a);
}
bool DecomposeLDL4(float* const* a) {
  return Decompose<4>(a);
}
bool DecomposeLDL5(float* const* a) {
  return Decompose<5>(a);
}
bool DecomposeLDL6(float* const* a) {
  return Decompose<6>(a);
}
bool DecomposeLDL7(float* const* a) {
  return Decompose<7>(a);
}
bool DecomposeLDL8(float* const* a) {
  return Decompose<8>(a);
}
bool DecomposeLDL9(float* const* a) {
  return Decompose<9>(a);
}

bool SolveLDL3(float* const* a, float* b) {
  return Solve<3>(a, b);
}
bool SolveLDL4(float* const* a, float* b) {
  return Solve<4>(a, b);
}
bool SolveLDL5(float* const* a, float* b) {
  return Solve<5>(a, b);
}
bool SolveLDL6(float* const* a, float* b) {
  return Solve<6>(a, b);
}
bool SolveLDL7(float* const* a, float* b) {
  return Solve<7>(a, b);
}
bool SolveLDL8(float* const* a, float* b) {
  return Solve<8>(a, b);
}
bool SolveLDL9(float* const* a, float* b) {
  return Solve<9>(a, b);
}

bool SolveLDL(AlignedMatrix3f& A, AlignedVector3f& b) {
  float* rows[3] = {A.m[0], A.m[1], A.m[2]};
  return SolveLDL3(rows, b.v);
}

bool SolveLDL(AlignedMatrix4f& A, AlignedVector4f& b) {
  float* rows[4] = {A.m[0], A.m[1], A.m[2], A.m[3]};
  return SolveLDL4(rows, b.v);
}

bool SolveLDL(AlignedMatrix7f& A, AlignedVector7f& b) {
  float* rows[7] = {A.m[0], A.m[1], A.m[2], A.m[3], A.m[4], A.m[5], A.m[6]};
  return SolveLDL7(rows, b.v);
}

bool SolveLDL(AlignedMatrix8f& A, AlignedVector8f& b) {
  float* rows[8] = {A.m[0], A.m[1], A.m[2], A.m[3], A.m[4], A.m[5], A.m[6], A.m[7]};
  return SolveLDL8(rows, b.v);
}

bool AlignedCompactMatrix6f::SolveLDL(AlignedVector6f& b, float* scratch) {
  // Each odd row holds columns 4-5 ahead of columns 0-3: move them behind,
  // giving six contiguous rows of six floats.
  for (int pair = 0; pair < 3; ++pair) {
    float* odd = m + pair * 12 + 6;
    scratch[0] = odd[0];
    scratch[1] = odd[1];
    std::memmove(odd, odd + 2, 4 * sizeof(float));
    odd[4] = scratch[0];
    odd[5] = scratch[1];
  }
  float* rows[6] = {m, m + 6, m + 12, m + 18, m + 24, m + 30};
  return SolveLDL6(rows, b.v);
}

void ComputeGramMatrix3(u32 n, const float* x, const float* y, const float* z, AlignedMatrix3f& G) {
  const float* c[3] = {x, y, z};
  for (int r = 0; r < 3; ++r) {
    for (int s = r; s < 3; ++s) {
      const float* p = c[r];
      const float* q = c[s];
      float sum = 0.0f;
      const u32 n4 = n & ~3u;
      u32 i = 0;
      for (; i < n4; i += 4) {
        const float p0 = p[i] * q[i], p1 = p[i + 1] * q[i + 1];
        const float p2 = p[i + 2] * q[i + 2], p3 = p[i + 3] * q[i + 3];
        sum += ((p2 + p0) + p1) + p3;
      }
      for (; i < n; ++i) sum += p[i] * q[i];
      G.m[r][s] = sum;
    }
  }
}

namespace {
// Jacobi sweeps of the 3x3 eigen problem; two or three reach double precision.
constexpr int kJacobiSweeps = 10;

}  // namespace

// Eigen decomposition of the symmetric 3x3 S (upper triangle read) by cyclic
// Jacobi rotations in double, written as LAPACK's ssyev would: ascending
// eigenvalues, eigenvector k into row k of S. A fixed-size loop costs a
// fraction of the library call. False, S unchanged, for a value that is not
// finite.
bool ComputeSymmetricEigen3(AlignedMatrix3f& S, float* eigenvalues) {
  double a[3][3], v[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      a[r][c] = a[c][r] = S.m[r][c];
      if (!std::isfinite(a[r][c])) return false;
    }
  }
  constexpr int kPlanes[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
    const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    const double diagonal = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
    if (off <= 1e-30 * diagonal) break;
    for (const auto& plane : kPlanes) {
      const int p = plane[0], q = plane[1];
      if (a[p][q] == 0.0) continue;
      // The rotation in the (p, q) plane that zeroes a_pq: A <- J^T A J, V <- V J.
      const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
      const double t =
          (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
      const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
      for (int k = 0; k < 3; ++k) {
        const double akp = a[k][p], akq = a[k][q];
        a[k][p] = c * akp - s * akq;
        a[k][q] = s * akp + c * akq;
      }
      for (int k = 0; k < 3; ++k) {
        const double apk = a[p][k], aqk = a[q][k];
        a[p][k] = c * apk - s * aqk;
        a[q][k] = s * apk + c * aqk;
      }
      for (int k = 0; k < 3; ++k) {
        const double vkp = v[k][p], vkq = v[k][q];
        v[k][p] = c * vkp - s * vkq;
        v[k][q] = s * vkp + c * vkq;
      }
    }
  }
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int i, int j) { return a[i][i] < a[j][j]; });
  for (int k = 0; k < 3; ++k) {
    eigenvalues[k] = static_cast<float>(a[order[k]][order[k]]);
    for (int c = 0; c < 3; ++c) S.m[k][c] = static_cast<float>(v[c][order[k]]);
  }
  return true;
}

bool SolveCholesky(u32 n, f64* a, f64* b) {
  for (u32 j = 0; j < n; ++j) {
    f64* rj = a + static_cast<size_t>(j) * n;
    f64 d = rj[j];
    for (u32 k = 0; k < j; ++k) d -= rj[k] * rj[k];
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    rj[j] = std::sqrt(d);
    for (u32 i = j + 1; i < n; ++i) {
      f64* ri = a + static_cast<size_t>(i) * n;
      f64 v = ri[j];
      for (u32 k = 0; k < j; ++k) v -= ri[k] * rj[k];
      ri[j] = v / rj[j];
    }
  }
  // L y = b, then L^T x = y.
  for (u32 i = 0; i < n; ++i) {
    const f64* ri = a + static_cast<size_t>(i) * n;
    f64 v = b[i];
    for (u32 k = 0; k < i; ++k) v -= ri[k] * b[k];
    b[i] = v / ri[i];
  }
  for (u32 i = n; i-- > 0;) {
    f64 v = b[i];
    for (u32 k = i + 1; k < n; ++k) v -= a[static_cast<size_t>(k) * n + i] * b[k];
    b[i] = v / a[static_cast<size_t>(i) * n + i];
  }
  return true;
}

}  // namespace LA
