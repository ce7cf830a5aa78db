#include "features/ImageRotation.h"

#include <cvd/vision.h>
#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "features/FloatArrayKernels.h"
#include "la/SmallSolvers.h"

namespace {

constexpr float kInv255 = 0.003921569f;
constexpr int kMaxIterations = 20;
constexpr float kResidualScale = 162.5625f;  // 12.75^2: residuals in units of 20 grey levels
constexpr float kCornerConvergence = 0.01f;
constexpr float kMaxError = 20.0f;
constexpr float kOverlap = 0.3f;

// H = K R K^-1.
void RotationHomography(const LA::AlignedMatrix3f& R, float fx, float fy, float cx, float cy,
                        LA::AlignedMatrix3f& H) {
  const float k[3][3] = {{fx, 0.0f, cx}, {0.0f, fy, cy}, {0.0f, 0.0f, 1.0f}};
  const float ki[3][3] = {
      {1.0f / fx, 0.0f, -cx / fx}, {0.0f, 1.0f / fy, -cy / fy}, {0.0f, 0.0f, 1.0f}};
  float kr[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      kr[i][j] = k[i][0] * R.m[0][j] + k[i][1] * R.m[1][j] + k[i][2] * R.m[2][j];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      H.m[i][j] = kr[i][0] * ki[0][j] + kr[i][1] * ki[1][j] + kr[i][2] * ki[2][j];
    H.m[i][3] = 0.0f;
  }
}

// The image corners (0, 0), (w, 0), (w, h), (0, h) under H; FLT_MAX for a
// corner behind the horizon.
void MapCorners(const LA::AlignedMatrix3f& H, int w, int h, float out[8]) {
  const float px[4] = {0.0f, float(w), float(w), 0.0f}, py[4] = {0.0f, 0.0f, float(h), float(h)};
  for (int i = 0; i < 4; ++i) {
    const float W = H.m[2][0] * px[i] + H.m[2][1] * py[i] + H.m[2][2];
    const bool ahead = W > FLT_EPSILON;
    out[2 * i] = ahead ? (H.m[0][0] * px[i] + H.m[0][1] * py[i] + H.m[0][2]) / W : FLT_MAX;
    out[2 * i + 1] = ahead ? (H.m[1][0] * px[i] + H.m[1][1] * py[i] + H.m[1][2]) / W : FLT_MAX;
  }
}

void SetIdentity(LA::AlignedMatrix3f& R) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) R.m[i][j] = i == j ? 1.0f : 0.0f;
}

}  // namespace

void So3Exp(const float w[3], LA::AlignedMatrix3f& R) {
  const float t2 = w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
  if (t2 < FLT_EPSILON) {
    // Near zero the quaternion form keeps the axis without dividing by theta.
    const float n = std::sqrt(1.0f + 0.75f * t2);
    const float q[4] = {0.5f * w[0] / n, 0.5f * w[1] / n, 0.5f * w[2] / n, 1.0f / n};
    LA::QuaternionToRotationMatrix(q, R);
    return;
  }
  const float t = std::sqrt(t2);
  const float s = std::sin(t) / t, k = (1.0f - std::cos(t)) / t2, c = std::cos(t);
  R.m[0][0] = c + k * w[0] * w[0];
  R.m[0][1] = k * w[0] * w[1] + s * w[2];
  R.m[0][2] = k * w[0] * w[2] - s * w[1];
  R.m[1][0] = k * w[0] * w[1] - s * w[2];
  R.m[1][1] = c + k * w[1] * w[1];
  R.m[1][2] = k * w[1] * w[2] + s * w[0];
  R.m[2][0] = k * w[0] * w[2] + s * w[1];
  R.m[2][1] = k * w[1] * w[2] - s * w[0];
  R.m[2][2] = c + k * w[2] * w[2];
}

bool SolveLinear4x4(LA::AlignedMatrix4f& A, LA::AlignedVector4f& b) {
  return LA::SolveLDL(A, b);
}

void SquaredShift4(const float a[8], const float b[8], float out[4]) {
  for (int i = 0; i < 4; ++i) {
    const float dx = a[2 * i] - b[2 * i], dy = a[2 * i + 1] - b[2 * i + 1];
    out[i] = dx * dx + dy * dy;
  }
}

bool SampleFloatBilinear(const CVD::BasicImage<float>& image, float u, float v, float& out) {
  // Compared in float before truncating, so that NaN and infinities fail.
  if (!(u >= 0.0f && v >= 0.0f && u < static_cast<float>(image.size().x - 1) &&
        v < static_cast<float>(image.size().y - 1)))
    return false;
  const int x = static_cast<int>(u), y = static_cast<int>(v);
  const float dx = u - x, dy = v - y, dxdy = dx * dy;
  const float* r0 = image[y] + x;
  const float* r1 = image[y + 1] + x;
  out =
      (1.0f - dx) * (1.0f - dy) * r0[0] + (dy - dxdy) * r1[0] + (dx - dxdy) * r0[1] + dxdy * r1[1];
  return true;
}

void WarpImageHomography(const LA::AlignedMatrix3f& H, const CVD::BasicImage<float>& image,
                         CVD::Image<float>& out, int width, int height, float fill) {
  out.resize(CVD::ImageRef(width, height));
  for (int y = 0; y < height; ++y) {
    float hx = H.m[0][2] + y * H.m[0][1], hy = H.m[1][2] + y * H.m[1][1],
          hw = H.m[2][2] + y * H.m[2][1];
    float* row = out[y];
    for (int x = 0; x < width; ++x, hx += H.m[0][0], hy += H.m[1][0], hw += H.m[2][0]) {
      if (!(hw > FLT_EPSILON) || !SampleFloatBilinear(image, hx / hw, hy / hw, row[x]))
        row[x] = fill;
    }
  }
}

void MakeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& level3, const Intrinsic& k,
                    MotionJacobianTable& table) {
  GaussianScratch scratch;
  MakeSmallImage(out, level3, k, table, scratch);
}

void MakeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& level3, const Intrinsic& k,
                    MotionJacobianTable& table, GaussianScratch& scratch) {
  out.halfSampled.resize(level3.size() / 2);
  if (out.halfSampled.size().x > 0 && out.halfSampled.size().y > 0)
    CVD::halfSample(level3, out.halfSampled);
  NormalizeSmallImage(out, out.halfSampled, k, table, scratch);
}

void NormalizeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& image, const Intrinsic& k,
                         MotionJacobianTable& table) {
  GaussianScratch scratch;
  NormalizeSmallImage(out, image, k, table, scratch);
}

void NormalizeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& image, const Intrinsic& k,
                         MotionJacobianTable& table, GaussianScratch& scratch) {
  const int w = image.size().x, h = image.size().y;
  out.image.resize(image.size());
  // Signed: images under three pixels a side have no interior.
  const int interior = std::max(w - 2, 0) * std::max(h - 2, 0);
  out.gradients.Resize(static_cast<u32>(9 * interior));
  out.mean = 0.0f;
  if (w <= 0 || h <= 0) return;
  u64 sum = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) sum += image[y][x];
  out.mean = static_cast<float>(sum) / static_cast<float>(w * h) * kInv255;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) out.image[y][x] = image[y][x] * kInv255 - out.mean;
  BlurGaussian(out.image, 1.5, 3.0, scratch);

  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  if (table.width != w || table.height != h || table.fx != fx || table.fy != fy || table.cx != cx ||
      table.cy != cy) {
    table.rows.Resize(static_cast<u32>(8 * interior));
    float* t = table.rows.Data();
    for (int y = 1; y < h - 1; ++y) {
      for (int x = 1; x < w - 1; ++x, t += 8) {
        const float a = x - cx, b = y - cy;
        const float r[8] = {a * b / fy,      -(fx + a * a / fx), fx * b / fy,  0.0f,
                            fy + b * b / fy, -a * b / fx,        -fy * a / fx, 0.0f};
        std::copy(r, r + 8, t);
      }
    }
    table.width = w, table.height = h, table.fx = fx, table.fy = fy, table.cx = cx, table.cy = cy;
  }

  const float* t = table.rows.Data();
  float* g = out.gradients.Data();
  for (int y = 1; y < h - 1; ++y) {
    for (int x = 1; x < w - 1; ++x, t += 8, g += 9) {
      const float gx = (out.image[y][x + 1] - out.image[y][x - 1]) * 0.5f;
      const float gy = (out.image[y + 1][x] - out.image[y - 1][x]) * 0.5f;
      const float j0 = gx * t[0] + gy * t[4], j1 = gx * t[1] + gy * t[5],
                  j2 = gx * t[2] + gy * t[6];
      const float r[9] = {j0, j1, j2, j0 * j0, j0 * j1, j0 * j2, j1 * j1, j1 * j2, j2 * j2};
      std::copy(r, r + 9, g);
    }
  }
}

void EstimateImageRotation(const SmallImage& previous, const SmallImage& current,
                           const Intrinsic& k, LA::AlignedMatrix3f& rotation, RotationScratch& s) {
  SetIdentity(rotation);
  s.exitCode = 3;
  s.error = FLT_MAX;
  const int w = previous.image.size().x, h = previous.image.size().y;
  const int interior = std::max(w - 2, 0) * std::max(h - 2, 0);
  if (current.image.size() != previous.image.size() || interior == 0 ||
      previous.gradients.Size() != static_cast<u32>(9 * interior)) {
    rotation.m[0][0] = FLT_MAX;
    return;
  }
  const int nmin = static_cast<int>(kOverlap * interior + 0.5f);
  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  s.difference.Resize(static_cast<u32>(w));
  s.residuals.Resize(static_cast<u32>(interior));
  s.weights.Resize(static_cast<u32>(interior));
  s.pixels.Resize(static_cast<u32>(interior));

  LA::AlignedMatrix3f H, E, next;
  float corners[8], newCorners[8], shifts[4];
  RotationHomography(rotation, fx, fy, cx, cy, H);
  MapCorners(H, w, h, corners);
  float b = 0.0f;
  s.exitCode = 0;
  for (int it = 0; it < kMaxIterations; ++it) {
    WarpImageHomography(H, current.image, s.warped, w, h, FLT_MAX);
    u32 kept = 0;
    for (int y = 1; y < h - 1; ++y) {
      const float* warped = s.warped[y];
      SubtractArrays(previous.image[y] + 1, warped + 1, s.difference.Data(),
                     static_cast<u32>(w - 2));
      for (int x = 1; x < w - 1; ++x) {
        if (warped[x] == FLT_MAX) continue;
        s.residuals[kept] = s.difference[x - 1] + b;
        s.pixels[kept++] = static_cast<u32>((y - 1) * (w - 2) + x - 1);
      }
    }
    if (static_cast<int>(kept) < nmin) {
      s.exitCode = 3;
      break;
    }
    s.error = 255.0f * std::sqrt(SumOfSquaresArray(s.residuals.Data(), kept) / kept);
    SquareArray(s.residuals.Data(), s.weights.Data(), kept);
    ScaleArray(s.weights.Data(), kResidualScale, kept);
    HuberWeights(s.weights.Data(), s.weights.Data(), kept);

    // The weighted sums over the 9-float records, four floats at a time:
    // (J0, J1, J2, J0^2), (J0 J1, J0 J2, J1^2, J1 J2), then J2^2, sum of w
    // and the right side.
    __m128 s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps(), sj = _mm_setzero_ps();
    float s22 = 0.0f, sw = 0.0f, sr = 0.0f;
    for (u32 i = 0; i < kept; ++i) {
      const float wi = s.weights[i], wr = wi * s.residuals[i];
      const float* J = &previous.gradients[9 * s.pixels[i]];
      const __m128 j0 = _mm_loadu_ps(J);
      s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_set1_ps(wi), j0));
      s1 = _mm_add_ps(s1, _mm_mul_ps(_mm_set1_ps(wi), _mm_loadu_ps(J + 4)));
      sj = _mm_add_ps(sj, _mm_mul_ps(_mm_set1_ps(wr), j0));
      s22 += wi * J[8], sw += wi, sr += wr;
    }
    alignas(16) float v0[4], v1[4], vj[4];
    _mm_store_ps(v0, s0), _mm_store_ps(v1, s1), _mm_store_ps(vj, sj);
    // Upper triangle of the 4x4 row by row.
    const float a[10] = {v0[3], v1[0], v1[1], v0[0], v1[2], v1[3], v0[1], s22, v0[2], sw};
    const float g[4] = {-vj[0], -vj[1], -vj[2], -sr};
    const float f = kResidualScale * 0.25f;
    LA::AlignedMatrix4f A;
    LA::AlignedVector4f x;
    const int upper[4][4] = {{0, 1, 2, 3}, {1, 4, 5, 6}, {2, 5, 7, 8}, {3, 6, 8, 9}};
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) A.m[r][c] = f * a[upper[r][c]];
      x.v[r] = f * g[r];
    }
    if (!SolveLinear4x4(A, x)) {
      s.exitCode = 2;
      break;
    }
    // R := R E^T: entry (i, j) is R's row i dotted with E's row j.
    So3Exp(x.v, E);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        next.m[i][j] = rotation.m[i][0] * E.m[j][0] + rotation.m[i][1] * E.m[j][1] +
                       rotation.m[i][2] * E.m[j][2];
      next.m[i][3] = 0.0f;
    }
    rotation = next;
    b += x.v[3];
    RotationHomography(rotation, fx, fy, cx, cy, H);
    MapCorners(H, w, h, newCorners);
    SquaredShift4(newCorners, corners, shifts);
    bool converged = true;
    for (int i = 0; i < 4; ++i)
      converged = converged && shifts[i] < kCornerConvergence && newCorners[2 * i] != FLT_MAX;
    std::copy(newCorners, newCorners + 8, corners);
    if (converged) {
      s.exitCode = 1;
      break;
    }
  }
  if (!(s.error < kMaxError) || s.exitCode > 1) rotation.m[0][0] = FLT_MAX;
}
