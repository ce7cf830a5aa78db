#include "estimation/FivePointPolynomials.h"

#include <immintrin.h>

#include <cmath>
#include <utility>

namespace {

// Quadratic slot of (linear monomial a) * (linear monomial b), a, b in x, y, z, 1.
constexpr int kQuadraticSlot[4][4] = {{0, 1, 2, 3}, {1, 4, 5, 6}, {2, 5, 7, 10}, {3, 6, 10, 11}};

// Cubic slot of (linear monomial a) * (quadratic slot s); -1 for the padding.
constexpr int kCubicSlot[4][12] = {{0, 1, 2, 3, 4, 5, 6, 7, -1, -1, 8, 9},
                                   {1, 4, 5, 6, 10, 11, 12, 13, -1, -1, 14, 15},
                                   {2, 5, 7, 8, 11, 13, 14, 16, -1, -1, 17, 18},
                                   {3, 6, 8, 9, 12, 14, 15, 17, -1, -1, 18, 19}};

// out += sign * p q for linear p, q. The four products of p's coefficients with
// q are whole vectors; they are then spread into their quadratic slots.
inline void AddLinearProduct(const float* p, const float* q, float sign, float* out, float* tmp) {
  const __m128 vq = _mm_loadu_ps(q);
  for (int a = 0; a < 4; ++a) {
    _mm_storeu_ps(tmp, _mm_mul_ps(_mm_set1_ps(sign * p[a]), vq));
    for (int b = 0; b < 4; ++b) out[kQuadraticSlot[a][b]] += tmp[b];
  }
}

inline void ClearQuadratic(float* out) {
  for (int i = 0; i < 12; ++i) out[i] = 0.0f;
}

// out += p q for linear p and quadratic q.
inline void AddLinearQuadraticProduct(const float* p, const float* q, float* out, float* tmp) {
  const __m128 q0 = _mm_loadu_ps(q), q1 = _mm_loadu_ps(q + 4), q2 = _mm_loadu_ps(q + 8);
  for (int a = 0; a < 4; ++a) {
    const __m128 pa = _mm_set1_ps(p[a]);
    _mm_storeu_ps(tmp, _mm_mul_ps(pa, q0));
    _mm_storeu_ps(tmp + 4, _mm_mul_ps(pa, q1));
    _mm_storeu_ps(tmp + 8, _mm_mul_ps(pa, q2));
    for (int s = 0; s < 12; ++s) {
      const int slot = kCubicSlot[a][s];
      if (slot >= 0) out[slot] += tmp[s];
    }
  }
}

}  // namespace

void LinearMinorToQuadratic(const float* p1, const float* q1, const float* p2, const float* q2,
                            float* out, float* tmp) {
  ClearQuadratic(out);
  AddLinearProduct(p1, q1, 1.0f, out, tmp);
  AddLinearProduct(p2, q2, -1.0f, out, tmp);
}

void LinearDotToQuadratic(const float* p1, const float* q1, const float* p2, const float* q2,
                          const float* p3, const float* q3, float* out, float* tmp) {
  ClearQuadratic(out);
  AddLinearProduct(p1, q1, 1.0f, out, tmp);
  AddLinearProduct(p2, q2, 1.0f, out, tmp);
  AddLinearProduct(p3, q3, 1.0f, out, tmp);
}

void LinearQuadraticDotToCubic(const float* p1, const float* q1, const float* p2, const float* q2,
                               const float* p3, const float* q3, float* out, float* tmp) {
  for (int i = 0; i < 20; ++i) out[i] = 0.0f;
  AddLinearQuadraticProduct(p1, q1, out, tmp);
  AddLinearQuadraticProduct(p2, q2, out, tmp);
  AddLinearQuadraticProduct(p3, q3, out, tmp);
}

namespace LA {

bool GaussJordanEliminate10x20(float* a, float* tmp) {
  (void)tmp;
  // Forward elimination: only the columns right of each pivot are touched.
  for (int k = 0; k < 10; ++k) {
    // Partial pivoting: swapping rows leaves the reduced form [I | B] the
    // same and keeps single precision usable on ill-conditioned samples.
    int best = k;
    for (int i = k + 1; i < 10; ++i) {
      if (std::fabs(a[20 * i + k]) > std::fabs(a[20 * best + k])) best = i;
    }
    if (best != k) {
      for (int j = k; j < 20; ++j) std::swap(a[20 * k + j], a[20 * best + j]);
    }
    float* rk = a + 20 * k;
    const float pivot = rk[k];
    if (pivot == 0.0f || !std::isfinite(pivot)) return false;
    const float inv = 1.0f / pivot;
    for (int j = k + 1; j < 20; ++j) rk[j] *= inv;
    for (int i = k + 1; i < 10; ++i) {
      float* ri = a + 20 * i;
      const float f = ri[k];
      for (int j = k + 1; j < 20; ++j) ri[j] -= f * rk[j];
    }
  }
  // Back substitution on the right half; rows 10..19 of the result are four-
  // float aligned groups (columns 12-15, 16-19) plus columns 10-11.
  for (int k = 9; k > 0; --k) {
    const float* rk = a + 20 * k;
    const __m128 k0 = _mm_loadu_ps(rk + 12), k1 = _mm_loadu_ps(rk + 16);
    for (int i = 0; i < k; ++i) {
      float* ri = a + 20 * i;
      const float f = ri[k];
      const __m128 vf = _mm_set1_ps(f);
      ri[10] -= f * rk[10];
      ri[11] -= f * rk[11];
      _mm_storeu_ps(ri + 12, _mm_sub_ps(_mm_loadu_ps(ri + 12), _mm_mul_ps(vf, k0)));
      _mm_storeu_ps(ri + 16, _mm_sub_ps(_mm_loadu_ps(ri + 16), _mm_mul_ps(vf, k1)));
    }
  }
  return true;
}

}  // namespace LA
