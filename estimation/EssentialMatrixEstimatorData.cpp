#include "estimation/EssentialMatrixEstimatorData.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "estimation/ProjectionNormalEquation.h"
#include "la/Pose.h"

namespace LA {

void AddOuterProduct6(const float* J, AlignedCompactMatrix6f& A) {
  for (int r = 0; r < 6; ++r) {
    for (int c = r; c < 6; ++c) A(r, c) += J[r] * J[c];
  }
}

}  // namespace LA

void ChainPoseJacobian(const float* g, const float (*D)[12], float* J) {
  const __m128 g0 = _mm_load_ps(g), g1 = _mm_load_ps(g + 4);
  for (int k = 0; k < 6; ++k) {
    const __m128 p =
        _mm_add_ps(_mm_mul_ps(g0, _mm_load_ps(D[k])), _mm_mul_ps(g1, _mm_load_ps(D[k] + 4)));
    alignas(16) float s[4];
    _mm_store_ps(s, p);
    J[k] = (((s[0] + s[1]) + (s[2] + s[3])) + g[8] * D[k][8]);
  }
}

void EssentialMatrixEstimatorData::PoseToEssential(const RigidTransformation3D& T,
                                                   LA::AlignedMatrix3f& E) {
  const float t0 = T.m[0][3], t1 = T.m[1][3], t2 = T.m[2][3];
  for (int c = 0; c < 3; ++c) {
    E.m[0][c] = t1 * T.m[2][c] - t2 * T.m[1][c];
    E.m[1][c] = t2 * T.m[0][c] - t0 * T.m[2][c];
    E.m[2][c] = t0 * T.m[1][c] - t1 * T.m[0][c];
  }
  E.m[0][3] = E.m[1][3] = E.m[2][3] = 0.0f;
}

f64 EssentialMatrixEstimatorData::ComputeSSE(const RigidTransformation3D& pose) {
  PoseToEssential(pose, E_);
  const LA::AlignedMatrix3f& E = E_;
  const __m128 e00 = _mm_set1_ps(E.m[0][0]), e01 = _mm_set1_ps(E.m[0][1]),
               e02 = _mm_set1_ps(E.m[0][2]), e10 = _mm_set1_ps(E.m[1][0]),
               e11 = _mm_set1_ps(E.m[1][1]), e12 = _mm_set1_ps(E.m[1][2]),
               e20 = _mm_set1_ps(E.m[2][0]), e21 = _mm_set1_ps(E.m[2][1]),
               e22 = _mm_set1_ps(E.m[2][2]);
  __m128 sum = _mm_setzero_ps();
  const float* p = reinterpret_cast<const float*>(packed.Data());
  for (u32 i = 0; i < packedCount; i += 4, p += 16) {
    const __m128 x1 = _mm_load_ps(p), y1 = _mm_load_ps(p + 4);
    const __m128 x2 = _mm_load_ps(p + 8), y2 = _mm_load_ps(p + 12);
    const __m128 l0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e00, x1), _mm_mul_ps(e01, y1)), e02);
    const __m128 l1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e10, x1), _mm_mul_ps(e11, y1)), e12);
    const __m128 e = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(x2, l0), _mm_mul_ps(y2, l1)),
                                           _mm_add_ps(_mm_mul_ps(e20, x1), _mm_mul_ps(e21, y1))),
                                e22);
    sum = _mm_add_ps(
        sum, _mm_div_ps(_mm_mul_ps(e, e), _mm_add_ps(_mm_mul_ps(l0, l0), _mm_mul_ps(l1, l1))));
  }
  alignas(16) float s[4];
  _mm_store_ps(s, sum);
  for (u32 t = 0; t < tailCount; ++t) {
    const float x1 = tail1[t].x, y1 = tail1[t].y, x2 = tail2[t].x, y2 = tail2[t].y;
    const float l0 = (E.m[0][0] * x1 + E.m[0][1] * y1) + E.m[0][2];
    const float l1 = (E.m[1][0] * x1 + E.m[1][1] * y1) + E.m[1][2];
    const float e = ((x2 * l0 + y2 * l1) + (E.m[2][0] * x1 + E.m[2][1] * y1)) + E.m[2][2];
    s[0] += (e * e) / (l0 * l0 + l1 * l1);
  }
  return static_cast<f64>(((s[0] + s[1]) + s[2]) + s[3]);
}

f64 EssentialMatrixEstimatorData::GetFactorSSEToMSE() {
  return static_cast<f64>(errorScale / static_cast<f32>(count));
}

void EssentialMatrixEstimatorData::BuildNormalEquation(const RigidTransformation3D& pose,
                                                       LA::AlignedCompactMatrix6f& A,
                                                       LA::AlignedVector6f& b, float* columnSums) {
  PoseToEssential(pose, E_);
  // dE/dw_k = [t]x [e_k]x R (a rotation step on the left, as UpdateModel
  // applies it) and dE/dt_k = [e_k]x R; all nine entries of E.
  float M[3][3];
  for (int k = 0; k < 3; ++k) {
    // [e_k]x R: row i = sum_j [e_k]x(i, j) R_row_j.
    const int a = (k + 1) % 3, c = (k + 2) % 3;
    for (int j = 0; j < 3; ++j) {
      M[k][j] = 0.0f;
      M[a][j] = -pose.m[c][j];
      M[c][j] = pose.m[a][j];
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) D_[3 + k][3 * i + j] = M[i][j];
    // [t]x M: row 0 = t1 M2 - t2 M1, row 1 = t2 M0 - t0 M2, row 2 = t0 M1 - t1 M0.
    const float t0 = pose.m[0][3], t1 = pose.m[1][3], t2 = pose.m[2][3];
    for (int j = 0; j < 3; ++j) {
      D_[k][j] = t1 * M[2][j] - t2 * M[1][j];
      D_[k][3 + j] = t2 * M[0][j] - t0 * M[2][j];
      D_[k][6 + j] = t0 * M[1][j] - t1 * M[0][j];
    }
    for (int j = 9; j < 12; ++j) D_[k][j] = D_[3 + k][j] = 0.0f;
  }
  std::memset(&A, 0, sizeof(A));
  std::memset(&b, 0, sizeof(b));
  for (int k = 0; k < 6; ++k) columnSums[k] = 0.0f;
  const LA::AlignedMatrix3f& E = E_;
  float m[4];
  g_[9] = g_[10] = g_[11] = 0.0f;
  for (u32 i = 0; i < count; ++i) {
    if (i < packedCount) {
      GetMatch(i, m);
    } else {
      const u32 t = i - packedCount;
      m[0] = tail1[t].x;
      m[1] = tail1[t].y;
      m[2] = tail2[t].x;
      m[3] = tail2[t].y;
    }
    const float x1 = m[0], y1 = m[1], x2 = m[2], y2 = m[3];
    const float l0 = (E.m[0][0] * x1 + E.m[0][1] * y1) + E.m[0][2];
    const float l1 = (E.m[1][0] * x1 + E.m[1][1] * y1) + E.m[1][2];
    const float e = ((x2 * l0 + y2 * l1) + (E.m[2][0] * x1 + E.m[2][1] * y1)) + E.m[2][2];
    const float n2 = l0 * l0 + l1 * l1;
    const float in = 1.0f / std::sqrt(n2);
    const float r = e * in;
    const float en2 = e / n2;
    const float alpha = (x2 - l0 * en2) * in, beta = (y2 - l1 * en2) * in;
    g_[0] = x1 * alpha;
    g_[1] = y1 * alpha;
    g_[2] = alpha;
    g_[3] = x1 * beta;
    g_[4] = y1 * beta;
    g_[5] = beta;
    g_[6] = x1 * in;
    g_[7] = y1 * in;
    g_[8] = in;
    ChainPoseJacobian(g_, D_, J_.v);
    LA::AddOuterProduct6(J_.v, A);
    for (int k = 0; k < 6; ++k) {
      b.v[k] -= r * J_.v[k];
      columnSums[k] += J_.v[k] * J_.v[k];
    }
  }
  CopyUpperToLower(A);
}

void EssentialMatrixEstimatorData::ConstructNormalEquation(const RigidTransformation3D& pose,
                                                           const LA::AlignedVector6f& scale,
                                                           LA::AlignedCompactMatrix6f& A,
                                                           LA::AlignedVector6f& b) {
  float c[6];
  BuildNormalEquation(pose, A, b, c);
  LA::AlignedVector6f s = scale;
  s.v[6] = s.v[4];
  s.v[7] = s.v[5];
  ScaleNormalEquation(s, A);
  for (int k = 0; k < 6; ++k) b.v[k] *= scale.v[k];
}

void EssentialMatrixEstimatorData::ConstructNormalEquationAndScale(
    const RigidTransformation3D& pose, LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& b,
    LA::AlignedVector6f& scale) {
  float c[6];
  BuildNormalEquation(pose, A, b, c);
  for (int k = 0; k < 6; ++k) scale.v[k] = c[k] == 0.0f ? 0.0f : 1.0f / std::sqrt(c[k]);
  scale.v[6] = scale.v[4];
  scale.v[7] = scale.v[5];
  ScaleNormalEquation(scale, A);
  for (int k = 0; k < 6; ++k) b.v[k] *= scale.v[k];
}

void EssentialMatrixEstimatorData::UpdateModel(const LA::AlignedVector6f& scale,
                                               const LA::AlignedVector6f& dx,
                                               const RigidTransformation3D& old,
                                               RigidTransformation3D& updated) {
  float w[6];
  for (int k = 0; k < 6; ++k) w[k] = dx.v[k] * scale.v[k];
  for (int r = 0; r < 3; ++r) translation_[r] = old.m[r][3] + w[3 + r];
  const float norm =
      std::sqrt((translation_[0] * translation_[0] + translation_[1] * translation_[1]) +
                translation_[2] * translation_[2]);
  alignas(16) float scratch[16];
  RotationVectorToRotation(stepRotation_, w[0], w[1], w[2], scratch);
  LA::AlignedMatrix3f rotated;
  LA::MultiplyBA(old, stepRotation_, rotated, scratch);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) updated.m[r][c] = rotated.m[r][c];
    updated.m[r][3] = translation_[r] / norm;
  }
}
