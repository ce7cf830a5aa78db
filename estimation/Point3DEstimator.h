#pragma once
// One 3-D map point from its observations: linear triangulation (two-view for
// minimal samples, N-view over all), Levenberg-Marquardt refinement of the
// position, and verification by the (weighted) squared reprojection error
// with a positive-depth test. The tracker and the global bundle adjustor
// drive it through Triangulate and RefinePoint.
#include <vector>

#include "estimation/Estimator.h"
#include "estimation/OptimizerTemplate.h"
#include "estimation/Point3DEstimatorData.h"
#include "estimation/Point3DSolver.h"

using Point3DOptimizer = OptimizerTemplate<Point3D, LA::AlignedVector3f, LA::AlignedMatrix3f>;

class Point3DEstimator
    : public Estimator<Point3DEstimatorData, Point3DEstimatorMinimalSample, Point3DEstimatorData,
                       Point3D, Point3DSolver, Point3DOptimizer, u16> {
 public:
  explicit Point3DEstimator(const f32& threshold) : Estimator(threshold) {}

  u32 GetMinimalSampleSize() const override { return 2; }
  f32 ComputeAllInlierProbability(const f32& w) const override { return w * w; }
  // Two distinct observations (nothing drawn when N < 2).
  void GenerateMinimalSample(const Point3DEstimatorData& data,
                             Point3DEstimatorMinimalSample& sample) override;
  bool SolveNonMinimal(const Point3DEstimatorData& data, AlignedArray<Point3D>& models) override;
  bool SolveMinimal(const Point3DEstimatorMinimalSample& sample,
                    AlignedArray<Point3D>& models) override;
  void VerifyModelConstrained(const Point3DEstimatorData& data, const Point3D& point,
                              const BitMask& required, std::vector<u16>& inliers,
                              f64& error) override;
  void VerifyModel(const Point3DEstimatorData& data, const Point3D& point,
                   std::vector<u16>& inliers, f64& error) override;
  void ComputeInlierSSE(const Point3DEstimatorData& data, const Point3D& point, const BitMask& mask,
                        f64& sse) override;
  u32 OptimizeModel(Point3DEstimatorData& data, Point3D& point, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Point3DEstimatorData& data, const std::vector<u16>& order,
                                   u16 n, bool includeLast,
                                   Point3DEstimatorMinimalSample& sample) override;
  // N-view triangulation straight into the point.
  virtual bool TriangulatePoint(const Point3DEstimatorData& data, Point3D& point);

  // With depth FLT_MAX, N-view triangulation; otherwise the point at that
  // depth on the first observation's ray. Then RefinePoint. False with no
  // observations or when either step fails; point is written only on success.
  bool Triangulate(Point3DEstimatorData& data, Point3D& point, f32 depth);
  // Levenberg-Marquardt on the point; with a non-zero threshold every
  // observation must then be an inlier. False with no observations, when
  // the cost is not finite or the refined point is not (point then untouched).
  bool RefinePoint(Point3DEstimatorData& data, Point3D& point);

  // Inliers of the last RefinePoint.
  std::vector<u16> inliers;

 private:
  template <bool kConstrained>
  void Verify(const Point3DEstimatorData& data, const Point3D& point, const BitMask* required,
              std::vector<u16>& inliers, f64& error);
};
