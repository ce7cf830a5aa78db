// SSE kernels over the 15-parameter camera vectors and blocks. Each kernel is
// unrolled over the five groups and keeps a fixed summation order, so that the
// solvers give bit-equal results from run to run.
#include "la/Block15.h"

#include <immintrin.h>

#include <cstring>

namespace LA {
namespace {

inline u32 CommonSize(const CameraVector15Array& x, const CameraVector15Array& y) {
  return x.Size() < y.Size() ? x.Size() : y.Size();
}

// Per-element reduction of the products of five groups: the first four
// groups are transposed so that one vertical add gives (p1 + p0) + p2 of each
// group at once; the group sums are then added in the order 1, 0, 2, 3, 4.
inline float ElementSum(__m128 g0, __m128 g1, __m128 g2, __m128 g3, __m128 g4) {
  _MM_TRANSPOSE4_PS(g0, g1, g2, g3);
  alignas(16) float s[4];
  alignas(16) float t[4];
  _mm_store_ps(s, _mm_add_ps(_mm_add_ps(g1, g0), g2));
  _mm_store_ps(t, g4);
  const float s4 = (t[1] + t[0]) + t[2];
  return (((s[1] + s[0]) + s[2]) + s[3]) + s4;
}

// (r0 . x, r1 . x, r2 . x, 0) over three stored rows, each dot added as
// (e1 + e0) + e2; the fourth floats of rows and x never enter.
inline __m128 RowDots(const float (*r)[4], __m128 x) {
  __m128 a = _mm_mul_ps(_mm_load_ps(r[0]), x);
  __m128 b = _mm_mul_ps(_mm_load_ps(r[1]), x);
  __m128 c = _mm_mul_ps(_mm_load_ps(r[2]), x);
  __m128 d = _mm_setzero_ps();
  _MM_TRANSPOSE4_PS(a, b, c, d);
  return _mm_add_ps(_mm_add_ps(b, a), c);
}

// R^T x over three stored rows, as x0 r0 + x1 r1 + x2 r2 on all four floats.
inline __m128 ColumnProduct(const float (*r)[4], __m128 x) {
  const __m128 x0 = _mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 0, 0, 0));
  const __m128 x1 = _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 1, 1, 1));
  const __m128 x2 = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 2, 2, 2));
  return _mm_add_ps(
      _mm_add_ps(_mm_mul_ps(x0, _mm_load_ps(r[0])), _mm_mul_ps(x1, _mm_load_ps(r[1]))),
      _mm_mul_ps(x2, _mm_load_ps(r[2])));
}

inline __m128 Diagonal(const float* d, __m128 x) {
  return _mm_mul_ps(_mm_load_ps(d), x);
}

inline __m128 Abs(__m128 v) {
  return _mm_andnot_ps(_mm_set1_ps(-0.0f), v);
}

inline void RaiseMax(__m128 a, float& max, float& scratch) {
  alignas(16) float f[4];
  _mm_store_ps(f, a);
  for (int k = 0; k < 3; ++k) {
    scratch = f[k];
    if (scratch > max) max = scratch;
  }
}

}  // namespace

float SquaredNorm15(const CameraVector15Array& x) {
  float sum = 0.0f;
  const u32 n = x.Size();
  for (u32 i = 0; i < n; ++i) {
    const float* v = x[i].v;
    __m128 g[5];
    for (int k = 0; k < 5; ++k) {
      const __m128 a = _mm_load_ps(v + 4 * k);
      g[k] = _mm_mul_ps(a, a);
    }
    sum += ElementSum(g[0], g[1], g[2], g[3], g[4]);
  }
  return sum;
}

float WeightedSquaredNorm15(const CameraVector15Array& x, const CameraVector15Array& w) {
  float sum = 0.0f;
  const u32 n = CommonSize(x, w);
  for (u32 i = 0; i < n; ++i) {
    const float* v = x[i].v;
    const float* u = w[i].v;
    __m128 g[5];
    for (int k = 0; k < 5; ++k) {
      const __m128 a = _mm_load_ps(v + 4 * k);
      g[k] = _mm_mul_ps(_mm_load_ps(u + 4 * k), _mm_mul_ps(a, a));
    }
    sum += ElementSum(g[0], g[1], g[2], g[3], g[4]);
  }
  return sum;
}

float Dot15(const CameraVector15Array& x, const CameraVector15Array& y) {
  float sum = 0.0f;
  const u32 n = CommonSize(x, y);
  for (u32 i = 0; i < n; ++i) {
    const float* v = x[i].v;
    const float* u = y[i].v;
    __m128 g[5];
    for (int k = 0; k < 5; ++k) g[k] = _mm_mul_ps(_mm_load_ps(v + 4 * k), _mm_load_ps(u + 4 * k));
    sum += ElementSum(g[0], g[1], g[2], g[3], g[4]);
  }
  return sum;
}

void MaxAbs15(const CameraVector15Array& x, float& max, float& scratch) {
  const u32 n = x.Size();
  for (u32 i = 0; i < n; ++i) {
    const float* v = x[i].v;
    RaiseMax(Abs(_mm_load_ps(v)), max, scratch);
    RaiseMax(Abs(_mm_load_ps(v + 4)), max, scratch);
    RaiseMax(Abs(_mm_load_ps(v + 8)), max, scratch);
    RaiseMax(Abs(_mm_load_ps(v + 12)), max, scratch);
    RaiseMax(Abs(_mm_load_ps(v + 16)), max, scratch);
  }
}

void MultiplySymmetricBlock15(const CameraBlock15& A, const CameraVector15& x, CameraVector15& y) {
  using R = CameraBlock15;
  const auto& m = A.m;
  const __m128 x0 = _mm_load_ps(x.v), x1 = _mm_load_ps(x.v + 4), x2 = _mm_load_ps(x.v + 8),
               x3 = _mm_load_ps(x.v + 12), x4 = _mm_load_ps(x.v + 16);
  __m128 y0 = _mm_load_ps(y.v), y1 = _mm_load_ps(y.v + 4), y2 = _mm_load_ps(y.v + 8),
         y3 = _mm_load_ps(y.v + 12), y4 = _mm_load_ps(y.v + 16);

  y0 = _mm_add_ps(y0, RowDots(m + R::kPP, x0));
  y0 = _mm_add_ps(y0, Diagonal(m[R::kPV], x1));
  y1 = _mm_add_ps(y1, Diagonal(m[R::kPV], x0));

  y0 = _mm_add_ps(y0, RowDots(m + R::kPR, x2));
  y2 = _mm_add_ps(y2, ColumnProduct(m + R::kPR, x0));
  y0 = _mm_add_ps(y0, RowDots(m + R::kPBa, x3));
  y3 = _mm_add_ps(y3, ColumnProduct(m + R::kPBa, x0));
  y0 = _mm_add_ps(y0, RowDots(m + R::kPBg, x4));
  y4 = _mm_add_ps(y4, ColumnProduct(m + R::kPBg, x0));

  y1 = _mm_add_ps(y1, Diagonal(m[R::kVV], x1));
  y1 = _mm_add_ps(y1, RowDots(m + R::kVR, x2));
  y2 = _mm_add_ps(y2, ColumnProduct(m + R::kVR, x1));
  y1 = _mm_add_ps(y1, RowDots(m + R::kVBa, x3));
  y3 = _mm_add_ps(y3, ColumnProduct(m + R::kVBa, x1));
  y1 = _mm_add_ps(y1, RowDots(m + R::kVBg, x4));
  y4 = _mm_add_ps(y4, ColumnProduct(m + R::kVBg, x1));

  y2 = _mm_add_ps(y2, RowDots(m + R::kRR, x2));
  y2 = _mm_add_ps(y2, RowDots(m + R::kRBa, x3));
  y3 = _mm_add_ps(y3, ColumnProduct(m + R::kRBa, x2));
  y2 = _mm_add_ps(y2, RowDots(m + R::kRBg, x4));
  y4 = _mm_add_ps(y4, ColumnProduct(m + R::kRBg, x2));

  y3 = _mm_add_ps(y3, RowDots(m + R::kBaBa, x3));
  y3 = _mm_add_ps(y3, RowDots(m + R::kBaBg, x4));
  y4 = _mm_add_ps(y4, ColumnProduct(m + R::kBaBg, x3));

  y4 = _mm_add_ps(y4, RowDots(m + R::kBgBg, x4));

  _mm_store_ps(y.v, y0);
  _mm_store_ps(y.v + 4, y1);
  _mm_store_ps(y.v + 8, y2);
  _mm_store_ps(y.v + 12, y3);
  _mm_store_ps(y.v + 16, y4);
}

void MultiplyBlock15(const MotionPairBlock& B, const CameraVector15& xj, CameraVector15& yi) {
  using R = MotionPairBlock;
  const auto& m = B.m;
  const __m128 x0 = _mm_load_ps(xj.v), x1 = _mm_load_ps(xj.v + 4), x2 = _mm_load_ps(xj.v + 8),
               x3 = _mm_load_ps(xj.v + 12), x4 = _mm_load_ps(xj.v + 16);
  float* y = yi.v;

  const __m128 t0 = _mm_add_ps(RowDots(m + R::kB00, x0), RowDots(m + R::kB02, x2));
  const __m128 t1 = _mm_add_ps(Diagonal(m[R::kD10], x0), Diagonal(m[R::kD11], x1));
  const __m128 t2 = _mm_add_ps(_mm_add_ps(RowDots(m + R::kB20, x0), RowDots(m + R::kB21, x1)),
                               RowDots(m + R::kB22, x2));
  const __m128 t3 = _mm_add_ps(_mm_add_ps(RowDots(m + R::kB30, x0), RowDots(m + R::kB31, x1)),
                               Diagonal(m[R::kD33], x3));
  const __m128 t4 =
      _mm_add_ps(_mm_add_ps(_mm_add_ps(RowDots(m + R::kB40, x0), RowDots(m + R::kB41, x1)),
                            RowDots(m + R::kB42, x2)),
                 Diagonal(m[R::kD44], x4));

  _mm_store_ps(y, _mm_add_ps(_mm_load_ps(y), t0));
  _mm_store_ps(y + 4, _mm_add_ps(_mm_load_ps(y + 4), t1));
  _mm_store_ps(y + 8, _mm_add_ps(_mm_load_ps(y + 8), t2));
  _mm_store_ps(y + 12, _mm_add_ps(_mm_load_ps(y + 12), t3));
  _mm_store_ps(y + 16, _mm_add_ps(_mm_load_ps(y + 16), t4));
}

void MultiplyBlock15Transposed(const MotionPairBlock& B, const CameraVector15& xi,
                               CameraVector15& yj) {
  using R = MotionPairBlock;
  const auto& m = B.m;
  const __m128 x0 = _mm_load_ps(xi.v), x1 = _mm_load_ps(xi.v + 4), x2 = _mm_load_ps(xi.v + 8),
               x3 = _mm_load_ps(xi.v + 12), x4 = _mm_load_ps(xi.v + 16);
  float* y = yj.v;

  __m128 t0 = _mm_add_ps(ColumnProduct(m + R::kB00, x0), Diagonal(m[R::kD10], x1));
  t0 = _mm_add_ps(t0, ColumnProduct(m + R::kB20, x2));
  t0 = _mm_add_ps(t0, ColumnProduct(m + R::kB30, x3));
  t0 = _mm_add_ps(t0, ColumnProduct(m + R::kB40, x4));
  __m128 t1 = _mm_add_ps(Diagonal(m[R::kD11], x1), ColumnProduct(m + R::kB21, x2));
  t1 = _mm_add_ps(t1, ColumnProduct(m + R::kB31, x3));
  t1 = _mm_add_ps(t1, ColumnProduct(m + R::kB41, x4));
  __m128 t2 = _mm_add_ps(ColumnProduct(m + R::kB02, x0), ColumnProduct(m + R::kB22, x2));
  t2 = _mm_add_ps(t2, ColumnProduct(m + R::kB42, x4));
  const __m128 t3 = Diagonal(m[R::kD33], x3);
  const __m128 t4 = Diagonal(m[R::kD44], x4);

  _mm_store_ps(y, _mm_add_ps(_mm_load_ps(y), t0));
  _mm_store_ps(y + 4, _mm_add_ps(_mm_load_ps(y + 4), t1));
  _mm_store_ps(y + 8, _mm_add_ps(_mm_load_ps(y + 8), t2));
  _mm_store_ps(y + 12, _mm_add_ps(_mm_load_ps(y + 12), t3));
  _mm_store_ps(y + 16, _mm_add_ps(_mm_load_ps(y + 16), t4));
}

void AddScaled15(const CameraVector15Array& a, float s, const CameraVector15Array& y,
                 CameraVector15Array& x) {
  const __m128 vs = _mm_set1_ps(s);
  for (u32 i = 0; i < a.Size(); ++i)
    for (int g = 0; g < 20; g += 4)
      _mm_store_ps(x[i].v + g,
                   _mm_add_ps(_mm_load_ps(a[i].v + g), _mm_mul_ps(vs, _mm_load_ps(y[i].v + g))));
}

namespace {
using R = CameraBlock15;
// First rows of the 3x3 diagonal sub-blocks of groups 0, 2, 3, 4.
constexpr int kDiagonalRows[5] = {R::kPP, -1, R::kRR, R::kBaBa, R::kBgBg};
constexpr int kBlockGroups[4] = {0, 2, 3, 4};

// (r0 . x, r1 . x, r2 . x, r2' . x) of three rows as pairwise sums.
inline __m128 MulRows3(const float (*B)[4], __m128 x) {
  const __m128 a = _mm_mul_ps(_mm_load_ps(B[0]), x);
  const __m128 b = _mm_mul_ps(_mm_load_ps(B[1]), x);
  const __m128 c = _mm_mul_ps(_mm_load_ps(B[2]), x);
  return _mm_hadd_ps(_mm_hadd_ps(a, b), _mm_hadd_ps(c, _mm_setzero_ps()));
}

inline void Invert3(const float (*A)[4], float (*out)[4]) {
  LA::InvertSymmetric3x3(*reinterpret_cast<const AlignedMatrix3f*>(A),
                         *reinterpret_cast<AlignedMatrix3f*>(out));
  out[0][3] = out[1][3] = out[2][3] = 0.0f;
}
}  // namespace

void SaveDiagonals15(const AlignedArray<CameraBlock15>& A, CameraVector15Array& d) {
  d.Resize(A.Size());
  for (u32 i = 0; i < A.Size(); ++i) {
    const float(*a)[4] = A[i].m;
    float* v = d[i].v;
    std::memcpy(v + 4, a[R::kVV], sizeof(float) * 4);
    for (int g : kBlockGroups) {
      for (int k = 0; k < 3; ++k) v[4 * g + k] = a[kDiagonalRows[g] + k][k];
      v[4 * g + 3] = 0.0f;
    }
  }
}

void DampDiagonals15(const CameraVector15Array& d, float factor, AlignedArray<CameraBlock15>& A) {
  for (u32 i = 0; i < A.Size(); ++i) {
    float(*a)[4] = A[i].m;
    const float* v = d[i].v;
    _mm_store_ps(a[R::kVV], _mm_mul_ps(_mm_load_ps(v + 4), _mm_set1_ps(factor)));
    for (int g : kBlockGroups)
      for (int k = 0; k < 3; ++k) a[kDiagonalRows[g] + k][k] = v[4 * g + k] * factor;
  }
}

void InvertDiagonalBlocks15(const AlignedArray<CameraBlock15>& A, AlignedArray<BlockJacobi15>& M) {
  using K = BlockJacobi15;
  M.Resize(A.Size());
  for (u32 i = 0; i < A.Size(); ++i) {
    const float(*a)[4] = A[i].m;
    float(*m)[4] = M[i].m;
    Invert3(a + R::kPP, m + K::kP);
    for (int k = 0; k < 3; ++k) m[K::kV][k] = a[R::kVV][k] == 0.0f ? 0.0f : 1.0f / a[R::kVV][k];
    m[K::kV][3] = 0.0f;
    Invert3(a + R::kRR, m + K::kR);
    Invert3(a + R::kBaBa, m + K::kBa);
    Invert3(a + R::kBgBg, m + K::kBg);
  }
}

void ApplyBlockJacobi15(const AlignedArray<BlockJacobi15>& M, const CameraVector15Array& r,
                        CameraVector15Array& z) {
  using K = BlockJacobi15;
  for (u32 i = 0; i < r.Size(); ++i) {
    const float(*m)[4] = M[i].m;
    const float* x = r[i].v;
    float* y = z[i].v;
    _mm_store_ps(y, MulRows3(m + K::kP, _mm_load_ps(x)));
    _mm_store_ps(y + 4, _mm_mul_ps(_mm_load_ps(m[K::kV]), _mm_load_ps(x + 4)));
    _mm_store_ps(y + 8, MulRows3(m + K::kR, _mm_load_ps(x + 8)));
    _mm_store_ps(y + 12, MulRows3(m + K::kBa, _mm_load_ps(x + 12)));
    _mm_store_ps(y + 16, MulRows3(m + K::kBg, _mm_load_ps(x + 16)));
  }
}

}  // namespace LA
