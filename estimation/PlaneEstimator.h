#pragma once
// Robust plane estimators. PlaneEstimator3D judges points by their distance
// to the plane (the key-frame matcher's 3-D plane loop); PlaneEstimator2D
// judges them by the reprojection error of the point moved onto the plane and
// by the process-wide PlaneDistanceThreshold (the map's plane detector). Both
// share every slot except the two verifications.
#include <vector>

#include "estimation/Estimator.h"
#include "estimation/OptimizerTemplate.h"
#include "estimation/PlaneEstimatorData.h"
#include "estimation/PlaneSolver.h"

using PlaneOptimizer = OptimizerTemplate<Plane, LA::AlignedVector4f, LA::AlignedMatrix4f>;

template <class Data>
class PlaneEstimatorCommon : public Estimator<Data, PlaneEstimatorMinimalSample, Data, Plane,
                                              PlaneSolver, PlaneOptimizer, u32> {
 public:
  using Base =
      Estimator<Data, PlaneEstimatorMinimalSample, Data, Plane, PlaneSolver, PlaneOptimizer, u32>;

  explicit PlaneEstimatorCommon(const f32& threshold);

  u32 GetMinimalSampleSize() const override { return 3; }
  f32 ComputeAllInlierProbability(const f32& w) const override { return w * w * w; }
  // Three distinct points drawn uniformly (caller: N >= 3).
  void GenerateMinimalSample(const Data& data, PlaneEstimatorMinimalSample& sample) override;
  // Least-squares plane: one model, or none on failure.
  bool SolveNonMinimal(const Data& sample, AlignedArray<Plane>& models) override;
  // Plane through the three points: one model, or none on failure.
  bool SolveMinimal(const PlaneEstimatorMinimalSample& sample,
                    AlignedArray<Plane>& models) override;
  // Sum of |n . X + d| (absolute distances) over the set points.
  void ComputeInlierSSE(const Data& data, const Plane& plane, const BitMask& mask,
                        f64& sse) override;
  u32 OptimizeModel(Data& sample, Plane& plane, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Data& data, const std::vector<u32>& order, u32 n,
                                   bool includeLast, PlaneEstimatorMinimalSample& sample) override;

 protected:
  AlignedArray<LA::AlignedVector4f> work_;
};

class PlaneEstimator3D : public PlaneEstimatorCommon<PlaneEstimatorData3D> {
 public:
  explicit PlaneEstimator3D(const f32& threshold) : PlaneEstimatorCommon(threshold) {}
  // Inliers: |n . X + d| <= threshold.
  void VerifyModel(const PlaneEstimatorData3D& data, const Plane& plane, std::vector<u32>& inliers,
                   f64& error) override;
  // Inliers: |n . X + d| < threshold; a required point that fails rejects.
  void VerifyModelConstrained(const PlaneEstimatorData3D& data, const Plane& plane,
                              const BitMask& required, std::vector<u32>& inliers,
                              f64& error) override;
};

class PlaneEstimator2D : public PlaneEstimatorCommon<PlaneEstimatorData2D> {
 public:
  explicit PlaneEstimator2D(const f32& threshold) : PlaneEstimatorCommon(threshold) {}
  // Image mode: the point moved onto the plane reprojects with a mean squared
  // error below threshold, and its distance is below PlaneDistanceThreshold.
  // 3-D mode: only the distance test.
  void VerifyModel(const PlaneEstimatorData2D& data, const Plane& plane, std::vector<u32>& inliers,
                   f64& error) override;
  void VerifyModelConstrained(const PlaneEstimatorData2D& data, const Plane& plane,
                              const BitMask& required, std::vector<u32>& inliers,
                              f64& error) override;

 private:
  template <bool kConstrained>
  void Verify(const PlaneEstimatorData2D& data, const Plane& plane, const BitMask* required,
              std::vector<u32>& inliers, f64& error);
};

extern template class PlaneEstimatorCommon<PlaneEstimatorData3D>;
extern template class PlaneEstimatorCommon<PlaneEstimatorData2D>;
