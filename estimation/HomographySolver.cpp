#include "estimation/HomographySolver.h"

#include <immintrin.h>

#include <cstring>

#include "la/SmallSolvers.h"

namespace {

// The distinct sums of the normal equations. Rows of a match are
// a = (p, 0, -x2 q) | x2 and b = (0, p, -y2 q) | y2 with p = (x1, y1, 1),
// q = (x1, y1), so A and b need only these 22 sums over the matches.
enum Sum {
  kXX,
  kXY,
  kX,
  kYY,
  kY,  // p p^T
  kUXX,
  kUXY,
  kUYY,
  kUX,
  kUY,
  kU,  // u = x2: u p q^T, u p
  kVXX,
  kVXY,
  kVYY,
  kVX,
  kVY,
  kV,  // v = y2
  kRXX,
  kRXY,
  kRYY,
  kRX,
  kRY,  // r = x2^2 + y2^2: r q q^T, r q
  kSumCount
};

inline void AccumulateBlock(__m128 x1, __m128 y1, __m128 u, __m128 v, __m128* acc) {
  const __m128 xx = _mm_mul_ps(x1, x1), xy = _mm_mul_ps(x1, y1), yy = _mm_mul_ps(y1, y1);
  const __m128 r = _mm_add_ps(_mm_mul_ps(u, u), _mm_mul_ps(v, v));
  const __m128 terms[kSumCount] = {xx,
                                   xy,
                                   x1,
                                   yy,
                                   y1,
                                   _mm_mul_ps(u, xx),
                                   _mm_mul_ps(u, xy),
                                   _mm_mul_ps(u, yy),
                                   _mm_mul_ps(u, x1),
                                   _mm_mul_ps(u, y1),
                                   u,
                                   _mm_mul_ps(v, xx),
                                   _mm_mul_ps(v, xy),
                                   _mm_mul_ps(v, yy),
                                   _mm_mul_ps(v, x1),
                                   _mm_mul_ps(v, y1),
                                   v,
                                   _mm_mul_ps(r, xx),
                                   _mm_mul_ps(r, xy),
                                   _mm_mul_ps(r, yy),
                                   _mm_mul_ps(r, x1),
                                   _mm_mul_ps(r, y1)};
  for (int k = 0; k < kSumCount; ++k) acc[k] = _mm_add_ps(acc[k], terms[k]);
}

inline void Reduce(const __m128* acc, float* sums) {
  for (int k = 0; k < kSumCount; ++k) {
    alignas(16) float e[4];
    _mm_store_ps(e, acc[k]);
    sums[k] = (e[0] + e[1]) + (e[2] + e[3]);
  }
}

}  // namespace

void HomographySolver::Assemble(const float* S) {
  std::memset(&A_, 0, sizeof(A_));
  // p p^T in both diagonal blocks; (2,2) and (5,5) count the matches and are
  // set by Solve.
  const float pp[3][3] = {{S[kXX], S[kXY], S[kX]}, {S[kXY], S[kYY], S[kY]}, {S[kX], S[kY], 0.0f}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) A_.m[i][j] = A_.m[3 + i][3 + j] = pp[i][j];
  }
  // -u p q^T and -v p q^T against (h31, h32).
  const float upq[3][2] = {{S[kUXX], S[kUXY]}, {S[kUXY], S[kUYY]}, {S[kUX], S[kUY]}};
  const float vpq[3][2] = {{S[kVXX], S[kVXY]}, {S[kVXY], S[kVYY]}, {S[kVX], S[kVY]}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 2; ++j) {
      A_.m[i][6 + j] = A_.m[6 + j][i] = -upq[i][j];
      A_.m[3 + i][6 + j] = A_.m[6 + j][3 + i] = -vpq[i][j];
    }
  }
  A_.m[6][6] = S[kRXX];
  A_.m[6][7] = A_.m[7][6] = S[kRXY];
  A_.m[7][7] = S[kRYY];
  const float rhs[8] = {S[kUX], S[kUY], S[kU], S[kVX], S[kVY], S[kV], -S[kRX], -S[kRY]};
  for (int i = 0; i < 8; ++i) b_.v[i] = rhs[i];
}

bool HomographySolver::Solve(float count, Homography& H) {
  // The entries that count the matches are set exactly.
  A_.m[2][2] = count;
  A_.m[5][5] = count;
  if (!LA::SolveLDL(A_, b_)) return false;
  const float* h = b_.v;
  H.m[0][0] = h[0];
  H.m[0][1] = h[1];
  H.m[0][2] = h[2];
  H.m[1][0] = h[3];
  H.m[1][1] = h[4];
  H.m[1][2] = h[5];
  H.m[2][0] = h[6];
  H.m[2][1] = h[7];
  H.m[2][2] = 1.0f;
  return true;
}

bool HomographySolver::RunMinimalSample(const FourMatches2D& sample, Homography& H,
                                        AlignedArray<LA::AlignedVector4f>& workspace) {
  (void)workspace;
  __m128 acc[kSumCount];
  for (__m128& v : acc) v = _mm_setzero_ps();
  AccumulateBlock(_mm_load_ps(sample.x1), _mm_load_ps(sample.y1), _mm_load_ps(sample.x2),
                  _mm_load_ps(sample.y2), acc);
  alignas(16) float sums[kSumCount];
  Reduce(acc, sums);
  Assemble(sums);
  return Solve(4.0f, H);
}

bool HomographySolver::RunNonMinimalData(const MatchSet2D& matches, Homography& H,
                                         AlignedArray<LA::AlignedVector4f>& workspace) {
  (void)workspace;
  if (matches.count < 4) return false;
  __m128 acc[kSumCount];
  for (__m128& v : acc) v = _mm_setzero_ps();
  const float* block = reinterpret_cast<const float*>(matches.packed.Data());
  for (u32 i = 0; i < matches.packedCount; i += 4, block += 16) {
    AccumulateBlock(_mm_load_ps(block), _mm_load_ps(block + 4), _mm_load_ps(block + 8),
                    _mm_load_ps(block + 12), acc);
  }
  if (matches.tailCount > 0) {
    // The tail as one block padded with zero matches, which add nothing.
    alignas(16) float t[4][4] = {};
    for (u32 j = 0; j < matches.tailCount; ++j) {
      t[0][j] = matches.tail1[j].x;
      t[1][j] = matches.tail1[j].y;
      t[2][j] = matches.tail2[j].x;
      t[3][j] = matches.tail2[j].y;
    }
    AccumulateBlock(_mm_load_ps(t[0]), _mm_load_ps(t[1]), _mm_load_ps(t[2]), _mm_load_ps(t[3]),
                    acc);
  }
  alignas(16) float sums[kSumCount];
  Reduce(acc, sums);
  Assemble(sums);
  return Solve(static_cast<float>(matches.count), H);
}
