// Inertial, bias, gravity and plane terms of the normal equations, the
// assembly order and the gauge fix. These terms are per camera pair or per
// record, so small 3x3 helpers serve; the per-measurement reprojection term
// lives in its own SSE file.
#include <algorithm>
#include <cstring>

#include "optimization/IBADeltaResidual.h"
#include "optimization/IBASolver.h"
#include "optimization/IMUParameters.h"

namespace {

using M3 = LA::AlignedMatrix3f;

void Zero(M3& A) {
  std::memset(&A, 0, sizeof(A));
}
void Skew(const float* v, M3& A) {
  Zero(A);
  A[0][1] = -v[2];
  A[0][2] = v[1];
  A[1][0] = v[2];
  A[1][2] = -v[0];
  A[2][0] = -v[1];
  A[2][1] = v[0];
}
// P = A B
void Mul(const M3& A, const M3& B, M3& P) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      P[i][j] = (A[i][1] * B[1][j] + A[i][0] * B[0][j]) + A[i][2] * B[2][j];
  P[0][3] = P[1][3] = P[2][3] = 0.0f;
}
// P = A^T B
void MulTA(const M3& A, const M3& B, M3& P) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      P[i][j] = (A[1][i] * B[1][j] + A[0][i] * B[0][j]) + A[2][i] * B[2][j];
  P[0][3] = P[1][3] = P[2][3] = 0.0f;
}
// A^T v
void MulT(const M3& A, const float* v, float* out) {
  for (int j = 0; j < 3; ++j) out[j] = (A[1][j] * v[1] + A[0][j] * v[0]) + A[2][j] * v[2];
}
// Three row lanes of a record as a 3x3.
const M3& Rows(const float (*rows)[4]) {
  return *reinterpret_cast<const M3*>(rows);
}
// rows[row..row+2] += s B
void AddTo(float (*rows)[4], int row, const M3& B, float s) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) rows[row + i][j] += s * B[i][j];
}
void AddDiagonal(float (*rows)[4], int row, float s) {
  rows[row][0] += s;
  rows[row + 1][1] += s;
  rows[row + 2][2] += s;
}
void AddLane(float (*rows)[4], int row, float s) {
  rows[row][0] += s;
  rows[row][1] += s;
  rows[row][2] += s;
}
void AddVector(float* lane, const float* v, float s) {
  lane[0] += s * v[0];
  lane[1] += s * v[1];
  lane[2] += s * v[2];
}
// |a|^2 I - a a^T, the Gauss-Newton block of a residual with Jacobian [a]x.
void SkewGram(const float* a, M3& A) {
  const float n = LA::Dot3(a, a);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) A[i][j] = (i == j ? n : 0.0f) - a[i] * a[j];
  A[0][3] = A[1][3] = A[2][3] = 0.0f;
}

}  // namespace

void IBASolver::ConstructNormalEquation(const IBAProblem& problem, const IBAState& state) {
  if (cameraBlocks.Size() > 0)
    std::memset(cameraBlocks.Data(), 0, sizeof(LA::CameraBlock15) * cameraBlocks.Size());
  if (consecutiveBlocks.Size() > 0)
    std::memset(consecutiveBlocks.Data(), 0,
                sizeof(IBAConsecutiveBlock) * consecutiveBlocks.Size());
  if (cameraPointBlocks.Size() > 0)
    std::memset(cameraPointBlocks.Data(), 0,
                sizeof(IBACameraPointBlock) * cameraPointBlocks.Size());
  if (pointBlocks.Size() > 0) std::memset(pointBlocks.Data(), 0, sizeof(M3) * pointBlocks.Size());
  // Camera pairs couple only through eliminated points: empty until the Schur
  // complement fills them.
  if (pairBlocks.Size() > 0)
    std::memset(pairBlocks.Data(), 0, sizeof(IBACameraPairBlock) * pairBlocks.Size());
  if (cameraRHS.Size() > 0)
    std::memset(cameraRHS.Data(), 0, sizeof(LA::CameraVector15) * cameraRHS.Size());
  if (pointRHS.Size() > 0)
    std::memset(pointRHS.Data(), 0, sizeof(LA::AlignedVector4f) * pointRHS.Size());
  ConstructFeatureNormalEquation(problem, state);
  ConstructDeltaNormalEquation(problem, state);
  ConstructBiasNormalEquation(problem, state);
  ConstructGravityNormalEquation(problem, state);
  ConstructPlaneNormalEquation(problem, state);
  FixGauge(problem);
}

void IBASolver::ConstructDeltaNormalEquation(const IBAProblem& problem, const IBAState& state) {
  using CR = LA::CameraBlock15;
  using K = IBAConsecutiveBlock;
  if (problem.deltas.Size() == 0 || cameras_ < 2) return;
  const u32 first = fixedCameras_ > 1 ? fixedCameras_ : 1;
  IBADeltaResidual e;
  for (u32 j = first; j < cameras_ && j <= problem.deltas.Size(); ++j) {
    const u32 i = j - 1;
    const IBADelta& delta = problem.deltas[i];
    ComputeDeltaResidual(state.cameras[i], state.cameras[j], delta, e);
    const float dt = delta.dt[0], wp = delta.wp[0], wv = delta.wv[0], wr = delta.wr[0],
                wsa = delta.wba[0], wsg = delta.wbg[0];
    const M3& R = state.cameras[i].R;
    const M3& Jpa = Rows(delta.dp_dba);
    const M3& Jpg = Rows(delta.dp_dbg);
    const M3& Jva = Rows(delta.dv_dba);
    const M3& Jvg = Rows(delta.dv_dbg);
    const M3& Jrg = Rows(delta.dr_dbg);
    // Rotation Jacobians of e_r: J_rj = s (E.w I + [E_v]x), J_ri = -s (E.w I - [E_v]x) R(dq).
    M3 Ev, Jrj, Jri, Rd, T;
    Skew(e.E, Ev);
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        Jrj[a][b] = e.s * ((a == b ? e.E[3] : 0.0f) + Ev[a][b]);
        T[a][b] = -e.s * ((a == b ? e.E[3] : 0.0f) - Ev[a][b]);
      }
    LA::QuaternionToRotationMatrix(delta.dq, Rd);
    Mul(T, Rd, Jri);
    Jrj[0][3] = Jrj[1][3] = Jrj[2][3] = 0.0f;

    // Weighted residuals.
    float wep[3], wev[3], wer[3];
    for (int k = 0; k < 3; ++k) {
      wep[k] = wp * e.ep[k];
      wev[k] = wv * e.ev[k];
      wer[k] = wr * e.er[k];
    }
    float RTep[3], RTev[3];
    MulT(R, wep, RTep);
    MulT(R, wev, RTev);

    const bool variableI = i >= fixedCameras_;
    if (variableI) {
      const u32 k = i - fixedCameras_;
      float(*A)[4] = cameraBlocks[k].m;
      float* b = cameraRHS[k].v;
      M3 Sap, Sav, P, Q;
      Skew(e.ap, Sap);
      Skew(e.av, Sav);
      AddDiagonal(A, CR::kPP, wp);
      AddLane(A, CR::kPV, dt * wp);
      MulTA(R, Sap, P);  // R^T [a_p]x
      AddTo(A, CR::kPR, P, -wp);
      MulTA(R, Jpa, P);
      AddTo(A, CR::kPBa, P, wp);
      MulTA(R, Jpg, P);
      AddTo(A, CR::kPBg, P, wp);
      AddLane(A, CR::kVV, dt * dt * wp + wv);
      MulTA(R, Sap, P);
      AddTo(A, CR::kVR, P, -dt * wp);
      MulTA(R, Sav, P);
      AddTo(A, CR::kVR, P, -wv);
      MulTA(R, Jpa, P);
      AddTo(A, CR::kVBa, P, dt * wp);
      MulTA(R, Jva, P);
      AddTo(A, CR::kVBa, P, wv);
      MulTA(R, Jpg, P);
      AddTo(A, CR::kVBg, P, dt * wp);
      MulTA(R, Jvg, P);
      AddTo(A, CR::kVBg, P, wv);
      SkewGram(e.ap, P);
      AddTo(A, CR::kRR, P, wp);
      SkewGram(e.av, P);
      AddTo(A, CR::kRR, P, wv);
      MulTA(Jri, Jri, P);
      AddTo(A, CR::kRR, P, wr);
      Mul(Sap, Jpa, P);
      AddTo(A, CR::kRBa, P, wp);
      Mul(Sav, Jva, P);
      AddTo(A, CR::kRBa, P, wv);
      Mul(Sap, Jpg, P);
      AddTo(A, CR::kRBg, P, wp);
      Mul(Sav, Jvg, P);
      AddTo(A, CR::kRBg, P, wv);
      MulTA(Jri, Jrg, P);
      AddTo(A, CR::kRBg, P, -wr);
      MulTA(Jpa, Jpa, P);
      AddTo(A, CR::kBaBa, P, wp);
      MulTA(Jva, Jva, P);
      AddTo(A, CR::kBaBa, P, wv);
      AddDiagonal(A, CR::kBaBa, wsa);
      MulTA(Jpa, Jpg, P);
      AddTo(A, CR::kBaBg, P, wp);
      MulTA(Jva, Jvg, P);
      AddTo(A, CR::kBaBg, P, wv);
      MulTA(Jpg, Jpg, P);
      AddTo(A, CR::kBgBg, P, wp);
      MulTA(Jvg, Jvg, P);
      AddTo(A, CR::kBgBg, P, wv);
      MulTA(Jrg, Jrg, P);
      AddTo(A, CR::kBgBg, P, wr);
      AddDiagonal(A, CR::kBgBg, wsg);
      (void)Q;

      float v[3];
      AddVector(b, RTep, 1.0f);
      AddVector(b + 4, RTep, dt);
      AddVector(b + 4, RTev, 1.0f);
      LA::Cross3(e.ap, wep, v);
      AddVector(b + 8, v, 1.0f);
      LA::Cross3(e.av, wev, v);
      AddVector(b + 8, v, 1.0f);
      MulT(Jri, wer, v);
      AddVector(b + 8, v, -1.0f);
      MulT(Jpa, wep, v);
      AddVector(b + 12, v, 1.0f);
      MulT(Jva, wev, v);
      AddVector(b + 12, v, 1.0f);
      AddVector(b + 12, e.eba, wsa);
      MulT(Jpg, wep, v);
      AddVector(b + 16, v, 1.0f);
      MulT(Jvg, wev, v);
      AddVector(b + 16, v, 1.0f);
      MulT(Jrg, wer, v);
      AddVector(b + 16, v, 1.0f);
      AddVector(b + 16, e.ebg, wsg);

      // Coupling of camera i (rows) with camera j (columns).
      float(*B)[4] = consecutiveBlocks[k].m;
      AddDiagonal(B, K::kPP, -wp);
      Mul(Sap, R, P);
      AddTo(B, K::kRP, P, -wp);
      MulTA(Jri, Jrj, P);
      AddTo(B, K::kRR, P, wr);
      AddLane(B, K::kVP, -dt * wp);
      AddLane(B, K::kVV, -wv);
      Mul(Sav, R, P);
      AddTo(B, K::kRV, P, -wv);
      MulTA(Jpa, R, P);
      AddTo(B, K::kBaP, P, -wp);
      MulTA(Jva, R, P);
      AddTo(B, K::kBaV, P, -wv);
      AddLane(B, K::kBaBa, -wsa);
      MulTA(Jpg, R, P);
      AddTo(B, K::kBgP, P, -wp);
      MulTA(Jvg, R, P);
      AddTo(B, K::kBgV, P, -wv);
      MulTA(Jrg, Jrj, P);
      AddTo(B, K::kBgR, P, -wr);
      AddLane(B, K::kBgBg, -wsg);
    }
    // Camera j is variable whenever j >= first.
    {
      const u32 k = j - fixedCameras_;
      float(*A)[4] = cameraBlocks[k].m;
      float* b = cameraRHS[k].v;
      M3 P;
      AddDiagonal(A, CR::kPP, wp);
      AddLane(A, CR::kVV, wv);
      MulTA(Jrj, Jrj, P);
      AddTo(A, CR::kRR, P, wr);
      AddDiagonal(A, CR::kBaBa, wsa);
      AddDiagonal(A, CR::kBgBg, wsg);
      float v[3];
      AddVector(b, RTep, -1.0f);
      AddVector(b + 4, RTev, -1.0f);
      MulT(Jrj, wer, v);
      AddVector(b + 8, v, -1.0f);
      AddVector(b + 12, e.eba, -wsa);
      AddVector(b + 16, e.ebg, -wsg);
    }
  }
}

void IBASolver::ConstructBiasNormalEquation(const IBAProblem& problem, const IBAState& state) {
  using CR = LA::CameraBlock15;
  const float wa = problem.biasWeights[0], wg = problem.biasWeights[1];
  if (wa == 0.0f && wg == 0.0f) return;
  const float* pa = IMU::accelerometerBiasPrior.v;
  const float* pg = IMU::gyroscopeBiasPrior.v;
  for (u32 k = 0; k < variableCameras_; ++k) {
    const CameraIMUState& camera = state.cameras[fixedCameras_ + k];
    float(*A)[4] = cameraBlocks[k].m;
    float* b = cameraRHS[k].v;
    AddDiagonal(A, CR::kBaBa, wa);
    AddDiagonal(A, CR::kBgBg, wg);
    for (int i = 0; i < 3; ++i) {
      b[12 + i] -= wa * (camera.ba[i] - pa[i]);
      b[16 + i] -= wg * (camera.bg[i] - pg[i]);
    }
  }
}

void IBASolver::ConstructGravityNormalEquation(const IBAProblem& problem, const IBAState& state) {
  using CR = LA::CameraBlock15;
  for (u32 g = 0; g < problem.gravity.Size(); ++g) {
    const u32 c = problem.gravityCameras[g];
    if (c < fixedCameras_ || c >= cameras_) continue;
    const float w = problem.gravity[g].weight[0];
    const LA::AlignedMatrix3f& R = state.cameras[c].R;
    const float* d = problem.gravity[g].direction;
    const float col[3] = {R[0][2], R[1][2], R[2][2]};
    const float e[3] = {col[0] - d[0], col[1] - d[1], col[2] - d[2]};
    M3 P;
    SkewGram(col, P);
    AddTo(cameraBlocks[c - fixedCameras_].m, CR::kRR, P, w);
    float v[3];
    LA::Cross3(col, e, v);
    AddVector(cameraRHS[c - fixedCameras_].v + 8, v, w);
  }
}

void IBASolver::ConstructPlaneNormalEquation(const IBAProblem& problem, const IBAState& state) {
  const u32 planes =
      std::min<u32>(state.planes.Size(), static_cast<u32>(problem.planePoints.size()));
  for (u32 j = 0; j < planes; ++j) {
    const float w = problem.planeWeights[j].v[0];
    if (w == 0.0f) continue;
    const float* n = state.planes[j].v;
    M3 P;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) P[a][b] = n[a] * n[b];
    for (u32 point : problem.planePoints[j]) {
      if (point < fixedPoints_ || point >= points_) continue;
      const u32 k = point - fixedPoints_;
      const float e = LA::Dot3(n, state.points[point].v) + n[3];
      AddTo(pointBlocks[k].m, 0, P, w);
      AddVector(pointRHS[k].v, n, -w * e);
    }
  }
}

void IBASolver::FixGauge(const IBAProblem& problem) {
  using CR = LA::CameraBlock15;
  if (!problem.gauge || fixedCameras_ != 0 || variableCameras_ == 0) return;
  float(*A)[4] = cameraBlocks[0].m;
  std::memset(A[CR::kPV], 0, sizeof(float) * 4);
  std::memset(A[CR::kVV], 0, sizeof(float) * 4 * (CR::kRR - CR::kVV));
  std::memset(cameraRHS[0].v + 4, 0, sizeof(float) * 4);
  if (consecutiveBlocks.Size() > 0) {
    std::memset(consecutiveBlocks[0].m[IBAConsecutiveBlock::kVP], 0, sizeof(float) * 8);
  }
}
