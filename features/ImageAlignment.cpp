#include "features/ImageAlignment.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "features/AlignmentNormalEquations.h"
#include "features/ImageMapMath.h"
#include "la/SmallSolvers.h"

namespace {

constexpr int kMaxIterations = 30;
constexpr int kSimilarityIterations = 20;
constexpr float kCornerConvergence = 0.01f;
constexpr float kMaxDistortion = 0.7f;

// Indices of the centred monomials in the accumulation vectors.
enum Monomial { k1, kX, kY, kXX, kXY, kYY, kXXX, kXXY, kXYY, kYYY, kX4, kX3Y, kX2Y2, kXY3, kY4 };
constexpr int kMonomials = 15;
constexpr int kLowMonomials = 6;  // up to the quadratic terms

using Point = LA::Vector2<float>;

void SetIdentity(WarpRecord& m) {
  std::memset(m.m, 0, sizeof(m.m));
  m.m[0] = m.m[5] = m.m[10] = 1.0f;
}

// T(t) M T(-t) with T(t) the translation by t.
void ConjugateByTranslation(const WarpRecord& M, float tx, float ty, WarpRecord& out) {
  const float* m = M.m;
  WarpRecord r;
  for (int i = 0; i < 3; ++i) {
    r.m[4 * i] = m[4 * i];
    r.m[4 * i + 1] = m[4 * i + 1];
    r.m[4 * i + 2] = m[4 * i + 2] - m[4 * i] * tx - m[4 * i + 1] * ty;
    r.m[4 * i + 3] = 0.0f;
  }
  for (int j = 0; j < 3; ++j) {
    r.m[j] += tx * r.m[8 + j];
    r.m[4 + j] += ty * r.m[8 + j];
  }
  out = r;
}

// Maps a point by a projective record; false when W <= FLT_EPSILON or the
// result is not finite.
bool MapPoint(const WarpRecord& H, float x, float y, Point& out) {
  const float* m = H.m;
  const float W = m[8] * x + m[9] * y + m[10];
  if (!(W > FLT_EPSILON)) return false;
  out.x = (m[0] * x + m[1] * y + m[2]) / W;
  out.y = (m[4] * x + m[5] * y + m[6]) / W;
  return std::isfinite(out.x) && std::isfinite(out.y);
}

// Moves the points of A into B by the inverse map; a point that cannot be
// moved lands at FLT_MAX (its distance is then infinite and it counts for
// nothing). False when H cannot be inverted.
bool MovePoints(const WarpRecord& H, const AlignedArray<Point>& pointsA,
                AlignedArray<Point>& moved) {
  WarpRecord inverse;
  if (!Invert3x3(H, inverse)) return false;
  moved.Resize(pointsA.Size());
  for (u32 i = 0; i < pointsA.Size(); ++i)
    if (!MapPoint(inverse, pointsA[i].x, pointsA[i].y, moved[i])) moved[i].x = moved[i].y = FLT_MAX;
  return true;
}

bool CornersConverged(const float a[8], const float b[8]) {
  for (int i = 0; i < 4; ++i) {
    const float dx = a[2 * i] - b[2 * i], dy = a[2 * i + 1] - b[2 * i + 1];
    if (!(dx * dx + dy * dy < kCornerConvergence)) return false;
  }
  return true;
}

inline float LaneSum(__m128 v) {
  alignas(16) float l[4];
  _mm_store_ps(l, v);
  return (l[0] + l[1]) + (l[2] + l[3]);
}

// Similarity step (tx, ty, rotation, scale, brightness) into U and db; four
// pixels at a time with SSE, the rest one by one.
bool SolveSimilarity(const PixelAccess& p, const AlignedArray<float>& weights, WarpRecord& U,
                     float& db) {
  const u32 n = weights.Size(), n4 = n & ~3u;
  __m128 acc[20];
  for (__m128& a : acc) a = _mm_setzero_ps();
  const __m128 one = _mm_set1_ps(1.0f);
  for (u32 k = 0; k < n4; k += 4) {
    __m128 x, y, gx, gy, r;
    p.Get4(k, x, y, gx, gy, r);
    const __m128 wk = _mm_load_ps(&weights[k]);
    const __m128 Jx = _mm_mul_ps(wk, gx), Jy = _mm_mul_ps(wk, gy);
    const __m128 j[5] = {Jx, Jy, _mm_sub_ps(_mm_mul_ps(Jy, x), _mm_mul_ps(Jx, y)),
                         _mm_add_ps(_mm_mul_ps(Jx, x), _mm_mul_ps(Jy, y)), one};
    const __m128 value = _mm_mul_ps(wk, r);
    int e = 0;
    for (int a = 0; a < 5; ++a) {
      for (int c = a; c < 5; ++c, ++e) acc[e] = _mm_add_ps(acc[e], _mm_mul_ps(j[a], j[c]));
      acc[15 + a] = _mm_add_ps(acc[15 + a], _mm_mul_ps(j[a], value));
    }
  }
  float N[5][5] = {}, g[5];
  int e = 0;
  for (int a = 0; a < 5; ++a) {
    for (int c = a; c < 5; ++c, ++e) N[a][c] = LaneSum(acc[e]);
    g[a] = LaneSum(acc[15 + a]);
  }
  for (u32 k = n4; k < n; ++k) {
    float x, y, gx, gy, r;
    p.Get(k, x, y, gx, gy, r);
    const float wk = weights[k], Jx = wk * gx, Jy = wk * gy;
    const float j[5] = {Jx, Jy, Jy * x - Jx * y, Jx * x + Jy * y, 1.0f};
    for (int a = 0; a < 5; ++a) {
      for (int c = a; c < 5; ++c) N[a][c] += j[a] * j[c];
      g[a] += j[a] * (wk * r);
    }
  }
  float* rows[5] = {N[0], N[1], N[2], N[3], N[4]};
  if (!LA::SolveLDL5(rows, g)) return false;
  const float a = -g[2], scale = 1.0f - g[3];
  const float c = scale * std::cos(a), s = scale * std::sin(a);
  const float u[12] = {c, -s, -g[0], 0.0f, s, c, -g[1], 0.0f, 0.0f, 0.0f, 1.0f, 0.0f};
  std::memcpy(U.m, u, sizeof(u));
  db = g[4];
  return true;
}

// Four floats as one value for the templates below.
struct F4 {
  __m128 v;
};

// Sums of the projective normal equations in one array: per monomial m (1,
// x, y, then the table's twelve in the order of Monomial) the weighted
// gx^2 m, gx gy m and gy^2 m; up to the quadratic monomials gx m, gy m,
// gx r m and gy r m; then the sums of w^2 and w^2 r.
constexpr int kA = 0, kB = kA + kMonomials, kC = kB + kMonomials, kP = kC + kMonomials;
constexpr int kQ = kP + kLowMonomials, kRx = kQ + kLowMonomials, kRy = kRx + kLowMonomials;
constexpr int kS = kRy + kLowMonomials, kR = kS + 1, kSums = kR + 1;

// m = (1, x, y, the twelve table values) in the order of Monomial.
template <class T>
void ArrangeMonomials(T one, T x, T y, const T* t, T* m) {
  const T v[kMonomials] = {one,   x,    y,    t[0], t[8],  t[4], t[1], t[9],
                           t[10], t[5], t[2], t[3], t[11], t[7], t[6]};
  std::copy(v, v + kMonomials, m);
}

template <class T, class MulOp, class AddOp>
void AccumulateSums(T* sums, const T* m, T w2, T gx, T gy, T res, MulOp mul, AddOp add) {
  const T A = mul(w2, mul(gx, gx)), B = mul(w2, mul(gx, gy)), C = mul(w2, mul(gy, gy));
  const T P = mul(w2, gx), Q = mul(w2, gy), Rx = mul(P, res), Ry = mul(Q, res);
  for (int i = 0; i < kMonomials; ++i) {
    sums[kA + i] = add(sums[kA + i], mul(A, m[i]));
    sums[kB + i] = add(sums[kB + i], mul(B, m[i]));
    sums[kC + i] = add(sums[kC + i], mul(C, m[i]));
  }
  for (int i = 0; i < kLowMonomials; ++i) {
    sums[kP + i] = add(sums[kP + i], mul(P, m[i]));
    sums[kQ + i] = add(sums[kQ + i], mul(Q, m[i]));
    sums[kRx + i] = add(sums[kRx + i], mul(Rx, m[i]));
    sums[kRy + i] = add(sums[kRy + i], mul(Ry, m[i]));
  }
  sums[kS] = add(sums[kS], w2);
  sums[kR] = add(sums[kR], mul(w2, res));
}

}  // namespace

// Four pixels at a time with SSE, their table rows transposed into one
// register per monomial, the rest one by one.
void AccumulateProjective(const PixelAccess& p, const AlignedArray<float>& weights,
                          const AlignedArray<float>& table, float N[9][9], float g[9]) {
  const u32 count = weights.Size(), count4 = count & ~3u;
  const auto mul4 = [](F4 a, F4 b) { return F4{_mm_mul_ps(a.v, b.v)}; };
  const auto add4 = [](F4 a, F4 b) { return F4{_mm_add_ps(a.v, b.v)}; };
  F4 sums4[kSums];
  for (F4& e : sums4) e.v = _mm_setzero_ps();
  for (u32 k = 0; k < count4; k += 4) {
    __m128 x, y, gx, gy, r;
    p.Get4(k, x, y, gx, gy, r);
    F4 t[12], m[kMonomials];
    for (int block = 0; block < 12; block += 4) {
      for (int l = 0; l < 4; ++l)
        t[block + l].v = _mm_load_ps(&table[12 * p.pixels[k + l] + block]);
      _MM_TRANSPOSE4_PS(t[block].v, t[block + 1].v, t[block + 2].v, t[block + 3].v);
    }
    ArrangeMonomials(F4{_mm_set1_ps(1.0f)}, F4{x}, F4{y}, t, m);
    const __m128 wk = _mm_load_ps(&weights[k]);
    AccumulateSums(sums4, m, F4{_mm_mul_ps(wk, wk)}, F4{gx}, F4{gy}, F4{r}, mul4, add4);
  }
  float sums[kSums];
  for (int i = 0; i < kSums; ++i) sums[i] = LaneSum(sums4[i].v);
  const auto mul1 = [](float a, float b) { return a * b; };
  const auto add1 = [](float a, float b) { return a + b; };
  for (u32 k = count4; k < count; ++k) {
    float x, y, gx, gy, r, m[kMonomials];
    p.Get(k, x, y, gx, gy, r);
    ArrangeMonomials(1.0f, x, y, &table[12 * p.pixels[k]], m);
    AccumulateSums(sums, m, weights[k] * weights[k], gx, gy, r, mul1, add1);
  }
  const float* sa = sums + kA;
  const float* sb = sums + kB;
  const float* sc = sums + kC;
  const float* sp = sums + kP;
  const float* sq = sums + kQ;
  const float* srx = sums + kRx;
  const float* sry = sums + kRy;
  const float ss = sums[kS], sr = sums[kR];
  const float n[9][9] = {
      {sa[kXX], sa[kXY], sa[kX], sb[kXX], sb[kXY], sb[kX], -(sa[kXXX] + sb[kXXY]),
       -(sa[kXXY] + sb[kXYY]), sp[kX]},
      {0, sa[kYY], sa[kY], sb[kXY], sb[kYY], sb[kY], -(sa[kXXY] + sb[kXYY]), -(sa[kXYY] + sb[kYYY]),
       sp[kY]},
      {0, 0, sa[k1], sb[kX], sb[kY], sb[k1], -(sa[kXX] + sb[kXY]), -(sa[kXY] + sb[kYY]), sp[k1]},
      {0, 0, 0, sc[kXX], sc[kXY], sc[kX], -(sb[kXXX] + sc[kXXY]), -(sb[kXXY] + sc[kXYY]), sq[kX]},
      {0, 0, 0, 0, sc[kYY], sc[kY], -(sb[kXXY] + sc[kXYY]), -(sb[kXYY] + sc[kYYY]), sq[kY]},
      {0, 0, 0, 0, 0, sc[k1], -(sb[kXX] + sc[kXY]), -(sb[kXY] + sc[kYY]), sq[k1]},
      {0, 0, 0, 0, 0, 0, sa[kX4] + 2.0f * sb[kX3Y] + sc[kX2Y2],
       sa[kX3Y] + 2.0f * sb[kX2Y2] + sc[kXY3], -(sp[kXX] + sq[kXY])},
      {0, 0, 0, 0, 0, 0, 0, sa[kX2Y2] + 2.0f * sb[kXY3] + sc[kY4], -(sp[kXY] + sq[kYY])},
      {0, 0, 0, 0, 0, 0, 0, 0, ss}};
  std::memcpy(N, n, sizeof(n));
  const float rhs[9] = {srx[kX],
                        srx[kY],
                        srx[k1],
                        sry[kX],
                        sry[kY],
                        sry[k1],
                        -(srx[kXX] + sry[kXY]),
                        -(srx[kXY] + sry[kYY]),
                        sr};
  std::memcpy(g, rhs, sizeof(rhs));
}

namespace {

// Adds the point rows, weighted by k^2 and the squared robust weights, to
// the map block of the system. The rows predict how the moved points follow
// a step, so the point differences enter with the opposite sign of the
// photometric residuals.
void AddPointTerms(const AlignmentScratch& s, float k2, float N[9][9], float g[9]) {
  float M[8][8] = {}, v[8] = {};
  for (u32 i = 0; i < s.pointDifferences.Size(); ++i) {
    if (!std::isfinite(s.pointSquaredDistances[i])) continue;
    const float w = s.pointWeights[i] * s.pointWeights[i];
    const float* t = &s.pointMonomials[12 * i];
    const float xx = w * t[0], xy = w * t[1], yy = w * t[2], x = w * t[3], y = w * t[11];
    const float xxx = w * t[4], xxy = w * t[5], xyy = w * t[6], yyy = w * t[7];
    M[0][0] += xx, M[0][1] += xy, M[0][2] += x, M[0][6] -= xxx, M[0][7] -= xxy;
    M[1][1] += yy, M[1][2] += y, M[1][6] -= xxy, M[1][7] -= xyy;
    M[2][2] += w, M[2][6] -= xx, M[2][7] -= xy;
    M[3][3] += xx, M[3][4] += xy, M[3][5] += x, M[3][6] -= xxy, M[3][7] -= xyy;
    M[4][4] += yy, M[4][5] += y, M[4][6] -= xyy, M[4][7] -= yyy;
    M[5][5] += w, M[5][6] -= xy, M[5][7] -= yy;
    M[6][6] += w * t[8], M[6][7] += w * t[9], M[7][7] += w * t[10];
    const float dx = s.pointDifferences[i].x, dy = s.pointDifferences[i].y;
    v[0] -= dx * x, v[1] -= dx * y, v[2] -= dx * w;
    v[3] -= dy * x, v[4] -= dy * y, v[5] -= dy * w;
    v[6] += dx * xx + dy * xy, v[7] += dx * xy + dy * yy;
  }
  for (int a = 0; a < 8; ++a) {
    for (int c = a; c < 8; ++c) N[a][c] += k2 * M[a][c];
    g[a] += k2 * v[a];
  }
}

bool Align(const CVD::BasicImage<float>& A, const CVD::BasicImage<float>& B,
           const GradientImage& gradB, CVD::Image<float>& W, WarpRecord& H, float sharpness,
           float& residual, AlignmentScratch& s, const AlignedArray<Point>* pointsA,
           const AlignedArray<Point>* pointsB) {
  residual = FLT_MAX;
  const int w = B.size().x, h = B.size().y;
  // Pixels are addressed by one index into all images: rows must be packed.
  if (A.size() != B.size() || gradB.size() != B.size() || B.row_stride() != w ||
      gradB.row_stride() != w)
    return false;
  const bool extended = pointsA != nullptr;
  const float bound = AlignmentResidualBound(sharpness);
  const float cx = 0.5f * w, cy = 0.5f * h;
  BuildMonomialTable(w, h, s);
  float corners[8], newCorners[8];
  if (!H.IsSet()) {
    SetIdentity(H);
    W.resize(A.size());
    W.copy_from(A);
    MapImageCorners(w, h, H, corners);
  } else {
    if (H.IsAffine()) H.m[8] = H.m[9] = 0.0f, H.m[10] = 1.0f;
    WarpFloatImage(A, W, H);
    MapImageCorners(w, h, H, corners);
  }
  WarpRecord Hc, U;
  ConjugateByTranslation(H, -cx, -cy, Hc);
  float b = 0.0f;
  if (extended) BuildPointMonomials(*pointsB, w, h, s.pointMonomials);
  const float k = 10.0f * 0.5f * bound;

  for (int i = 0; i < kMaxIterations; ++i) {
    if (extended) {
      if (!MovePoints(H, *pointsA, s.movedPoints)) break;
      ComputePointResiduals(s.movedPoints, *pointsB, s.pointDifferences, s.pointSquaredDistances);
      ComputeRobustWeights(s.pointSquaredDistances, s.pointWeights, s.sortCopy);
    }
    ComputeImageResiduals(W, B, b, s.residuals, &s.pixels);
    if (s.residuals.Empty()) return false;
    ComputeRobustWeights(s.residuals, s.weights, s.sortCopy);
    const PixelAccess access{W.data(), B.data(), &gradB.data()->x, s.pixels.Data(), w, cx, cy, b};
    float db = 0.0f;
    if (!extended && i < kSimilarityIterations) {
      if (!SolveSimilarity(access, s.weights, U, db)) break;
    } else {
      float N[9][9], g[9];
      AccumulateProjective(access, s.weights, s.monomials, N, g);
      if (extended) AddPointTerms(s, k * k, N, g);
      float* rows[9] = {N[0], N[1], N[2], N[3], N[4], N[5], N[6], N[7], N[8]};
      if (!LA::SolveLDL9(rows, g)) break;
      const float u[12] = {1.0f - g[0], -g[1], -g[2], 0.0f,  -g[3], 1.0f - g[4],
                           -g[5],       0.0f,  -g[6], -g[7], 1.0f,  0.0f};
      std::memcpy(U.m, u, sizeof(u));
      db = g[8];
    }
    MultiplyRotation3x3(Hc, U, Hc);
    b -= db;
    ConjugateByTranslation(Hc, cx, cy, H);
    WarpFloatImage(A, W, H);
    MapImageCorners(w, h, H, newCorners);
    const bool converged = CornersConverged(corners, newCorners);
    std::memcpy(corners, newCorners, sizeof(corners));
    if (converged) break;
  }
  residual = MeanAbsoluteResidual(W, B, b);
  if (!(residual < bound)) return false;
  if (!extended) return ComputeWarpDistortion(w, h, corners) < kMaxDistortion;
  if (!MovePoints(H, *pointsA, s.movedPoints)) return false;
  ComputePointResiduals(s.movedPoints, *pointsB, s.pointDifferences, s.pointSquaredDistances);
  float sum = 0.0f;
  for (const float d2 : s.pointSquaredDistances) sum += d2;
  return sum < 4.0f * static_cast<float>(s.pointSquaredDistances.Size());
}

}  // namespace

void BuildMonomialTable(int w, int h, AlignmentScratch& scratch) {
  if (w == scratch.monomialWidth && h == scratch.monomialHeight) return;
  scratch.monomials.Resize(static_cast<u32>(12 * std::max(w, 0) * std::max(h, 0)));
  const float cx = 0.5f * w, cy = 0.5f * h;
  float* t = scratch.monomials.Data();
  for (int row = 0; row < h; ++row) {
    for (int col = 0; col < w; ++col, t += 12) {
      const float x = col - cx, y = row - cy;
      const float xx = x * x, yy = y * y;
      const float v[12] = {xx,      xx * x,     xx * xx, xx * x * y, yy,     yy * y,
                           yy * yy, x * yy * y, x * y,   xx * y,     x * yy, xx * yy};
      std::memcpy(t, v, sizeof(v));
    }
  }
  scratch.monomialWidth = w;
  scratch.monomialHeight = h;
}

void BuildPointMonomials(const AlignedArray<Point>& pointsB, int w, int h,
                         AlignedArray<float>& table) {
  table.Resize(12 * pointsB.Size());
  const float cx = 0.5f * w, cy = 0.5f * h;
  for (u32 i = 0; i < pointsB.Size(); ++i) {
    const float x = pointsB[i].x - cx, y = pointsB[i].y - cy;
    const float xx = x * x, xy = x * y, yy = y * y, rr = xx + yy;
    const float v[12] = {xx,     xy,     yy,      x,       xx * x,  xx * y,
                         x * yy, yy * y, xx * rr, xy * rr, yy * rr, y};
    std::memcpy(&table[12 * i], v, sizeof(v));
  }
}

bool AlignFrameImages(const CVD::BasicImage<float>& A, const CVD::BasicImage<float>& B,
                      const GradientImage& gradB, CVD::Image<float>& warped, WarpRecord& H,
                      float sharpnessB, float& residual, AlignmentScratch& scratch) {
  return Align(A, B, gradB, warped, H, sharpnessB, residual, scratch, nullptr, nullptr);
}

bool AlignFrameImagesExtended(const CVD::BasicImage<float>& A, const CVD::BasicImage<float>& B,
                              const GradientImage& gradB, CVD::Image<float>& warped,
                              const AlignedArray<Point>& pointsA,
                              const AlignedArray<Point>& pointsB, WarpRecord& H, float sharpnessB,
                              float& residual, AlignmentScratch& scratch) {
  if (pointsA.Size() != pointsB.Size()) {
    residual = FLT_MAX;
    return false;
  }
  return Align(A, B, gradB, warped, H, sharpnessB, residual, scratch, &pointsA, &pointsB);
}
