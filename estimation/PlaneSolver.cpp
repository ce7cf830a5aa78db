// Plane through three points and the least-squares plane through many.
#include "estimation/PlaneSolver.h"

#include <cmath>

#include "la/SmallSolvers.h"

bool PlaneSolver::RunMinimalSample(const PlaneEstimatorMinimalSample& sample, Plane& plane,
                                   AlignedArray<LA::AlignedVector4f>& work) {
  if (work.Size() < 2) work.Resize(2);
  const f32* p0 = sample.points[0].v;
  const f32* p1 = sample.points[1].v;
  const f32* p2 = sample.points[2].v;
  f32* a = work[0].v;
  f32* b = work[1].v;
  for (int i = 0; i < 3; ++i) {
    a[i] = p1[i] - p0[i];
    b[i] = p2[i] - p1[i];
  }
  const f32 n0 = a[1] * b[2] - a[2] * b[1];
  const f32 n1 = a[2] * b[0] - a[0] * b[2];
  const f32 n2 = a[0] * b[1] - a[1] * b[0];
  const f32 squared = (n0 * n0 + n1 * n1) + n2 * n2;
  if (squared == 0.0f || !std::isfinite(squared)) return false;
  const f32 inverse = 1.0f / std::sqrt(squared);
  plane.v[0] = n0 * inverse;
  plane.v[1] = n1 * inverse;
  plane.v[2] = n2 * inverse;
  plane.v[3] = -((plane.v[0] * p0[0] + plane.v[1] * p0[1]) + plane.v[2] * p0[2]);
  return true;
}

bool PlaneSolver::RunNonMinimalData(const PlaneEstimatorData3D& data, Plane& plane) {
  f32 xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0, sx = 0, sy = 0, sz = 0;
  for (const LA::AlignedVector4f& X : data.points) {
    const f32 x = X.v[0], y = X.v[1], z = X.v[2];
    xx += x * x;
    xy += x * y;
    xz += x * z;
    yy += y * y;
    yz += y * z;
    zz += z * z;
    sx += x;
    sy += y;
    sz += z;
  }
  normal_.m[0][0] = xx;
  normal_.m[0][1] = xy;
  normal_.m[0][2] = xz;
  normal_.m[1][1] = yy;
  normal_.m[1][2] = yz;
  normal_.m[2][2] = zz;
  LA::AlignedVector3f a = {{-sx, -sy, -sz, 0.0f}};
  if (!LA::SolveLDL(normal_, a)) return false;
  const f32 squared = (a.v[0] * a.v[0] + a.v[1] * a.v[1]) + a.v[2] * a.v[2];
  // A plane through the origin has no finite a.
  if (!(squared > 0.0f) || !std::isfinite(squared)) return false;
  const f32 length = std::sqrt(squared);
  const f32 inverse = 1.0f / length;
  plane.v[0] = a.v[0] * inverse;
  plane.v[1] = a.v[1] * inverse;
  plane.v[2] = a.v[2] * inverse;
  plane.v[3] = inverse;
  return true;
}
