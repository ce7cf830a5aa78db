// Per-frame run of the marker detector: rectification, pyramid, alignment of
// the start poses, gates and prior energy, history and decision.
#include <cvd/vision.h>
#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "la/Homography.h"
#include "optimization/IMUParameters.h"
#include "viewer/MarkerDetector.h"

namespace {

// Edge cost of an image without any step: 4 borders x 49 samples x 1.
constexpr float kFlatEdgeCost = 196.0f;
constexpr float kFlatEdgeFraction = 0.9f;

void Cross(const float* a, const float* b, float* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

bool Normalize(float* v) {
  const float n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(n > 1e-6f) || !std::isfinite(n)) return false;
  for (int i = 0; i < 3; ++i) v[i] /= n;
  return true;
}

}  // namespace

bool MarkerDetector::RectifyFrame(const CVD::BasicImage<unsigned char>& frame,
                                  const CameraPose& prior) {
  assert(!IMU::ParametersChangedWhileFrozen());  // read while workers run
  const float h = IMU_INITIAL_HEIGHT;
  const float(*r)[4] = prior.m;
  float n[3], o[3];
  if (std::fabs(r[2][2]) > 0.70710677f) {
    // The optical axis within 45 degrees of Z: the sheet lies across Z.
    const float d = r[1][1] * r[0][0] - r[1][0] * r[0][1];
    if (!(std::fabs(d) > 1e-6f)) return false;
    n[0] = 0.0f, n[1] = 0.0f, n[2] = -1.0f;
    o[0] = -(r[0][2] * r[1][1] - r[1][2] * r[0][1]) * h / d;
    o[1] = -(r[1][2] * r[0][0] - r[0][2] * r[1][0]) * h / d;
    o[2] = 0.0f;
  } else {
    // The sheet stands on a wall facing x. The divisor is r20, the x part
    // of the optical axis: it vanishes for a camera looking along the wall,
    // which then gets no warp rather than a division by zero.
    const float e = r[1][2] * r[0][1] - r[0][2] * r[1][1];
    if (!(std::fabs(e) > 1e-6f)) return false;
    n[0] = 1.0f, n[1] = 0.0f, n[2] = 0.0f;
    o[0] = 0.0f;
    o[1] = (r[1][2] * r[0][0] - r[0][2] * r[1][0]) * h / e;
    o[2] = (r[1][0] * r[0][1] - r[1][1] * r[0][0]) * h / e;
  }
  float p[3], q[3];
  Cross(n, r[0], p);
  if (!Normalize(p)) return false;
  Cross(p, n, q);
  if (!Normalize(q)) return false;
  const float* V[3] = {q, p, n};
  // G = R V^T + T (0, 0, 1/h), T = -R o.
  float G[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) G[i][j] = r[i][0] * V[j][0] + r[i][1] * V[j][1] + r[i][2] * V[j][2];
    const float T = -(r[i][0] * o[0] + r[i][1] * o[1] + r[i][2] * o[2]);
    G[i][2] += T / h;
  }
  const Intrinsic& Kv = levelIntrinsics[0];
  const float Kvi[3][3] = {{1.0f / Kv.fx[0], 0.0f, -Kv.cx[0] / Kv.fx[0]},
                           {0.0f, 1.0f / Kv.fy[0], -Kv.cy[0] / Kv.fy[0]},
                           {0.0f, 0.0f, 1.0f}};
  const float Kr[3][3] = {{frameIntrinsic.fx[0], 0.0f, frameIntrinsic.cx[0]},
                          {0.0f, frameIntrinsic.fy[0], frameIntrinsic.cy[0]},
                          {0.0f, 0.0f, 1.0f}};
  float GK[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      GK[i][j] = G[i][0] * Kvi[0][j] + G[i][1] * Kvi[1][j] + G[i][2] * Kvi[2][j];
  float M[3][4];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      M[i][j] = Kr[i][0] * GK[0][j] + Kr[i][1] * GK[1][j] + Kr[i][2] * GK[2][j];
    M[i][3] = 0.0f;
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!std::isfinite(M[i][j])) return false;
  std::memcpy(homography, M, sizeof(M));

  CVD::Image<float>& level = levels[0];
  const int fw = frame.size().x, fh = frame.size().y;
  const __m128 maxU = _mm_set1_ps(static_cast<float>(fw - 1));
  const __m128 maxV = _mm_set1_ps(static_cast<float>(fh - 1));
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128 ramp = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
  const int width = level.size().x;  // a multiple of 4
  const unsigned char* base = frame.data();
  const int rowStride = frame.row_stride();
  const __m128i stride = _mm_set1_epi32(rowStride);
  alignas(16) int offsets[4], p00[4], p01[4], p10[4], p11[4];
  for (int y = 0; y < level.size().y; ++y) {
    float* row = level[y];
    // Numerators and denominator are linear along the row: four at a time.
    const __m128 nu0 = _mm_set1_ps(M[0][1] * y + M[0][2]), nv0 = _mm_set1_ps(M[1][1] * y + M[1][2]);
    const __m128 w0 = _mm_set1_ps(M[2][1] * y + M[2][2]);
    for (int x = 0; x < width; x += 4) {
      const __m128 xs = _mm_add_ps(_mm_set1_ps(static_cast<float>(x)), ramp);
      const __m128 iw =
          _mm_div_ps(_mm_set1_ps(1.0f), _mm_add_ps(w0, _mm_mul_ps(xs, _mm_set1_ps(M[2][0]))));
      const __m128 u = _mm_mul_ps(_mm_add_ps(nu0, _mm_mul_ps(xs, _mm_set1_ps(M[0][0]))), iw);
      const __m128 v = _mm_mul_ps(_mm_add_ps(nv0, _mm_mul_ps(xs, _mm_set1_ps(M[1][0]))), iw);
      // Truncation toward zero keeps (-1, 0) at 0; the range is checked on
      // the floats (NaN fails) so no out-of-range value is ever converted.
      const __m128 ok = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(u, minusOne), _mm_cmplt_ps(u, maxU)),
                                   _mm_and_ps(_mm_cmpgt_ps(v, minusOne), _mm_cmplt_ps(v, maxV)));
      // Out-of-range lanes read pixel (0, 0) and are zeroed after.
      const __m128i iu = _mm_cvttps_epi32(_mm_and_ps(u, ok));
      const __m128i iv = _mm_cvttps_epi32(_mm_and_ps(v, ok));
      const __m128 au = _mm_sub_ps(_mm_and_ps(u, ok), _mm_cvtepi32_ps(iu));
      const __m128 av = _mm_sub_ps(_mm_and_ps(v, ok), _mm_cvtepi32_ps(iv));
      _mm_store_si128(reinterpret_cast<__m128i*>(offsets),
                      _mm_add_epi32(_mm_mullo_epi32(iv, stride), iu));
      for (int k = 0; k < 4; ++k) {
        const unsigned char* src = base + offsets[k];
        p00[k] = src[0], p01[k] = src[1], p10[k] = src[rowStride], p11[k] = src[rowStride + 1];
      }
      const auto load = [](const int* p) {
        return _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
      };
      const __m128 a = load(p00), b = load(p01), c = load(p10), d = load(p11);
      const __m128 top = _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), au));
      const __m128 bottom = _mm_add_ps(c, _mm_mul_ps(_mm_sub_ps(d, c), au));
      const __m128 value = _mm_mul_ps(_mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), av)),
                                      _mm_set1_ps(0.003921569f));
      _mm_storeu_ps(row + x, _mm_and_ps(value, ok));
    }
  }
  return true;
}

void MarkerDetector::SmoothLevel(CVD::BasicImage<float>& I) {
  static const float w[5] = {0.0544887f, 0.244201f, 0.40262f, 0.244201f, 0.0544887f};
  const int width = I.size().x, height = I.size().y;
  if (width < 5 || height < 5) return;
  for (int y = 0; y <= height - 5; ++y) {
    float* out = I[y];
    const float *r1 = I[y + 1], *r2 = I[y + 2], *r3 = I[y + 3], *r4 = I[y + 4];
    for (int x = 0; x < width; ++x)
      out[x] = w[0] * out[x] + w[1] * r1[x] + w[2] * r2[x] + w[3] * r3[x] + w[4] * r4[x];
  }
  for (int y = height - 5; y >= 0; --y) {
    const float* in = I[y];
    float* out = I[y + 2];
    for (int x = 0; x <= width - 5; ++x)
      out[x + 2] =
          w[0] * in[x] + w[1] * in[x + 1] + w[2] * in[x + 2] + w[3] * in[x + 3] + w[4] * in[x + 4];
  }
}

void MarkerDetector::ComputeGradients(const CVD::BasicImage<float>& I,
                                      CVD::BasicImage<LA::Vector2<float>>& g) {
  const int width = I.size().x, height = I.size().y;
  for (int y = 1; y <= height - 3; ++y) {
    const float *a = I[y - 1], *b = I[y], *c = I[y + 1];
    LA::Vector2<float>* out = g[y];
    for (int x = 1; x <= width - 2; ++x) {
      out[x].x = (2.0f * (b[x + 1] - b[x - 1]) + a[x + 1] + c[x + 1] - a[x - 1] - c[x - 1]) * 0.25f;
      out[x].y = (2.0f * (c[x] - a[x]) + c[x - 1] + c[x + 1] - a[x - 1] - a[x + 1]) * 0.25f;
    }
  }
}

bool MarkerDetector::Run(const CVD::BasicImage<unsigned char>& frame, const CameraPose& prior,
                         float out[8]) {
  timer.Start();
  frameCounter += 1;
  const bool useTemplate = templateLoaded;

  const bool rectified = frame.size().x >= 2 && frame.size().y >= 2 && RectifyFrame(frame, prior);
  bool haveBest = false;
  float bestEnergy = FLT_MAX;
  CameraPose bestPose;
  float bestCorners[8];
  candidates.Clear();
  if (rectified) {
    for (int l = 0; l < kPyramidLevels; ++l) {
      if (l > 0) CVD::halfSample(levels[l - 1], levels[l]);
      SmoothLevel(levels[l]);
      ComputeGradients(levels[l], gradients[l]);
    }
    const bool fullHistory = records.Size() == kHistorySize;
    const u32 count = hypotheses.Size() + (fullHistory ? 1 : 0);
    for (u32 i = 0; i < count; ++i) {
      CameraPose pose = i < hypotheses.Size() ? hypotheses[i] : lastPose;
      float corners[8];
      float e = FLT_MAX;
      for (int l = kPyramidLevels - 1; l >= 0; --l)
        e = useTemplate ? AlignHypothesisToTemplate(l, pose, corners)
                        : AlignHypothesis(l, pose, corners);
      if (useTemplate) e *= 65025.0f;
      // Non-finite values fail every gate. Borders over a featureless image
      // cost 196 (a unit residual per sample), under the 500 gate: without
      // the extra bound a blank or sheet-less frame counted as a detection.
      if (!(e <= (useTemplate ? 400.0f : 500.0f))) continue;
      if (!useTemplate && !(e <= kFlatEdgeFraction * kFlatEdgeCost)) continue;
      const float expectedDistance = MeanCornerDistance(expectedCorners, corners);
      if (!(expectedDistance <= 50.0f)) continue;
      const float referenceDistance =
          fullHistory ? MeanCornerDistance(referenceCorners, corners) : 0.0f;
      if (!(referenceDistance <= 50.0f)) continue;
      float O[3];
      CameraCentre(pose, O);
      alignas(16) float q[4];
      RotationToQuaternion(pose, q);
      const float* w = priorWeights;
      const float priorEnergy = w[0] * O[0] * O[0] + w[1] * O[1] * O[1] + w[2] * O[2] * O[2] +
                                w[3] * 4.0f * q[0] * q[0] + w[4] * 4.0f * q[1] * q[1] +
                                w[5] * 4.0f * q[2] * q[2];
      const float energy = (useTemplate ? e : 4.0f * e) + priorEnergy;
      if (!std::isfinite(energy)) continue;
      MarkerCandidate candidate;
      std::memcpy(candidate.corners, corners, sizeof(corners));
      candidate.energy = energy;
      candidate.expectedDistance = expectedDistance;
      candidate.referenceDistance = referenceDistance;
      candidates.PushBack(candidate, 100);
      if (energy <= bestEnergy) {
        haveBest = true;
        bestEnergy = energy;
        bestPose = pose;
        std::memcpy(bestCorners, corners, sizeof(bestCorners));
      }
    }
  }
  if (haveBest) AddToHistory(bestPose, bestCorners);
  timer.Stop();
  timer.Advance();

  shownCandidate = 0;
  const bool stable =
      haveBest && records.Size() == kHistorySize && ComputeHistoryVariance() < 10.0f;
  if (!stable) {
    candidates.Clear();
  } else {
    std::sort(
        candidates.begin(), candidates.end(),
        [](const MarkerCandidate& a, const MarkerCandidate& b) { return a.energy < b.energy; });
  }
  Draw();

  if (!haveBest) {
    ClearHistory();
    return false;
  }
  if (records.Size() < kHistorySize) return false;
  if (!(ComputeHistoryVariance() < 10.0f)) {
    ClearHistory();
    return false;
  }
  for (int k = 0; k < 4; ++k) ApplyHomography(homography, bestCorners + 2 * k, out + 2 * k);
  if (templateOut) {
    paused = 1;
    Draw();
    SampleMarkerTexture(bestPose);
  }
  return true;
}
