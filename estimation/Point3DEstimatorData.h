#pragma once
// The observations of one 3-D point (camera poses and normalised image
// points, optionally weighted) as the point estimator and the optimiser see
// them: summed squared reprojection error and the 3x3 normal equations of the
// point's position.
#include <vector>

#include "estimation/OptimizerDataTemplate.h"
#include "estimation/Point3DSolver.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

class Point3DEstimatorData
    : public OptimizerDataTemplate<Point3D, LA::AlignedVector3f, LA::AlignedMatrix3f> {
 public:
  // Observation count N.
  u16 Size() const { return static_cast<u16>(cameras.size()); }
  // Weights apply only when there is one per observation.
  bool IsWeighted() const { return weights.Size() == cameras.size(); }
  // destination = the listed observations of source, in list order.
  template <class Index>
  static void GetSubset(const Point3DEstimatorData& source, const std::vector<Index>& list,
                        Point3DEstimatorData& destination);

  f64 ComputeSSE(const Point3D& point) override;
  // MSE factor / N.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const Point3D& point, const LA::AlignedVector3f& scale,
                               LA::AlignedMatrix3f& A, LA::AlignedVector3f& b) override;
  void ConstructNormalEquationAndScale(const Point3D& point, LA::AlignedMatrix3f& A,
                                       LA::AlignedVector3f& b, LA::AlignedVector3f& scale) override;
  // new = old + scale * dx, fourth component 1.
  void UpdateModel(const LA::AlignedVector3f& scale, const LA::AlignedVector3f& dx,
                   const Point3D& old, Point3D& updated) override;

  // Triangulation geometry, for judging how well the observations fix the
  // point. One unit viewing ray per observation in world coordinates,
  // x row0 + y row1 + row2 of the camera's rotation, fourth component 1.
  void ComputeRays();
  // Smallest dot product over all pairs of rays (the widest angle); FLT_MAX
  // with fewer than two observations.
  f32 ComputeMinRayCosine();
  // Largest distance between two observing camera centres; 0 with fewer
  // than two.
  f32 ComputeMaxBaseline() const;
  // Sizes the two float work arrays to the observation count.
  void ResizeWorkArrays();

  std::vector<const LA::AlignedMatrix3f*> cameras;
  AlignedArray<LA::Vector2<float>> measurements;
  // w_i on residuals and Jacobian rows, and w_i^2 on squared errors.
  AlignedArray<f32> weights;
  AlignedArray<f32> squaredWeights;
  // Centres of the observing cameras, carried for the map's baseline measure.
  AlignedArray<LA::AlignedVector4f> centres;
  f32 mseFactor = 1.0f;
  AlignedArray<LA::AlignedVector4f> rays;
  AlignedArray<f32> work0, work1;

 private:
  void Accumulate(const Point3D& point, LA::AlignedMatrix3f& A, LA::AlignedVector3f& b, float* D);
};

template <class Index>
void Point3DEstimatorData::GetSubset(const Point3DEstimatorData& source,
                                     const std::vector<Index>& list,
                                     Point3DEstimatorData& destination) {
  const u32 n = static_cast<u32>(list.size());
  const bool weighted = source.IsWeighted();
  const bool withCentres = source.centres.Size() == source.cameras.size();
  destination.cameras.resize(n);
  destination.measurements.Resize(n);
  destination.weights.Resize(weighted ? n : 0);
  destination.squaredWeights.Resize(weighted ? n : 0);
  destination.centres.Resize(withCentres ? n : 0);
  for (u32 i = 0; i < n; ++i) {
    const Index j = list[i];
    destination.cameras[i] = source.cameras[j];
    destination.measurements[i] = source.measurements[j];
    if (weighted) {
      destination.weights[i] = source.weights[j];
      destination.squaredWeights[i] = source.squaredWeights[j];
    }
    if (withCentres) destination.centres[i] = source.centres[j];
  }
  destination.mseFactor = source.mseFactor;
}
