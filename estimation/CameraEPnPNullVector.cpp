#include "estimation/CameraEPnPNullVector.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

constexpr int kN = 12;
// Inverse iterations after the first (which solves with U only); with the
// bisected shift one more already converges to float precision.
constexpr int kInverseIterations = 2;

inline float Dot12(const float* a, const float* b) {
  const __m128 s = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_load_ps(a), _mm_load_ps(b)),
                                         _mm_mul_ps(_mm_load_ps(a + 4), _mm_load_ps(b + 4))),
                              _mm_mul_ps(_mm_load_ps(a + 8), _mm_load_ps(b + 8)));
  const __m128 h = _mm_add_ps(s, _mm_movehl_ps(s, s));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

// a -= s b over twelve floats.
inline void SubtractScaled12(float* a, float s, const float* b) {
  const __m128 sv = _mm_set1_ps(s);
  for (int c = 0; c < kN; c += 4)
    _mm_store_ps(a + c, _mm_sub_ps(_mm_load_ps(a + c), _mm_mul_ps(sv, _mm_load_ps(b + c))));
}

// Householder reduction A = Q T Q^T, Q = H_0 H_1 ... H_(n-3), H_k = I - v v^T
// with v = V[k] zero on indices 0..k. Every row is handled at full width:
// the zeros of v keep the finished columns unchanged. d: diagonal of T;
// e[k] = T(k + 1, k).
void Tridiagonalize(float* A, float (*V)[kN], float* d, float* e) {
  for (int k = 0; k < kN - 2; ++k) {
    const float* a = A + k * kN;
    float* v = V[k];
    d[k] = a[k];
    std::fill(v, v + kN, 0.0f);
    float tail = 0.0f;
    for (int i = k + 2; i < kN; ++i) tail += a[i] * a[i];
    const float x0 = a[k + 1];
    if (tail == 0.0f) {
      // Column already tridiagonal: the reflection is the identity (v = 0).
      e[k] = x0;
      continue;
    }
    const float alpha = x0 > 0.0f ? -std::sqrt(x0 * x0 + tail) : std::sqrt(x0 * x0 + tail);
    // v = (x - alpha e1) sqrt(tau), tau = 2 / |x - alpha e1|^2 = -1 / (alpha (x0 - alpha)) > 0.
    const float scale = std::sqrt(-1.0f / (alpha * (x0 - alpha)));
    v[k + 1] = (x0 - alpha) * scale;
    for (int i = k + 2; i < kN; ++i) v[i] = a[i] * scale;
    e[k] = alpha;
    // B <- H B H = B - v w^T - w v^T with p = B v, w = p - (p.v / 2) v. As B
    // is symmetric, p is the sum of its rows weighted by v; the columns up to
    // k of those rows are finished and masked off.
    __m128 p0 = _mm_setzero_ps(), p1 = p0, p2 = p0;
    for (int j = k + 1; j < kN; ++j) {
      const float* row = A + j * kN;
      const __m128 vj = _mm_set1_ps(v[j]);
      p0 = _mm_add_ps(p0, _mm_mul_ps(vj, _mm_load_ps(row)));
      p1 = _mm_add_ps(p1, _mm_mul_ps(vj, _mm_load_ps(row + 4)));
      p2 = _mm_add_ps(p2, _mm_mul_ps(vj, _mm_load_ps(row + 8)));
    }
    alignas(16) float w[kN];
    _mm_store_ps(w, p0);
    _mm_store_ps(w + 4, p1);
    _mm_store_ps(w + 8, p2);
    std::fill(w, w + k + 1, 0.0f);
    SubtractScaled12(w, 0.5f * Dot12(w, v), v);
    for (int i = k + 1; i < kN; ++i) {
      float* row = A + i * kN;
      SubtractScaled12(row, v[i], w);
      SubtractScaled12(row, w[i], v);
    }
  }
  d[kN - 2] = A[(kN - 2) * kN + kN - 2];
  d[kN - 1] = A[(kN - 1) * kN + kN - 1];
  e[kN - 2] = A[(kN - 2) * kN + kN - 1];
  e[kN - 1] = 0.0f;
}

// For eight shifts at once, whether T - s I has a negative LDL^T pivot, that
// is whether an eigenvalue of T lies below s; bit j answers shift j. Two
// independent four-wide chains hide the latency of the divisions.
int AnyBelow8(const float* d, const float* e2, __m128 sa, __m128 sb, float pivmin) {
  const __m128 tiny = _mm_set1_ps(pivmin), negativeTiny = _mm_set1_ps(-pivmin);
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 zero = _mm_setzero_ps();
  __m128 qa = zero, qb = zero, na = zero, nb = zero;
  for (int i = 0; i < kN; ++i) {
    const __m128 di = _mm_set1_ps(d[i]);
    if (i == 0) {
      qa = _mm_sub_ps(di, sa);
      qb = _mm_sub_ps(di, sb);
    } else {
      const __m128 ei = _mm_set1_ps(e2[i - 1]);
      qa = _mm_sub_ps(_mm_sub_ps(di, sa), _mm_div_ps(ei, qa));
      qb = _mm_sub_ps(_mm_sub_ps(di, sb), _mm_div_ps(ei, qb));
    }
    // A pivot at (or under) the safe minimum counts as negative, as in LAPACK.
    qa = _mm_blendv_ps(qa, negativeTiny, _mm_cmple_ps(_mm_and_ps(qa, absMask), tiny));
    qb = _mm_blendv_ps(qb, negativeTiny, _mm_cmple_ps(_mm_and_ps(qb, absMask), tiny));
    na = _mm_or_ps(na, _mm_cmplt_ps(qa, zero));
    nb = _mm_or_ps(nb, _mm_cmplt_ps(qb, zero));
  }
  return _mm_movemask_ps(na) | (_mm_movemask_ps(nb) << 4);
}

// Smallest eigenvalue of T to the absolute accuracy of float on ||T||, by
// multisection: eight shifts split the bracket into nine parts per pass.
float SmallestEigenvalue(const float* d, const float* e, float& norm) {
  float e2[kN], lo = FLT_MAX, hi = -FLT_MAX, largestE2 = 1.0f;
  norm = 0.0f;
  for (int i = 0; i < kN; ++i) {
    e2[i] = e[i] * e[i];
    largestE2 = std::max(largestE2, e2[i]);
    const float r = std::fabs(e[i]) + (i > 0 ? std::fabs(e[i - 1]) : 0.0f);
    lo = std::min(lo, d[i] - r);
    hi = std::max(hi, d[i] + r);
    norm = std::max(norm, std::fabs(d[i]) + r);
  }
  const float pivmin = FLT_MIN * largestE2;
  const float tolerance = 2.0f * FLT_EPSILON * norm + pivmin;
  // Gershgorin brackets every eigenvalue, and the smallest is at most the
  // smallest diagonal entry (a Rayleigh quotient); widen a hair against rounding.
  hi = std::min(hi, *std::min_element(d, d + kN));
  lo -= tolerance;
  hi += tolerance;
  const __m128 steps0 = _mm_setr_ps(1.0f, 2.0f, 3.0f, 4.0f);
  const __m128 steps1 = _mm_setr_ps(5.0f, 6.0f, 7.0f, 8.0f);
  // At most 40 passes: the bracket shrinks nine-fold per pass until rounding
  // stops it, which the loop also detects.
  for (int pass = 0; pass < 40 && hi - lo > tolerance; ++pass) {
    const float step = (hi - lo) * (1.0f / 9.0f);
    alignas(16) float s[8];
    _mm_store_ps(s, _mm_add_ps(_mm_set1_ps(lo), _mm_mul_ps(steps0, _mm_set1_ps(step))));
    _mm_store_ps(s + 4, _mm_add_ps(_mm_set1_ps(lo), _mm_mul_ps(steps1, _mm_set1_ps(step))));
    const int below = AnyBelow8(d, e2, _mm_load_ps(s), _mm_load_ps(s + 4), pivmin);
    // Counts grow with the shift: the first shift with an eigenvalue below it
    // is the new upper end, the one before it the new lower end.
    const int j = below == 0 ? 8 : __builtin_ctz(static_cast<unsigned>(below));
    const float newLo = j > 0 ? s[j - 1] : lo, newHi = j < 8 ? s[j] : hi;
    if (!(newHi - newLo < hi - lo)) break;
    lo = newLo, hi = newHi;
  }
  return 0.5f * (lo + hi);
}

// Eigenvector of T for the eigenvalue lambda by inverse iteration: T - lambda I
// is factored P L U with partial pivoting, tiny pivots raised to eps ||T||.
void TridiagonalEigenvector(const float* d, const float* e, float lambda, float norm, float* z) {
  float u0[kN], u1[kN], u2[kN], l[kN];
  bool swapped[kN];
  float diag = d[0] - lambda, super = e[0];
  for (int i = 0; i + 1 < kN; ++i) {
    const float sub = e[i], nextDiag = d[i + 1] - lambda, nextSuper = e[i + 1];
    if (std::fabs(sub) > std::fabs(diag)) {
      swapped[i] = true;
      u0[i] = sub, u1[i] = nextDiag, u2[i] = nextSuper;
      l[i] = diag / sub;
      diag = super - l[i] * nextDiag;
      super = -l[i] * nextSuper;
    } else {
      swapped[i] = false;
      u0[i] = diag, u1[i] = super, u2[i] = 0.0f;
      l[i] = diag != 0.0f ? sub / diag : 0.0f;
      diag = nextDiag - l[i] * super;
      super = nextSuper;
    }
  }
  u0[kN - 1] = diag;
  u1[kN - 1] = u2[kN - 1] = 0.0f;
  const float floor = std::max(FLT_EPSILON * norm, FLT_MIN);
  // Reciprocal pivots: the back substitutions then chain multiplications only.
  for (int i = 0; i < kN; ++i) {
    if (std::fabs(u0[i]) < floor) u0[i] = u0[i] < 0.0f ? -floor : floor;
    u0[i] = 1.0f / u0[i];
  }

  const auto solveU = [&] {
    for (int i = kN - 1; i >= 0; --i) {
      float s = z[i];
      if (i + 1 < kN) s -= u1[i] * z[i + 1];
      if (i + 2 < kN) s -= u2[i] * z[i + 2];
      z[i] = s * u0[i];
    }
  };
  const auto scaleToUnitMax = [&] {
    float largest = 0.0f;
    for (int i = 0; i < kN; ++i) largest = std::max(largest, std::fabs(z[i]));
    const float s = 1.0f / largest;
    for (int i = 0; i < kN; ++i) z[i] *= s;
  };
  // First pass with U alone (a right side of ones seen through L^-1), the
  // usual start that cannot be orthogonal to the wanted vector.
  for (int i = 0; i < kN; ++i) z[i] = 1.0f;
  solveU();
  scaleToUnitMax();
  for (int iteration = 0; iteration < kInverseIterations; ++iteration) {
    for (int i = 0; i + 1 < kN; ++i) {
      if (swapped[i]) std::swap(z[i], z[i + 1]);
      z[i + 1] -= l[i] * z[i];
    }
    solveU();
    scaleToUnitMax();
  }
}

}  // namespace

bool ComputeSmallestEigenvector12(float* A, float* vector, float& eigenvalue) {
  alignas(16) float V[kN - 2][kN];
  alignas(16) float z[kN];
  float d[kN], e[kN];
  // x * 0 is 0 for finite x and NaN for infinities and NaNs.
  __m128 probe = _mm_setzero_ps();
  for (int i = 0; i < kN * kN; i += 4)
    probe = _mm_add_ps(probe, _mm_mul_ps(_mm_load_ps(A + i), _mm_setzero_ps()));
  if (_mm_movemask_ps(_mm_cmpunord_ps(probe, probe)) != 0) return false;
  Tridiagonalize(A, V, d, e);
  float norm;
  const float lambda = SmallestEigenvalue(d, e, norm);
  TridiagonalEigenvector(d, e, lambda, norm, z);
  for (int k = kN - 3; k >= 0; --k) SubtractScaled12(z, Dot12(V[k], z), V[k]);
  const float inverse = 1.0f / std::sqrt(Dot12(z, z));
  for (int i = 0; i < kN; ++i) vector[i] = z[i] * inverse;
  eigenvalue = lambda;
  return true;
}
