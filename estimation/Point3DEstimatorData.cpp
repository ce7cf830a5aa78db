#include "estimation/Point3DEstimatorData.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

f64 Point3DEstimatorData::ComputeSSE(const Point3D& point) {
  const u32 N = Size();
  const bool weighted = IsWeighted();
  float sse = 0.0f;
  for (u32 i = 0; i < N; ++i) {
    const LA::AlignedMatrix3f& C = *cameras[i];
    const float* P = point.v;
    const float u = C.m[0][0] * P[0] + C.m[0][1] * P[1] + C.m[0][2] * P[2] + C.m[0][3];
    const float v = C.m[1][0] * P[0] + C.m[1][1] * P[1] + C.m[1][2] * P[2] + C.m[1][3];
    const float z = PointDepth(C, point);
    const float ex = measurements[i].x - u / z, ey = measurements[i].y - v / z;
    const float w = weighted ? weights[i] : 1.0f;
    sse += w * w * (ex * ex + ey * ey);
  }
  return static_cast<f64>(sse);
}

f64 Point3DEstimatorData::GetFactorSSEToMSE() {
  return static_cast<f64>(mseFactor / static_cast<f32>(Size()));
}

void Point3DEstimatorData::Accumulate(const Point3D& point, LA::AlignedMatrix3f& A,
                                      LA::AlignedVector3f& b, float* D) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) A.m[r][c] = 0.0f;
    b.v[r] = 0.0f;
    if (D) D[r] = 0.0f;
  }
  b.v[3] = 0.0f;
  const u32 N = Size();
  const bool weighted = IsWeighted();
  const float* P = point.v;
  for (u32 i = 0; i < N; ++i) {
    const LA::AlignedMatrix3f& C = *cameras[i];
    const float u = C.m[0][0] * P[0] + C.m[0][1] * P[1] + C.m[0][2] * P[2] + C.m[0][3];
    const float v = C.m[1][0] * P[0] + C.m[1][1] * P[1] + C.m[1][2] * P[2] + C.m[1][3];
    const float z = PointDepth(C, point);
    const float iz = 1.0f / z, p = u * iz, q = v * iz;
    const float w = weighted ? weights[i] : 1.0f;
    float jx[3], jy[3];
    for (int k = 0; k < 3; ++k) {
      jx[k] = w * (C.m[0][k] - p * C.m[2][k]) * iz;
      jy[k] = w * (C.m[1][k] - q * C.m[2][k]) * iz;
    }
    const float ex = w * (measurements[i].x - p), ey = w * (measurements[i].y - q);
    for (int r = 0; r < 3; ++r) {
      for (int c = r; c < 3; ++c) A.m[r][c] += jx[r] * jx[c] + jy[r] * jy[c];
      b.v[r] += ex * jx[r] + ey * jy[r];
      if (D) D[r] += jx[r] * jx[r] + jy[r] * jy[r];
    }
  }
  for (int r = 1; r < 3; ++r)
    for (int c = 0; c < r; ++c) A.m[r][c] = A.m[c][r];
}

void Point3DEstimatorData::ConstructNormalEquation(const Point3D& point,
                                                   const LA::AlignedVector3f& scale,
                                                   LA::AlignedMatrix3f& A, LA::AlignedVector3f& b) {
  Accumulate(point, A, b, nullptr);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) A.m[r][c] *= scale.v[r] * scale.v[c];
    b.v[r] *= scale.v[r];
  }
}

void Point3DEstimatorData::ConstructNormalEquationAndScale(const Point3D& point,
                                                           LA::AlignedMatrix3f& A,
                                                           LA::AlignedVector3f& b,
                                                           LA::AlignedVector3f& scale) {
  float D[3];
  Accumulate(point, A, b, D);
  for (int k = 0; k < 3; ++k) scale.v[k] = D[k] > 0.0f ? 1.0f / std::sqrt(D[k]) : 0.0f;
  scale.v[3] = 0.0f;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) A.m[r][c] *= scale.v[r] * scale.v[c];
    b.v[r] *= scale.v[r];
  }
}

void Point3DEstimatorData::UpdateModel(const LA::AlignedVector3f& scale,
                                       const LA::AlignedVector3f& dx, const Point3D& old,
                                       Point3D& updated) {
  for (int k = 0; k < 3; ++k) updated.v[k] = old.v[k] + scale.v[k] * dx.v[k];
  updated.v[3] = 1.0f;
}

void Point3DEstimatorData::ComputeRays() {
  const u32 N = Size();
  rays.Resize(N);
  for (u32 i = 0; i < N; ++i) {
    const LA::AlignedMatrix3f& C = *cameras[i];
    const f32 x = measurements[i].x, y = measurements[i].y;
    f32 r[3];
    for (int k = 0; k < 3; ++k) r[k] = x * C.m[0][k] + y * C.m[1][k] + C.m[2][k];
    const f32 n = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const f32 s = n > 0.0f ? 1.0f / n : 0.0f;
    rays[i] = {{r[0] * s, r[1] * s, r[2] * s, 1.0f}};
  }
}

f32 Point3DEstimatorData::ComputeMinRayCosine() {
  const u32 N = Size();
  if (N < 2) return FLT_MAX;
  ComputeRays();
  f32 least = FLT_MAX;
  for (u32 i = 0; i < N; ++i) {
    for (u32 j = i + 1; j < N; ++j) {
      const f32 d =
          rays[i].v[0] * rays[j].v[0] + rays[i].v[1] * rays[j].v[1] + rays[i].v[2] * rays[j].v[2];
      least = std::min(least, d);
    }
  }
  return least;
}

f32 Point3DEstimatorData::ComputeMaxBaseline() const {
  const u32 N = std::min<u32>(Size(), centres.Size());
  f32 widest = 0.0f;
  for (u32 i = 0; i < N; ++i) {
    for (u32 j = i + 1; j < N; ++j) {
      const f32 dx = centres[i].v[0] - centres[j].v[0], dy = centres[i].v[1] - centres[j].v[1],
                dz = centres[i].v[2] - centres[j].v[2];
      widest = std::max(widest, dx * dx + dy * dy + dz * dz);
    }
  }
  return std::sqrt(widest);
}

void Point3DEstimatorData::ResizeWorkArrays() {
  work0.Resize(Size());
  work1.Resize(Size());
}
