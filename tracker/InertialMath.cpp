#include "tracker/InertialMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "optimization/IMUAttitude.h"
#include "optimization/IMUParameters.h"

void RotationLog(const LA::AlignedMatrix3f& R, float w[3]) {
  const float* r[3] = {R.m[0], R.m[1], R.m[2]};
  const float v[3] = {r[1][2] - r[2][1], r[2][0] - r[0][2], r[0][1] - r[1][0]};
  const float c = std::fmin(std::fmax(0.5f * (r[0][0] + r[1][1] + r[2][2] - 1.0f), -1.0f), 1.0f);
  const float s = 0.5f * std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  // atan2 keeps the angle accurate at both ends, where acos of the trace is not.
  const float theta = std::atan2(s, c);
  if (c < 0.0f && s < 0.01f) {
    // Near pi: R + R^T = 2 cos I + 2 (1 - cos) a a^T gives the axis up to sign
    // from its largest diagonal entry; the skew part fixes the sign.
    int i = 0;
    if (r[1][1] > r[i][i]) i = 1;
    if (r[2][2] > r[i][i]) i = 2;
    const float oneMinusCos = 1.0f - c;
    float a[3];
    a[i] = std::sqrt(std::fmax((r[i][i] - c) / oneMinusCos, 0.0f));
    for (int j = 0; j < 3; ++j)
      if (j != i) a[j] = 0.5f * (r[i][j] + r[j][i]) / (oneMinusCos * a[i]);
    const float n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    const float sign = a[0] * v[0] + a[1] * v[1] + a[2] * v[2] < 0.0f ? -1.0f : 1.0f;
    for (int k = 0; k < 3; ++k) w[k] = sign * theta * a[k] / n;
    return;
  }
  const float scale = s < 1.1920929e-7f ? 0.5f : theta / (2.0f * s);
  for (int k = 0; k < 3; ++k) w[k] = scale * v[k];
}

void LoadCameraStateFromDoubles(CameraIMUState& state, const f64* d, const CameraPose& pose) {
  for (int k = 0; k < 3; ++k) {
    state.p[k] = static_cast<f32>(d[k]);
    state.v[k] = static_cast<f32>(d[3 + k]);
    state.ba[k] = static_cast<f32>(d[10 + k]);
    state.bg[k] = static_cast<f32>(d[13 + k]);
  }
  state.p[3] = state.v[3] = state.ba[3] = state.bg[3] = 0.0f;
  const f64 n = std::sqrt(d[6] * d[6] + d[7] * d[7] + d[8] * d[8] + d[9] * d[9]);
  if (n > 0.0 && std::isfinite(n)) {
    // The solver keeps w >= 0; q and -q are the same rotation.
    const f64 scale = d[9] < 0.0 ? -1.0 / n : 1.0 / n;
    for (int k = 0; k < 4; ++k) state.q[k] = static_cast<f32>(d[6 + k] * scale);
  } else {
    state.q[0] = state.q[1] = state.q[2] = 0.0f;
    state.q[3] = 1.0f;
  }
  state.pose = pose;
  LA::QuaternionToRotationMatrix(state.q, state.R);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) state.RT.m[i][j] = state.R.m[j][i];
    state.R.m[i][3] = state.RT.m[i][3] = 0.0f;
  }
}

void CameraRateToBodyRate(const float cameraRate[3], f64 bodyRate[3]) {
  bodyRate[0] = -cameraRate[1];
  bodyRate[1] = -cameraRate[0];
  bodyRate[2] = -cameraRate[2];
}

void CarryPosePrior(const f64 prior[8], const f64* rotationRate, f64 time, f64 out[8]) {
  static_assert(sizeof(IMUAttitude) == 8 * sizeof(f64), "a pose prior is an attitude record");
  IMUAttitude in, carried;
  std::memcpy(&in, prior, sizeof(in));
  const f64 zero[3] = {0.0, 0.0, 0.0};
  if (rotationRate)
    IMU::IntegrateRotation(in, rotationRate, time, carried);
  else
    IMU::IntegrateRotation(in, zero, in.time, carried);
  std::memcpy(out, &carried, sizeof(carried));
}

namespace {

// The image rotation that stands in for a gyroscope is off by 0.2-0.4
// degrees between frames 33 ms apart (the coarse small images, and the flow
// a move adds that it reads as a turn): five degrees a second and more, and
// a held reading is stale by the time a gap ends. A delta without readings
// weighs its rotation so; weighed as a degree a second, its chain between
// key frames held the adjustments off what the images saw.
constexpr f64 kCoarseRateDeviation = 5.0;  // degrees per second

f64 BlindRotationFactor(bool unweighedRates) {
  if (unweighedRates) return 0.0;
  const f64 r = IMU_VARIANCE_ROTATION_RATE / kCoarseRateDeviation;
  return r < 1.0 ? r * r : 1.0;
}

}  // namespace

bool ReadingsLeaveAHole(const std::vector<IMUSample>& samples, f64 lastReading, f64 begin,
                        f64 end) {
  if (lastReading == kNoReading) {
    if (samples.empty()) return true;
    lastReading = begin;
  }
  f64 last = lastReading;
  for (const IMUSample& s : samples) {
    if (s.time > begin && s.time - last > kLongestHeldReading) return true;
    if (s.time > last) last = s.time;
  }
  return end - last > kLongestHeldReading;
}

void StartFrameDelta(const std::vector<IMUSample>& samples, const IMUSample& previous,
                     f64 lastReading, f64 time, bool unweighedRates, IMUDelta& delta) {
  IMUDelta::Initialize(samples.data(), static_cast<u32>(samples.size()), previous, time, delta);
  if (ReadingsLeaveAHole(samples, lastReading, previous.time, time))
    IMUDelta::DropTranslation(delta, BlindRotationFactor(unweighedRates));
}

void ExtendFrameDelta(const std::vector<IMUSample>& samples, const IMUSample& previous,
                      f64 lastReading, f64 time, bool unweighedRates, IMUDelta& delta) {
  const bool blind = !IMUDelta::HasTranslation(delta) ||
                     ReadingsLeaveAHole(samples, lastReading, previous.time, time);
  IMUDelta::Integrate(samples.data(), static_cast<u32>(samples.size()), previous, time, delta);
  if (blind) IMUDelta::DropTranslation(delta, BlindRotationFactor(unweighedRates));
}

f64 LastReadingTime(const std::vector<IMUSample>& samples, f64 heldBefore) {
  f64 last = heldBefore;
  for (const IMUSample& s : samples) last = std::max(last, s.time);
  return last;
}

bool InertialUnitEvidence(const f64* t, const std::array<f64, 3>* p, const std::array<f64, 3>* a,
                          u32 n, f64& xy, f64& xx) {
  xy = xx = 0.0;
  if (n < kMinUnitFrames) return false;
  f64 st = 0.0, stt = 0.0;
  for (u32 m = 0; m < n; ++m) {
    st += t[m];
    stt += t[m] * t[m];
  }
  const f64 det = n * stt - st * st;
  if (!(det > 1e-12 * n * stt)) return false;
  for (int i = 0; i < 3; ++i) {
    f64 sa = 0.0, sta = 0.0;
    for (u32 m = 0; m < n; ++m) {
      sa += a[m][i];
      sta += t[m] * a[m][i];
    }
    const f64 slope = (n * sta - st * sa) / det;
    const f64 offset = (sa - slope * st) / n;
    for (u32 m = 0; m < n; ++m) {
      const f64 r = a[m][i] - offset - slope * t[m];
      xy += r * p[m][i];
      xx += r * r;
    }
  }
  if (std::isfinite(xy) && std::isfinite(xx)) return true;
  xy = xx = 0.0;
  return false;
}
