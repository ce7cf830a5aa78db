#include "estimation/Point3DEstimator.h"

#include <cfloat>

#include "estimation/SampleIndices.h"

void Point3DEstimator::GenerateMinimalSample(const Point3DEstimatorData& data,
                                             Point3DEstimatorMinimalSample& sample) {
  const u32 N = data.Size();
  if (N < 2) return;
  u32 i[2];
  DrawDistinctIndices(N, 2, i);
  const u32 i0 = i[0], i1 = i[1];
  sample = {{data.cameras[i0], data.cameras[i1]}, {&data.measurements[i0], &data.measurements[i1]}};
}

bool Point3DEstimator::GenerateMinimalSampleProsac(const Point3DEstimatorData& data,
                                                   const std::vector<u16>& order, u16 n,
                                                   bool includeLast,
                                                   Point3DEstimatorMinimalSample& sample) {
  if (n < 2 || n > order.size()) return false;
  u16 items[2];
  DrawProsacItems(order, n, 2, includeLast, items);
  const u16 i0 = items[0], i1 = items[1];
  if (i0 >= data.Size() || i1 >= data.Size()) return false;
  sample = {{data.cameras[i0], data.cameras[i1]}, {&data.measurements[i0], &data.measurements[i1]}};
  return true;
}

bool Point3DEstimator::SolveNonMinimal(const Point3DEstimatorData& data,
                                       AlignedArray<Point3D>& models) {
  return SolveOneModel(models, [&](Point3D& point) { return TriangulatePoint(data, point); });
}

bool Point3DEstimator::SolveMinimal(const Point3DEstimatorMinimalSample& sample,
                                    AlignedArray<Point3D>& models) {
  return SolveOneModel(models,
                       [&](Point3D& point) { return solver.RunMinimalSample(sample, point); });
}

bool Point3DEstimator::TriangulatePoint(const Point3DEstimatorData& data, Point3D& point) {
  return solver.RunNonMinimalData(data.cameras.data(), data.measurements.Data(), data.Size(),
                                  point);
}

template <bool kConstrained>
void Point3DEstimator::Verify(const Point3DEstimatorData& data, const Point3D& point,
                              const BitMask* required, std::vector<u16>& list, f64& error) {
  list.clear();
  error = 0.0;
  const u32 N = data.Size();
  const bool weighted = data.IsWeighted();
  const f32 t = threshold;
  // One observation's outcome; false when a required observation fails.
  const auto take = [&](u32 i, float depth, float ex, float ey) {
    if (depth > 0.0f) {
      float e = ex * ex + ey * ey;
      if (weighted) e *= data.squaredWeights[i];
      if (e < t) {
        list.push_back(static_cast<u16>(i));
        error += static_cast<f64>(e);
        return true;
      }
    }
    if (kConstrained && required->Test(i)) {
      list.clear();
      error = 0.0;
      return false;
    }
    return true;
  };
  float z[2], r[4], id[4];
  u32 i = 0;
  for (; i + 1 < N; i += 2) {
    ComputeTwoReprojectionResiduals(*data.cameras[i], *data.cameras[i + 1], point, point,
                                    &data.measurements[i].x, z, r, id);
    if (!take(i, z[0], r[0], r[1])) return;
    if (!take(i + 1, z[1], r[2], r[3])) return;
  }
  if (i < N) {
    const float m[4] = {data.measurements[i].x, data.measurements[i].y, 0.0f, 0.0f};
    ComputeTwoReprojectionResiduals(*data.cameras[i], *data.cameras[i], point, point, m, z, r, id);
    take(i, z[0], r[0], r[1]);
  }
}

void Point3DEstimator::VerifyModel(const Point3DEstimatorData& data, const Point3D& point,
                                   std::vector<u16>& list, f64& error) {
  Verify<false>(data, point, nullptr, list, error);
}

void Point3DEstimator::VerifyModelConstrained(const Point3DEstimatorData& data,
                                              const Point3D& point, const BitMask& required,
                                              std::vector<u16>& list, f64& error) {
  Verify<true>(data, point, &required, list, error);
}

void Point3DEstimator::ComputeInlierSSE(const Point3DEstimatorData& data, const Point3D& point,
                                        const BitMask& mask, f64& sse) {
  sse = 0.0;
  const u32 N = data.Size();
  const bool weighted = data.IsWeighted();
  float z[2], r[4], id[4];
  for (u32 i = 0; i < N; ++i) {
    if (!mask.Test(i)) continue;
    const float m[4] = {data.measurements[i].x, data.measurements[i].y, 0.0f, 0.0f};
    ComputeTwoReprojectionResiduals(*data.cameras[i], *data.cameras[i], point, point, m, z, r, id);
    float e = r[0] * r[0] + r[1] * r[1];
    if (weighted) e *= data.squaredWeights[i];
    sse += static_cast<f64>(e);
  }
}

u32 Point3DEstimator::OptimizeModel(Point3DEstimatorData& data, Point3D& point, u8 verbosity) {
  return RunOptimizer(data, point, verbosity);
}

bool Point3DEstimator::RefinePoint(Point3DEstimatorData& data, Point3D& point) {
  const u32 N = data.Size();
  if (N == 0) return false;
  // Refined on a copy: a point that is not finite never reaches the caller.
  Point3D refined = point;
  optimizer.maxIterations = optimizerIterations;
  optimizer.data = &data;
  optimizer.model = &refined;
  data.NormalizeData(optimizer.normalizationFactor, refined);
  const OptimizerStopCode code = optimizer.RunLM(0);
  data.DenormalizeModel(refined);
  // Observations that give no finite cost cannot place the point.
  if (code == OPT_LM_INFINIT_SSE || !IsFiniteModel(refined)) return false;
  point = refined;
  if (threshold == 0.0f) return true;
  f64 error = 0.0;
  VerifyModel(data, point, inliers, error);
  return inliers.size() == N;
}

bool Point3DEstimator::Triangulate(Point3DEstimatorData& data, Point3D& point, f32 depth) {
  if (data.Size() == 0) return false;
  Point3D guess;
  if (depth == FLT_MAX) {
    if (!TriangulatePoint(data, guess)) return false;
  } else {
    // On the first observation's ray: X = R^T (depth (x, y, 1) - t).
    const LA::AlignedMatrix3f& C = *data.cameras[0];
    const float c[3] = {depth * data.measurements[0].x - C.m[0][3],
                        depth * data.measurements[0].y - C.m[1][3], depth - C.m[2][3]};
    for (int k = 0; k < 3; ++k) guess.v[k] = C.m[0][k] * c[0] + C.m[1][k] * c[1] + C.m[2][k] * c[2];
    guess.v[3] = 1.0f;
    if (!IsFiniteModel(guess)) return false;
  }
  if (!RefinePoint(data, guess)) return false;
  point = guess;
  return true;
}
