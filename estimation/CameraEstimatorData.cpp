#include "estimation/CameraEstimatorData.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "estimation/ProjectionNormalEquation.h"
#include "la/Pose.h"

CameraEstimatorData::CameraEstimatorData() {
  mean = {{0.0f, 0.0f, 0.0f, 1.0f}};
  scale = {{1.0f, 1.0f, 1.0f, 1.0f}};
}

void ComputeMatchPairResiduals(const Camera& camera, const LA::AlignedVector4f* worldPoints,
                               const LA::Vector2<float>* imagePoints, float* residuals,
                               float* depths) {
  const __m128 r0 = _mm_load_ps(camera.m[0]), r1 = _mm_load_ps(camera.m[1]);
  const __m128 r2 = _mm_load_ps(camera.m[2]);
  const __m128 a = _mm_load_ps(worldPoints[0].v), b = _mm_load_ps(worldPoints[1].v);
  // (x_a, y_a, x_b, y_b) and (z_a, z_b, 0, 0) by horizontal sums.
  const __m128 xy = _mm_hadd_ps(_mm_hadd_ps(_mm_mul_ps(r0, a), _mm_mul_ps(r1, a)),
                                _mm_hadd_ps(_mm_mul_ps(r0, b), _mm_mul_ps(r1, b)));
  const __m128 z = _mm_hadd_ps(_mm_hadd_ps(_mm_mul_ps(r2, a), _mm_mul_ps(r2, b)), _mm_setzero_ps());
  const __m128 zz = _mm_unpacklo_ps(z, z);
  const __m128 uv = _mm_loadu_ps(&imagePoints[0].x);
  _mm_storeu_ps(residuals, _mm_sub_ps(uv, _mm_div_ps(xy, zz)));
  alignas(16) float d[4];
  _mm_store_ps(d, z);
  depths[0] = d[0];
  depths[1] = d[1];
}

float ComputeMatchSquaredError(const Camera& camera, const LA::AlignedVector4f& worldPoint,
                               const LA::Vector2<float>& imagePoint, float& depth) {
  const float* X = worldPoint.v;
  const float x =
      camera.m[0][0] * X[0] + camera.m[0][1] * X[1] + camera.m[0][2] * X[2] + camera.m[0][3];
  const float y =
      camera.m[1][0] * X[0] + camera.m[1][1] * X[1] + camera.m[1][2] * X[2] + camera.m[1][3];
  depth = camera.m[2][0] * X[0] + camera.m[2][1] * X[1] + camera.m[2][2] * X[2] + camera.m[2][3];
  const float ex = imagePoint.x - x / depth, ey = imagePoint.y - y / depth;
  return ex * ex + ey * ey;
}

void CameraEstimatorData::NormalizeData(const f32& factor, Camera& model) {
  const u32 N = Size();
  scale = {{1.0f, 1.0f, 1.0f, 1.0f}};
  mean = {{0.0f, 0.0f, 0.0f, 0.0f}};
  if (factor == 0.0f || N == 0) return;
  __m128 sum = _mm_setzero_ps();
  for (u32 i = 0; i < N; ++i) sum = _mm_add_ps(sum, _mm_load_ps(worldPoints[i].v));
  _mm_store_ps(mean.v, _mm_mul_ps(sum, _mm_set1_ps(1.0f / static_cast<float>(N))));
  mean.v[3] = 0.0f;
  const __m128 m = _mm_load_ps(mean.v);
  for (u32 i = 0; i < N; ++i)
    _mm_store_ps(worldPoints[i].v, _mm_sub_ps(_mm_load_ps(worldPoints[i].v), m));
  // The translation absorbs the shift so every point keeps its camera coordinates.
  for (int r = 0; r < 3; ++r)
    model.m[r][3] +=
        model.m[r][0] * mean.v[0] + model.m[r][1] * mean.v[1] + model.m[r][2] * mean.v[2];
  depths.resize(N);
  for (u32 i = 0; i < N; ++i) {
    const float* X = worldPoints[i].v;
    depths[i] = model.m[2][0] * X[0] + model.m[2][1] * X[1] + model.m[2][2] * X[2] + model.m[2][3];
  }
  std::nth_element(depths.begin(), depths.begin() + N / 2, depths.end());
  const float median = depths[N / 2];
  // A median on or behind the camera (or not a number) gives no usable scale:
  // keep the centring only.
  const float s = (1.0f / median) / factor;
  if (!(median > 0.0f) || !std::isfinite(s) || !(s > 0.0f)) return;
  scale = {{s, s, s, s}};
  for (int r = 0; r < 3; ++r) model.m[r][3] *= s;
  const __m128 sv = _mm_set1_ps(s);
  for (u32 i = 0; i < N; ++i) {
    _mm_store_ps(worldPoints[i].v, _mm_mul_ps(sv, _mm_load_ps(worldPoints[i].v)));
    worldPoints[i].v[3] = 1.0f;
  }
}

void CameraEstimatorData::DenormalizeModel(Camera& model) {
  if (scale.v[0] != 1.0f) {
    const float inverse = 1.0f / scale.v[0];
    scale = {{inverse, inverse, inverse, inverse}};
    for (int r = 0; r < 3; ++r) model.m[r][3] *= inverse;
  }
  const float m2 = mean.v[0] * mean.v[0] + mean.v[1] * mean.v[1] + mean.v[2] * mean.v[2];
  if (m2 != 0.0f) {
    for (int r = 0; r < 3; ++r)
      model.m[r][3] -=
          model.m[r][0] * mean.v[0] + model.m[r][1] * mean.v[1] + model.m[r][2] * mean.v[2];
  }
}

f64 CameraEstimatorData::ComputeSSE(const Camera& model) {
  const u32 N = Size();
  __m128 acc = _mm_setzero_ps();
  alignas(16) float e[4];
  float depth[2];
  u32 i = 0;
  for (; i + 1 < N; i += 2) {
    ComputeMatchPairResiduals(model, &worldPoints[i], &imagePoints[i], e, depth);
    const __m128 r = _mm_load_ps(e);
    acc = _mm_add_ps(acc, _mm_mul_ps(r, r));
  }
  _mm_store_ps(e, acc);
  if (i < N) e[0] += ComputeMatchSquaredError(model, worldPoints[i], imagePoints[i], depth[0]);
  return static_cast<f64>(((e[0] + e[1]) + e[2]) + e[3]);
}

f64 CameraEstimatorData::GetFactorSSEToMSE() {
  return static_cast<f64>(mseFactor / static_cast<f32>(Size()));
}

void CameraEstimatorData::Accumulate(const Camera& model, LA::AlignedCompactMatrix6f& A,
                                     LA::AlignedVector6f& b, LA::AlignedVector6f* D) {
  std::fill(A.m, A.m + 36, 0.0f);
  std::fill(b.v, b.v + 8, 0.0f);
  if (D) std::fill(D->v, D->v + 8, 0.0f);
  const u32 N = Size();
  alignas(16) float J[12];
  float r[2];
  for (u32 i = 0; i < N; ++i) {
    ComputeProjectionJacobian(model, worldPoints[i].v, imagePoints[i].x, imagePoints[i].y, r, J);
    AccumulateProjectionNormalEquation(J, A);
    for (int k = 0; k < 6; ++k) {
      const float jx = J[k], jy = k < 4 ? J[8 + k] : J[2 + k];
      b.v[k] += jx * r[0] + jy * r[1];
      if (D) D->v[k] += jx * jx + jy * jy;
    }
  }
  CopyUpperToLower(A);
  b.v[6] = b.v[4], b.v[7] = b.v[5];
  if (D) D->v[6] = D->v[4], D->v[7] = D->v[5];
}

void CameraEstimatorData::ConstructNormalEquation(const Camera& model, const LA::AlignedVector6f& s,
                                                  LA::AlignedCompactMatrix6f& A,
                                                  LA::AlignedVector6f& b) {
  Accumulate(model, A, b, nullptr);
  ScaleNormalEquation(s, A);
  for (int k = 0; k < 8; ++k) b.v[k] *= s.v[k];
}

void CameraEstimatorData::ConstructNormalEquationAndScale(const Camera& model,
                                                          LA::AlignedCompactMatrix6f& A,
                                                          LA::AlignedVector6f& b,
                                                          LA::AlignedVector6f& s) {
  LA::AlignedVector6f D;
  Accumulate(model, A, b, &D);
  for (int k = 0; k < 8; ++k) s.v[k] = D.v[k] > 0.0f ? 1.0f / std::sqrt(D.v[k]) : 0.0f;
  ScaleNormalEquation(s, A);
  for (int k = 0; k < 8; ++k) b.v[k] *= s.v[k];
}

void CameraEstimatorData::UpdateModel(const LA::AlignedVector6f& s, const LA::AlignedVector6f& dx,
                                      const Camera& old, Camera& updated) {
  float scratch[4];
  LA::AlignedMatrix3f dR, R;
  RotationVectorToRotation(dR, s.v[0] * dx.v[0], s.v[1] * dx.v[1], s.v[2] * dx.v[2], scratch);
  LA::MultiplyAB(dR, old, R, scratch);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) updated.m[r][c] = R.m[r][c];
    updated.m[r][3] = old.m[r][3] + s.v[3 + r] * dx.v[3 + r];
  }
}

void DestroyAlignedBufferGroup(CameraEstimatorData& data) {
  std::vector<f32>().swap(data.depths);
  data.arsacData.Release();
  data.imagePoints.Release();
  data.worldPoints.Release();
}
