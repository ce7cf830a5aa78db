// Plane data: distances, reprojection errors of points moved onto a plane,
// their normal equations and the renormalising update.
#include "estimation/PlaneEstimatorData.h"

#include <immintrin.h>

#include <cfloat>
#include <cmath>

std::atomic<float> PlaneDistanceThreshold{FLT_MAX};

using LA::Dot3;

namespace {

// n . X + d, the fourth component of X being 1.
inline f32 SignedDistance(const Plane& p, const LA::AlignedVector4f& X) {
  return ((p.v[0] * X.v[0] + p.v[1] * X.v[1]) + p.v[2] * X.v[2]) + p.v[3];
}

inline f32 RowTimesPoint(const f32* r, const LA::AlignedVector4f& X) {
  return Dot3(r, X.v) + r[3] * X.v[3];
}

void ClearSystem(LA::AlignedMatrix4f& A, LA::AlignedVector4f& b, LA::AlignedVector4f& D) {
  for (int i = 0; i < 4; ++i) {
    _mm_store_ps(A.m[i], _mm_setzero_ps());
  }
  _mm_store_ps(b.v, _mm_setzero_ps());
  _mm_store_ps(D.v, _mm_setzero_ps());
}

// A += J J^T, b += r J, D += J * J (J four-wide).
inline void AddRow(__m128 J, f32 r, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b,
                   LA::AlignedVector4f& D) {
  alignas(16) f32 j[4];
  _mm_store_ps(j, J);
  for (int i = 0; i < 4; ++i) {
    _mm_store_ps(A.m[i], _mm_add_ps(_mm_load_ps(A.m[i]), _mm_mul_ps(_mm_set1_ps(j[i]), J)));
  }
  _mm_store_ps(b.v, _mm_add_ps(_mm_load_ps(b.v), _mm_mul_ps(_mm_set1_ps(r), J)));
  _mm_store_ps(D.v, _mm_add_ps(_mm_load_ps(D.v), _mm_mul_ps(J, J)));
}

// s_k = 1 / sqrt(D_k), 0 for an empty column.
void ComputeScale(const LA::AlignedVector4f& D, LA::AlignedVector4f& s) {
  for (int k = 0; k < 4; ++k) s.v[k] = D.v[k] > 0.0f ? 1.0f / std::sqrt(D.v[k]) : 0.0f;
}

void ApplyScale(const LA::AlignedVector4f& s, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b) {
  const __m128 sv = _mm_load_ps(s.v);
  for (int i = 0; i < 4; ++i) {
    _mm_store_ps(A.m[i], _mm_mul_ps(_mm_load_ps(A.m[i]), _mm_mul_ps(_mm_set1_ps(s.v[i]), sv)));
  }
  _mm_store_ps(b.v, _mm_mul_ps(_mm_load_ps(b.v), sv));
}

// Removes the component of the n part (entries 0-2) along n: the update
// renormalises n, so that direction has no effect.
inline __m128 ProjectNormalPart(__m128 J, const Plane& p) {
  alignas(16) f32 j[4];
  _mm_store_ps(j, J);
  const f32 along = Dot3(j, p.v);
  return _mm_sub_ps(J, _mm_mul_ps(_mm_set1_ps(along), _mm_setr_ps(p.v[0], p.v[1], p.v[2], 0.0f)));
}

}  // namespace

f32 ComputeReprojectionSSE(const LA::AlignedVector4f& point,
                           const LA::AlignedMatrix3f* const* cameras,
                           const LA::Vector2<f32>* measurements, u32 count) {
  f32 sse = 0.0f;
  for (u32 i = 0; i < count; ++i) {
    const LA::AlignedMatrix3f& C = *cameras[i];
    const f32 u = RowTimesPoint(C.m[0], point);
    const f32 v = RowTimesPoint(C.m[1], point);
    const f32 z = RowTimesPoint(C.m[2], point);
    const f32 dx = measurements[i].x - u / z;
    const f32 dy = measurements[i].y - v / z;
    sse += dx * dx + dy * dy;
  }
  return sse;
}

// ---- PlaneEstimatorData3D ----

void PlaneEstimatorData3D::GetSubset(const PlaneEstimatorData3D& source,
                                     const std::vector<u32>& list,
                                     PlaneEstimatorData3D& destination) {
  const u32 n = static_cast<u32>(list.size());
  destination.points.Resize(n);
  for (u32 i = 0; i < n; ++i) destination.points[i] = source.points[list[i]];
}

f64 PlaneEstimatorData3D::ComputeSSE(const Plane& plane) {
  f64 sse = 0.0;
  for (const LA::AlignedVector4f& X : points) {
    const f32 e = SignedDistance(plane, X);
    sse += static_cast<f64>(e * e);
  }
  return sse;
}

f64 PlaneEstimatorData3D::GetFactorSSEToMSE() {
  return 1.0 / static_cast<f64>(points.Size());
}

void PlaneEstimatorData3D::AccumulateDistanceSystem(const Plane& plane, LA::AlignedMatrix4f& A,
                                                    LA::AlignedVector4f& b,
                                                    LA::AlignedVector4f& D) const {
  ClearSystem(A, b, D);
  for (const LA::AlignedVector4f& X : points) {
    const f32 e = SignedDistance(plane, X);
    // d e / d(n, d) through the renormalising update: (X' - (n . X') n, 1).
    const __m128 J = ProjectNormalPart(_mm_setr_ps(X.v[0], X.v[1], X.v[2], 1.0f), plane);
    AddRow(J, -e, A, b, D);
  }
}

void PlaneEstimatorData3D::ConstructNormalEquation(const Plane& plane,
                                                   const LA::AlignedVector4f& scale,
                                                   LA::AlignedMatrix4f& A, LA::AlignedVector4f& b) {
  LA::AlignedVector4f D;
  AccumulateSystem(plane, A, b, D);
  ApplyScale(scale, A, b);
}

void PlaneEstimatorData3D::ConstructNormalEquationAndScale(const Plane& plane,
                                                           LA::AlignedMatrix4f& A,
                                                           LA::AlignedVector4f& b,
                                                           LA::AlignedVector4f& scale) {
  LA::AlignedVector4f D;
  AccumulateSystem(plane, A, b, D);
  ComputeScale(D, scale);
  ApplyScale(scale, A, b);
}

void PlaneEstimatorData3D::UpdateModel(const LA::AlignedVector4f& scale,
                                       const LA::AlignedVector4f& dx, const Plane& old,
                                       Plane& updated) {
  for (int k = 0; k < 4; ++k) updated.v[k] = old.v[k] + scale.v[k] * dx.v[k];
  const f32 inverse = 1.0f / std::sqrt(Dot3(updated.v, updated.v));
  updated.v[0] *= inverse;
  updated.v[1] *= inverse;
  updated.v[2] *= inverse;
}

// ---- PlaneEstimatorData2D ----

void PlaneEstimatorData2D::GetSubset(const PlaneEstimatorData2D& source,
                                     const std::vector<u32>& list,
                                     PlaneEstimatorData2D& destination) {
  destination.mseFactor = source.mseFactor;
  destination.mode = source.mode;
  const u32 n = static_cast<u32>(list.size());
  u32 total = 0, first = 0, count = 0;
  for (const u32 k : list) {
    source.ObservationRange(k, first, count);
    total += count;
  }
  destination.points.Resize(n);
  destination.offsets.resize(n + 1);
  destination.cameras.resize(total);
  destination.measurements.Resize(total);
  u32 at = 0;
  for (u32 i = 0; i < n; ++i) {
    const u32 k = list[i];
    destination.points[i] = source.points[k];
    destination.offsets[i] = at;
    source.ObservationRange(k, first, count);
    for (u32 o = first; o < first + count; ++o, ++at) {
      destination.cameras[at] = source.cameras[o];
      destination.measurements[at] = source.measurements[o];
    }
  }
  destination.offsets[n] = at;
}

f64 PlaneEstimatorData2D::ComputeSSE(const Plane& plane) {
  if (mode != 0) return PlaneEstimatorData3D::ComputeSSE(plane);
  const u32 N = points.Size();
  distances.resize(N);
  projected.Resize(N);
  f64 sse = 0.0;
  for (u32 k = 0; k < N; ++k) {
    const LA::AlignedVector4f& X = points[k];
    const f32 e = SignedDistance(plane, X);
    distances[k] = e;
    LA::AlignedVector4f& P = projected[k];
    for (int i = 0; i < 3; ++i) P.v[i] = X.v[i] - e * plane.v[i];
    P.v[3] = 1.0f;
    u32 first, count;
    ObservationRange(k, first, count);
    sse += static_cast<f64>(
        ComputeReprojectionSSE(P, cameras.data() + first, measurements.Data() + first, count));
  }
  return sse;
}

f64 PlaneEstimatorData2D::GetFactorSSEToMSE() {
  if (mode != 0) return PlaneEstimatorData3D::GetFactorSSEToMSE();
  return static_cast<f64>(mseFactor / static_cast<f32>(ObservationCount()));
}

void PlaneEstimatorData2D::AccumulateImageSystem(const Plane& plane, LA::AlignedMatrix4f& A,
                                                 LA::AlignedVector4f& b,
                                                 LA::AlignedVector4f& D) const {
  ClearSystem(A, b, D);
  const u32 N = points.Size();
  for (u32 k = 0; k < N; ++k) {
    const LA::AlignedVector4f& X = points[k];
    const f32 e = distances[k];
    const LA::AlignedVector4f& P = projected[k];
    // G = d X'' / d(n, d) with X'' = X - (n . X + d) n, rows i = 0..2; its n
    // part is projected as the update requires.
    __m128 G[3];
    for (int i = 0; i < 3; ++i) {
      const f32 ni = plane.v[i];
      alignas(16) f32 g[4] = {-ni * X.v[0], -ni * X.v[1], -ni * X.v[2], -ni};
      g[i] -= e;
      G[i] = ProjectNormalPart(_mm_load_ps(g), plane);
    }
    u32 first, count;
    ObservationRange(k, first, count);
    for (u32 o = first; o < first + count; ++o) {
      const LA::AlignedMatrix3f& C = *cameras[o];
      const f32 iz = 1.0f / RowTimesPoint(C.m[2], P);
      const f32 p = RowTimesPoint(C.m[0], P) * iz;
      const f32 q = RowTimesPoint(C.m[1], P) * iz;
      __m128 Kp = _mm_setzero_ps(), Kq = _mm_setzero_ps();
      for (int i = 0; i < 3; ++i) {
        const f32 jp = (C.m[0][i] - p * C.m[2][i]) * iz;
        const f32 jq = (C.m[1][i] - q * C.m[2][i]) * iz;
        Kp = _mm_add_ps(Kp, _mm_mul_ps(_mm_set1_ps(jp), G[i]));
        Kq = _mm_add_ps(Kq, _mm_mul_ps(_mm_set1_ps(jq), G[i]));
      }
      AddRow(Kp, measurements[o].x - p, A, b, D);
      AddRow(Kq, measurements[o].y - q, A, b, D);
    }
  }
}

void PlaneEstimatorData2D::AccumulateSystem(const Plane& plane, LA::AlignedMatrix4f& A,
                                            LA::AlignedVector4f& b, LA::AlignedVector4f& D) {
  if (mode != 0) {
    AccumulateDistanceSystem(plane, A, b, D);
    return;
  }
  // The build reads what ComputeSSE stored; make sure it is there.
  if (distances.size() != points.Size() || projected.Size() != points.Size()) ComputeSSE(plane);
  AccumulateImageSystem(plane, A, b, D);
}
