#include "estimation/FundamentalMatrixEightPointAlgorithm.h"

#include <immintrin.h>

#include "la/Lapack.h"

namespace {

inline LA::AlignedVector4f* Vectors(AlignedArray<LA::AlignedVector4f>& a, u32 n) {
  if (a.Size() < n) a.Resize(n);
  return a.Data();
}

// Writes the eight coefficients of x2^T F x1 = 0 (F33 = 1 moved to the right)
// for four matches into rows row..row+3 of the columns.
inline void StoreRows4(__m128 x1, __m128 y1, __m128 x2, __m128 y2, float* const* col, u32 row) {
  _mm_storeu_ps(col[0] + row, _mm_mul_ps(x2, x1));
  _mm_storeu_ps(col[1] + row, _mm_mul_ps(x2, y1));
  _mm_storeu_ps(col[2] + row, x2);
  _mm_storeu_ps(col[3] + row, _mm_mul_ps(y2, x1));
  _mm_storeu_ps(col[4] + row, _mm_mul_ps(y2, y1));
  _mm_storeu_ps(col[5] + row, y2);
  _mm_storeu_ps(col[6] + row, x1);
  _mm_storeu_ps(col[7] + row, y1);
}

inline void StoreRow(float x1, float y1, float x2, float y2, float* const* col, u32 row) {
  col[0][row] = x2 * x1;
  col[1][row] = x2 * y1;
  col[2][row] = x2;
  col[3][row] = y2 * x1;
  col[4][row] = y2 * y1;
  col[5][row] = y2;
  col[6][row] = x1;
  col[7][row] = y1;
}

// (f1 .. f8) into rows (f1 f2 f3 / f4 f5 f6 / f7 f8 1).
inline void SpreadSolution(const float* f, FundamentalMatrix& F) {
  const float v[8] = {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
  F.m[0][0] = v[0];
  F.m[0][1] = v[1];
  F.m[0][2] = v[2];
  F.m[1][0] = v[3];
  F.m[1][1] = v[4];
  F.m[1][2] = v[5];
  F.m[2][0] = v[6];
  F.m[2][1] = v[7];
  F.m[2][2] = 1.0f;
}

}  // namespace

FundamentalMatrixEightPointAlgorithm::FundamentalMatrixEightPointAlgorithm() {
  for (float& v : minimal_) v = 0.0f;
}

bool FundamentalMatrixEightPointAlgorithm::RunMinimalSample(
    const EightMatches2D& sample, FundamentalMatrix& F,
    AlignedArray<LA::AlignedVector4f>& workspace) {
  float* col[8];
  for (int j = 0; j < 8; ++j) col[j] = minimal_ + 8 * j;
  for (u32 i = 0; i < 8; i += 4) {
    StoreRows4(_mm_loadu_ps(sample.px1 + i), _mm_loadu_ps(sample.py1 + i),
               _mm_loadu_ps(sample.px2 + i), _mm_loadu_ps(sample.py2 + i), col, i);
  }
  // The right-hand side is the model's storage: the solution lands in its
  // first eight floats.
  alignas(16) float b[8];
  _mm_store_ps(b, _mm_load_ps(minusOnes_));
  _mm_store_ps(b + 4, _mm_load_ps(minusOnes_));
  int pivots[8];
  if (Lapack::Gesv(8, 1, minimal_, 8, pivots, b, 8) != 0) return false;
  SpreadSolution(b, F);
  return EnforceRankTwo(F, Vectors(workspace, 11));
}

void FundamentalMatrixEightPointAlgorithm::ResizeColumns(u32 n) {
  rows_ = n;
  paddedRows_ = (n + 3) & ~3u;
  if (columns_.Size() < 8 * paddedRows_) columns_.Resize(8 * paddedRows_);
  if (rhs_.Size() < paddedRows_) rhs_.Resize(paddedRows_);
}

bool FundamentalMatrixEightPointAlgorithm::RunNonMinimalData(
    const MatchSet2D& matches, FundamentalMatrix& F, AlignedArray<LA::AlignedVector4f>& workspace) {
  const u32 n = matches.count;
  if (n < 8) return false;
  if (n != rows_) ResizeColumns(n);
  float* col[8];
  for (int j = 0; j < 8; ++j) col[j] = columns_.Data() + j * paddedRows_;
  const float* block = reinterpret_cast<const float*>(matches.packed.Data());
  const __m128 minusOne = _mm_load_ps(minusOnes_);
  const u32 packed = matches.packedCount;
  for (u32 i = 0; i < packed; i += 4, block += 16) {
    StoreRows4(_mm_load_ps(block), _mm_load_ps(block + 4), _mm_load_ps(block + 8),
               _mm_load_ps(block + 12), col, i);
    _mm_storeu_ps(rhs_.Data() + i, minusOne);
  }
  for (u32 t = 0; t < matches.tailCount; ++t) {
    StoreRow(matches.tail1[t].x, matches.tail1[t].y, matches.tail2[t].x, matches.tail2[t].y, col,
             packed + t);
    rhs_[packed + t] = -1.0f;
  }
  // Work-space query, then the solve.
  LA::AlignedVector4f* work = Vectors(workspace, 11);
  const int m = static_cast<int>(n), lda = static_cast<int>(paddedRows_);
  if (Lapack::Gels('N', m, 8, 1, col[0], lda, rhs_.Data(), m, work[0].v, -1) != 0) return false;
  const int lwork = static_cast<int>(work[0].v[0]);
  work = Vectors(workspace,
                 static_cast<u32>((lwork + 3) / 4) > 11 ? static_cast<u32>((lwork + 3) / 4) : 11u);
  if (Lapack::Gels('N', m, 8, 1, col[0], lda, rhs_.Data(), m, work[0].v, lwork) != 0) return false;
  SpreadSolution(rhs_.Data(), F);
  return EnforceRankTwo(F, work);
}

bool FundamentalMatrixEightPointAlgorithm::EnforceRankTwo(FundamentalMatrix& F,
                                                          LA::AlignedVector4f* workspace) {
  // LAPACK factors the stored rows as the columns of F^T = U S VT, so row r of
  // F is sum_k S_k U(., k) VT(k, r).
  float* ws = workspace[0].v;
  float* s = ws;
  float* u = ws + 4;
  float* vt = ws + 16;
  float* work = ws + 28;
  alignas(16) float a[12];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) a[4 * r + c] = F.m[r][c];
  }
  if (Lapack::Gesvd('A', 'A', 3, 3, a, 4, s, u, 4, vt, 4, work, 15) != 0) return false;
  for (int r = 0; r < 3; ++r) {
    const float w0 = s[0] * vt[4 * r], w1 = s[1] * vt[4 * r + 1];
    for (int c = 0; c < 3; ++c) F.m[r][c] = w0 * u[c] + w1 * u[4 + c];
  }
  return true;
}
