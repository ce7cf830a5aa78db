#include "estimation/ProjectionNormalEquation.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "la/Pose.h"
#include "la/SmallSolvers.h"

namespace {

// Jacobian entry k of the x row and of the y row in the twelve-float layout.
inline float Jx(const float* J, int k) {
  return J[k];
}
inline float Jy(const float* J, int k) {
  return k < 4 ? J[8 + k] : J[2 + k];
}

// Upper-triangle entries of the 6x6 pose normal equations in the order the
// accumulator keeps them, and the count of all sums (21 entries, 6 of b, SSE).
constexpr int kUpper[21][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 1},
                               {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 2}, {2, 3}, {2, 4},
                               {2, 5}, {3, 3}, {3, 4}, {3, 5}, {4, 4}, {4, 5}, {5, 5}};
constexpr int kSums = 28;

// Adds a_i a_j + c_i c_j to sum k < 21, entry (i, j), or a_i r0 + c_i r1 to
// sum 21 + i, leaving out the products known to vanish (a_4 = c_3 = 0): the
// accumulation is most of the refinement's time on large match sets.
template <int k>
inline void AccumulateEntry(const __m128* a, const __m128* c, __m128 r0, __m128 r1, __m128* sums) {
  constexpr int i = k < 21 ? kUpper[k][0] : k - 21, j = k < 21 ? kUpper[k][1] : -1;
  constexpr bool xTerm = i != 4 && j != 4, yTerm = i != 3 && j != 3;
  const __m128 x = j < 0 ? r0 : a[j < 0 ? 0 : j], y = j < 0 ? r1 : c[j < 0 ? 0 : j];
  if constexpr (xTerm && yTerm) {
    sums[k] = _mm_add_ps(sums[k], _mm_add_ps(_mm_mul_ps(a[i], x), _mm_mul_ps(c[i], y)));
  } else if constexpr (xTerm) {
    sums[k] = _mm_add_ps(sums[k], _mm_mul_ps(a[i], x));
  } else if constexpr (yTerm) {
    sums[k] = _mm_add_ps(sums[k], _mm_mul_ps(c[i], y));
  }
}

template <std::size_t... k>
inline void AccumulateEntries(const __m128* a, const __m128* c, __m128 r0, __m128 r1, __m128* sums,
                              std::index_sequence<k...>) {
  (AccumulateEntry<static_cast<int>(k)>(a, c, r0, r1, sums), ...);
}

// Adds the Gauss-Newton sums of four matches (lanes where `lanes` is set):
// the Jacobian of the projection for R' = exp([w]x) R, t' = t + d, rows
// a (x) and c (y), gives J^T J, J^T r and r^T r. Returns the lanes whose
// point is not in front of the camera.
int AccumulateQuad(const __m128* P, const LA::AlignedVector4f* X, const LA::Vector2<float>* x,
                   __m128 lanes, __m128* sums) {
  __m128 X0 = _mm_load_ps(X[0].v), X1 = _mm_load_ps(X[1].v);
  __m128 X2 = _mm_load_ps(X[2].v), X3 = _mm_load_ps(X[3].v);
  _MM_TRANSPOSE4_PS(X0, X1, X2, X3);  // X0..X2 now hold the x, y, z of the four points
  const auto rotate = [&](const __m128* r) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(r[0], X0), _mm_mul_ps(r[1], X1)), _mm_mul_ps(r[2], X2));
  };
  const __m128 qx = rotate(P), qy = rotate(P + 4), qz = rotate(P + 8);
  const __m128 z = _mm_add_ps(qz, P[11]);
  const int behind = _mm_movemask_ps(_mm_and_ps(lanes, _mm_cmple_ps(z, _mm_setzero_ps())));
  const __m128 iz = _mm_and_ps(lanes, _mm_div_ps(_mm_set1_ps(1.0f), z));
  const __m128 px = _mm_mul_ps(_mm_add_ps(qx, P[3]), iz), py = _mm_mul_ps(_mm_add_ps(qy, P[7]), iz);
  const __m128 uv01 = _mm_loadu_ps(&x[0].x), uv23 = _mm_loadu_ps(&x[2].x);
  const __m128 u = _mm_shuffle_ps(uv01, uv23, _MM_SHUFFLE(2, 0, 2, 0));
  const __m128 v = _mm_shuffle_ps(uv01, uv23, _MM_SHUFFLE(3, 1, 3, 1));
  // Unused lanes have iz = 0, so their Jacobian and residual vanish.
  const __m128 r0 = _mm_and_ps(lanes, _mm_sub_ps(u, px)), r1 = _mm_and_ps(lanes, _mm_sub_ps(v, py));
  const __m128 zero = _mm_setzero_ps();
  const __m128 a[6] = {_mm_mul_ps(_mm_mul_ps(_mm_sub_ps(zero, px), qy), iz),
                       _mm_mul_ps(_mm_add_ps(qz, _mm_mul_ps(px, qx)), iz),
                       _mm_mul_ps(_mm_sub_ps(zero, qy), iz),
                       iz,
                       zero,
                       _mm_mul_ps(_mm_sub_ps(zero, px), iz)};
  const __m128 c[6] = {_mm_mul_ps(_mm_sub_ps(zero, _mm_add_ps(qz, _mm_mul_ps(py, qy))), iz),
                       _mm_mul_ps(_mm_mul_ps(py, qx), iz),
                       _mm_mul_ps(qx, iz),
                       zero,
                       iz,
                       _mm_mul_ps(_mm_sub_ps(zero, py), iz)};
  AccumulateEntries(a, c, r0, r1, sums, std::make_index_sequence<27>());
  sums[27] = _mm_add_ps(sums[27], _mm_add_ps(_mm_mul_ps(r0, r0), _mm_mul_ps(r1, r1)));
  return behind;
}

inline float HorizontalSum(__m128 s) {
  const __m128 h = _mm_add_ps(s, _mm_movehl_ps(s, s));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

}  // namespace

float ComputeProjectionJacobian(const LA::AlignedMatrix3f& C, const float* X, float u, float v,
                                float* residual, float* J) {
  const float qx = C.m[0][0] * X[0] + C.m[0][1] * X[1] + C.m[0][2] * X[2];
  const float qy = C.m[1][0] * X[0] + C.m[1][1] * X[1] + C.m[1][2] * X[2];
  const float qz = C.m[2][0] * X[0] + C.m[2][1] * X[1] + C.m[2][2] * X[2];
  const float z = qz + C.m[2][3];
  const float iz = 1.0f / z;
  const float px = (qx + C.m[0][3]) * iz, py = (qy + C.m[1][3]) * iz;
  residual[0] = u - px;
  residual[1] = v - py;
  J[0] = -px * qy * iz;
  J[1] = (qz + px * qx) * iz;
  J[2] = -qy * iz;
  J[3] = iz;
  J[4] = 0.0f;
  J[5] = -px * iz;
  J[6] = iz;
  J[7] = -py * iz;
  J[8] = -(qz + py * qy) * iz;
  J[9] = py * qx * iz;
  J[10] = qx * iz;
  J[11] = 0.0f;
  return z;
}

void AccumulateProjectionNormalEquation(const float* J, LA::AlignedCompactMatrix6f& A) {
  // Columns 0-3 of both rows as vectors, columns 4-5 as (x4, x5, y4, y5).
  const __m128 x03 = _mm_loadu_ps(J), y03 = _mm_loadu_ps(J + 8);
  const __m128 x45y45 = _mm_loadu_ps(J + 4);
  const __m128 x45x45 = _mm_movelh_ps(x45y45, x45y45);
  const __m128 y45y45 = _mm_movehl_ps(x45y45, x45y45);
  float* a = A.m;
  for (int pair = 0; pair < 3; ++pair, a += 12) {
    const int r0 = 2 * pair, r1 = r0 + 1;
    const __m128 xr0 = _mm_set1_ps(Jx(J, r0)), yr0 = _mm_set1_ps(Jy(J, r0));
    const __m128 xr1 = _mm_set1_ps(Jx(J, r1)), yr1 = _mm_set1_ps(Jy(J, r1));
    // Row r0, columns 0-3 and row r1, columns 0-3 (the parts below the
    // diagonal are overwritten by CopyUpperToLower later).
    if (pair < 2) {
      _mm_storeu_ps(
          a, _mm_add_ps(_mm_loadu_ps(a), _mm_add_ps(_mm_mul_ps(xr0, x03), _mm_mul_ps(yr0, y03))));
      _mm_storeu_ps(a + 8, _mm_add_ps(_mm_loadu_ps(a + 8),
                                      _mm_add_ps(_mm_mul_ps(xr1, x03), _mm_mul_ps(yr1, y03))));
    }
    // (r0, 4), (r0, 5), (r1, 4), (r1, 5).
    const __m128 xr = _mm_set_ps(Jx(J, r1), Jx(J, r1), Jx(J, r0), Jx(J, r0));
    const __m128 yr = _mm_set_ps(Jy(J, r1), Jy(J, r1), Jy(J, r0), Jy(J, r0));
    _mm_storeu_ps(a + 4, _mm_add_ps(_mm_loadu_ps(a + 4),
                                    _mm_add_ps(_mm_mul_ps(xr, x45x45), _mm_mul_ps(yr, y45y45))));
  }
}

void ScaleNormalEquation(const LA::AlignedVector6f& s, LA::AlignedCompactMatrix6f& A) {
  const __m128 s03 = _mm_load_ps(s.v), s4545 = _mm_load_ps(s.v + 4);
  float* a = A.m;
  for (int pair = 0; pair < 3; ++pair, a += 12) {
    const float si = s.v[2 * pair], sj = s.v[2 * pair + 1];
    const __m128 rowI = _mm_set1_ps(si), rowJ = _mm_set1_ps(sj);
    const __m128 rowIJ = _mm_set_ps(sj, sj, si, si);
    _mm_store_ps(a, _mm_mul_ps(_mm_load_ps(a), _mm_mul_ps(rowI, s03)));
    _mm_store_ps(a + 4, _mm_mul_ps(_mm_load_ps(a + 4), _mm_mul_ps(rowIJ, s4545)));
    _mm_store_ps(a + 8, _mm_mul_ps(_mm_load_ps(a + 8), _mm_mul_ps(rowJ, s03)));
  }
}

void CopyUpperToLower(LA::AlignedCompactMatrix6f& A) {
  for (int r = 1; r < 6; ++r)
    for (int c = 0; c < r; ++c) A(r, c) = A(c, r);
}

namespace {
constexpr int kPolishSteps = 10;
}  // namespace

float ComputePoseNormalEquation(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n,
                                const Camera& pose, LA::AlignedCompactMatrix6f& A,
                                LA::AlignedVector6f& b) {
  __m128 P[12];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) P[4 * r + c] = _mm_set1_ps(pose.m[r][c]);
  __m128 sums[kSums];
  for (__m128& s : sums) s = _mm_setzero_ps();
  const __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));
  int behind = 0;
  u32 i = 0;
  for (; i + 4 <= n; i += 4) behind |= AccumulateQuad(P, X + i, x + i, all, sums);
  if (i < n) {
    // The last one to three matches, padded with copies of the last one.
    LA::AlignedVector4f Xq[4];
    LA::Vector2<float> xq[4];
    alignas(16) int mask[4];
    for (u32 k = 0; k < 4; ++k) {
      const u32 j = std::min(i + k, n - 1);
      Xq[k] = X[j], xq[k] = x[j];
      mask[k] = i + k < n ? -1 : 0;
    }
    behind |= AccumulateQuad(P, Xq, xq, _mm_load_ps(reinterpret_cast<const float*>(mask)), sums);
  }
  if (behind != 0) return INFINITY;
  for (int k = 0; k < 21; ++k) {
    const float s = HorizontalSum(sums[k]);
    A(kUpper[k][0], kUpper[k][1]) = s;
    A(kUpper[k][1], kUpper[k][0]) = s;
  }
  for (int k = 0; k < 6; ++k) b.v[k] = HorizontalSum(sums[21 + k]);
  b.v[6] = b.v[7] = 0.0f;
  return HorizontalSum(sums[27]);
}

void PolishPose(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n, Camera& pose) {
  LA::AlignedCompactMatrix6f A;
  LA::AlignedVector6f b;
  float sse = ComputePoseNormalEquation(X, x, n, pose, A, b);
  if (!std::isfinite(sse)) return;
  for (int iteration = 0; iteration < kPolishSteps; ++iteration) {
    // Jacobi scaling keeps the pivots clear of the solver's absolute bound
    // whatever the depth of the scene.
    LA::AlignedVector6f s;
    for (int k = 0; k < 6; ++k) s.v[k] = A(k, k) > 0.0f ? 1.0f / std::sqrt(A(k, k)) : 0.0f;
    s.v[6] = s.v[4], s.v[7] = s.v[5];
    ScaleNormalEquation(s, A);
    for (int k = 0; k < 6; ++k) b.v[k] *= s.v[k];
    if (!LA::SolveLDL(A, b)) return;
    for (int k = 0; k < 6; ++k) b.v[k] *= s.v[k];
    Camera next;
    float scratch[4];
    LA::AlignedMatrix3f dR, R;
    RotationVectorToRotation(dR, b.v[0], b.v[1], b.v[2], scratch);
    LA::MultiplyAB(dR, pose, R, scratch);
    for (int row = 0; row < 3; ++row) {
      for (int c = 0; c < 3; ++c) next.m[row][c] = R.m[row][c];
      next.m[row][3] = pose.m[row][3] + b.v[3 + row];
    }
    // The error of the step comes with the normal equations of the next one.
    const float nextSSE = ComputePoseNormalEquation(X, x, n, next, A, b);
    if (!(nextSSE < sse)) return;
    const bool converged = sse - nextSSE <= 1e-6f * sse;
    pose = next;
    sse = nextSSE;
    if (converged) return;
  }
}
