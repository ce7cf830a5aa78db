#include "estimation/CameraEPnP.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "estimation/CameraEPnPNullVector.h"
#include "estimation/ClosestRotation.h"
#include "estimation/ProjectionNormalEquation.h"
#include "la/Pose.h"
#include "la/SmallSolvers.h"

using LA::Dot3;

namespace {

// Control-point pairs whose distances fix the scale of the null vector.
constexpr int kPairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

inline float Distance3(const float* a, const float* b) {
  const float d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

}  // namespace

CameraEPnP::CameraEPnP() : mtm_(AlignedAllocate<float>(144)) {}

CameraEPnP::~CameraEPnP() {
  AlignedFree(mtm_);
}

bool CameraEPnP::RunMinimalSample(const MatchSet3DTo2DN<6>& sample, Camera& camera,
                                  AlignedArray<LA::AlignedVector4f>& /*work*/) {
  return Run(sample.worldPoints, sample.imagePoints, 6, camera);
}

bool CameraEPnP::RunNonMinimalData(const MatchSet3DTo2DX& data, Camera& camera,
                                   AlignedArray<LA::AlignedVector4f>& /*work*/) {
  const u32 n = data.Size();
  if (n < 4 || data.imagePoints.Size() < n) return false;
  return Run(data.worldPoints.Data(), data.imagePoints.Data(), n, camera);
}

bool CameraEPnP::Run(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n,
                     Camera& camera) {
  if (!ComputeControlPoints(X, n) || !ComputeAlphas(X, n)) return false;
  ConstructMTM(x, n);
  Camera pose;
  if (!ComputeCameraControlPoints() || !ComputeCameraPoints(n) ||
      !ComputeRigidTransformation(X, n, pose))
    return false;
  PolishPose(X, x, n, pose);
  camera = pose;
  return true;
}

bool CameraEPnP::ComputeControlPoints(const LA::AlignedVector4f* X, u32 n) {
  const float inverseCount = 1.0f / static_cast<float>(n);
  __m128 sum = _mm_setzero_ps();
  for (u32 i = 0; i < n; ++i) sum = _mm_add_ps(sum, _mm_load_ps(X[i].v));
  _mm_store_ps(worldControl_[0].v, _mm_mul_ps(sum, _mm_set1_ps(inverseCount)));
  const float* c0 = worldControl_[0].v;
  // Covariance of the centred points, not divided by n: row r sums d_r d.
  const __m128 centroid = _mm_load_ps(c0);
  const __m128 xyz = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
  __m128 s0 = _mm_setzero_ps(), s1 = s0, s2 = s0;
  for (u32 i = 0; i < n; ++i) {
    const __m128 d = _mm_and_ps(xyz, _mm_sub_ps(_mm_load_ps(X[i].v), centroid));
    s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_shuffle_ps(d, d, _MM_SHUFFLE(0, 0, 0, 0)), d));
    s1 = _mm_add_ps(s1, _mm_mul_ps(_mm_shuffle_ps(d, d, _MM_SHUFFLE(1, 1, 1, 1)), d));
    s2 = _mm_add_ps(s2, _mm_mul_ps(_mm_shuffle_ps(d, d, _MM_SHUFFLE(2, 2, 2, 2)), d));
  }
  _mm_store_ps(covariance_.m[0], s0);
  _mm_store_ps(covariance_.m[1], s1);
  _mm_store_ps(covariance_.m[2], s2);
  // Ascending eigenvalues; eigenvector k becomes row k of the storage.
  if (!LA::ComputeSymmetricEigen3(covariance_, eigenvalues_)) return false;
  for (int k = 0; k < 3; ++k) {
    // Rounding can leave a flat direction slightly negative: clamp to 0.
    const float spread = std::sqrt(std::max(eigenvalues_[k] * inverseCount, 0.0f));
    for (int c = 0; c < 3; ++c) axes_.m[k][c] = spread * covariance_.m[k][c];
    axes_.m[k][3] = 0.0f;
    for (int c = 0; c < 4; ++c) worldControl_[k + 1].v[c] = c0[c] + axes_.m[k][c];
  }
  return true;
}

bool CameraEPnP::ComputeAlphas(const LA::AlignedVector4f* X, u32 n) {
  const float(&A)[3][4] = axes_.m;
  // Cofactors K_kl of A; G = K / det is (A^T)^-1, so alpha = G d solves d = A^T alpha.
  float K[3][3];
  K[0][0] = A[1][1] * A[2][2] - A[1][2] * A[2][1];
  K[0][1] = A[1][2] * A[2][0] - A[1][0] * A[2][2];
  K[0][2] = A[1][0] * A[2][1] - A[1][1] * A[2][0];
  K[1][0] = A[0][2] * A[2][1] - A[0][1] * A[2][2];
  K[1][1] = A[0][0] * A[2][2] - A[0][2] * A[2][0];
  K[1][2] = A[0][1] * A[2][0] - A[0][0] * A[2][1];
  K[2][0] = A[0][1] * A[1][2] - A[0][2] * A[1][1];
  K[2][1] = A[0][2] * A[1][0] - A[0][0] * A[1][2];
  K[2][2] = A[0][0] * A[1][1] - A[0][1] * A[1][0];
  const float det = A[0][0] * K[0][0] + A[1][0] * K[1][0] + A[2][0] * K[2][0];
  if (det == 0.0f || !std::isfinite(det)) return false;
  const float inverseDet = 1.0f / det;
  float G[3][4];
  for (int k = 0; k < 3; ++k) {
    for (int l = 0; l < 3; ++l) G[k][l] = K[k][l] * inverseDet;
    G[k][3] = 0.0f;
  }
  alphas_.Resize(n);
  const float* c0 = worldControl_[0].v;
  for (u32 i = 0; i < n; ++i) {
    const float d[3] = {X[i].v[0] - c0[0], X[i].v[1] - c0[1], X[i].v[2] - c0[2]};
    float* a = alphas_[i].v;
    a[1] = Dot3(G[0], d), a[2] = Dot3(G[1], d), a[3] = Dot3(G[2], d);
    a[0] = 1.0f - a[1] - a[2] - a[3];
    if (!std::isfinite(a[0])) return false;
  }
  return true;
}

void CameraEPnP::ConstructMTM(const LA::Vector2<float>* x, u32 n) {
  // Four symmetric 4x4 moment sums of the alphas weighted by 1, u, v and
  // u^2 + v^2 hold every distinct entry of M^T M.
  __m128 saa[4], sua[4], sva[4], sww[4];
  for (int j = 0; j < 4; ++j) saa[j] = sua[j] = sva[j] = sww[j] = _mm_setzero_ps();
  for (u32 i = 0; i < n; ++i) {
    const __m128 a = _mm_load_ps(alphas_[i].v);
    const float u = x[i].x, v = x[i].y;
    const __m128 ua = _mm_mul_ps(_mm_set1_ps(u), a), va = _mm_mul_ps(_mm_set1_ps(v), a);
    const __m128 wa = _mm_mul_ps(_mm_set1_ps(u * u + v * v), a);
    alignas(16) float aj[4];
    _mm_store_ps(aj, a);
    for (int j = 0; j < 4; ++j) {
      const __m128 s = _mm_set1_ps(aj[j]);
      saa[j] = _mm_add_ps(saa[j], _mm_mul_ps(s, a));
      sua[j] = _mm_add_ps(sua[j], _mm_mul_ps(s, ua));
      sva[j] = _mm_add_ps(sva[j], _mm_mul_ps(s, va));
      sww[j] = _mm_add_ps(sww[j], _mm_mul_ps(s, wa));
    }
  }
  alignas(16) float Saa[4][4], Sua[4][4], Sva[4][4], Sww[4][4];
  for (int j = 0; j < 4; ++j) {
    _mm_store_ps(Saa[j], saa[j]);
    _mm_store_ps(Sua[j], sua[j]);
    _mm_store_ps(Sva[j], sva[j]);
    _mm_store_ps(Sww[j], sww[j]);
  }
  // Unknowns ordered x0, y0, z0, x1, ...; every match gives the rows
  // sum_j alpha_j (x_j - u z_j) = 0 and sum_j alpha_j (y_j - v z_j) = 0.
  // The depths are solved as z_j = depthScale_ zeta_j, which balances the
  // depth columns (weighted by the small image coordinates) against the
  // lateral ones so that single precision resolves the null vector.
  const float traceAA = Saa[0][0] + Saa[1][1] + Saa[2][2] + Saa[3][3];
  const float traceWW = Sww[0][0] + Sww[1][1] + Sww[2][2] + Sww[3][3];
  depthScale_ = traceWW > 0.0f ? std::sqrt(traceAA / traceWW) : 1.0f;
  if (!std::isfinite(depthScale_) || depthScale_ <= 0.0f) depthScale_ = 1.0f;
  const float d = depthScale_, d2 = d * d;
  for (int j = 0; j < 4; ++j) {
    for (int k = 0; k < 4; ++k) {
      float* r0 = mtm_ + (3 * j) * 12 + 3 * k;
      float* r1 = r0 + 12;
      float* r2 = r1 + 12;
      r0[0] = Saa[j][k], r0[1] = 0.0f, r0[2] = -d * Sua[j][k];
      r1[0] = 0.0f, r1[1] = Saa[j][k], r1[2] = -d * Sva[j][k];
      r2[0] = -d * Sua[j][k], r2[1] = -d * Sva[j][k], r2[2] = d2 * Sww[j][k];
    }
  }
}

bool CameraEPnP::ComputeCameraControlPoints() {
  float nullVector[12], smallest;
  if (!ComputeSmallestEigenvector12(mtm_, nullVector, smallest)) return false;
  for (int j = 0; j < 4; ++j) {
    for (int c = 0; c < 3; ++c) nullControl_[j].v[c] = nullVector[3 * j + c];
    nullControl_[j].v[2] *= depthScale_;
    nullControl_[j].v[3] = 1.0f;
  }
  float numerator = 0.0f, denominator = 0.0f;
  for (const auto& p : kPairs) {
    const float dw = Distance3(worldControl_[p[0]].v, worldControl_[p[1]].v);
    const float dc = Distance3(nullControl_[p[0]].v, nullControl_[p[1]].v);
    numerator += dw * dc;
    denominator += dc * dc;
  }
  const float beta = numerator / denominator;
  if (!(denominator > 0.0f) || !std::isfinite(beta)) return false;
  const __m128 b = _mm_set1_ps(beta);
  for (int j = 0; j < 4; ++j)
    _mm_store_ps(cameraControl_[j].v, _mm_mul_ps(b, _mm_load_ps(nullControl_[j].v)));
  return true;
}

bool CameraEPnP::ComputeCameraPoints(u32 n) {
  cameraPoints_.Resize(n);
  const __m128 c0 = _mm_load_ps(cameraControl_[0].v), c1 = _mm_load_ps(cameraControl_[1].v);
  const __m128 c2 = _mm_load_ps(cameraControl_[2].v), c3 = _mm_load_ps(cameraControl_[3].v);
  u32 inFront = 0;
  for (u32 i = 0; i < n; ++i) {
    const float* a = alphas_[i].v;
    const __m128 p = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(a[0]), c0), _mm_mul_ps(_mm_set1_ps(a[1]), c1)),
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(a[2]), c2), _mm_mul_ps(_mm_set1_ps(a[3]), c3)));
    _mm_store_ps(cameraPoints_[i].v, p);
    const float z = cameraPoints_[i].v[2];
    if (!std::isfinite(z)) return false;
    inFront += z > 0.0f;
  }
  if (inFront == n) return true;
  if (inFront != 0) return false;  // points on both sides of the camera
  // The null vector came out with the opposite sign.
  const __m128 flip = _mm_set_ps(1.0f, -1.0f, -1.0f, -1.0f);
  for (u32 i = 0; i < n; ++i)
    _mm_store_ps(cameraPoints_[i].v, _mm_mul_ps(flip, _mm_load_ps(cameraPoints_[i].v)));
  return true;
}

bool CameraEPnP::ComputeRigidTransformation(const LA::AlignedVector4f* X, u32 n, Camera& camera) {
  const __m128 inverseCount = _mm_set1_ps(1.0f / static_cast<float>(n));
  __m128 ws = _mm_setzero_ps(), ps = _mm_setzero_ps();
  for (u32 i = 0; i < n; ++i) {
    ws = _mm_add_ps(ws, _mm_load_ps(X[i].v));
    ps = _mm_add_ps(ps, _mm_load_ps(cameraPoints_[i].v));
  }
  const __m128 wbar = _mm_mul_ps(ws, inverseCount), pbar = _mm_mul_ps(ps, inverseCount);
  // H = sum (p_i - pbar)(X_i - wbar)^T, one world difference per row scaled
  // by a camera component.
  __m128 h0 = _mm_setzero_ps(), h1 = _mm_setzero_ps(), h2 = _mm_setzero_ps();
  for (u32 i = 0; i < n; ++i) {
    const __m128 dw = _mm_sub_ps(_mm_load_ps(X[i].v), wbar);
    alignas(16) float dp[4];
    _mm_store_ps(dp, _mm_sub_ps(_mm_load_ps(cameraPoints_[i].v), pbar));
    h0 = _mm_add_ps(h0, _mm_mul_ps(_mm_set1_ps(dp[0]), dw));
    h1 = _mm_add_ps(h1, _mm_mul_ps(_mm_set1_ps(dp[1]), dw));
    h2 = _mm_add_ps(h2, _mm_mul_ps(_mm_set1_ps(dp[2]), dw));
  }
  LA::AlignedMatrix3f H, R;
  _mm_store_ps(H.m[0], h0);
  _mm_store_ps(H.m[1], h1);
  _mm_store_ps(H.m[2], h2);
  if (!ComputeClosestRotation(H, R)) return false;
  alignas(16) float w[4], p[4];
  _mm_store_ps(w, wbar);
  _mm_store_ps(p, pbar);
  float t[3];
  for (int r = 0; r < 3; ++r) {
    t[r] = p[r] - Dot3(R.m[r], w);
    if (!std::isfinite(t[r])) return false;
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) camera.m[r][c] = R.m[r][c];
    camera.m[r][3] = t[r];
  }
  return true;
}
