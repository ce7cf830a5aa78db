#include "estimation/ProjectionNormalEquation.h"

#include <immintrin.h>

namespace {

// Jacobian entry k of the x row and of the y row in the twelve-float layout.
inline float Jx(const float* J, int k) {
  return J[k];
}
inline float Jy(const float* J, int k) {
  return k < 4 ? J[8 + k] : J[2 + k];
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
