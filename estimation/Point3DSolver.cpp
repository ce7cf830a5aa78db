#include "estimation/Point3DSolver.h"

#include <immintrin.h>

#include <cfloat>
#include <cmath>

#include "la/SmallSolvers.h"

void Point3DSolver::Clear() {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) M_.m[r][c] = 0.0f;
  for (float& v : c_.v) v = 0.0f;
}

void Point3DSolver::Add(const LA::AlignedMatrix3f& camera, const LA::Vector2<float>& x) {
  const __m128 r0 = _mm_load_ps(camera.m[0]), r1 = _mm_load_ps(camera.m[1]);
  const __m128 r2 = _mm_load_ps(camera.m[2]);
  alignas(16) float a[4], b[4];
  _mm_store_ps(a, _mm_sub_ps(r0, _mm_mul_ps(_mm_set1_ps(x.x), r2)));
  _mm_store_ps(b, _mm_sub_ps(r1, _mm_mul_ps(_mm_set1_ps(x.y), r2)));
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) M_.m[r][c] += a[r] * a[c] + b[r] * b[c];
    c_.v[r] -= a[3] * a[r] + b[3] * b[r];
  }
}

namespace {

// In front of the camera at a depth that is a number: +inf is not a place.
inline bool InFront(const LA::AlignedMatrix3f& camera, const Point3D& p) {
  const float z = PointDepth(camera, p);
  return z > 0.0f && z <= FLT_MAX;
}

}  // namespace

bool Point3DSolver::Solve(Point3D& point) {
  LA::AlignedVector3f x = c_;
  if (!LA::SolveLDL(M_, x)) return false;
  if (!std::isfinite(x.v[0]) || !std::isfinite(x.v[1]) || !std::isfinite(x.v[2])) return false;
  point.v[0] = x.v[0], point.v[1] = x.v[1], point.v[2] = x.v[2], point.v[3] = 1.0f;
  return true;
}

bool Point3DSolver::RunMinimalSample(const Point3DEstimatorMinimalSample& sample, Point3D& point) {
  Clear();
  Add(*sample.cameras[0], *sample.measurements[0]);
  Add(*sample.cameras[1], *sample.measurements[1]);
  Point3D p;
  if (!Solve(p)) return false;
  if (!InFront(*sample.cameras[0], p) || !InFront(*sample.cameras[1], p)) return false;
  point = p;
  return true;
}

bool Point3DSolver::RunNonMinimalData(const LA::AlignedMatrix3f* const* cameras,
                                      const LA::Vector2<float>* measurements, u32 n,
                                      Point3D& point) {
  if (n == 0) return false;
  Clear();
  for (u32 i = 0; i < n; ++i) Add(*cameras[i], measurements[i]);
  Point3D p;
  if (!Solve(p)) return false;
  for (u32 i = 0; i < n; ++i)
    if (!InFront(*cameras[i], p)) return false;
  point = p;
  return true;
}

void ComputeTwoReprojectionResiduals(const LA::AlignedMatrix3f& cameraA,
                                     const LA::AlignedMatrix3f& cameraB, const Point3D& pointA,
                                     const Point3D& pointB, const float* measurements,
                                     float* depths, float* residuals, float* inverseDepths) {
  const __m128 pa = _mm_load_ps(pointA.v), pb = _mm_load_ps(pointB.v);
  // (x_a, y_a, x_b, y_b) numerators and (z_a, z_a, z_b, z_b) depths.
  const __m128 xa = _mm_mul_ps(_mm_load_ps(cameraA.m[0]), pa);
  const __m128 ya = _mm_mul_ps(_mm_load_ps(cameraA.m[1]), pa);
  const __m128 za = _mm_mul_ps(_mm_load_ps(cameraA.m[2]), pa);
  const __m128 xb = _mm_mul_ps(_mm_load_ps(cameraB.m[0]), pb);
  const __m128 yb = _mm_mul_ps(_mm_load_ps(cameraB.m[1]), pb);
  const __m128 zb = _mm_mul_ps(_mm_load_ps(cameraB.m[2]), pb);
  // Horizontal sums: h = (xa, ya, xb, yb), d = (za, za, zb, zb).
  const __m128 h = _mm_hadd_ps(_mm_hadd_ps(xa, ya), _mm_hadd_ps(xb, yb));
  const __m128 zz = _mm_hadd_ps(_mm_hadd_ps(za, zb), _mm_setzero_ps());  // (za, zb, 0, 0)
  const __m128 d = _mm_unpacklo_ps(zz, zz);                              // (za, za, zb, zb)
  const __m128 id = _mm_div_ps(_mm_set1_ps(1.0f), d);
  _mm_storeu_ps(residuals, _mm_sub_ps(_mm_loadu_ps(measurements), _mm_mul_ps(h, id)));
  _mm_storeu_ps(inverseDepths, id);
  alignas(16) float z[4];
  _mm_store_ps(z, zz);
  depths[0] = z[0];
  depths[1] = z[1];
}
