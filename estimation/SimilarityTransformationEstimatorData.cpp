#include "estimation/SimilarityTransformationEstimatorData.h"

#include <cmath>

#include "la/Pose.h"

namespace {

inline void Transform(const SimilarityTransformation3D& T, const float* X, float* q, float* Y) {
  for (int r = 0; r < 3; ++r) {
    q[r] = T.m[r][0] * X[0] + T.m[r][1] * X[1] + T.m[r][2] * X[2] + T.m[r][3];
    Y[r] = T.m[3][0] * q[r];
  }
}

}  // namespace

// ---- 3-D data ----

f64 SimilarityTransformationEstimatorData3D::ComputeSSE(const SimilarityTransformation3D& model) {
  f64 sse = 0.0;
  const u32 N = Size();
  for (u32 i = 0; i < N; ++i) sse += static_cast<f64>(ComputePairError(model, i));
  return sse;
}

f64 SimilarityTransformationEstimatorData3D::GetFactorSSEToMSE() {
  return 1.0 / static_cast<f64>(Size());
}

void SimilarityTransformationEstimatorData3D::ComputeJacobian(
    const SimilarityTransformation3D& model, const float* X, float (*J)[7], float* Y) {
  const float s = model.m[3][0];
  float q[3], r[3];
  for (int k = 0; k < 3; ++k)
    r[k] = model.m[k][0] * X[0] + model.m[k][1] * X[1] + model.m[k][2] * X[2];
  for (int k = 0; k < 3; ++k) {
    q[k] = r[k] + model.m[k][3];
    Y[k] = s * q[k];
  }
  // Columns: scale q; rotation -s [r]x; translation s I.
  const float sr0 = s * r[0], sr1 = s * r[1], sr2 = s * r[2];
  const float rows[3][7] = {{q[0], 0.0f, sr2, -sr1, s, 0.0f, 0.0f},
                            {q[1], -sr2, 0.0f, sr0, 0.0f, s, 0.0f},
                            {q[2], sr1, -sr0, 0.0f, 0.0f, 0.0f, s}};
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 7; ++c) J[k][c] = rows[k][c];
}

void SimilarityTransformationEstimatorData3D::Begin(LA::AlignedMatrix7f& A, LA::AlignedVector7f& b,
                                                    float* D) {
  for (int r = 0; r < 7; ++r)
    for (int c = 0; c < 8; ++c) A.m[r][c] = 0.0f;
  for (int k = 0; k < 8; ++k) b.v[k] = 0.0f;
  if (D)
    for (int k = 0; k < 7; ++k) D[k] = 0.0f;
}

void SimilarityTransformationEstimatorData3D::AddRows(const float (*J)[7], const float* e, int rows,
                                                      LA::AlignedMatrix7f& A,
                                                      LA::AlignedVector7f& b, float* D) {
  for (int k = 0; k < rows; ++k) {
    const float* j = J[k];
    for (int r = 0; r < 7; ++r) {
      if (j[r] == 0.0f) continue;
      for (int c = r; c < 7; ++c) A.m[r][c] += j[r] * j[c];
      b.v[r] += j[r] * e[k];
      if (D) D[r] += j[r] * j[r];
    }
  }
}

void SimilarityTransformationEstimatorData3D::Finish(const LA::AlignedVector7f& scale,
                                                     LA::AlignedMatrix7f& A,
                                                     LA::AlignedVector7f& b) {
  for (int r = 1; r < 7; ++r)
    for (int c = 0; c < r; ++c) A.m[r][c] = A.m[c][r];
  for (int r = 0; r < 7; ++r) {
    for (int c = 0; c < 7; ++c) A.m[r][c] *= scale.v[r] * scale.v[c];
    b.v[r] *= scale.v[r];
  }
}

void SimilarityTransformationEstimatorData3D::Accumulate(const SimilarityTransformation3D& model,
                                                         LA::AlignedMatrix7f& A,
                                                         LA::AlignedVector7f& b, float* D) {
  const u32 N = Size();
  for (u32 i = 0; i < N; ++i) {
    float J[3][7], Y[3];
    ComputeJacobian(model, sources[i].v, J, Y);
    const float e[3] = {targets[i].v[0] - Y[0], targets[i].v[1] - Y[1], targets[i].v[2] - Y[2]};
    AddRows(J, e, 3, A, b, D);
  }
}

void SimilarityTransformationEstimatorData3D::ConstructNormalEquation(
    const SimilarityTransformation3D& model, const LA::AlignedVector7f& scale,
    LA::AlignedMatrix7f& A, LA::AlignedVector7f& b) {
  Begin(A, b, nullptr);
  Accumulate(model, A, b, nullptr);
  Finish(scale, A, b);
}

void SimilarityTransformationEstimatorData3D::ConstructNormalEquationAndScale(
    const SimilarityTransformation3D& model, LA::AlignedMatrix7f& A, LA::AlignedVector7f& b,
    LA::AlignedVector7f& scale) {
  float D[7];
  Begin(A, b, D);
  Accumulate(model, A, b, D);
  for (int k = 0; k < 7; ++k) scale.v[k] = D[k] > 0.0f ? 1.0f / std::sqrt(D[k]) : 0.0f;
  scale.v[7] = 0.0f;
  Finish(scale, A, b);
}

void SimilarityTransformationEstimatorData3D::UpdateModel(const LA::AlignedVector7f& scale,
                                                          const LA::AlignedVector7f& dx,
                                                          const SimilarityTransformation3D& old,
                                                          SimilarityTransformation3D& updated) {
  float d[7];
  for (int k = 0; k < 7; ++k) d[k] = scale.v[k] * dx.v[k];
  float scratch[4];
  LA::AlignedMatrix3f dR, Rold, R;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) Rold.m[r][c] = old.m[r][c];
  RotationVectorToRotation(dR, d[1], d[2], d[3], scratch);
  LA::MultiplyBA(Rold, dR, R, scratch);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) updated.m[r][c] = R.m[r][c];
    updated.m[r][3] = old.m[r][3] + d[4 + r];
  }
  const float s = old.m[3][0] + d[0];
  updated.m[3][0] = updated.m[3][1] = updated.m[3][2] = s;
  updated.m[3][3] = 1.0f;
}

// ---- 2-D data ----

namespace {

// Image residual of Y in the camera, and the 2x3 derivative of the projection
// with respect to Y; returns the depth.
inline float Project(const LA::AlignedMatrix3f& C, const float* Y, const LA::Vector2<float>& x,
                     float* e, float (*P)[3]) {
  const float u = C.m[0][0] * Y[0] + C.m[0][1] * Y[1] + C.m[0][2] * Y[2] + C.m[0][3];
  const float v = C.m[1][0] * Y[0] + C.m[1][1] * Y[1] + C.m[1][2] * Y[2] + C.m[1][3];
  const float z = C.m[2][0] * Y[0] + C.m[2][1] * Y[1] + C.m[2][2] * Y[2] + C.m[2][3];
  const float iz = 1.0f / z, pu = u * iz, pv = v * iz;
  e[0] = x.x - pu;
  e[1] = x.y - pv;
  if (P) {
    for (int k = 0; k < 3; ++k) {
      P[0][k] = (C.m[0][k] - pu * C.m[2][k]) * iz;
      P[1][k] = (C.m[1][k] - pv * C.m[2][k]) * iz;
    }
  }
  return z;
}

}  // namespace

bool SimilarityTransformationEstimatorData2D::IsConsistent() const {
  const u32 N = Size();
  if (offsets.size() != N + 1u || offsets[0] != 0) return false;
  for (u32 k = 0; k < N; ++k)
    if (offsets[k + 1] < offsets[k]) return false;
  return offsets[N] == cameras.size() && offsets[N] == measurements.Size();
}

bool SimilarityTransformationEstimatorData2D::ComputePointError(
    const SimilarityTransformation3D& model, u32 k, float& error) const {
  const u32 begin = offsets[k], end = offsets[k + 1];
  if (end <= begin) return false;
  const bool weighted = IsWeighted();
  float q[3], Y[3], e[2];
  Transform(model, sources[k].v, q, Y);
  float sum = 0.0f;
  for (u32 j = begin; j < end; ++j) {
    Project(*cameras[j], Y, measurements[j], e, nullptr);
    float ej = e[0] * e[0] + e[1] * e[1];
    if (weighted) ej *= weights[j];
    sum += ej;
  }
  error = sum / static_cast<float>(end - begin);
  return true;
}

f64 SimilarityTransformationEstimatorData2D::ComputeSSE(const SimilarityTransformation3D& model) {
  f64 sse = 0.0;
  const u32 N = IsConsistent() ? Size() : 0;
  for (u32 k = 0; k < N; ++k) {
    float q[3], Y[3], e[2];
    Transform(model, sources[k].v, q, Y);
    for (u32 j = offsets[k]; j < offsets[k + 1]; ++j) {
      Project(*cameras[j], Y, measurements[j], e, nullptr);
      sse += static_cast<f64>(e[0] * e[0] + e[1] * e[1]);
    }
  }
  return sse;
}

f64 SimilarityTransformationEstimatorData2D::GetFactorSSEToMSE() {
  return static_cast<f64>(mseFactor / static_cast<f32>(ObservationCount()));
}

void SimilarityTransformationEstimatorData2D::Accumulate(const SimilarityTransformation3D& model,
                                                         LA::AlignedMatrix7f& A,
                                                         LA::AlignedVector7f& b, float* D) {
  const u32 N = IsConsistent() ? Size() : 0;
  for (u32 k = 0; k < N; ++k) {
    float J[3][7], Y[3];
    ComputeJacobian(model, sources[k].v, J, Y);
    for (u32 j = offsets[k]; j < offsets[k + 1]; ++j) {
      float e[2], P[2][3], K[2][7];
      Project(*cameras[j], Y, measurements[j], e, P);
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 7; ++c)
          K[r][c] = P[r][0] * J[0][c] + P[r][1] * J[1][c] + P[r][2] * J[2][c];
      AddRows(K, e, 2, A, b, D);
    }
  }
}

bool CopyGroupedSubset(const SimilarityTransformationEstimatorData2D& source,
                       const std::vector<u32>& list,
                       SimilarityTransformationEstimatorData2D& destination) {
  // The offsets size every copy below: a table that runs backwards or past
  // the observations must not reach them.
  bool valid = source.IsConsistent();
  for (const u32 k : list) valid = valid && k < source.Size();
  if (!valid) {
    destination.sources.Resize(0);
    destination.targets.Resize(0);
    destination.offsets.assign(1, 0u);
    destination.cameras.clear();
    destination.measurements.Resize(0);
    destination.weights.clear();
    destination.mseFactor = source.mseFactor;
    return false;
  }
  const u32 n = static_cast<u32>(list.size());
  const bool weighted = source.IsWeighted();
  u32 total = 0;
  for (const u32 k : list) total += source.offsets[k + 1] - source.offsets[k];
  destination.sources.Resize(n);
  destination.targets.Resize(n);
  destination.offsets.resize(n + 1);
  destination.cameras.resize(total);
  destination.measurements.Resize(total);
  destination.weights.resize(weighted ? total : 0);
  u32 o = 0;
  for (u32 i = 0; i < n; ++i) {
    const u32 k = list[i];
    destination.sources[i] = source.sources[k];
    destination.targets[i] = source.targets[k];
    destination.offsets[i] = o;
    for (u32 j = source.offsets[k]; j < source.offsets[k + 1]; ++j, ++o) {
      destination.cameras[o] = source.cameras[j];
      destination.measurements[o] = source.measurements[j];
      if (weighted) destination.weights[o] = source.weights[j];
    }
  }
  destination.offsets[n] = o;
  destination.mseFactor = source.mseFactor;
  return true;
}
