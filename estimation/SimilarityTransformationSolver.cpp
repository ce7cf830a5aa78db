#include "estimation/SimilarityTransformationSolver.h"

#include <cmath>

#include "estimation/ClosestRotation.h"

SimilarityTransformationSolver::SimilarityTransformationSolver() {
  for (int k = 0; k < 4; ++k) sourceCentroid_.v[k] = targetCentroid_.v[k] = scale_.v[k] = 1.0f;
}

bool SimilarityTransformationSolver::RunMinimalSample(const MatchSet3DN<4>& sample,
                                                      SimilarityTransformation3D& model) {
  return Run(
      4, [&](u32 i) { return sample.sources[i]->v; }, [&](u32 i) { return sample.targets[i]->v; },
      model);
}

bool SimilarityTransformationSolver::RunNonMinimalData(
    const AlignedArray<LA::AlignedVector4f>& sources,
    const AlignedArray<LA::AlignedVector4f>& targets, SimilarityTransformation3D& model) {
  const u32 n = sources.Size() < targets.Size() ? sources.Size() : targets.Size();
  if (n < 3) return false;
  return Run(
      n, [&](u32 i) { return sources[i].v; }, [&](u32 i) { return targets[i].v; }, model);
}

template <class Source, class Target>
bool SimilarityTransformationSolver::Run(u32 n, Source source, Target target,
                                         SimilarityTransformation3D& model) {
  const float inverseCount = n == 4 ? 0.25f : 1.0f / static_cast<float>(n);
  float mx[3] = {0, 0, 0}, my[3] = {0, 0, 0};
  for (u32 i = 0; i < n; ++i) {
    const float *x = source(i), *y = target(i);
    for (int c = 0; c < 3; ++c) mx[c] += x[c], my[c] += y[c];
  }
  for (int c = 0; c < 3; ++c) {
    sourceCentroid_.v[c] = mx[c] * inverseCount;
    targetCentroid_.v[c] = my[c] * inverseCount;
  }
  // Spreads and the cross-covariance of the centred points in one pass; the
  // scale multiplies H afterwards (a positive factor does not move R).
  float sxx = 0.0f, syy = 0.0f;
  float H[3][3] = {};
  for (u32 i = 0; i < n; ++i) {
    const float *x = source(i), *y = target(i);
    float dx[3], dy[3];
    for (int c = 0; c < 3; ++c) {
      dx[c] = x[c] - sourceCentroid_.v[c];
      dy[c] = y[c] - targetCentroid_.v[c];
    }
    sxx += dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2];
    syy += dy[0] * dy[0] + dy[1] * dy[1] + dy[2] * dy[2];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) H[r][c] += dy[r] * dx[c];
  }
  const float s = std::sqrt(syy / sxx);
  // Coincident sources or targets leave no scale to estimate.
  if (!(s > 0.0f) || !std::isfinite(s)) return false;
  scale_.v[0] = scale_.v[1] = scale_.v[2] = s;
  scale_.v[3] = 1.0f;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) covariance_.m[r][c] = s * H[r][c];
    covariance_.m[r][3] = 0.0f;
  }
  return ComputeRotation(model);
}

bool SimilarityTransformationSolver::ComputeRotation(SimilarityTransformation3D& model) {
  LA::AlignedMatrix3f R;
  if (!ComputeClosestRotation(covariance_, R)) return false;
  const float s = scale_.v[0];
  float t[3];
  for (int r = 0; r < 3; ++r) {
    t[r] = targetCentroid_.v[r] / s -
           (R.m[r][0] * sourceCentroid_.v[0] + R.m[r][1] * sourceCentroid_.v[1] +
            R.m[r][2] * sourceCentroid_.v[2]);
    if (!std::isfinite(t[r])) return false;
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) model.m[r][c] = R.m[r][c];
    model.m[r][3] = t[r];
  }
  for (int c = 0; c < 3; ++c) model.m[3][c] = s;
  model.m[3][3] = 1.0f;
  return true;
}
