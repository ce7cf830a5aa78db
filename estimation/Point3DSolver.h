#pragma once
// Linear triangulation of one 3-D point from its observations: every camera
// [R | t] (rows r0, r1, r2) with normalised measurement (x, y) contributes the
// algebraic equations (r0 - x r2) . P = 0 and (r1 - y r2) . P = 0 with
// P = (X, 1); their least-squares solution comes from the 3x3 normal
// equations by an LDL^T solve. The point must lie in front of every camera.
#include "la/LinearAlgebra.h"

// The model of the point estimator: (X, Y, Z, 1).
struct alignas(16) Point3D {
  float v[4];
};

// Two observations of the estimator's data (it owns nothing).
struct Point3DEstimatorMinimalSample {
  const LA::AlignedMatrix3f* cameras[2];
  const LA::Vector2<float>* measurements[2];
};

class Point3DSolver {
 public:
  // Two-view triangulation; false when singular or behind either camera.
  bool RunMinimalSample(const Point3DEstimatorMinimalSample& sample, Point3D& point);
  // N-view triangulation over cameras[i] and measurements[i]; false for
  // n = 0, a singular system, or a point behind any camera.
  bool RunNonMinimalData(const LA::AlignedMatrix3f* const* cameras,
                         const LA::Vector2<float>* measurements, u32 n, Point3D& point);

 private:
  void Clear();
  void Add(const LA::AlignedMatrix3f& camera, const LA::Vector2<float>& x);
  bool Solve(Point3D& point);

  LA::AlignedMatrix3f M_;
  LA::AlignedVector3f c_;
};

// Depth r2 . (X, 1) of the point in the camera.
inline float PointDepth(const LA::AlignedMatrix3f& camera, const Point3D& point) {
  return camera.m[2][0] * point.v[0] + camera.m[2][1] * point.v[1] + camera.m[2][2] * point.v[2] +
         camera.m[2][3];
}

// Projects point a through camera a and point b through camera b at once:
// depths (z_a, z_b), inverse depths (1/z_a, 1/z_a, 1/z_b, 1/z_b) and the
// residuals measurement minus projection (x_a, y_a, x_b, y_b).
void ComputeTwoReprojectionResiduals(const LA::AlignedMatrix3f& cameraA,
                                     const LA::AlignedMatrix3f& cameraB, const Point3D& pointA,
                                     const Point3D& pointB, const float* measurements,
                                     float* depths, float* residuals, float* inverseDepths);
