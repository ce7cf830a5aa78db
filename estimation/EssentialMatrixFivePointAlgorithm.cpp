#include "estimation/EssentialMatrixFivePointAlgorithm.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "estimation/FivePointPolynomials.h"
#include "la/Lapack.h"

namespace {

// Grows (never shrinks) a float scratch array to n four-float vectors.
inline float* Vectors(AlignedArray<float>& scratch, u32 n) {
  if (scratch.Size() < 4 * n) scratch.Resize(4 * n);
  return scratch.Data();
}

// Column j of the constraint rows of four matches given as four-float
// vectors: (x2 x1, x2 y1, x2, y2 x1, y2 y1, y2, x1, y1, 1).
inline void StoreConstraintColumns4(__m128 x1, __m128 y1, __m128 x2, __m128 y2, float* const* col,
                                    u32 row) {
  _mm_storeu_ps(col[0] + row, _mm_mul_ps(x2, x1));
  _mm_storeu_ps(col[1] + row, _mm_mul_ps(x2, y1));
  _mm_storeu_ps(col[2] + row, x2);
  _mm_storeu_ps(col[3] + row, _mm_mul_ps(y2, x1));
  _mm_storeu_ps(col[4] + row, _mm_mul_ps(y2, y1));
  _mm_storeu_ps(col[5] + row, y2);
  _mm_storeu_ps(col[6] + row, x1);
  _mm_storeu_ps(col[7] + row, y1);
  _mm_storeu_ps(col[8] + row, _mm_set1_ps(1.0f));
}

inline void StoreConstraintRow(float x1, float y1, float x2, float y2, float* const* col, u32 row) {
  col[0][row] = x2 * x1;
  col[1][row] = x2 * y1;
  col[2][row] = x2;
  col[3][row] = y2 * x1;
  col[4][row] = y2 * y1;
  col[5][row] = y2;
  col[6][row] = x1;
  col[7][row] = y1;
  col[8][row] = 1.0f;
}

// Column order of the eliminated matrix: the ten cubic monomials x^3, x^2y,
// xy^2, y^3, x^2z, xyz, y^2z, xz^2, yz^2, z^3, then b = (x^2, xy, y^2, xz, yz,
// z^2, x, y, z, 1), as slots of the cubic layout.
// Gauss-Newton steps that polish each root of the eliminated system.
constexpr int kPolishIterations = 3;

constexpr int kReorder[20] = {0, 1, 4, 10, 2, 5, 11, 7, 13, 16, 3, 6, 12, 8, 14, 17, 9, 15, 18, 19};

}  // namespace

EssentialMatrixFivePointAlgorithm::EssentialMatrixFivePointAlgorithm() {
  std::memset(minimalConstraints_, 0, sizeof(minimalConstraints_));
  std::memset(nullSpace_, 0, sizeof(nullSpace_));
  std::memset(quadratics_, 0, sizeof(quadratics_));
  std::memset(action_, 0, sizeof(action_));
  std::memset(eigenvectors_, 0, sizeof(eigenvectors_));
}

bool EssentialMatrixFivePointAlgorithm::DecomposeConstraints(float* a, int m, int lda, float* work,
                                                             int lwork) {
  // VT goes three floats into the table with LDVT 12: VT(i, j) lands in row j
  // at float 3 + i, so rows 5..8 of VT (the null space) fill floats 8..11.
  float vtDummyU = 0.0f;
  const int info = Lapack::Gesvd('N', 'A', m, 9, a, lda, singularValues_.Data(), &vtDummyU, 1,
                                 &nullSpace_[0][3], 12, work, lwork);
  if (info != 0) return false;
  CopyBasis();
  return true;
}

void EssentialMatrixFivePointAlgorithm::CopyBasis() {
  for (int j = 0; j < 9; ++j) _mm_store_ps(basis_[j], _mm_load_ps(&nullSpace_[j][8]));
}

bool EssentialMatrixFivePointAlgorithm::ComputeNullSpaceMinimal(const FiveMatches2D& sample,
                                                                AlignedArray<float>& scratch) {
  float* col[9];
  for (int j = 0; j < 9; ++j) col[j] = minimalConstraints_ + 8 * j;
  StoreConstraintColumns4(_mm_loadu_ps(sample.x1), _mm_loadu_ps(sample.y1), _mm_loadu_ps(sample.x2),
                          _mm_loadu_ps(sample.y2), col, 0);
  StoreConstraintRow(sample.fifth[0], sample.fifth[1], sample.fifth[2], sample.fifth[3], col, 4);
  if (singularValues_.Size() < 5) singularValues_.Resize(5);
  singularValues_.Resize(5);
  float* work = Vectors(scratch, 13);
  return DecomposeConstraints(minimalConstraints_, 5, 8, work, 50);
}

void EssentialMatrixFivePointAlgorithm::ResizeConstraintColumns(u32 n) {
  nonMinimalRows_ = n;
  nonMinimalPadded_ = (n + 3) & ~3u;
  if (nonMinimalColumns_.Size() < 9 * nonMinimalPadded_)
    nonMinimalColumns_.Resize(9 * nonMinimalPadded_);
}

bool EssentialMatrixFivePointAlgorithm::ComputeNullSpaceNonMinimal(const MatchSet2D& matches,
                                                                   AlignedArray<float>& scratch) {
  const u32 n = matches.count;
  if (n < 5) return false;
  if (n != nonMinimalRows_ || nonMinimalColumns_.Size() < 9 * nonMinimalPadded_)
    ResizeConstraintColumns(n);
  float* col[9];
  for (int j = 0; j < 9; ++j) col[j] = nonMinimalColumns_.Data() + j * nonMinimalPadded_;
  const u32 packed = matches.packedCount;
  const float* block = reinterpret_cast<const float*>(matches.packed.Data());
  for (u32 i = 0; i < packed; i += 4, block += 16) {
    StoreConstraintColumns4(_mm_load_ps(block), _mm_load_ps(block + 4), _mm_load_ps(block + 8),
                            _mm_load_ps(block + 12), col, i);
  }
  for (u32 t = 0; t < matches.tailCount; ++t) {
    StoreConstraintRow(matches.tail1[t].x, matches.tail1[t].y, matches.tail2[t].x,
                       matches.tail2[t].y, col, packed + t);
  }
  singularValues_.Resize(n);
  // Work-space query, then the decomposition with the optimal size.
  float* work = Vectors(scratch, 1);
  float query = 0.0f;
  float vtDummyU = 0.0f;
  if (Lapack::Gesvd('N', 'A', static_cast<int>(n), 9, col[0], static_cast<int>(nonMinimalPadded_),
                    singularValues_.Data(), &vtDummyU, 1, &nullSpace_[0][3], 12, &query, -1) != 0)
    return false;
  (void)work;
  const int lwork = static_cast<int>(query);
  work = Vectors(scratch, static_cast<u32>((lwork + 3) / 4));
  return DecomposeConstraints(col[0], static_cast<int>(n), static_cast<int>(nonMinimalPadded_),
                              work, lwork);
}

void EssentialMatrixFivePointAlgorithm::ConstructConstraintMatrix(AlignedArray<float>& scratch) {
  float* tmp = Vectors(scratch, 4);
  const float* e[3][3] = {{basis_[0], basis_[1], basis_[2]},
                          {basis_[3], basis_[4], basis_[5]},
                          {basis_[6], basis_[7], basis_[8]}};
  // Cofactors of the third row, then det(E) as constraint row 9.
  float* C31 = quadratics_[0];
  float* C32 = quadratics_[1];
  float* C33 = quadratics_[2];
  LinearMinorToQuadratic(e[0][1], e[1][2], e[0][2], e[1][1], C31, tmp);
  LinearMinorToQuadratic(e[0][2], e[1][0], e[0][0], e[1][2], C32, tmp);
  LinearMinorToQuadratic(e[0][0], e[1][1], e[0][1], e[1][0], C33, tmp);
  LinearQuadraticDotToCubic(e[2][0], C31, e[2][1], C32, e[2][2], C33, constraints_[9], tmp);
  // S = E E^T (upper triangle), then M = S - 1/2 trace(S) I.
  float* S[3][3];
  S[0][0] = quadratics_[3];
  S[0][1] = S[1][0] = quadratics_[4];
  S[0][2] = S[2][0] = quadratics_[5];
  S[1][1] = quadratics_[6];
  S[1][2] = S[2][1] = quadratics_[7];
  S[2][2] = quadratics_[8];
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c)
      LinearDotToQuadratic(e[r][0], e[c][0], e[r][1], e[c][1], e[r][2], e[c][2], S[r][c], tmp);
  }
  alignas(16) float h[12];
  for (int i = 0; i < 12; ++i) h[i] = 0.5f * (S[0][0][i] + S[1][1][i] + S[2][2][i]);
  for (int d = 0; d < 3; ++d) {
    for (int i = 0; i < 12; ++i) S[d][d][i] -= h[i];
  }
  // Rows 0..8: (M E)_rc = M_r1 e_1c + M_r2 e_2c + M_r3 e_3c.
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      LinearQuadraticDotToCubic(e[0][c], S[r][0], e[1][c], S[r][1], e[2][c], S[r][2],
                                constraints_[3 * r + c], tmp);
  }
}

bool EssentialMatrixFivePointAlgorithm::EliminateConstraintMatrix(AlignedArray<float>& scratch) {
  for (int i = 0; i < 10; ++i) {
    for (int j = 0; j < 20; ++j) reordered_[i][j] = constraints_[i][kReorder[j]];
  }
  float* tmp = Vectors(scratch, 6);
  return LA::GaussJordanEliminate10x20(&reordered_[0][0], tmp);
}

void EssentialMatrixFivePointAlgorithm::PolishRoot(float* xyz1) const {
  // Gauss-Newton on the ten cubic constraints in (x, y, z). Elimination in
  // single precision loses digits on ill-conditioned samples; the constraints
  // themselves are well conditioned at the root, so two or three steps restore
  // them. A step is kept only while it lowers the residual.
  double p[3] = {xyz1[0], xyz1[1], xyz1[2]};
  double bestCost = -1.0;
  for (int it = 0; it < kPolishIterations + 1; ++it) {
    const double x = p[0], y = p[1], z = p[2];
    const double m[20] = {x * x * x, x * x * y, x * x * z, x * x,     x * y * y,
                          x * y * z, x * y,     x * z * z, x * z,     x,
                          y * y * y, y * y * z, y * y,     y * z * z, y * z,
                          y,         z * z * z, z * z,     z,         1};
    const double dx[20] = {3 * x * x, 2 * x * y, 2 * x * z, 2 * x, y * y, y * z, y, z * z, z, 1,
                           0,         0,         0,         0,     0,     0,     0, 0,     0, 0};
    const double dy[20] = {0,         x * x,     0,     0,     2 * x * y, x * z, x, 0, 0, 0,
                           3 * y * y, 2 * y * z, 2 * y, z * z, z,         1,     0, 0, 0, 0};
    const double dz[20] = {0, 0,     x * x, 0,         0, x * y, 0,         2 * x * z, x, 0,
                           0, y * y, 0,     2 * y * z, y, 0,     3 * z * z, 2 * z,     1, 0};
    double A[3][3] = {}, b[3] = {}, cost = 0.0;
    for (int i = 0; i < 10; ++i) {
      double r = 0.0, g[3] = {0.0, 0.0, 0.0};
      for (int k = 0; k < 20; ++k) {
        const double c = constraints_[i][k];
        r += c * m[k];
        g[0] += c * dx[k];
        g[1] += c * dy[k];
        g[2] += c * dz[k];
      }
      cost += r * r;
      for (int a = 0; a < 3; ++a) {
        b[a] -= g[a] * r;
        for (int c = 0; c < 3; ++c) A[a][c] += g[a] * g[c];
      }
    }
    if (!std::isfinite(cost)) return;
    if (bestCost >= 0.0 && !(cost < bestCost)) return;
    bestCost = cost;
    for (int c = 0; c < 3; ++c) xyz1[c] = static_cast<float>(p[c]);
    if (it == kPolishIterations) return;
    // The 3x3 normal equations by Cramer's rule.
    auto det3 = [](const double M[3][3]) {
      return M[0][0] * (M[1][1] * M[2][2] - M[1][2] * M[2][1]) -
             M[0][1] * (M[1][0] * M[2][2] - M[1][2] * M[2][0]) +
             M[0][2] * (M[1][0] * M[2][1] - M[1][1] * M[2][0]);
    };
    const double det = det3(A);
    if (!(std::fabs(det) > 0.0)) return;
    double step = 0.0, size = 1.0;
    for (int c = 0; c < 3; ++c) {
      double M[3][3];
      for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) M[r][k] = k == c ? b[r] : A[r][k];
      const double d = det3(M) / det;
      p[c] += d;
      step += d * d;
      size += p[c] * p[c];
    }
    // Below single precision already: the float root cannot change.
    if (step < 1e-16 * size) {
      for (int c = 0; c < 3; ++c) xyz1[c] = static_cast<float>(p[c]);
      return;
    }
  }
}

void EssentialMatrixFivePointAlgorithm::ConstructActionMatrix() {
  // x times (x^2, xy, y^2, xz, yz, z^2) are the cubic monomials of rows 0, 1,
  // 2, 4, 5, 7 of B; x times (x, y, z, 1) are entries 0, 1, 3, 6 of b. With
  // monomial_i = -B_i b the matrix satisfies A b = -x b.
  constexpr int kRows[6] = {0, 1, 2, 4, 5, 7};
  for (int r = 0; r < 6; ++r)
    std::memcpy(action_[r], &reordered_[kRows[r]][10], 10 * sizeof(float));
  constexpr int kOnes[4] = {0, 1, 3, 6};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 10; ++c) action_[6 + r][c] = 0.0f;
    action_[6 + r][kOnes[r]] = -1.0f;
  }
}

bool EssentialMatrixFivePointAlgorithm::ComputeSolutions(AlignedArray<EssentialMatrix>& models,
                                                         AlignedArray<float>& scratch) {
  // The column-major routine sees A^T; its left eigenvectors are the right
  // eigenvectors of A. Eigenvector j fills floats 2..11 of table row j, so its
  // entries 6..9 (the monomials x, y, z, 1) are the aligned floats 8..11.
  float* work = Vectors(scratch, 12);
  float vrDummy = 0.0f;
  if (Lapack::Geev('V', 'N', 10, &action_[0][0], 12, eigenReal_, eigenImaginary_,
                   &eigenvectors_[0][2], 12, &vrDummy, 1, work, 40) != 0)
    return false;
  u32 real = 0;
  for (int j = 0; j < 10; ++j) {
    if (eigenImaginary_[j] == 0.0f) ++real;
  }
  const u32 first = models.Size();
  models.Reserve(first + real);
  u32 count = first;
  for (int j = 0; j < 10; ++j) {
    if (!(eigenImaginary_[j] == 0.0f)) continue;
    const float* v = &eigenvectors_[j][8];
    // A zero or non-finite last entry has no affine (x, y, z): skip it rather
    // than keep a non-finite candidate.
    const float w = v[3];
    if (w == 0.0f || !std::isfinite(w)) continue;
    const float inv = 1.0f / w;
    float xyz1[4] = {v[0] * inv, v[1] * inv, v[2] * inv, 1.0f};
    PolishRoot(xyz1);
    if (!std::isfinite(xyz1[0]) || !std::isfinite(xyz1[1]) || !std::isfinite(xyz1[2])) continue;
    models.Resize(count + 1);
    EssentialMatrix& E = models[count];
    for (int k = 0; k < 9; ++k) {
      const float* b = basis_[k];
      E.m[k / 3][k % 3] = ((b[0] * xyz1[0] + b[1] * xyz1[1]) + b[2] * xyz1[2]) + b[3];
    }
    // A failed projection leaves the candidate as computed.
    EssentialMatrix projected = E;
    if (EssentialMatrix::ProjectToEssentialSpace(projected, work)) E = projected;
    ++count;
  }
  models.Resize(count);
  return true;
}
