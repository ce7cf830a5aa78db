// Gauss-Newton normal equations of the ISO objective: per window camera a
// symmetric 15x15 block (rows of LA::CameraBlock15), per linked pair a
// coupling block (rows of LA::MotionPairBlock), and the gradient
// b = -sum J^T W e. Symmetric 3x3 sub-blocks are kept full, because the
// block kernels read both triangles.
#include <cstring>

#include "optimization/IMUParameters.h"
#include "optimization/ISOSolver.h"
#include "optimization/ISOTerms.h"

namespace {

using namespace ISOTerms;
using Rows = float (*)[4];

template <class Block>
inline Rows RowsOf(Block& b) {
  return reinterpret_cast<Rows>(&b);
}

using CR = LA::CameraBlock15;
// Pair block rows.
constexpr int B00 = LA::MotionPairBlock::kB00, D10 = LA::MotionPairBlock::kD10,
              D11P = LA::MotionPairBlock::kD11, B20 = LA::MotionPairBlock::kB20,
              B21 = LA::MotionPairBlock::kB21, B22 = LA::MotionPairBlock::kB22,
              B30 = LA::MotionPairBlock::kB30, B31 = LA::MotionPairBlock::kB31,
              D33 = LA::MotionPairBlock::kD33, B40 = LA::MotionPairBlock::kB40,
              B41 = LA::MotionPairBlock::kB41, B42 = LA::MotionPairBlock::kB42,
              D44 = LA::MotionPairBlock::kD44;

// A stored diagonal row: its first float plus the increment, broadcast.
inline void AddDiagonalRow(float* row, float v) {
  const float s = row[0] + v;
  row[0] = row[1] = row[2] = row[3] = s;
}
inline void AddToDiagonal(Rows r, float v) {
  r[0][0] += v;
  r[1][1] += v;
  r[2][2] += v;
}
inline void Mirror(Rows r) {
  r[1][0] = r[0][1];
  r[2][0] = r[0][2];
  r[2][1] = r[1][2];
}
inline void Axpy3(float a, const float* x, float* y) {
  y[0] += a * x[0];
  y[1] += a * x[1];
  y[2] += a * x[2];
}
// y += a K^T x (K given by rows).
inline void AddTransposedProduct(float a, const float (*K)[4], const float* x, float* y) {
  for (int k = 0; k < 3; ++k) y[k] += a * ((K[1][k] * x[1] + K[0][k] * x[0]) + K[2][k] * x[2]);
}
// Adds a x^T (row) times M (rows) into `out`: out[n] += a sum_m x[m] M[m][n].
inline void AddRowTimes(float a, const float* x, const float* M, float* out) {
  for (int n = 0; n < 3; ++n) out[n] += a * ((x[1] * M[4 + n] + x[0] * M[n]) + x[2] * M[8 + n]);
}

// Camera i's share of a pair (lists 1 and 3).
void AddFirstCamera(const ISODelta& D, const CameraIMUState& ci, const DeltaTerms& t,
                    LA::CameraBlock15& block, LA::CameraVector15& gradient) {
  using namespace ISOLane;
  Rows a = RowsOf(block);
  Rows b = RowsOf(gradient);
  const float(*L)[4] = D.lane;
  const float* Rt = ci.RT.m[0];  // rows c_k of R_i^T
  const float dt = L[kDt][0], wp = t.wp, wv = t.wv, wr = t.wr, wpDt = L[kWpDt][0];

  AddToDiagonal(a + CR::kPP, wp + t.wvrInvDt2);
  AddDiagonalRow(a[CR::kPV], wpDt + t.wvrInvDt);
  AddDiagonalRow(a[CR::kVV], L[kWpv][0] + t.wvs + t.wvr);
  float gc[4], hc[4];
  for (int k = 0; k < 3; ++k) {
    const float* c = Rt + 4 * k;
    Cross3(t.g, c, gc);
    Cross3(t.h, c, hc);
    for (int n = 0; n < 3; ++n) {
      a[CR::kPR + k][n] += wp * gc[n];
      a[CR::kVR + k][n] += wpDt * gc[n] + wv * hc[n];
      const float pa = Dot3(c, L[kWdpDba + n]), pg = Dot3(c, L[kWdpDbg + n]);
      a[CR::kPBa + k][n] += pa;
      a[CR::kPBg + k][n] += pg;
      a[CR::kVBa + k][n] += dt * pa + Dot3(c, L[kWdvDba + n]);
      a[CR::kVBg + k][n] += dt * pg + Dot3(c, L[kWdvDbg + n]);
    }
  }
  // Rotation block: wp [g]^T [g] + wv [h]^T [h] + wr K^T K, upper triangle.
  const float gg = Dot3(t.g, t.g), hh = Dot3(t.h, t.h);
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      float v = -wp * t.g[r] * t.g[c] - wv * t.h[r] * t.h[c];
      if (r == c) v += wp * gg + wv * hh;
      v += wr * ((t.K[1][r] * t.K[1][c] + t.K[0][r] * t.K[0][c]) + t.K[2][r] * t.K[2][c]);
      a[CR::kRR + r][c] += v;
    }
  }
  // Columns n of the rotation-bias blocks: g x (wp J_pa column n) + ... .
  for (int n = 0; n < 3; ++n) {
    float col[4], tmp[4];
    Cross3(t.g, L[kWdpDba + n], col);
    Cross3(t.h, L[kWdvDba + n], tmp);
    for (int k = 0; k < 3; ++k) a[CR::kRBa + k][n] += col[k] + tmp[k];
    Cross3(t.g, L[kWdpDbg + n], col);
    Cross3(t.h, L[kWdvDbg + n], tmp);
    float kr[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    AddTransposedProduct(-wr * t.s, t.K, L[kDrDbgT + n], kr);
    for (int k = 0; k < 3; ++k) a[CR::kRBg + k][n] += col[k] + tmp[k] + kr[k];
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      a[CR::kBaBa + r][c] += L[kHaa + r][c];
      a[CR::kBgBg + r][c] += L[kHgg + r][c];
    }
    for (int c = 0; c < 3; ++c) a[CR::kBaBg + r][c] += L[kHag + r][c];
  }
  AddToDiagonal(a + CR::kBaBa, t.wsa);
  AddToDiagonal(a + CR::kBgBg, t.wsg);
  Mirror(a + CR::kRR);
  Mirror(a + CR::kBaBa);
  Mirror(a + CR::kBgBg);

  float rep[4], rev[4], cross[4];
  for (int k = 0; k < 3; ++k) {
    rep[k] = Dot3(Rt + 4 * k, t.ep);
    rev[k] = Dot3(Rt + 4 * k, t.ev);
  }
  for (int k = 0; k < 3; ++k) {
    b[0][k] += wp * rep[k] - t.wvrInvDt * t.evr[k];
    b[1][k] += wpDt * rep[k] + wv * rev[k] + t.wvs * t.vs[k] - t.wvr * t.evr[k];
    b[3][k] += Dot3(L[kWdpDba + k], t.ep) + Dot3(L[kWdvDba + k], t.ev) + t.wsa * t.eba[k];
    b[4][k] += Dot3(L[kWdpDbg + k], t.ep) + Dot3(L[kWdvDbg + k], t.ev) +
               Dot3(L[kWdrDbg + k], t.er) + t.wsg * t.ebg[k];
  }
  Cross3(t.g, t.ep, cross);
  Axpy3(wp, cross, b[2]);
  Cross3(t.h, t.ev, cross);
  Axpy3(wv, cross, b[2]);
  AddTransposedProduct(-wr * t.s, t.K, t.er, b[2]);
}

// Camera j's share of a pair (lists 2 and 3).
void AddSecondCamera(const CameraIMUState& ci, const DeltaTerms& t, LA::CameraBlock15& block,
                     LA::CameraVector15& gradient) {
  Rows a = RowsOf(block);
  Rows b = RowsOf(gradient);
  const float* Rt = ci.RT.m[0];
  AddToDiagonal(a + CR::kPP, t.wp + t.wvrInvDt2);
  AddDiagonalRow(a[CR::kVV], t.wv + t.wvs);
  for (int r = 0; r < 3; ++r)
    for (int c = r; c < 3; ++c)
      a[CR::kRR + r][c] +=
          t.wr * ((t.Jj[1][r] * t.Jj[1][c] + t.Jj[0][r] * t.Jj[0][c]) + t.Jj[2][r] * t.Jj[2][c]);
  Mirror(a + CR::kRR);
  AddToDiagonal(a + CR::kBaBa, t.wsa);
  AddToDiagonal(a + CR::kBgBg, t.wsg);
  for (int k = 0; k < 3; ++k) {
    const float rep = Dot3(Rt + 4 * k, t.ep), rev = Dot3(Rt + 4 * k, t.ev);
    b[0][k] -= t.wp * rep - t.wvrInvDt * t.evr[k];
    b[1][k] -= t.wv * rev + t.wvs * t.vs[k];
    b[3][k] -= t.wsa * t.eba[k];
    b[4][k] -= t.wsg * t.ebg[k];
  }
  AddTransposedProduct(-t.wr, t.Jj, t.er, b[2]);
}

// The coupling of a window pair: rows of camera i, columns of camera j.
void AddPairBlock(const ISODelta& D, const CameraIMUState& ci, const DeltaTerms& t,
                  LA::MotionPairBlock& block) {
  using namespace ISOLane;
  Rows B = RowsOf(block);
  const float(*L)[4] = D.lane;
  const float* R = ci.R.m[0];
  AddToDiagonal(B + B00, -(t.wp + t.wvrInvDt2));
  AddDiagonalRow(B[D10], -(L[kWpDt][0] + t.wvrInvDt));
  AddDiagonalRow(B[D11P], -(t.wv + t.wvs));
  AddDiagonalRow(B[D33], -t.wsa);
  AddDiagonalRow(B[D44], -t.wsg);
  // -w [x] R, row k: [x] row k times R.
  const float* g = t.g;
  const float* h = t.h;
  const float gx[3][3] = {{0, -g[2], g[1]}, {g[2], 0, -g[0]}, {-g[1], g[0], 0}};
  const float hx[3][3] = {{0, -h[2], h[1]}, {h[2], 0, -h[0]}, {-h[1], h[0], 0}};
  for (int k = 0; k < 3; ++k) {
    AddRowTimes(-t.wp, gx[k], R, B[B20 + k]);
    AddRowTimes(-t.wv, hx[k], R, B[B21 + k]);
    AddRowTimes(-1.0f, L[kWdpDba + k], R, B[B30 + k]);
    AddRowTimes(-1.0f, L[kWdvDba + k], R, B[B31 + k]);
    AddRowTimes(-1.0f, L[kWdpDbg + k], R, B[B40 + k]);
    AddRowTimes(-1.0f, L[kWdvDbg + k], R, B[B41 + k]);
    AddRowTimes(-1.0f, L[kWdrDbg + k], &t.Jj[0][0], B[B42 + k]);
    // wr K^T Jj / s: Jj carries s, and Ji = s K, so Ji^T Jj = K^T Jj s.
    const float Kk[3] = {t.K[0][k], t.K[1][k], t.K[2][k]};
    AddRowTimes(t.wr * t.s, Kk, &t.Jj[0][0], B[B22 + k]);
  }
}

// Horizontal sums of four vectors: (sum a, sum b, sum c, sum d).
inline __m128 Sum4(__m128 a, __m128 b, __m128 c, __m128 d) {
  return _mm_hadd_ps(_mm_hadd_ps(a, b), _mm_hadd_ps(c, d));
}

}  // namespace

void ISOSolver::ConstructFeatureNormalEquation(const ISOProblem& problem, const ISOState& state) {
  if (problem.features3D.Size() == 0) return;
  LA::AlignedMatrix3f Re;
  LA::QuaternionToRotationMatrix(state.extrinsic, Re);
  const float* te = state.extrinsic + 4;
  __m128 re[3][3];
  for (int m = 0; m < 3; ++m)
    for (int n = 0; n < 3; ++n) re[m][n] = _mm_set1_ps(Re.m[m][n]);
  const __m128 te0 = _mm_set1_ps(te[0]), te1 = _mm_set1_ps(te[1]), te2 = _mm_set1_ps(te[2]);
  const __m128 one = _mm_set1_ps(1.0f);

  for (u32 c = 0; c < state.windowCameras.Size(); ++c) {
    const float* pose = state.windowCameras[c].pose.m[0];
    __m128 rc[3][3];
    for (int m = 0; m < 3; ++m)
      for (int n = 0; n < 3; ++n) rc[m][n] = _mm_set1_ps(pose[4 * m + n]);
    // Upper triangle of the 6x6 over (position, rotation), then gradient.
    __m128 acc[21], grad[6];
    for (__m128& x : acc) x = _mm_setzero_ps();
    for (__m128& x : grad) x = _mm_setzero_ps();
    for (u32 l = 0; l < 4; ++l) {
      const u32 begin = problem.feature3DStarts[4 * c + l],
                end = problem.feature3DStarts[4 * c + l + 1];
      const __m128 weight = _mm_set1_ps(problem.feature3DWeights[l].v[0]);
      for (u32 i = begin; i < end; i += 4) {
        FeatureBatch batch;
        LoadFeatureBatch(problem, i, end, batch);
        __m128 xc, yc, zc;
        TransformBatch(pose, batch, xc, yc, zc);
        const __m128 iz = _mm_div_ps(one, zc);
        const __m128 u = _mm_mul_ps(xc, iz), v = _mm_mul_ps(yc, iz);
        const __m128 ex = _mm_sub_ps(batch.x, u), ey = _mm_sub_ps(batch.y, v);
        const __m128 w = _mm_mul_ps(weight, batch.mask);
        __m128 j0[6], j1[6];
        // Position: -A Rc, A = iz [1 0 -u; 0 1 -v].
        for (int n = 0; n < 3; ++n) {
          j0[n] = _mm_mul_ps(iz, _mm_sub_ps(_mm_mul_ps(u, rc[2][n]), rc[0][n]));
          j1[n] = _mm_mul_ps(iz, _mm_sub_ps(_mm_mul_ps(v, rc[2][n]), rc[1][n]));
        }
        // Rotation: A [Xe]x Re with Xe = Xc - te.
        const __m128 Ex = _mm_sub_ps(xc, te0), Ey = _mm_sub_ps(yc, te1), Ez = _mm_sub_ps(zc, te2);
        const __m128 m00 = _mm_mul_ps(iz, _mm_mul_ps(u, Ey));
        const __m128 m01 =
            _mm_mul_ps(iz, _mm_sub_ps(_mm_setzero_ps(), _mm_add_ps(Ez, _mm_mul_ps(u, Ex))));
        const __m128 m02 = _mm_mul_ps(iz, Ey);
        const __m128 m10 = _mm_mul_ps(iz, _mm_add_ps(Ez, _mm_mul_ps(v, Ey)));
        const __m128 m11 = _mm_mul_ps(iz, _mm_sub_ps(_mm_setzero_ps(), _mm_mul_ps(v, Ex)));
        const __m128 m12 = _mm_sub_ps(_mm_setzero_ps(), _mm_mul_ps(iz, Ex));
        for (int n = 0; n < 3; ++n) {
          j0[3 + n] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(m00, re[0][n]), _mm_mul_ps(m01, re[1][n])),
                                 _mm_mul_ps(m02, re[2][n]));
          j1[3 + n] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(m10, re[0][n]), _mm_mul_ps(m11, re[1][n])),
                                 _mm_mul_ps(m12, re[2][n]));
        }
        int k = 0;
        for (int r = 0; r < 6; ++r) {
          const __m128 w0 = _mm_mul_ps(w, j0[r]), w1 = _mm_mul_ps(w, j1[r]);
          for (int q = r; q < 6; ++q, ++k)
            acc[k] = _mm_add_ps(acc[k], _mm_add_ps(_mm_mul_ps(w0, j0[q]), _mm_mul_ps(w1, j1[q])));
          grad[r] = _mm_add_ps(grad[r], _mm_add_ps(_mm_mul_ps(w0, ex), _mm_mul_ps(w1, ey)));
        }
      }
    }
    alignas(16) float h[28];
    for (int k = 0; k < 20; k += 4)
      _mm_store_ps(h + k, Sum4(acc[k], acc[k + 1], acc[k + 2], acc[k + 3]));
    _mm_store_ps(h + 20, Sum4(acc[20], grad[0], grad[1], grad[2]));
    _mm_store_ps(h + 24, Sum4(grad[3], grad[4], grad[5], _mm_setzero_ps()));
    float H[6][6];
    int k = 0;
    for (int r = 0; r < 6; ++r)
      for (int q = r; q < 6; ++q, ++k) H[r][q] = H[q][r] = h[k];
    Rows a = RowsOf(cameraBlocks_[c]);
    Rows b = RowsOf(gradient_[c]);
    for (int r = 0; r < 3; ++r) {
      for (int q = 0; q < 3; ++q) {
        a[CR::kPP + r][q] += H[r][q];
        a[CR::kPR + r][q] += H[r][3 + q];
        a[CR::kRR + r][q] += H[3 + r][3 + q];
      }
      b[0][r] += h[21 + r];
      b[2][r] += h[24 + r];
    }
  }
}

void ISOSolver::ConstructDeltaNormalEquation(const ISOProblem& problem, const ISOState& state) {
  DeltaTerms t;
  for (u32 k = 0; k < problem.deltas1.count; ++k) {
    const auto [i, j] = problem.deltas1.pairs[k];
    const CameraIMUState& ci = state.windowCameras[i];
    ComputeDeltaTerms(problem.deltas1.records[k], ci, state.referenceCameras[j], t);
    AddFirstCamera(problem.deltas1.records[k], ci, t, cameraBlocks_[i], gradient_[i]);
  }
}

void ISOSolver::ConstructFixedDeltaNormalEquation(const ISOProblem& problem,
                                                  const ISOState& state) {
  DeltaTerms t;
  for (u32 k = 0; k < problem.deltas2.count; ++k) {
    const auto [i, j] = problem.deltas2.pairs[k];
    const CameraIMUState& ci = state.referenceCameras[i];
    ComputeFixedDeltaTerms(problem.deltas2.records[k], ci, state.windowCameras[j], t);
    AddSecondCamera(ci, t, cameraBlocks_[j], gradient_[j]);
  }
}

void ISOSolver::ConstructWindowDeltaNormalEquation(const ISOProblem& problem,
                                                   const ISOState& state) {
  DeltaTerms t;
  for (u32 k = 0; k < problem.deltas3.count; ++k) {
    const auto [i, j] = problem.deltas3.pairs[k];
    const ISODelta& D = problem.deltas3.records[k];
    const CameraIMUState& ci = state.windowCameras[i];
    ComputeDeltaTerms(D, ci, state.windowCameras[j], t);
    AddFirstCamera(D, ci, t, cameraBlocks_[i], gradient_[i]);
    AddSecondCamera(ci, t, cameraBlocks_[j], gradient_[j]);
    AddPairBlock(D, ci, t, pairBlocks_[k]);
  }
}

void ISOSolver::ConstructBiasNormalEquation(const ISOProblem& problem, const ISOState& state) {
  const float wa = problem.biasWeights[0], wg = problem.biasWeights[1];
  if (wa == 0.0f && wg == 0.0f) return;
  for (u32 c = 0; c < state.windowCameras.Size(); ++c) {
    Rows a = RowsOf(cameraBlocks_[c]);
    Rows b = RowsOf(gradient_[c]);
    AddToDiagonal(a + CR::kBaBa, wa);
    AddToDiagonal(a + CR::kBgBg, wg);
    const float* ba = state.windowCameras[c].ba;
    const float* bg = state.windowCameras[c].bg;
    for (int k = 0; k < 4; ++k) {
      b[3][k] -= wa * (ba[k] - IMU::accelerometerBiasPrior.v[k]);
      b[4][k] -= wg * (bg[k] - IMU::gyroscopeBiasPrior.v[k]);
    }
  }
}

void ISOSolver::ConstructGravityNormalEquation(const ISOProblem& problem, const ISOState& state) {
  for (u32 r = 0; r < problem.gravity.Size(); ++r) {
    const u32 c = problem.gravityCameras[r];
    const float* R = state.windowCameras[c].R.m[0];
    const IBAGravity& gr = problem.gravity[r];
    const float* d = gr.direction;
    const float w = gr.weight[0];
    const float z[4] = {R[2], R[6], R[10], 0.0f};
    const float e[4] = {z[0] - d[0], z[1] - d[1], z[2] - d[2], 0.0f};
    const float zz = Dot3(z, z);
    Rows a = RowsOf(cameraBlocks_[c]);
    // w (|z|^2 I - z z^T), written to both triangles: it comes after the
    // pair terms have mirrored theirs.
    for (int i = 0; i < 3; ++i) {
      a[CR::kRR + i][i] += w * (zz - z[i] * z[i]);
      for (int j = i + 1; j < 3; ++j) {
        const float v = -w * z[i] * z[j];
        a[CR::kRR + i][j] += v;
        a[CR::kRR + j][i] += v;
      }
    }
    float cross[4];
    Cross3(z, e, cross);
    Axpy3(w, cross, RowsOf(gradient_[c])[2]);
  }
}

void ISOSolver::ConstructNormalEquation(const ISOProblem& problem, const ISOState& state) {
  if (cameraBlocks_.Size() > 0)
    std::memset(static_cast<void*>(cameraBlocks_.Data()), 0,
                sizeof(LA::CameraBlock15) * cameraBlocks_.Size());
  if (pairBlocks_.Size() > 0)
    std::memset(static_cast<void*>(pairBlocks_.Data()), 0,
                sizeof(LA::MotionPairBlock) * pairBlocks_.Size());
  if (gradient_.Size() > 0)
    std::memset(static_cast<void*>(gradient_.Data()), 0,
                sizeof(LA::CameraVector15) * gradient_.Size());
  ConstructFeatureNormalEquation(problem, state);
  ConstructDeltaNormalEquation(problem, state);
  ConstructFixedDeltaNormalEquation(problem, state);
  ConstructWindowDeltaNormalEquation(problem, state);
  ConstructBiasNormalEquation(problem, state);
  ConstructGravityNormalEquation(problem, state);
  if (fixGauge_) FixGauge();
}
