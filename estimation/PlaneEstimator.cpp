// Slots of the two plane estimators.
#include "estimation/PlaneEstimator.h"

#include <cmath>

#include "estimation/SampleIndices.h"

namespace {

inline f32 SignedDistance(const Plane& p, const LA::AlignedVector4f& X) {
  return ((p.v[0] * X.v[0] + p.v[1] * X.v[1]) + p.v[2] * X.v[2]) + p.v[3];
}

}  // namespace

template <class Data>
PlaneEstimatorCommon<Data>::PlaneEstimatorCommon(const f32& threshold) : Base(threshold) {
  for (LA::AlignedVector4f& p : this->minimalSample_.points) p.v[3] = 1.0f;
}

template <class Data>
void PlaneEstimatorCommon<Data>::GenerateMinimalSample(const Data& data,
                                                       PlaneEstimatorMinimalSample& sample) {
  u32 i[3];
  DrawDistinctIndices(data.points.Size(), 3, i);
  for (u32 k = 0; k < 3; ++k) sample.points[k] = data.points[i[k]];
}

template <class Data>
bool PlaneEstimatorCommon<Data>::SolveNonMinimal(const Data& sample, AlignedArray<Plane>& models) {
  return SolveOneModel(models,
                       [&](Plane& plane) { return this->solver.RunNonMinimalData(sample, plane); });
}

template <class Data>
bool PlaneEstimatorCommon<Data>::SolveMinimal(const PlaneEstimatorMinimalSample& sample,
                                              AlignedArray<Plane>& models) {
  return SolveOneModel(
      models, [&](Plane& plane) { return this->solver.RunMinimalSample(sample, plane, work_); });
}

template <class Data>
void PlaneEstimatorCommon<Data>::ComputeInlierSSE(const Data& data, const Plane& plane,
                                                  const BitMask& mask, f64& sse) {
  sse = 0.0;
  const u32 N = data.points.Size();
  for (u32 i = 0; i < N; ++i) {
    if (mask.Test(i)) sse += static_cast<f64>(std::fabs(SignedDistance(plane, data.points[i])));
  }
}

template <class Data>
u32 PlaneEstimatorCommon<Data>::OptimizeModel(Data& sample, Plane& plane, u8 verbosity) {
  return this->RunOptimizer(sample, plane, verbosity);
}

template <class Data>
bool PlaneEstimatorCommon<Data>::GenerateMinimalSampleProsac(const Data& data,
                                                             const std::vector<u32>& order, u32 n,
                                                             bool includeLast,
                                                             PlaneEstimatorMinimalSample& sample) {
  if (n < 3 || n > order.size()) return false;
  u32 items[3];
  DrawProsacItems(order, n, 3, includeLast, items);
  if (!AllBelow(items, 3, data.points.Size())) return false;
  for (u32 k = 0; k < 3; ++k) sample.points[k] = data.points[items[k]];
  return true;
}

template class PlaneEstimatorCommon<PlaneEstimatorData3D>;
template class PlaneEstimatorCommon<PlaneEstimatorData2D>;

// ---- PlaneEstimator3D ----

void PlaneEstimator3D::VerifyModel(const PlaneEstimatorData3D& data, const Plane& plane,
                                   std::vector<u32>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  const u32 N = data.points.Size();
  for (u32 i = 0; i < N; ++i) {
    const f32 e = std::fabs(SignedDistance(plane, data.points[i]));
    if (e <= threshold) {
      inliers.push_back(i);
      error += static_cast<f64>(e);
    }
  }
}

void PlaneEstimator3D::VerifyModelConstrained(const PlaneEstimatorData3D& data, const Plane& plane,
                                              const BitMask& required, std::vector<u32>& inliers,
                                              f64& error) {
  inliers.clear();
  error = 0.0;
  const u32 N = data.points.Size();
  for (u32 i = 0; i < N; ++i) {
    const f32 e = std::fabs(SignedDistance(plane, data.points[i]));
    if (e < threshold) {
      inliers.push_back(i);
      error += static_cast<f64>(e);
    } else if (required.Test(i)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
}

// ---- PlaneEstimator2D ----

template <bool kConstrained>
void PlaneEstimator2D::Verify(const PlaneEstimatorData2D& data, const Plane& plane,
                              const BitMask* required, std::vector<u32>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  const f32 bound = PlaneDistanceThreshold.load(std::memory_order_relaxed);
  const u32 N = data.points.Size();
  for (u32 k = 0; k < N; ++k) {
    const LA::AlignedVector4f& X = data.points[k];
    const f32 e = SignedDistance(plane, X);
    const f32 distance = std::fabs(e);
    bool inlier;
    if (data.mode == 0) {
      LA::AlignedVector4f P;
      for (int i = 0; i < 3; ++i) P.v[i] = X.v[i] - e * plane.v[i];
      P.v[3] = 1.0f;
      u32 first, count;
      data.ObservationRange(k, first, count);
      const f32 S = ComputeReprojectionSSE(P, data.cameras.data() + first,
                                           data.measurements.Data() + first, count);
      inlier = static_cast<f32>(count) * threshold > S && bound > distance;
    } else {
      inlier = bound > distance;
    }
    if (inlier) {
      inliers.push_back(k);
      error += static_cast<f64>(distance);
    } else if (kConstrained && required->Test(k)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
}

void PlaneEstimator2D::VerifyModel(const PlaneEstimatorData2D& data, const Plane& plane,
                                   std::vector<u32>& inliers, f64& error) {
  Verify<false>(data, plane, nullptr, inliers, error);
}

void PlaneEstimator2D::VerifyModelConstrained(const PlaneEstimatorData2D& data, const Plane& plane,
                                              const BitMask& required, std::vector<u32>& inliers,
                                              f64& error) {
  Verify<true>(data, plane, &required, inliers, error);
}
