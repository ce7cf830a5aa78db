#pragma once
// Planes and the data the plane fits work on. A plane is (nx, ny, nz, d) with
// |n| = 1; a point X = (x, y, z, 1) lies at the signed distance n . X + d.
//
// PlaneEstimatorData3D fits a plane to points by their distances.
// PlaneEstimatorData2D also carries each point's image observations; in image
// mode (mode 0) a plane is judged by the reprojection error of the points
// moved onto it, which is how the map's plane detector scores planes.
//
// The update renormalises n and keeps d, so a step along n changes nothing:
// both Jacobians are the derivatives through that update, their n part lying
// in the plane orthogonal to n.
#include <atomic>
#include <vector>

#include "estimation/OptimizerDataTemplate.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Types.h"

struct alignas(16) Plane : public LA::AlignedVector4f {};

// Bound on a point's distance to its plane in the 2-D plane verification.
// FLT_MAX (every finite distance passes) until the map's plane detector
// measures it. One thread writes it while others read: relaxed atomic.
extern std::atomic<float> PlaneDistanceThreshold;

// Squared reprojection error of `point` summed over `count` observations:
// (x - u/z)^2 + (y - v/z)^2 with (u, v, z) the pose rows times the point.
f32 ComputeReprojectionSSE(const LA::AlignedVector4f& point,
                           const LA::AlignedMatrix3f* const* cameras,
                           const LA::Vector2<f32>* measurements, u32 count);

class PlaneEstimatorData3D
    : public OptimizerDataTemplate<Plane, LA::AlignedVector4f, LA::AlignedMatrix4f> {
 public:
  // Number of points.
  u32 Size() const { return points.Size(); }
  // destination.points = the listed points of source, in list order.
  static void GetSubset(const PlaneEstimatorData3D& source, const std::vector<u32>& list,
                        PlaneEstimatorData3D& destination);

  // Sum of squared distances.
  f64 ComputeSSE(const Plane& plane) override;
  // 1 / point count.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const Plane& plane, const LA::AlignedVector4f& scale,
                               LA::AlignedMatrix4f& A, LA::AlignedVector4f& b) override;
  void ConstructNormalEquationAndScale(const Plane& plane, LA::AlignedMatrix4f& A,
                                       LA::AlignedVector4f& b, LA::AlignedVector4f& scale) override;
  // plane = old + scale * dx, then n divided by its length (d is kept).
  void UpdateModel(const LA::AlignedVector4f& scale, const LA::AlignedVector4f& dx,
                   const Plane& old, Plane& updated) override;

  // Points (x, y, z, 1).
  AlignedArray<LA::AlignedVector4f> points;

 protected:
  // Unscaled J^T J, J^T r and column sums of squares of the distance problem.
  void AccumulateDistanceSystem(const Plane& plane, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b,
                                LA::AlignedVector4f& D) const;

 private:
  // The unscaled system both normal-equation builds start from (once a build).
  virtual void AccumulateSystem(const Plane& plane, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b,
                                LA::AlignedVector4f& D) {
    AccumulateDistanceSystem(plane, A, b, D);
  }
};

class PlaneEstimatorData2D : public PlaneEstimatorData3D {
 public:
  // destination = the listed points with all their observations, in list
  // order; offsets rebuilt, mode and MSE factor copied.
  static void GetSubset(const PlaneEstimatorData2D& source, const std::vector<u32>& list,
                        PlaneEstimatorData2D& destination);

  // Image mode: reprojection SSE of the points moved onto the plane; also
  // stores each point's distance and projected point for the next build.
  f64 ComputeSSE(const Plane& plane) override;
  // Image mode: MSE factor / observation count.
  f64 GetFactorSSEToMSE() override;

  // Observation count of the data set.
  u32 ObservationCount() const { return offsets.empty() ? 0 : offsets.back(); }
  // First observation of point k and their number; none when the offsets do
  // not cover the points (data filled for 3-D mode only) or when point k's
  // range is reversed or runs past the cameras or measurements.
  void ObservationRange(u32 k, u32& first, u32& count) const {
    first = count = 0;
    if (offsets.size() != static_cast<size_t>(points.Size()) + 1) return;
    const u32 begin = offsets[k], end = offsets[k + 1];
    if (end < begin || end > cameras.size() || end > measurements.Size()) return;
    first = begin;
    count = end - begin;
  }

  u8 mode = 0;  // 0: image-space errors; otherwise 3-D distances
  // Point k owns observations offsets[k] .. offsets[k + 1] - 1.
  std::vector<u32> offsets;
  // Observing camera pose ([R | t], x_cam = R X + t) of each observation.
  std::vector<const LA::AlignedMatrix3f*> cameras;
  // Normalised image point of each observation.
  AlignedArray<LA::Vector2<f32>> measurements;
  f32 mseFactor = 1.0f;
  // Stored by ComputeSSE in image mode.
  std::vector<f32> distances;
  AlignedArray<LA::AlignedVector4f> projected;

 private:
  // Unscaled system of the current mode: distances, or the image errors
  // built from the distances and projected points stored by the last
  // ComputeSSE (recomputed when missing).
  void AccumulateSystem(const Plane& plane, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b,
                        LA::AlignedVector4f& D) override;
  void AccumulateImageSystem(const Plane& plane, LA::AlignedMatrix4f& A, LA::AlignedVector4f& b,
                             LA::AlignedVector4f& D) const;
};
