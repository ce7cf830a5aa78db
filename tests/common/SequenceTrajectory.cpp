#include "tests/common/SequenceTrajectory.h"

#include <Eigen/Geometry>
#include <cmath>

#include "tests/common/HandHeldMotion.h"

namespace {

constexpr f64 kHalfPi = 1.5707963267948966;

// a sin(w t + phase) with its derivatives, added into out.
void AddSine(f64 a, f64 w, f64 phase, f64 t, ChannelValue& out) {
  const f64 s = std::sin(w * t + phase), c = std::cos(w * t + phase);
  out.v += a * s;
  out.d1 += a * w * c;
  out.d2 -= a * w * w * s;
}

// a (1 - cos(w (t - t0))): starts flat, so the walk sets off without a jolt.
void AddOneMinusCosine(f64 a, f64 w, f64 t0, f64 t, ChannelValue& out) {
  const f64 s = std::sin(w * (t - t0)), c = std::cos(w * (t - t0));
  out.v += a * (1.0 - c);
  out.d1 += a * w * s;
  out.d2 += a * w * w * c;
}

// base + jitter + envelope * motion, by the product rule.
ChannelValue Combine(f64 base, const ChannelValue& jitter, const ChannelValue& motion, f64 t) {
  const ChannelValue e = SequenceTrajectory::Envelope(t);
  ChannelValue out;
  out.v = base + jitter.v + e.v * motion.v;
  out.d1 = jitter.d1 + e.d1 * motion.v + e.v * motion.d1;
  out.d2 = jitter.d2 + e.d2 * motion.v + 2.0 * e.d1 * motion.d1 + e.v * motion.d2;
  return out;
}

Eigen::Matrix3d Hamilton(const f64* q) {
  return Eigen::Quaterniond(q[3], q[0], q[1], q[2]).toRotationMatrix();
}

}  // namespace

ChannelValue SequenceTrajectory::Envelope(f64 t) {
  ChannelValue e;
  if (t <= kHoldTime) return e;
  if (t >= kRampEnd) {
    e.v = 1.0;
    return e;
  }
  const f64 L = kRampEnd - kHoldTime, u = (t - kHoldTime) / L;
  e.v = u * u * u * (10.0 + u * (-15.0 + 6.0 * u));
  e.d1 = 30.0 * u * u * (1.0 - u) * (1.0 - u) / L;
  e.d2 = 60.0 * u * (1.0 - u) * (1.0 - 2.0 * u) / (L * L);
  return e;
}

ChannelValue SequenceTrajectory::Position(int axis, f64 t) {
  ChannelValue jitter, motion;
  f64 base = 0.0;
  const f64 t0 = kHoldTime;
  if (axis == 0) {
    // A hand's millimetres while still; then sway about a metre wide.
    AddSine(0.002, 2.1, 0.0, t, jitter);
    AddSine(0.55, 0.45, 0.0, t - t0, motion);
    AddSine(0.10, 1.05, 0.5, t, motion);
  } else if (axis == 1) {
    // Back from the sheet so that the tilted optical axis meets its centre.
    base = -kStartHeight * std::tan(kStartTilt);
    AddSine(0.002, 1.7, 1.0, t, jitter);
    AddOneMinusCosine(0.85, 0.33, t0, t, motion);
    AddSine(0.08, 0.9, 0.2, t, motion);
  } else {
    base = kStartHeight;
    AddSine(0.0015, 2.5, 0.3, t, jitter);
    AddSine(0.14, 0.6, 0.0, t - t0, motion);
    AddSine(0.03, 1.4, 0.7, t, motion);
  }
  return Combine(base, jitter, motion, t);
}

ChannelValue SequenceTrajectory::Yaw(f64 t) {
  ChannelValue jitter, motion;
  AddSine(0.003, 2.7, 0.0, t, jitter);
  AddSine(0.35, 0.5, 0.0, t - kHoldTime, motion);
  AddSine(0.06, 1.3, 0.4, t, motion);
  // Yaw a quarter turn: the camera's x axis then runs along world x.
  return Combine(kHalfPi, jitter, motion, t);
}

ChannelValue SequenceTrajectory::Tilt(f64 t) {
  ChannelValue jitter, motion;
  AddSine(0.002, 2.3, 0.5, t, jitter);
  AddOneMinusCosine(0.26, 0.42, kHoldTime, t, motion);
  AddSine(0.05, 1.1, 0.0, t - kHoldTime, motion);
  return Combine(kStartTilt, jitter, motion, t);
}

ChannelValue SequenceTrajectory::Roll(f64 t) {
  ChannelValue jitter, motion;
  AddSine(0.002, 1.9, 0.0, t, jitter);
  AddSine(0.06, 0.8, 0.0, t - kHoldTime, motion);
  return Combine(0.0, jitter, motion, t);
}

TrajectoryPoint SequenceTrajectory::At(f64 t) const {
  TrajectoryPoint out;
  IMUState& s = out.state;
  const HandHeldMotion* motion = kind_ == SequenceKind::kDemo ? nullptr : &MotionOf(kind_);
  for (int i = 0; i < 3; ++i) {
    const ChannelValue p = motion != nullptr ? motion->channels[i].At(t) : Position(i, t);
    s.position[i] = p.v;
    s.velocity[i] = p.d1;
    out.acceleration[i] = p.d2;
    s.accelerometerBias[i] = s.gyroscopeBias[i] = 0.0;
  }
  s.time = t;
  // H = Rz(yaw) Ry(pitch) Rx(roll) with pitch = -tilt: turning about the
  // body's y axis tips the camera's view forward and down.
  const ChannelValue yaw = motion != nullptr ? motion->channels[3].At(t) : Yaw(t);
  const ChannelValue tilt = motion != nullptr ? motion->channels[4].At(t) : Tilt(t);
  const ChannelValue roll = motion != nullptr ? motion->channels[5].At(t) : Roll(t);
  const f64 pitch = -tilt.v, dpitch = -tilt.d1;
  using Eigen::AngleAxisd;
  Eigen::Quaterniond Q = AngleAxisd(yaw.v, Eigen::Vector3d::UnitZ()) *
                         AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                         AngleAxisd(roll.v, Eigen::Vector3d::UnitX());
  Q.normalize();
  if (Q.w() < 0) Q.coeffs() = -Q.coeffs();
  for (int i = 0; i < 4; ++i) s.quaternion[i] = Q.coeffs()[i];  // (x, y, z, w)
  // Body rate: Rx^T Ry^T (0, 0, yaw') + Rx^T (0, pitch', 0) + (roll', 0, 0).
  const f64 cr = std::cos(roll.v), sr = std::sin(roll.v);
  const f64 cp = std::cos(pitch), sp = std::sin(pitch);
  const f64 u[3] = {-sp * yaw.d1, dpitch, cp * yaw.d1};
  out.rotationRate[0] = u[0] + roll.d1;
  out.rotationRate[1] = cr * u[1] + sr * u[2];
  out.rotationRate[2] = -sr * u[1] + cr * u[2];
  // What an accelerometer reads: the acceleration minus gravity (-g e_z),
  // in the body frame.
  const Eigen::Matrix3d H = Hamilton(s.quaternion);
  const Eigen::Vector3d f =
      H.transpose() *
      Eigen::Vector3d(out.acceleration[0], out.acceleration[1], out.acceleration[2] + gravity_);
  for (int i = 0; i < 3; ++i) out.specificForce[i] = f[i];
  if (turn_[3] != 1.0) {
    const Eigen::Quaterniond c(turn_[3], turn_[0], turn_[1], turn_[2]);
    Eigen::Quaterniond turned = Q * c;
    if (turned.w() < 0) turned.coeffs() = -turned.coeffs();
    for (int i = 0; i < 4; ++i) s.quaternion[i] = turned.coeffs()[i];
    const Eigen::Matrix3d Ct = c.toRotationMatrix().transpose();
    const Eigen::Vector3d w =
        Ct * Eigen::Vector3d(out.rotationRate[0], out.rotationRate[1], out.rotationRate[2]);
    const Eigen::Vector3d g = Ct * f;
    for (int i = 0; i < 3; ++i) out.rotationRate[i] = w[i], out.specificForce[i] = g[i];
  }
  return out;
}

CameraPose CameraPoseOfState(const IMUState& state, const CameraOffset& offset) {
  // R_cam = R_off R(q) = H(q_off)^T H(q)^T; t = p_off - R_cam p.
  const Eigen::Matrix3d R =
      Hamilton(offset.quaternion).transpose() * Hamilton(state.quaternion).transpose();
  const Eigen::Vector3d p(state.position[0], state.position[1], state.position[2]);
  const Eigen::Vector3d t =
      Eigen::Vector3d(offset.position[0], offset.position[1], offset.position[2]) - R * p;
  CameraPose pose;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.m[r][c] = static_cast<float>(R(r, c));
    pose.m[r][3] = static_cast<float>(t[r]);
  }
  return pose;
}

void CameraCentreOfState(const IMUState& state, const CameraOffset& offset, f64 centre[3]) {
  // c = p - R(q)^T R_off^T p_off = p - H(q) H(q_off) p_off.
  const Eigen::Vector3d c =
      Eigen::Vector3d(state.position[0], state.position[1], state.position[2]) -
      Hamilton(state.quaternion) * Hamilton(offset.quaternion) *
          Eigen::Vector3d(offset.position[0], offset.position[1], offset.position[2]);
  for (int i = 0; i < 3; ++i) centre[i] = c[i];
}
