// Plane through three points and the least-squares plane through many.
#include "estimation/PlaneSolver.h"

#include <cmath>

#include "la/SmallSolvers.h"

namespace {

// Squared sine of the angle below which two edges, or the two widest
// directions of a point cloud, count as one line. Far above the rounding of
// float points measured in double, far below any plane worth fitting.
constexpr f64 kDegenerateSine2 = 1e-10;

// False for three points that are repeated or on one line, judged by the
// triangle's shape (|a x b|^2 against |a|^2 |b|^2), not its size; in double,
// where the differences of float points are exact.
bool SpanPlane(const f32* p0, const f32* p1, const f32* p2) {
  f64 a[3], b[3];
  for (int i = 0; i < 3; ++i) {
    a[i] = static_cast<f64>(p1[i]) - p0[i];
    b[i] = static_cast<f64>(p2[i]) - p1[i];
  }
  const f64 n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                    a[0] * b[1] - a[1] * b[0]};
  const f64 nn = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
  const f64 aa = a[0] * a[0] + a[1] * a[1] + a[2] * a[2];
  const f64 bb = b[0] * b[0] + b[1] * b[1] + b[2] * b[2];
  return nn > kDegenerateSine2 * aa * bb;
}

// False when the points are all one point or lie on one line: the sum of the
// 2x2 principal minors of their centred scatter (about the product of its two
// largest eigenvalues) vanishes against its squared trace.
bool SpanPlane(const AlignedArray<LA::AlignedVector4f>& points) {
  const u32 n = points.Size();
  if (n < 3) return false;
  f64 mean[3] = {0.0, 0.0, 0.0};
  for (const LA::AlignedVector4f& X : points)
    for (int i = 0; i < 3; ++i) mean[i] += X.v[i];
  for (f64& m : mean) m /= n;
  f64 s[3][3] = {};
  for (const LA::AlignedVector4f& X : points) {
    const f64 d[3] = {X.v[0] - mean[0], X.v[1] - mean[1], X.v[2] - mean[2]};
    for (int r = 0; r < 3; ++r)
      for (int c = r; c < 3; ++c) s[r][c] += d[r] * d[c];
  }
  const f64 trace = s[0][0] + s[1][1] + s[2][2];
  const f64 minors = (s[0][0] * s[1][1] - s[0][1] * s[0][1]) +
                     (s[0][0] * s[2][2] - s[0][2] * s[0][2]) +
                     (s[1][1] * s[2][2] - s[1][2] * s[1][2]);
  return minors > kDegenerateSine2 * trace * trace;
}

}  // namespace

bool PlaneSolver::RunMinimalSample(const PlaneEstimatorMinimalSample& sample, Plane& plane,
                                   AlignedArray<LA::AlignedVector4f>& work) {
  if (work.Size() < 2) work.Resize(2);
  const f32* p0 = sample.points[0].v;
  const f32* p1 = sample.points[1].v;
  const f32* p2 = sample.points[2].v;
  if (!SpanPlane(p0, p1, p2)) return false;
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
  if (!SpanPlane(data.points)) return false;
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
