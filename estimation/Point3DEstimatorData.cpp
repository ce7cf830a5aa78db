#include "estimation/Point3DEstimatorData.h"

#include <algorithm>
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
