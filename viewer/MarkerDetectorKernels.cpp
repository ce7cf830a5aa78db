// The alignment's cost and normal-equation kernels, four border samples or
// template records per SSE register; the last group of a border (49 samples)
// and of a template level is filled with masked-off lanes.
#include <cfloat>

#include "viewer/MarkerDetector.h"
#include "viewer/MarkerDetectorSimd.h"

namespace {

using namespace MarkerSimd;

// The four borders: corners (A, B) of the frame, first sample corner, and
// whether samples step along the model's x (else y).
struct Border {
  int a, b, start;
  bool alongX;
};
constexpr Border kBorders[4] = {
    {0, 3, 0, true}, {1, 2, 1, true}, {0, 1, 0, false}, {3, 2, 3, false}};
constexpr int kBorderSamples = 49;

// Camera-space samples k .. k + 3 of a border (X0 + k s) and the mask of
// those at or below the last.
void BorderSamples(const float X0[3], const float s[3], int k, __m128 X[3], __m128& lanes) {
  const __m128 kk = _mm_add_ps(_mm_set1_ps(static_cast<float>(k)), _mm_setr_ps(0, 1, 2, 3));
  lanes = _mm_cmple_ps(kk, _mm_set1_ps(static_cast<float>(kBorderSamples)));
  for (int i = 0; i < 3; ++i)
    X[i] = _mm_add_ps(_mm_set1_ps(X0[i]), _mm_mul_ps(kk, _mm_set1_ps(s[i])));
}

// Step of a border's samples along the model's x or y, in camera space.
void BorderStep(const MarkerDetector& detector, const CameraPose& pose, const Border& border,
                float s[3]) {
  const float scale = (border.alongX ? detector.markerWidth : detector.markerHeight) / 50.0f;
  const int column = border.alongX ? 0 : 1;
  for (int i = 0; i < 3; ++i) s[i] = pose.m[i][column] * scale;
}

// Where a border sample's four reads fall: the sample itself, one step d
// along the border, and half the normal m before and after it.
struct BorderReads {
  __m128 dx, dy, hx, hy;

  BorderReads(const float d[2], const float m[2])
      : dx(_mm_set1_ps(d[0])),
        dy(_mm_set1_ps(d[1])),
        hx(_mm_set1_ps(0.5f * m[0])),
        hy(_mm_set1_ps(0.5f * m[1])) {}

  void Locate(__m128 u, __m128 v, int w, int h, Cell& at, Cell& along, Cell& before,
              Cell& after) const {
    at = MarkerSimd::Locate(u, v, w, h);
    along = MarkerSimd::Locate(_mm_add_ps(u, dx), _mm_add_ps(v, dy), w, h);
    before = MarkerSimd::Locate(_mm_sub_ps(u, hx), _mm_sub_ps(v, hy), w, h);
    after = MarkerSimd::Locate(_mm_add_ps(u, hx), _mm_add_ps(v, hy), w, h);
  }
};

// Mask of the lanes that hold one of the available records.
__m128 Present(u32 available) {
  const int n = available < 4 ? static_cast<int>(available) : 4;
  return _mm_castsi128_ps(_mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(n)));
}

// Four consecutive template records (a short last group padded with copies
// of its last record, masked off by Present) as columns: X, Y, Z,
// intensity, gx, gy.
void LoadRecords(const MarkerTemplateRecord* r, u32 available, __m128 P[3], __m128& intensity,
                 __m128& gx, __m128& gy) {
  alignas(16) MarkerTemplateRecord padded[4];
  if (available < 4) {
    for (u32 i = 0; i < 4; ++i) padded[i] = r[i < available ? i : available - 1];
    r = padded;
  }
  __m128 a[4], b[4];
  for (int i = 0; i < 4; ++i) {
    a[i] = _mm_loadu_ps(&r[i].X);
    b[i] = _mm_loadu_ps(&r[i].intensity);
  }
  _MM_TRANSPOSE4_PS(a[0], a[1], a[2], a[3]);
  _MM_TRANSPOSE4_PS(b[0], b[1], b[2], b[3]);
  P[0] = a[0], P[1] = a[1], P[2] = a[2];
  intensity = b[0], gx = b[1], gy = b[2];
}

// Camera-space points of four model points (columns).
void TransformFour(const CameraPose& pose, const __m128 P[3], __m128 X[3]) {
  for (int i = 0; i < 3; ++i)
    X[i] = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(pose.m[i][0]), P[0]),
                   _mm_mul_ps(_mm_set1_ps(pose.m[i][1]), P[1])),
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(pose.m[i][2]), P[2]), _mm_set1_ps(pose.m[i][3])));
}

// Up to four template records projected into a level: their camera points,
// 1/z and cell, lanes behind the camera or past the end left outside.
struct ProjectedRecords {
  __m128 X[3], iz, intensity, gx, gy;
  Cell cell;
};

void ProjectRecords(const MarkerTemplateRecord* r, u32 available, const CameraPose& pose,
                    const Intrinsic& K, int w, int h, ProjectedRecords& out) {
  __m128 P[3];
  LoadRecords(r, available, P, out.intensity, out.gx, out.gy);
  TransformFour(pose, P, out.X);
  const __m128 zero = _mm_setzero_ps();
  const __m128 front = _mm_and_ps(_mm_cmpgt_ps(out.X[2], zero), Present(available));
  out.iz = _mm_div_ps(_mm_set1_ps(1.0f), out.X[2]);
  const __m128 u = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(K.fx[0]), out.X[0]), out.iz),
                              _mm_set1_ps(K.cx[0]));
  const __m128 v = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(K.fy[0]), out.X[1]), out.iz),
                              _mm_set1_ps(K.cy[0]));
  out.cell = Locate(u, v, w, h);
  out.cell.inside = _mm_and_ps(out.cell.inside, front);
}

}  // namespace

float MarkerDetector::ComputeEdgeCost(int level, const CameraPose& pose, bool dark) const {
  const CVD::Image<float>& I = levels[level];
  const int w = I.size().x, h = I.size().y;
  const Intrinsic& K = levelIntrinsics[level];
  float X[4][3], px[4][2];
  for (int k = 0; k < 4; ++k) {
    TransformModelPoint(pose, modelCorners[k], X[k]);
    ProjectCameraPoint(X[k], K, px[k]);
  }
  const float c[2] = {K.cx[0], K.cy[0]};
  const __m128 fx = _mm_set1_ps(K.fx[0]), fy = _mm_set1_ps(K.fy[0]);
  const __m128 cx = _mm_set1_ps(K.cx[0]), cy = _mm_set1_ps(K.cy[0]);
  const __m128 step = _mm_set1_ps(dark ? -1.0f : 1.0f);
  __m128 cost = _mm_setzero_ps();
  for (const Border& border : kBorders) {
    float d[2], m[2], s[3];
    if (!ComputeEdgeFrame(px[border.a], px[border.b], c, d, m)) return FLT_MAX;
    BorderStep(*this, pose, border, s);
    const BorderReads reads(d, m);
    for (int k = 1; k <= kBorderSamples; k += 4) {
      __m128 Xs[3], lanes;
      BorderSamples(X[border.start], s, k, Xs, lanes);
      const __m128 iz = _mm_div_ps(_mm_set1_ps(1.0f), Xs[2]);
      const __m128 u = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(fx, Xs[0]), iz), cx);
      const __m128 v = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(fy, Xs[1]), iz), cy);
      Cell at, along, before, after;
      reads.Locate(u, v, w, h, at, along, before, after);
      const __m128 i0 = Bilinear(I, at);
      const __m128 id = Bilinear(I, along);
      // The step is read across the border, half a pixel either side, so
      // that it is largest with the border sample on the edge itself.
      const __m128 in = Bilinear(I, before);
      const __m128 ip = Bilinear(I, after);
      const __m128 r1 = _mm_and_ps(_mm_sub_ps(id, i0), lanes);
      const __m128 r2 = _mm_and_ps(_mm_add_ps(_mm_sub_ps(in, ip), step), lanes);
      cost = _mm_add_ps(cost, _mm_add_ps(_mm_mul_ps(r1, r1), _mm_mul_ps(r2, r2)));
    }
  }
  return Sum(cost);
}

void MarkerDetector::BuildEdgeNormalEquations(int level, const CameraPose& pose, float A[6][6],
                                              float g[6], bool dark) const {
  const CVD::Image<float>& I = levels[level];
  const CVD::Image<LA::Vector2<float>>& G = gradients[level];
  const int w = I.size().x, h = I.size().y;
  const Intrinsic& K = levelIntrinsics[level];
  float X[4][3], px[4][2], Jc[4][2][6];
  for (int k = 0; k < 4; ++k) {
    TransformModelPoint(pose, modelCorners[k], X[k]);
    ProjectWithPoseJacobian(X[k], K, px[k], Jc[k]);
  }
  const float c[2] = {K.cx[0], K.cy[0]};
  const __m128 fx = _mm_set1_ps(K.fx[0]), fy = _mm_set1_ps(K.fy[0]);
  const __m128 cx = _mm_set1_ps(K.cx[0]), cy = _mm_set1_ps(K.cy[0]);
  const __m128 one = _mm_set1_ps(1.0f), zero = _mm_setzero_ps();
  const __m128 step = _mm_set1_ps(dark ? -1.0f : 1.0f);
  NormalSums<6> sums;
  for (const Border& border : kBorders) {
    float d[2], m[2], Jd[2][6], Jm[2][6], s[3];
    if (!ComputeEdgeFrameWithJacobian(px[border.a], px[border.b], c, Jc[border.a], Jc[border.b], d,
                                      m, Jd, Jm))
      continue;
    BorderStep(*this, pose, border, s);
    const BorderReads reads(d, m);
    for (int k = 1; k <= kBorderSamples; k += 4) {
      __m128 Xs[3], lanes;
      BorderSamples(X[border.start], s, k, Xs, lanes);
      // Pixel and its pose Jacobian, as ProjectWithPoseJacobian.
      const __m128 iz = _mm_div_ps(one, Xs[2]);
      const __m128 x = _mm_mul_ps(Xs[0], iz), y = _mm_mul_ps(Xs[1], iz);
      const __m128 u = _mm_add_ps(_mm_mul_ps(fx, x), cx);
      const __m128 v = _mm_add_ps(_mm_mul_ps(fy, y), cy);
      const __m128 xy = _mm_mul_ps(x, y);
      const __m128 Ju[6] = {_mm_mul_ps(fx, xy),
                            _mm_sub_ps(zero, _mm_mul_ps(fx, _mm_add_ps(one, _mm_mul_ps(x, x)))),
                            _mm_mul_ps(fx, y),
                            _mm_mul_ps(fx, iz),
                            zero,
                            _mm_sub_ps(zero, _mm_mul_ps(_mm_mul_ps(fx, x), iz))};
      const __m128 Jv[6] = {_mm_mul_ps(fy, _mm_add_ps(one, _mm_mul_ps(y, y))),
                            _mm_sub_ps(zero, _mm_mul_ps(fy, xy)),
                            _mm_sub_ps(zero, _mm_mul_ps(fy, x)),
                            zero,
                            _mm_mul_ps(fy, iz),
                            _mm_sub_ps(zero, _mm_mul_ps(_mm_mul_ps(fy, y), iz))};
      __m128 g0x, g0y, gdx, gdy, gnx, gny, gpx, gpy;
      Cell at, along, before, after;
      reads.Locate(u, v, w, h, at, along, before, after);
      const __m128 i0 = BilinearWithGradient(I, G, at, g0x, g0y);
      const __m128 id = BilinearWithGradient(I, G, along, gdx, gdy);
      const __m128 in = BilinearWithGradient(I, G, before, gnx, gny);
      const __m128 ip = BilinearWithGradient(I, G, after, gpx, gpy);
      const __m128 r1 = _mm_and_ps(_mm_sub_ps(id, i0), lanes);
      const __m128 r2 = _mm_and_ps(_mm_add_ps(_mm_sub_ps(in, ip), step), lanes);
      __m128 J1[6], J2[6];
      for (int j = 0; j < 6; ++j) {
        const __m128 du = Ju[j], dv = Jv[j];
        const __m128 dud = _mm_add_ps(du, _mm_set1_ps(Jd[0][j]));
        const __m128 dvd = _mm_add_ps(dv, _mm_set1_ps(Jd[1][j]));
        const __m128 mx = _mm_set1_ps(0.5f * Jm[0][j]), my = _mm_set1_ps(0.5f * Jm[1][j]);
        const __m128 j1 = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(gdx, dud), _mm_mul_ps(gdy, dvd)),
                                     _mm_add_ps(_mm_mul_ps(g0x, du), _mm_mul_ps(g0y, dv)));
        const __m128 j2 = _mm_sub_ps(
            _mm_add_ps(_mm_mul_ps(gnx, _mm_sub_ps(du, mx)), _mm_mul_ps(gny, _mm_sub_ps(dv, my))),
            _mm_add_ps(_mm_mul_ps(gpx, _mm_add_ps(du, mx)), _mm_mul_ps(gpy, _mm_add_ps(dv, my))));
        J1[j] = _mm_and_ps(j1, lanes);
        J2[j] = _mm_and_ps(j2, lanes);
      }
      sums.Add(J1, r1, J2, r2);
    }
  }
  sums.Store(A, g);
}

float MarkerDetector::ComputeTemplateCost(int level, const CameraPose& pose,
                                          const float gainBias[2]) const {
  const CVD::Image<float>& I = levels[level];
  const int w = I.size().x, h = I.size().y;
  const Intrinsic& K = levelIntrinsics[level];
  const AlignedArray<MarkerTemplateRecord>& records = templateLevels[level];
  const __m128 gain = _mm_set1_ps(gainBias[0]), bias = _mm_set1_ps(gainBias[1]);
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
  __m128 sum = zero, counted = zero;
  const u32 n = records.Size();
  ProjectedRecords p;
  for (u32 i = 0; i < n; i += 4) {
    ProjectRecords(records.begin() + i, n - i, pose, K, w, h, p);
    const __m128 value = Bilinear(I, p.cell);
    const __m128 e = _mm_and_ps(_mm_sub_ps(_mm_add_ps(_mm_mul_ps(gain, value), bias), p.intensity),
                                p.cell.inside);
    sum = _mm_add_ps(sum, _mm_mul_ps(e, e));
    counted = _mm_add_ps(counted, _mm_and_ps(one, p.cell.inside));
  }
  const float total = Sum(counted);
  // A level where no record lands gives no evidence, never 0 / 0.
  return total == 0.0f ? FLT_MAX : Sum(sum) / total;
}

void MarkerDetector::BuildTemplateNormalEquations(int level, const CameraPose& pose,
                                                  const float gainBias[2], float A[8][8],
                                                  float g[8]) const {
  const CVD::Image<float>& I = levels[level];
  const CVD::Image<LA::Vector2<float>>& Gi = gradients[level];
  const int w = I.size().x, h = I.size().y;
  const Intrinsic& K = levelIntrinsics[level];
  const AlignedArray<MarkerTemplateRecord>& records = templateLevels[level];
  const __m128 fx = _mm_set1_ps(K.fx[0]), fy = _mm_set1_ps(K.fy[0]);
  const __m128 gain = _mm_set1_ps(gainBias[0]), bias = _mm_set1_ps(gainBias[1]);
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), half = _mm_set1_ps(0.5f);
  NormalSums<8> sums;
  const u32 n = records.Size();
  ProjectedRecords p;
  for (u32 i = 0; i < n; i += 4) {
    ProjectRecords(records.begin() + i, n - i, pose, K, w, h, p);
    const Cell& cell = p.cell;
    const __m128* X = p.X;
    const __m128 iz = p.iz, intensity = p.intensity, rgx = p.gx, rgy = p.gy;
    if (_mm_movemask_ps(cell.inside) == 0) continue;
    const __m128 value = Bilinear(I, cell);
    const __m128 e =
        _mm_and_ps(_mm_sub_ps(_mm_add_ps(_mm_mul_ps(gain, value), bias), intensity), cell.inside);
    // The gradient image at the integer pixel, beside the record's own.
    alignas(16) float lx[4], ly[4];
    for (int l = 0; l < 4; ++l) {
      const LA::Vector2<float>& q = Gi[cell.iy[l]][cell.ix[l]];
      lx[l] = q.x, ly[l] = q.y;
    }
    const __m128 Gx = _mm_mul_ps(half, _mm_add_ps(rgx, _mm_load_ps(lx)));
    const __m128 Gy = _mm_mul_ps(half, _mm_add_ps(rgy, _mm_load_ps(ly)));
    const __m128 t0 = _mm_mul_ps(_mm_mul_ps(Gx, fx), iz);
    const __m128 t1 = _mm_mul_ps(_mm_mul_ps(Gy, fy), iz);
    const __m128 t2 = _mm_sub_ps(zero, _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_mul_ps(Gx, fx), X[0]),
                                                             _mm_mul_ps(_mm_mul_ps(Gy, fy), X[1])),
                                                  _mm_mul_ps(iz, iz)));
    const __m128 J[8] = {
        _mm_and_ps(_mm_sub_ps(_mm_mul_ps(t1, X[2]), _mm_mul_ps(t2, X[1])), cell.inside),
        _mm_and_ps(_mm_sub_ps(_mm_mul_ps(t2, X[0]), _mm_mul_ps(t0, X[2])), cell.inside),
        _mm_and_ps(_mm_sub_ps(_mm_mul_ps(t0, X[1]), _mm_mul_ps(t1, X[0])), cell.inside),
        _mm_and_ps(t0, cell.inside),
        _mm_and_ps(t1, cell.inside),
        _mm_and_ps(t2, cell.inside),
        value,
        _mm_and_ps(one, cell.inside)};
    sums.Add(J, e);
  }
  // A is full (symmetric by construction), also for an empty level.
  sums.Store(A, g);
}
