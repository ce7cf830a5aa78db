#pragma once
// A seeded synthetic visual-inertial scene for the inertial tests: a smooth
// analytic body trajectory (q maps body to world through Hamilton's H(q),
// dq/dt = q (x) (w/2, 0); world z up), IMU samples at a fixed rate holding
// its exact gravity-free accelerations and rates, key frames on sample times
// every 0.2-0.5 s and points in front of their cameras (some far); and shared
// small helpers.
#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/Draws.h"
#include "la/AlignedArray.h"
#include "la/IMUSample.h"
#include "la/Pose.h"
#include "la/Random.h"
#include "optimization/CameraIMUState.h"
#include "optimization/IMUAttitude.h"
#include "optimization/IMUDelta.h"

// Pose and rotation caches of a solver camera record from its p and q.
inline void RefreshCaches(const f32* extrinsic, CameraIMUState& c) {
  alignas(16) float scratch[8];
  PoseToCameraF(extrinsic, c.p, c.q, c.pose, scratch);
  LA::QuaternionToRotationMatrix(c.q, c.R);
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c.RT.m[r][k] = c.R.m[k][r];
    c.R.m[r][3] = c.RT.m[r][3] = 0.0f;
  }
}

// Bit equality of two arrays: fixed variables and untouched states.
template <class T>
bool SameBytes(const AlignedArray<T>& a, const AlignedArray<T>& b) {
  return a.Size() == b.Size() && std::memcmp(a.Data(), b.Data(), sizeof(T) * a.Size()) == 0;
}

struct InertialSceneOptions {
  u32 seed = 1;
  f64 duration = 4.0;     // seconds of motion
  f64 rate = 200.0;       // IMU samples per second
  f64 keyFrameMin = 0.2;  // key-frame spacing range, seconds
  f64 keyFrameMax = 0.5;
  u32 pointsPerKeyFrame = 30;
  f64 farFraction = 0.1;                       // share of points 40-80 units away
  f64 fieldOfView = 0.6;                       // |x|, |y| bound of a visible normalised point
  f64 featureNoise = 0.0;                      // deviation at level 0 (normalised units), x 2^level
  f64 accelerometerNoise = 0.0;                // m/s^2 per sample
  f64 gyroscopeNoise = 0.0;                    // rad/s per sample
  f64 accelerometerBias[3] = {0.0, 0.0, 0.0};  // added to every sample
  f64 gyroscopeBias[3] = {0.0, 0.0, 0.0};
};

struct InertialKeyFrame {
  u32 sample;  // index of the sample at the key frame's time
  f64 time;
  IMUState state;  // true body state (biases: the options' biases)
  f64 R[9];        // true camera pose, x_cam = R X + t, row-major
  f64 t[3];
};

class InertialScene {
 public:
  explicit InertialScene(const InertialSceneOptions& options = InertialSceneOptions())
      : options_(options) {
    Random::Seed(options.seed);
    // Camera z along body x (forward), camera x along -body y, camera y
    // along -body z: H(q_off) = R_off^T, a few centimetres off the body.
    offset = {{-0.5, 0.5, -0.5, 0.5}, {0.01, -0.02, 0.03}};
    // Samples of the true motion with the options' biases and noise.
    const u32 n = static_cast<u32>(std::lround(options_.duration * options_.rate));
    samples.resize(n + 1);
    for (u32 i = 0; i <= n; ++i) {
      IMUSample& s = samples[i];
      s.time = i / options_.rate;
      Truth(s.time, s.acceleration, s.rotationRate);
      for (int j = 0; j < 3; ++j) {
        s.acceleration[j] += options_.accelerometerBias[j];
        s.rotationRate[j] += options_.gyroscopeBias[j];
        if (options_.accelerometerNoise > 0)
          s.acceleration[j] += options_.accelerometerNoise * GaussianD();
        if (options_.gyroscopeNoise > 0) s.rotationRate[j] += options_.gyroscopeNoise * GaussianD();
      }
    }
    // Key frames on samples minStep .. maxStep apart.
    const u32 minStep = std::max<u32>(1, std::lround(options_.keyFrameMin * options_.rate));
    const u32 maxStep = std::max<u32>(minStep, std::lround(options_.keyFrameMax * options_.rate));
    for (u32 i = 0; i < samples.size(); i += minStep + Random::Index(maxStep - minStep + 1)) {
      InertialKeyFrame kf = {i, samples[i].time, Truth(samples[i].time), {}, {}};
      CameraPose pose;
      f32 scratch[16];
      PoseToCamera(kf.state, offset, pose, scratch);
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) kf.R[3 * r + c] = pose[r][c];
        kf.t[r] = pose[r][3];
      }
      keyFrames.push_back(kf);
    }
    // Points at 2-6 units (a share of them 40-80 units) along the rays of
    // random image points of each key frame.
    const f64 f = options_.fieldOfView * 0.9;
    for (const InertialKeyFrame& kf : keyFrames) {
      for (u32 j = 0; j < options_.pointsPerKeyFrame; ++j) {
        const bool far = UniformD(0, 1) > 1.0 - options_.farFraction;
        const f64 x = UniformD(-f, f), y = UniformD(-f, f),
                  d = far ? UniformD(40, 80) : UniformD(2, 6);
        const f64 c[3] = {x * d - kf.t[0], y * d - kf.t[1], d - kf.t[2]};
        LA::AlignedVector4f X = {{0.0f, 0.0f, 0.0f, 1.0f}};
        for (int i = 0; i < 3; ++i)
          X.v[i] = static_cast<float>(kf.R[i] * c[0] + kf.R[3 + i] * c[1] + kf.R[6 + i] * c[2]);
        points.push_back(X);
      }
    }
  }

  // Gyroscope-only attitude truth at a key frame: gravity is the third row
  // of H(q), the world z axis in the body.
  IMUAttitude TrueAttitude(u32 k) const {
    const f64* q = keyFrames[k].state.quaternion;
    IMUAttitude att = {{q[0], q[1], q[2], q[3]}, {}, keyFrames[k].time};
    const Eigen::Matrix3d H = Eigen::Map<const Eigen::Quaterniond>(q).toRotationMatrix();
    for (int i = 0; i < 3; ++i) att.gravity[i] = H(2, i);
    return att;
  }

  // Preintegration from key frame k0 to k1 as the tracker forms it: previous
  // sample at k0's time, the samples strictly between, end time k1's time.
  IMUDelta Preintegrate(u32 k0, u32 k1) const {
    IMUDelta delta;
    const u32 i0 = keyFrames[k0].sample, i1 = keyFrames[k1].sample;
    IMUDelta::Initialize(samples.data() + i0 + 1, i1 - i0 - 1, samples[i0], keyFrames[k1].time,
                         delta);
    return delta;
  }

  // Projects a world point into key frame k; false when behind the camera.
  bool Project(u32 k, const f64* X, f64* xy) const {
    const InertialKeyFrame& kf = keyFrames[k];
    f64 c[3];
    for (int r = 0; r < 3; ++r)
      c[r] = kf.R[3 * r] * X[0] + kf.R[3 * r + 1] * X[1] + kf.R[3 * r + 2] * X[2] + kf.t[r];
    if (c[2] < 0.1) return false;
    xy[0] = c[0] / c[2];
    xy[1] = c[1] / c[2];
    return true;
  }

  CameraOffset offset;             // x_cam = R(q_off) x_body + p_off
  std::vector<IMUSample> samples;  // at i / rate, i = 0 .. duration * rate
  std::vector<InertialKeyFrame> keyFrames;
  std::vector<LA::AlignedVector4f> points;  // (x, y, z, 1)

 private:
  // True body state at time t (biases from the options), its gravity-free
  // body acceleration H(q)^T a_world and body rate w.
  IMUState Truth(f64 t, f64* bodyAcceleration = nullptr, f64* w = nullptr) const {
    IMUState s;
    f64 a[3];
    Position(t, s.position, s.velocity, a);
    Orientation(t, s.quaternion, w);
    std::copy(options_.accelerometerBias, options_.accelerometerBias + 3, s.accelerometerBias);
    std::copy(options_.gyroscopeBias, options_.gyroscopeBias + 3, s.gyroscopeBias);
    s.time = t;
    const Eigen::Matrix3d H = Eigen::Map<const Eigen::Quaterniond>(s.quaternion).toRotationMatrix();
    for (int r = 0; bodyAcceleration && r < 3; ++r)
      bodyAcceleration[r] = H(0, r) * a[0] + H(1, r) * a[1] + H(2, r) * a[2];
    return s;
  }

  // p(t), v(t), a(t) of a smooth walk at about 1 unit per second: per axis
  // base + speed t + amplitude sin(frequency t).
  static void Position(f64 t, f64* p, f64* v, f64* a) {
    const f64 base[3] = {0.0, 0.0, 1.1}, speed[3] = {0.6, 0.0, 0.0};
    const f64 amplitude[3] = {0.8, 0.7, 0.05}, frequency[3] = {0.4, 0.5, 1.1};
    for (int i = 0; i < 3; ++i) {
      const f64 A = amplitude[i], f = frequency[i];
      p[i] = base[i] + speed[i] * t + A * std::sin(f * t);
      v[i] = speed[i] + A * f * std::cos(f * t);
      a[i] = -A * f * f * std::sin(f * t);
    }
  }
  // q(t) = qz(yaw) (x) qy(pitch) (x) qx(roll); positive pitch looks down.
  // The body rate is Hx^T Hy^T (0, 0, yaw') + Hx^T (0, pitch', 0) + (roll', 0, 0).
  static void Orientation(f64 t, f64* q, f64* w) {
    const f64 yaw = 0.3 * std::sin(0.5 * t) + 0.2 * t, dyaw = 0.15 * std::cos(0.5 * t) + 0.2;
    const f64 pitch = 0.15 + 0.1 * std::sin(0.9 * t), dpitch = 0.09 * std::cos(0.9 * t);
    const f64 roll = 0.08 * std::sin(1.3 * t), droll = 0.104 * std::cos(1.3 * t);
    using Eigen::AngleAxisd;
    Eigen::Quaterniond Q = AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                           AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                           AngleAxisd(roll, Eigen::Vector3d::UnitX());
    if (Q.w() < 0) Q.coeffs() = -Q.coeffs();
    for (int i = 0; i < 4; ++i) q[i] = Q.coeffs()[i];  // (x, y, z, w)
    if (!w) return;
    const f64 cr = std::cos(roll), sr = std::sin(roll), cp = std::cos(pitch), sp = std::sin(pitch);
    const f64 u[3] = {-sp * dyaw, dpitch, cp * dyaw};  // Hy^T (0, 0, yaw') + (0, pitch', 0)
    w[0] = u[0] + droll;
    w[1] = cr * u[1] + sr * u[2];
    w[2] = -sr * u[1] + cr * u[2];
  }

  const InertialSceneOptions options_;
};
