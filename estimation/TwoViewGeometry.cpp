// Pixel/normalised transfers of two-view models and the symmetric epipolar
// error, scalar and four-wide with the same operation order.
#include "estimation/TwoViewGeometry.h"

#include <immintrin.h>

namespace {

// M := M A with A = [a 0 -a p; 0 a -a q; 0 0 1], the first-image side of
// both transfers: columns 0 and 1 scaled by a, column 2 = m2 - a p m0 - a q m1.
void MultiplyFirstImageTransfer(LA::AlignedMatrix3f& M, f32 a, f32 p, f32 q) {
  const f32 ap = a * p, aq = a * q;
  for (int i = 0; i < 3; ++i) {
    f32* m = M.m[i];
    const f32 m0 = m[0], m1 = m[1];
    m[2] = (m[2] - ap * m0) - aq * m1;
    m[0] = a * m0;
    m[1] = a * m1;
  }
}

}  // namespace

void TransformHomography(LA::AlignedMatrix3f& H, const f32* means, f32 a, f32 b,
                         LA::AlignedVector4f* scratch) {
  (void)scratch;
  const f32 r = means[2], s = means[3];
  const f32 ib = 1.0f / b;
  MultiplyFirstImageTransfer(H, a, means[0], means[1]);
  // B (H A): rows 0 and 1 become row / b + (r or s) row 2.
  for (int j = 0; j < 3; ++j) {
    const f32 h2 = H.m[2][j];
    H.m[0][j] = ib * H.m[0][j] + r * h2;
    H.m[1][j] = ib * H.m[1][j] + s * h2;
  }
}

void TransformFundamentalMatrix(LA::AlignedMatrix3f& F, const f32* means, f32 a, f32 b,
                                LA::AlignedVector4f* scratch) {
  (void)scratch;
  const f32 br = b * means[2], bs = b * means[3];
  MultiplyFirstImageTransfer(F, a, means[0], means[1]);
  // B^T (F A): rows 0 and 1 scaled by b, row 2 = row 2 - b r row 0 - b s row 1.
  for (int j = 0; j < 3; ++j) {
    const f32 f0 = F.m[0][j], f1 = F.m[1][j];
    F.m[2][j] = (F.m[2][j] - br * f0) - bs * f1;
    F.m[0][j] = b * f0;
    F.m[1][j] = b * f1;
  }
}

f32 ComputeSymmetricEpipolarError(const LA::AlignedMatrix3f& F, const LA::Vector2<f32>& p1,
                                  const LA::Vector2<f32>& p2, f32* scratch) {
  const f32 x1 = p1.x, y1 = p1.y, x2 = p2.x, y2 = p2.y;
  const f32 l0 = (F.m[0][0] * x1 + F.m[0][1] * y1) + F.m[0][2];
  const f32 l1 = (F.m[1][0] * x1 + F.m[1][1] * y1) + F.m[1][2];
  const f32 e = (((x2 * l0 + y2 * l1) + F.m[2][0] * x1) + F.m[2][1] * y1) + F.m[2][2];
  const f32 e2 = e * e;
  const f32 m0 = (F.m[0][0] * x2 + F.m[1][0] * y2) + F.m[2][0];
  const f32 m1 = (F.m[0][1] * x2 + F.m[1][1] * y2) + F.m[2][1];
  scratch[0] = l0;
  scratch[1] = l1;
  scratch[2] = e;
  scratch[3] = e2;
  scratch[4] = m0;
  scratch[5] = m1;
  return e2 / (m0 * m0 + m1 * m1) + e2 / (l0 * l0 + l1 * l1);
}

void ComputeSymmetricEpipolarError4(const LA::AlignedVector4f* Fb, const f32* x1, const f32* y1,
                                    const f32* x2, const f32* y2, f32* out,
                                    LA::AlignedVector4f* scratch) {
  const __m128 vx1 = _mm_load_ps(x1), vy1 = _mm_load_ps(y1);
  const __m128 vx2 = _mm_load_ps(x2), vy2 = _mm_load_ps(y2);
  __m128 F[9];
  for (int i = 0; i < 9; ++i) F[i] = _mm_load_ps(Fb[i].v);
  const __m128 l0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(F[0], vx1), _mm_mul_ps(F[1], vy1)), F[2]);
  const __m128 l1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(F[3], vx1), _mm_mul_ps(F[4], vy1)), F[5]);
  __m128 e = _mm_add_ps(_mm_mul_ps(vx2, l0), _mm_mul_ps(vy2, l1));
  e = _mm_add_ps(_mm_add_ps(_mm_add_ps(e, _mm_mul_ps(F[6], vx1)), _mm_mul_ps(F[7], vy1)), F[8]);
  const __m128 e2 = _mm_mul_ps(e, e);
  const __m128 m0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(F[0], vx2), _mm_mul_ps(F[3], vy2)), F[6]);
  const __m128 m1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(F[1], vx2), _mm_mul_ps(F[4], vy2)), F[7]);
  _mm_store_ps(scratch[0].v, l0);
  _mm_store_ps(scratch[1].v, l1);
  _mm_store_ps(scratch[2].v, e);
  _mm_store_ps(scratch[3].v, e2);
  _mm_store_ps(scratch[4].v, m0);
  _mm_store_ps(scratch[5].v, m1);
  const __m128 dm = _mm_add_ps(_mm_mul_ps(m0, m0), _mm_mul_ps(m1, m1));
  const __m128 dl = _mm_add_ps(_mm_mul_ps(l0, l0), _mm_mul_ps(l1, l1));
  _mm_store_ps(out, _mm_add_ps(_mm_div_ps(e2, dm), _mm_div_ps(e2, dl)));
}

void BroadcastMatrix3(const LA::AlignedMatrix3f& F, LA::AlignedVector4f* Fb) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) _mm_store_ps(Fb[3 * i + j].v, _mm_set1_ps(F.m[i][j]));
}
