// First-order preintegration of inertial samples in double precision.
#include "optimization/IMUDelta.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"

bool HalfAngleIncrement(const f64* w, f64 dt, f64* delta) {
  const f64 n2 = w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
  if (n2 < DBL_EPSILON) {
    const f64 h = dt * 0.5;
    delta[0] = w[0] * h;
    delta[1] = w[1] * h;
    delta[2] = w[2] * h;
    delta[3] = 1.0;
    return false;
  }
  const f64 n = std::sqrt(n2);
  const f64 s = std::sin(n * dt * 0.5) / n;
  delta[0] = w[0] * s;
  delta[1] = w[1] * s;
  delta[2] = w[2] * s;
  delta[3] = std::cos(n * dt * 0.5);
  return true;
}

namespace {

// S = [v]x, the cross-product matrix.
inline void CrossMatrix(const f64* v, f64* S) {
  S[0] = 0.0, S[1] = -v[2], S[2] = v[1];
  S[3] = v[2], S[4] = 0.0, S[5] = -v[0];
  S[6] = -v[1], S[7] = v[0], S[8] = 0.0;
}

// Full 3x3 from a packed symmetric block.
inline void Unpack(const f64* P, f64* S) {
  S[0] = P[0], S[1] = P[1], S[2] = P[2];
  S[3] = P[1], S[4] = P[3], S[5] = P[4];
  S[6] = P[2], S[7] = P[4], S[8] = P[5];
}

// Gyroscope-bias block G of one step from the rotation increment before (q0)
// and after (q1) the step; see the header of IMUDelta for why it is kept as
// the scheme's own first-order derivative.
void GyroscopeBiasBlock(const f64* q0, const f64* q1, const f64* w, f64 dt, bool exact, f64* G) {
  const f64 s0 = q0[3] > 0.0 ? 1.0 : -1.0;
  const f64 s1 = q1[3] > 0.0 ? 1.0 : -1.0;
  const f64 c0 = q0[3], c1 = q1[3];
  const f64 d = c0 * c1 + (q0[0] * q1[0] + q0[1] * q1[1] + q0[2] * q1[2]);
  f64 e[3];
  e[0] = 2.0 * (s1 * c0 * q1[0] - s0 * c1 * q0[0]) - (q0[1] * q1[2] - q0[2] * q1[1]);
  e[1] = 2.0 * (s1 * c0 * q1[1] - s0 * c1 * q0[1]) - (q0[2] * q1[0] - q0[0] * q1[2]);
  e[2] = 2.0 * (s1 * c0 * q1[2] - s0 * c1 * q0[2]) - (q0[0] * q1[1] - q0[1] * q1[0]);
  // A = d I - [e]x.
  f64 A[9];
  A[0] = d, A[1] = e[2], A[2] = -e[1];
  A[3] = -e[2], A[4] = d, A[5] = e[0];
  A[6] = e[1], A[7] = -e[0], A[8] = d;
  if (!exact) {
    for (int i = 0; i < 9; ++i) G[i] = -dt * A[i];
    return;
  }
  const f64 n2 = w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
  const f64 n = std::sqrt(n2);
  const f64 sn = std::sin(n * dt * 0.5) / n;
  const f64 cs = std::cos(n * dt * 0.5);
  f64 Aw[3];
  MatrixVector3d(A, w, Aw);
  const f64 f = (cs * dt - 2.0 * sn) / n2;
  f64 g[3];
  for (int i = 0; i < 3; ++i) g[i] = sn * dt * e[i] + f * Aw[i];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) G[3 * r + c] = -2.0 * sn * A[3 * r + c] - g[r] * w[c];
  }
}

// One interval of length dt > 0 started by sample s.
void IntegrateStep(const IMUSample& s, f64 dt, f64 na, f64 ng, IMUDelta& D) {
  f64 a[3], w[3];
  for (int i = 0; i < 3; ++i) {
    a[i] = s.acceleration[i] - D.ba[i];
    w[i] = s.rotationRate[i] - D.bg[i];
  }
  f64 R[9];
  QuaternionToRotationDouble(D.dq, R);

  // Position, velocity and rotation (values from before the step).
  f64 Ra[3];
  MatrixVector3d(R, a, Ra);
  for (int i = 0; i < 3; ++i) {
    D.dp[i] += D.dv[i] * dt;
    D.dv[i] += Ra[i] * dt;
  }
  f64 delta[4], q0[4];
  const bool exact = HalfAngleIncrement(w, dt, delta);
  std::memcpy(q0, D.dq, sizeof(q0));
  MultiplyQuaternionsDouble(q0, delta, D.dq);

  // Transition blocks: M = H(delta)^T, V = -R [a]x dt, G.
  f64 M[9], V[9], G[9], Ax[9];
  QuaternionToRotationTransposed(delta, M);
  CrossMatrix(a, Ax);
  MatrixProduct3d(R, Ax, V);
  for (int i = 0; i < 9; ++i) V[i] *= -dt;
  GyroscopeBiasBlock(q0, D.dq, w, dt, exact, G);

  // Jacobians, each from the values before the step.
  for (int i = 0; i < 9; ++i) {
    D.dp_dr[i] += dt * D.dv_dr[i];
    D.dp_dba[i] += dt * D.dv_dba[i];
    D.dp_dbg[i] += dt * D.dv_dbg[i];
  }
  AddMatrixProduct3d(V, D.dr_dr, D.dv_dr);
  for (int i = 0; i < 9; ++i) D.dv_dba[i] -= R[i] * dt;
  AddMatrixProduct3d(V, D.dr_dbg, D.dv_dbg);
  f64 T[9];
  MatrixProduct3d(M, D.dr_dr, T);
  std::memcpy(D.dr_dr, T, sizeof(T));
  MatrixProduct3d(M, D.dr_dbg, T);
  for (int i = 0; i < 9; ++i) D.dr_dbg[i] = T[i] + G[i];

  // Covariance: Sigma := F Sigma F^T + Q with F = [[I, dt I, 0], [0, I, V],
  // [0, 0, M]], written out per block.
  f64 Svv[9], Srr[9], Svp[9], Srp[9], Srv[9];
  Unpack(D.Svv, Svv);
  Unpack(D.Srr, Srr);
  Transpose3d(D.Spv, Svp);
  Transpose3d(D.Spr, Srp);
  Transpose3d(D.Svr, Srv);
  // Rows of F Sigma that the new blocks need.
  f64 Apv[9], Apr[9], Avr[9], Avv[9];
  for (int i = 0; i < 9; ++i) {
    Apv[i] = D.Spv[i] + dt * Svv[i];
    Apr[i] = D.Spr[i] + dt * D.Svr[i];
  }
  std::memcpy(Avr, D.Svr, sizeof(Avr));
  AddMatrixProduct3d(V, Srr, Avr);  // Svr + V Srr
  std::memcpy(Avv, Svv, sizeof(Avv));
  AddMatrixProduct3d(V, Srv, Avv);  // Svv + V Srv
  // Spp += dt (Svp + Spv) + dt^2 Svv.
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) {
      D.Spp[PackedIndex3(r, c)] +=
          dt * (Svp[3 * r + c] + D.Spv[3 * r + c]) + dt * dt * Svv[3 * r + c];
    }
  }
  // Spv = Apv + Apr V^T; Spr = Apr M^T.
  MatrixProductTransposed3d(Apr, V, T);
  for (int i = 0; i < 9; ++i) D.Spv[i] = Apv[i] + T[i];
  MatrixProductTransposed3d(Apr, M, D.Spr);
  // Svv = Avv + Avr V^T + na dt^2 I; Svr = Avr M^T.
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) D.Svv[PackedIndex3(r, c)] = Avv[3 * r + c];
  }
  AddSymmetricProductTransposed3d(Avr, V, D.Svv);
  const f64 qa = na * dt * dt;
  D.Svv[0] += qa, D.Svv[3] += qa, D.Svv[5] += qa;
  MatrixProductTransposed3d(Avr, M, D.Svr);
  // Srr = M Srr M^T + ng G G^T.
  f64 MS[9];
  MatrixProduct3d(M, Srr, MS);
  for (int i = 0; i < 6; ++i) D.Srr[i] = 0.0;
  AddSymmetricProductTransposed3d(MS, M, D.Srr);
  f64 nG[9];
  for (int i = 0; i < 9; ++i) nG[i] = ng * G[i];
  AddSymmetricProductTransposed3d(nG, G, D.Srr);
}

}  // namespace

u32 IMUDelta::Initialize(const IMUSample* samples, u32 count, const IMUSample& previous,
                         f64 endTime, IMUDelta& delta) {
  SetEmptyIMUDelta(delta);
  for (int i = 0; i < 3; ++i) {
    delta.ba[i] = IMU::accelerometerBiasPrior[i];
    delta.bg[i] = IMU::gyroscopeBiasPrior[i];
  }
  return Integrate(samples, count, previous, endTime, delta);
}

u32 IMUDelta::Integrate(const IMUSample* samples, u32 count, const IMUSample& previous, f64 endTime,
                        IMUDelta& delta) {
  const f64 na = IMU::AccelerationNoiseVariance();
  const f64 ng = IMU::RotationRateNoiseVariance();
  u32 skipped = 0;
  const f64 begin = previous.time;
  const IMUSample* start = &previous;
  // One NaN or infinite reading would make the whole delta non-finite.
  const auto finiteReadings = [](const IMUSample& s) {
    for (int k = 0; k < 3; ++k)
      if (!std::isfinite(s.acceleration[k]) || !std::isfinite(s.rotationRate[k])) return false;
    return true;
  };
  for (u32 i = 0; i <= count; ++i) {
    const f64 next = i < count ? samples[i].time : endTime;
    if (next - start->time >= 0.0 && finiteReadings(*start)) {
      // Only the part inside [begin, end] is integrated, so a sample that
      // overlaps the previous frame or runs past the end time cannot stretch
      // the delta; for ordered input the bounds change nothing.
      const f64 lo = start->time > begin ? start->time : begin;
      const f64 hi = next < endTime ? next : endTime;
      // A zero interval changes nothing and is not worth the arithmetic; a
      // rounding-sized one would only make the covariance degenerate.
      const f64 step = hi - lo;
      if (step > kShortestImuInterval && std::isfinite(step)) {
        IntegrateStep(*start, step, na, ng, delta);
      } else if (step > 0.0 && !std::isfinite(step)) {
        ++skipped;  // an endless interval (infinite time)
      }
    } else {
      ++skipped;  // backwards, NaN time or non-finite readings
    }
    if (i < count) start = &samples[i];
  }
  const f64 span = endTime - begin;
  if (span > 0.0 && std::isfinite(span)) delta.dt += span;
  ComputeWeights(delta);
  return skipped;
}

void IMUDelta::ComputeWeights(IMUDelta& D) {
  const auto largestDiagonal = [](const f64* P) {
    const f64 m = P[0] > P[3] ? P[0] : P[3];
    return m > P[5] ? m : P[5];
  };
  // A variance of zero, or one so small (an interval of 1e-155 s squares to
  // a denormal) that its reciprocal overflows, leaves the term unweighted
  // rather than infinitely weighted.
  const auto weight = [](f64 scale, f64 variance) {
    const f64 w = scale / variance;
    return std::isfinite(w) ? w : 0.0;
  };
  D.wp = weight(IMU_DELTA_WEIGHT_POSITION, largestDiagonal(D.Spp));
  D.wv = weight(IMU_DELTA_WEIGHT_VELOCITY, largestDiagonal(D.Svv));
  D.wr = weight(IMU_DELTA_WEIGHT_ROTATION, largestDiagonal(D.Srr));
  FoldWeights(D);
}

void IMUDelta::DropTranslation(IMUDelta& D, f64 rotationFactor) {
  D.wp = D.wv = 0.0;
  D.wr *= rotationFactor;
  FoldWeights(D);
}

bool IMUDelta::HasTranslation(const IMUDelta& D) {
  return D.dt <= 0.0 || D.wp != 0.0 || D.wv != 0.0;
}

bool IMUDelta::HasReadings(const IMUDelta& D) {
  return D.dt > 0.0 && HasTranslation(D);
}

void IMUDelta::FoldWeights(IMUDelta& D) {
  D.wp_dt = D.dt * D.wp;
  D.wpv = D.dt * (D.dt * D.wp) + D.wv;
  // A finite position weight over a long span that ends in a tiny interval
  // can still overflow dt^2 wp (dt wp is the smaller for dt < 1 and dt^2 wp
  // the larger otherwise).
  if (!std::isfinite(D.wpv)) D.wp = D.wp_dt = 0.0, D.wpv = D.wv;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      D.wdp_dba[3 * r + c] = D.wp * D.dp_dba[3 * c + r];
      D.wdp_dbg[3 * r + c] = D.wp * D.dp_dbg[3 * c + r];
      D.wdv_dba[3 * r + c] = D.wv * D.dv_dba[3 * c + r];
      D.wdv_dbg[3 * r + c] = D.wv * D.dv_dbg[3 * c + r];
      D.wdr_dbg[3 * r + c] = D.wr * D.dr_dbg[3 * c + r];
    }
  }
  // wJ^T J sums; wdx_dy already holds w J^T.
  SymmetricProduct3d(D.wdp_dba, D.dp_dba, D.Haa);
  AddSymmetricProduct3d(D.wdv_dba, D.dv_dba, D.Haa);
  MatrixProduct3d(D.wdp_dba, D.dp_dbg, D.Hag);
  AddMatrixProduct3d(D.wdv_dba, D.dv_dbg, D.Hag);
  SymmetricProduct3d(D.wdp_dbg, D.dp_dbg, D.Hgg);
  AddSymmetricProduct3d(D.wdv_dbg, D.dv_dbg, D.Hgg);
  AddSymmetricProduct3d(D.wdr_dbg, D.dr_dbg, D.Hgg);
}

void IMUDelta::PredictState(const IMUState& in, const IMUDelta& D, f64 unitsPerMetre,
                            IMUState& out) {
  f64 dba[3], dbg[3];
  for (int i = 0; i < 3; ++i) {
    dba[i] = in.accelerometerBias[i] - D.ba[i];
    dbg[i] = in.gyroscopeBias[i] - D.bg[i];
  }
  f64 dp[3], dv[3], theta[4], t[3];
  MatrixVector3d(D.dp_dba, dba, dp);
  MatrixVector3d(D.dp_dbg, dbg, t);
  for (int i = 0; i < 3; ++i) dp[i] = D.dp[i] + dp[i] + t[i];
  MatrixVector3d(D.dv_dba, dba, dv);
  MatrixVector3d(D.dv_dbg, dbg, t);
  for (int i = 0; i < 3; ++i) dv[i] = D.dv[i] + dv[i] + t[i];
  MatrixVector3d(D.dr_dbg, dbg, theta);
  theta[3] = 0.0;
  f64 dq[4], correction[4];
  MultiplyQuaternionsDouble(D.dq, theta, correction);
  for (int i = 0; i < 4; ++i) dq[i] = D.dq[i] + correction[i] * 0.5;
  NormalizeQuaternion(dq);

  f64 H[9], Hdp[3], Hdv[3];
  QuaternionToRotationDouble(in.quaternion, H);
  MatrixVector3d(H, dp, Hdp);
  MatrixVector3d(H, dv, Hdv);
  IMUState result;
  for (int i = 0; i < 3; ++i) {
    result.position[i] = in.position[i] + in.velocity[i] * D.dt + unitsPerMetre * Hdp[i];
    result.velocity[i] = in.velocity[i] + unitsPerMetre * Hdv[i];
    result.accelerometerBias[i] = in.accelerometerBias[i];
    result.gyroscopeBias[i] = in.gyroscopeBias[i];
  }
  MultiplyQuaternionsDouble(in.quaternion, dq, result.quaternion);
  NormalizeQuaternion(result.quaternion);
  result.time = in.time + D.dt;
  out = result;
}

bool IMUDelta::Write(FILE* f) const {
  return std::fwrite(this, sizeof(IMUDelta), 1, f) == 1;
}

bool IMUDelta::Read(FILE* f) {
  IMUDelta read;
  if (std::fread(&read, sizeof(IMUDelta), 1, f) != 1) return false;
  *this = read;
  return true;
}

void SetEmptyIMUDelta(IMUDelta& delta) {
  std::memset(&delta, 0, sizeof(delta));
  delta.dq[3] = 1.0;
  delta.dr_dr[0] = delta.dr_dr[4] = delta.dr_dr[8] = 1.0;
}
