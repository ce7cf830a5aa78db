#pragma once
// Plane fits: the plane through three points, and the least-squares plane
// a . X + 1 = 0 through many (which cannot hold a plane through the origin:
// such a fit fails).
#include "estimation/PlaneEstimatorData.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

// Minimal sample of the plane estimators: three points (x, y, z, 1) by value.
struct alignas(16) PlaneEstimatorMinimalSample {
  LA::AlignedVector4f points[3];
};

class PlaneSolver {
 public:
  // n = (p1 - p0) x (p2 - p1) normalised, d = -n . p0; false for collinear or
  // repeated points (judged by the triangle's shape, not its size). work:
  // grown to two four-float vectors.
  bool RunMinimalSample(const PlaneEstimatorMinimalSample& sample, Plane& plane,
                        AlignedArray<LA::AlignedVector4f>& work);
  // Least-squares plane (a / |a|, 1 / |a|) of all points; false when the
  // points are one point or one line (judged against their spread), the
  // system is singular, or the plane passes through the origin.
  bool RunNonMinimalData(const PlaneEstimatorData3D& data, Plane& plane);

 private:
  LA::AlignedMatrix3f normal_;
};
