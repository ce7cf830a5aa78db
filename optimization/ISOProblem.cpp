#include "optimization/ISOProblem.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "optimization/IBADelta.h"
#include "optimization/IMUParameters.h"

using LA::Dot3;

namespace {

inline void CopyLanes(float (*dst)[4], const float* src, int lanes) {
  std::memcpy(dst, src, sizeof(float) * 4 * lanes);
}

inline void Broadcast(float* lane, double v) {
  lane[0] = lane[1] = lane[2] = lane[3] = static_cast<float>(v);
}

}  // namespace

void ISOState::Copy(ISOState& dst, const ISOState& src) {
  if (&dst == &src) return;
  std::memcpy(dst.extrinsic, src.extrinsic, sizeof(dst.extrinsic));
  std::memcpy(dst.extra, src.extra, sizeof(dst.extra));
  AssignAlignedArray224(dst.referenceCameras, src.referenceCameras);
  AssignAlignedArray224(dst.windowCameras, src.windowCameras);
  dst.referenceIds = src.referenceIds;
  dst.windowIds = src.windowIds;
}

void ISODelta::Set(ISODelta& out, const IMUDelta& in, f64 s, f64 unitsPerMetre) {
  using namespace ISOLane;
  // The lanes shared with the bundle adjustment's record are formed by its
  // builder, so both solvers see the same rounded values; ISODelta inserts
  // 1 / dt after lane 5 and the velocity weights after the three weights.
  IBADelta d;
  IBADelta::Set(d, in, s, unitsPerMetre);
  CopyLanes(out.lane + kDp, d.dp, 6);               // dp, dv, dq, ba, bg, dt
  CopyLanes(out.lane + kDpDba, d.dp_dba[0], 18);    // the five Jacobians and dr_dbg^T
  CopyLanes(out.lane + kWp, d.wp, 3);               // wp, wv, wr
  CopyLanes(out.lane + kWsa, d.wba, 4);             // wsa, wsg, wp_dt, wpv
  CopyLanes(out.lane + kWdpDba, d.wdp_dba[0], 24);  // weighted Jacobians, Haa, Hag, Hgg

  const double dt = in.dt;
  // A delta without duration has no rate: every lane that divides by dt is
  // zero rather than infinite.
  const bool timed = dt >= kMinimumDeltaTime;
  Broadcast(out.lane[kInvDt], timed ? 1.0 / dt : 0.0);
  // The velocity terms of a long interval weigh less; a zero time scale
  // makes every interval long.
  const double td = IMU_VARIANCE_VELOCITY_TIME_DEVIATION;
  const double f = td == 0.0 ? 0.0 : std::exp(-dt * dt / (td * td));
  const double vs = IMU_VARIANCE_VELOCITY_SMOOTH, vr = IMU_VARIANCE_VELOCITY_REGULARIZATION;
  const double wvs = vs == 0.0 ? 0.0 : s * f / (vs * vs);
  const double wvr = vr == 0.0 ? 0.0 : s * f / (vr * vr);
  Broadcast(out.lane[kWvs], wvs);
  Broadcast(out.lane[kWvr], wvr);
  float* last = out.lane[kWvrDt];
  last[0] = static_cast<float>(timed ? wvr / dt : 0.0);
  last[1] = static_cast<float>(timed ? wvr / (dt * dt) : 0.0);
  last[2] = last[3] = 0.0f;
}

void ISOFixedDelta::Set(ISOFixedDelta& out, const ISODelta& d, const CameraIMUState& reference) {
  namespace F = ISOFixedLane;
  namespace L = ISOLane;
  float dba[4], dbg[4];
  for (int k = 0; k < 3; ++k) {
    dba[k] = reference.ba[k] - d.lane[L::kBa][k];
    dbg[k] = reference.bg[k] - d.lane[L::kBg][k];
  }
  for (int r = 0; r < 3; ++r) {
    out.lane[F::kCp][r] =
        d.lane[L::kDp][r] + Dot3(d.lane[L::kDpDba + r], dba) + Dot3(d.lane[L::kDpDbg + r], dbg);
    out.lane[F::kCv][r] =
        d.lane[L::kDv][r] + Dot3(d.lane[L::kDvDba + r], dba) + Dot3(d.lane[L::kDvDbg + r], dbg);
    out.lane[F::kO][r] = d.lane[L::kDt][0] * reference.v[r];
    out.lane[F::kCr][r] = Dot3(d.lane[L::kDrDbg + r], dbg);
  }
  for (int l : {F::kCp, F::kCv, F::kO, F::kCr}) out.lane[l][3] = 0.0f;
  CopyLanes(out.lane + F::kDq, d.lane[L::kDq], 1);
  CopyLanes(out.lane + F::kInvDt, d.lane[L::kInvDt], 1);
  CopyLanes(out.lane + F::kWp, d.lane[L::kWp], 5);    // wp, wv, wr, wvs, wvr
  CopyLanes(out.lane + F::kWsa, d.lane[L::kWsa], 2);  // wsa, wsg
  CopyLanes(out.lane + F::kWvrDt, d.lane[L::kWvrDt], 1);
}

void ISOFixedDelta::SetRotation(ISOFixedDelta& out, const IMUDelta& delta,
                                const CameraIMUState& reference) {
  namespace L = ISOLane;
  IMUDelta rotation = delta;
  IMUDelta::DropTranslation(rotation);
  ISODelta d;
  ISODelta::Set(d, rotation, 1.0, 1.0);  // no translation left to scale
  for (int l : {L::kWvs, L::kWvr, L::kWsa, L::kWvrDt}) Broadcast(d.lane[l], 0.0);
  Set(out, d, reference);
}

bool ISOProblem::ReferencesWeighMotion() const {
  namespace F = ISOFixedLane;
  namespace L = ISOLane;
  const auto weighs = [](const float(*lane)[4], std::initializer_list<int> weights) {
    for (int l : weights)
      if (lane[l][0] != 0.0f) return true;
    return false;
  };
  for (u32 k = 0; k < deltas1.count; ++k)
    if (weighs(deltas1.records[k].lane, {L::kWp, L::kWv, L::kWvs, L::kWvr})) return true;
  for (u32 k = 0; k < deltas2.count; ++k)
    if (weighs(deltas2.records[k].lane, {F::kWp, F::kWv, F::kWvs, F::kWvr})) return true;
  return false;
}
