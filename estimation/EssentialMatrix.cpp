#include "estimation/EssentialMatrix.h"

#include <immintrin.h>

#include "estimation/MatchSet2D.h"
#include "la/Lapack.h"

namespace {

// LAPACK sees the stored rows of E as the columns of A = E^T = U_A S V_A^T, so
// E = V_A S U_A^T. With U (LDU 4) and VT (LDVT 4) as LAPACK writes them:
//  - column k of E's U is row k of VT: stored row r of VT holds (U_E(r,0),
//    U_E(r,1), U_E(r,2)) in vt[4r..4r+2];
//  - column k of E's V is column k of U_A, stored in u[4k..4k+2].
struct SvdLayout {
  float* s;     // 4 floats
  float* u;     // 12 floats
  float* vt;    // 12 floats
  float* work;  // 16 floats (LWORK 15)
  explicit SvdLayout(float* scratch)
      : s(scratch), u(scratch + 4), vt(scratch + 16), work(scratch + 28) {}
};

// Decomposes the rows of `a` (3 rows of 4, overwritten). INFO 0: true.
bool Svd3x3(float* a, const SvdLayout& l) {
  return Lapack::Gesvd('A', 'A', 3, 3, a, 4, l.s, l.u, 4, l.vt, 4, l.work, 15) == 0;
}

inline __m128 Row(const float* p) {
  return _mm_loadu_ps(p);
}

// Set bits of a four-lane compare mask.
constexpr u32 kBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

}  // namespace

bool EssentialMatrix::ProjectToEssentialSpace(EssentialMatrix& E, float* scratch) {
  const SvdLayout l(scratch);
  if (!Svd3x3(&E.m[0][0], l)) return false;
  // E = u_1 v_1^T + u_2 v_2^T.
  const __m128 v1 = Row(l.u), v2 = Row(l.u + 4);
  for (int r = 0; r < 3; ++r) {
    const __m128 row = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(l.vt[4 * r]), v1),
                                  _mm_mul_ps(_mm_set1_ps(l.vt[4 * r + 1]), v2));
    alignas(16) float out[4];
    _mm_store_ps(out, row);
    E.m[r][0] = out[0];
    E.m[r][1] = out[1];
    E.m[r][2] = out[2];
  }
  return true;
}

void EssentialMatrix::TriangulatePoint(const EssentialMatrix& E, const RigidTransformation3D& pose,
                                       const float* p, const float* q, float* out) {
  const float x1 = p[0], y1 = p[1], x2 = q[0], y2 = q[1];
  const float l0 = E.m[0][0] * x1 + E.m[0][1] * y1 + E.m[0][2];
  const float l1 = E.m[1][0] * x1 + E.m[1][1] * y1 + E.m[1][2];
  // The plane through the second camera centre and the image line through q
  // perpendicular to the epipolar line.
  const float m0 = -l1, m1 = l0, m2 = x2 * l1 - y2 * l0;
  const float mt = m0 * pose.m[0][3] + m1 * pose.m[1][3] + m2 * pose.m[2][3];
  // The plane normal (m^T R, m . t); the point at depth d on the first ray
  // lies in the plane: d = -(m . t) / ((m^T R) . p).
  const float a0 = m0 * pose.m[0][0] + m1 * pose.m[1][0] + m2 * pose.m[2][0];
  const float a1 = m0 * pose.m[0][1] + m1 * pose.m[1][1] + m2 * pose.m[2][1];
  const float a2 = m0 * pose.m[0][2] + m1 * pose.m[1][2] + m2 * pose.m[2][2];
  const float d = -mt / ((a0 * x1 + a1 * y1) + a2);
  out[0] = d * x1;
  out[1] = d * y1;
  out[2] = d;
  out[3] = 1.0f;
}

void EssentialMatrix::CountPointsInFront(const EssentialMatrix& E,
                                         const RigidTransformation3D& pose,
                                         const MatchSet2D& matches, u16& inFront, u16& behind,
                                         float* scratch) {
  (void)scratch;
  u32 plus = 0, minus = 0;
  // A match counts when both depths have one sign; Z1 <= 0 or NaN with Z2 > 0
  // false counts as behind, so a NaN pair counts as behind only when both
  // comparisons fail.
  const __m128 zero = _mm_setzero_ps();
  const __m128 e00 = _mm_set1_ps(E.m[0][0]), e01 = _mm_set1_ps(E.m[0][1]),
               e02 = _mm_set1_ps(E.m[0][2]), e10 = _mm_set1_ps(E.m[1][0]),
               e11 = _mm_set1_ps(E.m[1][1]), e12 = _mm_set1_ps(E.m[1][2]);
  __m128 R[3][3], t[3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R[r][c] = _mm_set1_ps(pose.m[r][c]);
    t[r] = _mm_set1_ps(pose.m[r][3]);
  }
  const u32 packed = matches.packedCount;
  const float* block = reinterpret_cast<const float*>(matches.packed.Data());
  for (u32 i = 0; i < packed; i += 4, block += 16) {
    const __m128 x1 = _mm_load_ps(block), y1 = _mm_load_ps(block + 4);
    const __m128 x2 = _mm_load_ps(block + 8), y2 = _mm_load_ps(block + 12);
    const __m128 l0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e00, x1), _mm_mul_ps(e01, y1)), e02);
    const __m128 l1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e10, x1), _mm_mul_ps(e11, y1)), e12);
    const __m128 m0 = _mm_sub_ps(zero, l1), m1 = l0;
    const __m128 m2 = _mm_sub_ps(_mm_mul_ps(x2, l1), _mm_mul_ps(y2, l0));
    const __m128 mt =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(m0, t[0]), _mm_mul_ps(m1, t[1])), _mm_mul_ps(m2, t[2]));
    // d = -1 / (n . p) with n = (m^T R) / (m . t), taken as one quotient.
    __m128 a[3];
    for (int c = 0; c < 3; ++c) {
      a[c] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(m0, R[0][c]), _mm_mul_ps(m1, R[1][c])),
                        _mm_mul_ps(m2, R[2][c]));
    }
    const __m128 d =
        _mm_div_ps(_mm_sub_ps(zero, mt),
                   _mm_add_ps(_mm_add_ps(_mm_mul_ps(a[0], x1), _mm_mul_ps(a[1], y1)), a[2]));
    const __m128 X = _mm_mul_ps(d, x1), Y = _mm_mul_ps(d, y1);
    const __m128 z2 =
        _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(R[2][0], X), _mm_mul_ps(R[2][1], Y)),
                              _mm_mul_ps(R[2][2], d)),
                   t[2]);
    const __m128 front1 = _mm_cmpgt_ps(d, zero), front2 = _mm_cmpgt_ps(z2, zero);
    const int both = _mm_movemask_ps(_mm_and_ps(front1, front2));
    const int neither = ~_mm_movemask_ps(_mm_or_ps(front1, front2)) & 15;
    plus += kBits[both];
    minus += kBits[neither];
  }
  for (u32 j = 0; j < matches.tailCount; ++j) {
    float X[4];
    const float p[2] = {matches.tail1[j].x, matches.tail1[j].y};
    const float q[2] = {matches.tail2[j].x, matches.tail2[j].y};
    TriangulatePoint(E, pose, p, q, X);
    const float z2 =
        ((pose.m[2][0] * X[0] + pose.m[2][1] * X[1]) + pose.m[2][2] * X[2]) + pose.m[2][3];
    if (X[2] > 0.0f) {
      if (z2 > 0.0f) ++plus;
    } else if (!(z2 > 0.0f)) {
      ++minus;
    }
  }
  inFront = static_cast<u16>(plus);
  behind = static_cast<u16>(minus);
}

bool EssentialMatrix::ToRelativePose(const EssentialMatrix& E, const MatchSet2D& matches,
                                     RigidTransformation3D& pose, const float& minInFrontRatio,
                                     float* scratch) {
  float* a = scratch;  // copy of E: 12 floats
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) a[4 * r + c] = E.m[r][c];
  }
  const SvdLayout l(scratch + 12);
  if (!Svd3x3(a, l)) return false;
  float* countScratch = scratch + 12 + 44;
  // The count threshold in 32 bits: N ratio + 0.5 truncated; a negative or
  // NaN product asks for nothing beyond one sign strictly ahead.
  const float kf = static_cast<float>(matches.count) * minInFrontRatio + 0.5f;
  const u32 k = kf >= 1.0f ? (kf < 4294967040.0f ? static_cast<u32>(kf) : 0xffffffffu) : 0u;
  // E's singular vectors: u_k = (vt[k], vt[4 + k], vt[8 + k]), v_k = u[4k..].
  const float* v1 = l.u;
  const float* v2 = l.u + 4;
  const float* v3 = l.u + 8;
  for (int candidate = 0; candidate < 2; ++candidate) {
    // R_a = U W^T V^T, then R_b = U W V^T.
    const float sign = candidate == 0 ? 1.0f : -1.0f;
    for (int r = 0; r < 3; ++r) {
      const float u0 = l.vt[4 * r], u1 = l.vt[4 * r + 1], u2 = l.vt[4 * r + 2];
      for (int c = 0; c < 3; ++c) pose.m[r][c] = (sign * (u0 * v2[c] - u1 * v1[c])) + u2 * v3[c];
      pose.m[r][3] = u2;
    }
    const float det = (pose.m[0][0] * (pose.m[1][1] * pose.m[2][2] - pose.m[1][2] * pose.m[2][1]) -
                       pose.m[0][1] * (pose.m[1][0] * pose.m[2][2] - pose.m[1][2] * pose.m[2][0])) +
                      pose.m[0][2] * (pose.m[1][0] * pose.m[2][1] - pose.m[1][1] * pose.m[2][0]);
    if (det < 0.0f) {
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) pose.m[r][c] = -pose.m[r][c];
      }
    }
    u16 plus = 0, minus = 0;
    CountPointsInFront(E, pose, matches, plus, minus, countScratch);
    if (plus > minus && plus >= k) return true;
    if (minus > plus && minus >= k) {
      for (int r = 0; r < 3; ++r) pose.m[r][3] = -pose.m[r][3];
      return true;
    }
  }
  return false;
}
