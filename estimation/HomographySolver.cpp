#include "estimation/HomographySolver.h"

#include <immintrin.h>

#include <cstring>

#include "la/SmallSolvers.h"

void HomographySolver::AddMatch(float x1, float y1, float x2, float y2) {
  // Rows (x1, y1, 1, 0, 0, 0, -x1 x2, -y1 x2 | x2) and
  //      (0, 0, 0, x1, y1, 1, -x1 y2, -y1 y2 | y2).
  const float ra[8] = {x1, y1, 1.0f, 0.0f, 0.0f, 0.0f, -x1 * x2, -y1 * x2};
  const float rb[8] = {0.0f, 0.0f, 0.0f, x1, y1, 1.0f, -x1 * y2, -y1 * y2};
  const __m128 a0 = _mm_loadu_ps(ra), a1 = _mm_loadu_ps(ra + 4);
  const __m128 b0 = _mm_loadu_ps(rb), b1 = _mm_loadu_ps(rb + 4);
  for (int i = 0; i < 8; ++i) {
    const __m128 ai = _mm_set1_ps(ra[i]), bi = _mm_set1_ps(rb[i]);
    float* row = A_.m[i];
    _mm_store_ps(row,
                 _mm_add_ps(_mm_load_ps(row), _mm_add_ps(_mm_mul_ps(ai, a0), _mm_mul_ps(bi, b0))));
    _mm_store_ps(row + 4, _mm_add_ps(_mm_load_ps(row + 4),
                                     _mm_add_ps(_mm_mul_ps(ai, a1), _mm_mul_ps(bi, b1))));
    b_.v[i] += ra[i] * x2 + rb[i] * y2;
  }
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
  std::memset(&A_, 0, sizeof(A_));
  std::memset(&b_, 0, sizeof(b_));
  for (int i = 0; i < 4; ++i) AddMatch(sample.x1[i], sample.y1[i], sample.x2[i], sample.y2[i]);
  return Solve(4.0f, H);
}

bool HomographySolver::RunNonMinimalData(const MatchSet2D& matches, Homography& H,
                                         AlignedArray<LA::AlignedVector4f>& workspace) {
  (void)workspace;
  if (matches.count < 4) return false;
  std::memset(&A_, 0, sizeof(A_));
  std::memset(&b_, 0, sizeof(b_));
  const float* block = reinterpret_cast<const float*>(matches.packed.Data());
  for (u32 i = 0; i < matches.packedCount; i += 4, block += 16) {
    for (int l = 0; l < 4; ++l) AddMatch(block[l], block[4 + l], block[8 + l], block[12 + l]);
  }
  for (u32 t = 0; t < matches.tailCount; ++t)
    AddMatch(matches.tail1[t].x, matches.tail1[t].y, matches.tail2[t].x, matches.tail2[t].y);
  return Solve(static_cast<float>(matches.count), H);
}
