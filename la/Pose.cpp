// Pose, rotation and quaternion conversions. Every rotation of the system goes
// through R(q) below (the transpose of Hamilton's matrix), so the estimators,
// the inertial solvers and the map files agree on one convention.
#include "la/Pose.h"

#include <immintrin.h>

#include <cfloat>
#include <cmath>

using LA::Dot3;

namespace {

// out = p (x) q in double; out may alias p or q.
inline void HamiltonProduct(const double* p, const double* q, double* out) {
  const double x = p[3] * q[0] + q[3] * p[0] + (p[1] * q[2] - p[2] * q[1]);
  const double y = p[3] * q[1] + q[3] * p[1] + (p[2] * q[0] - p[0] * q[2]);
  const double z = p[3] * q[2] + q[3] * p[2] + (p[0] * q[1] - p[1] * q[0]);
  const double w = p[3] * q[3] - (p[0] * q[0] + p[1] * q[1] + p[2] * q[2]);
  out[0] = x;
  out[1] = y;
  out[2] = z;
  out[3] = w;
}

// out = p (x) q in float; out may alias p or q.
inline void HamiltonProduct(const float* p, const float* q, float* out) {
  const float x = p[3] * q[0] + q[3] * p[0] + (p[1] * q[2] - p[2] * q[1]);
  const float y = p[3] * q[1] + q[3] * p[1] + (p[2] * q[0] - p[0] * q[2]);
  const float z = p[3] * q[2] + q[3] * p[2] + (p[0] * q[1] - p[1] * q[0]);
  const float w = p[3] * q[3] - (p[0] * q[0] + p[1] * q[1] + p[2] * q[2]);
  out[0] = x;
  out[1] = y;
  out[2] = z;
  out[3] = w;
}

// R(q) into the first three floats of each row.
inline void RotationOfQuaternion(const float* q, LA::AlignedMatrix3f& R) {
  const float x = q[0], y = q[1], z = q[2], w = q[3];
  const float xx = x * x, yy = y * y, zz = z * z;
  const float xy = x * y, xz = x * z, yz = y * z;
  const float xw = x * w, yw = y * w, zw = z * w;
  R.m[0][0] = 1.0f - 2.0f * (yy + zz);
  R.m[0][1] = 2.0f * (xy + zw);
  R.m[0][2] = 2.0f * (xz - yw);
  R.m[1][0] = 2.0f * (xy - zw);
  R.m[1][1] = 1.0f - 2.0f * (xx + zz);
  R.m[1][2] = 2.0f * (yz + xw);
  R.m[2][0] = 2.0f * (xz + yw);
  R.m[2][1] = 2.0f * (yz - xw);
  R.m[2][2] = 1.0f - 2.0f * (xx + yy);
}

}  // namespace

bool IsPoseValid(const CameraPose& pose) {
  return pose.m[0][0] != FLT_MAX;
}
bool IsPoseInvalid(const CameraPose& pose) {
  return pose.m[0][0] == FLT_MAX;
}
void SetPoseInvalid(CameraPose& pose) {
  for (auto& row : pose.m)
    for (float& v : row) v = FLT_MAX;
}

void Intrinsic::Set(float fxValue, float fyValue, float cxValue, float cyValue) {
  const float ifxValue = 1.0f / fxValue, ifyValue = 1.0f / fyValue;
  const float groups[11][4] = {
      {fxValue, fyValue, fxValue, fyValue},
      {cxValue, cyValue, cxValue, cyValue},
      {cxValue, cxValue, cyValue, cyValue},
      {ifxValue, ifyValue, ifxValue, ifyValue},
      {fxValue, fxValue, fxValue, fxValue},
      {fyValue, fyValue, fyValue, fyValue},
      {cxValue, cxValue, cxValue, cxValue},
      {cyValue, cyValue, cyValue, cyValue},
      {ifxValue, ifxValue, ifxValue, ifxValue},
      {ifyValue, ifyValue, ifyValue, ifyValue},
      {fxValue * fyValue, 1.0f / (fxValue * fyValue), cxValue / fxValue, cyValue / fyValue}};
  float* dst[11] = {fxfy, cxcy, cxcxcycy, ifxfy, fx, fy, cx, cy, ifx, ify, misc};
  for (int g = 0; g < 11; ++g)
    for (int k = 0; k < 4; ++k) dst[g][k] = groups[g][k];
}

void Intrinsic::ApplyToPoints(AlignedArray<LA::Vector2<float>>& points) const {
  const u32 n = points.Size();
  float* p = reinterpret_cast<float*>(points.Data());
  const __m128 f = _mm_load_ps(fxfy);
  const __m128 c = _mm_load_ps(cxcy);
  u32 i = 0;
  // Two points per group; a wrapped foreign buffer may be only 8-byte aligned.
  for (; i + 2 <= n; i += 2, p += 4)
    _mm_storeu_ps(p, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(p), f), c));
  if (i < n) {
    p[0] = fxfy[0] * p[0] + cxcy[0];
    p[1] = fxfy[1] * p[1] + cxcy[1];
  }
}

namespace LA {

void QuaternionToRotationMatrix(const float* q, AlignedMatrix3f& R) {
  RotationOfQuaternion(q, R);
}

void MultiplyQuaternions(const float* a, const float* b, float* out, float* scratch) {
  HamiltonProduct(b, a, scratch);
  for (int k = 0; k < 4; ++k) out[k] = scratch[k];
}

void RelativeQuaternion(const float* a, const float* b, float* out, float* scratch) {
  const float bc[4] = {-b[0], -b[1], -b[2], b[3]};
  HamiltonProduct(bc, a, scratch);
  for (int k = 0; k < 4; ++k) out[k] = scratch[k];
}

void QuaternionErrorVector(const float* a, const float* b, float* out, float& dot) {
  dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  // Vector part of conj(b) (x) a.
  const float vx = (a[1] * b[2] - a[2] * b[1]) + b[3] * a[0] - a[3] * b[0];
  const float vy = (a[2] * b[0] - a[0] * b[2]) + b[3] * a[1] - a[3] * b[1];
  const float vz = (a[0] * b[1] - a[1] * b[0]) + b[3] * a[2] - a[3] * b[2];
  const float s = dot > 0.0f ? 2.0f : -2.0f;
  out[0] = s * vx;
  out[1] = s * vy;
  out[2] = s * vz;
}

void UpdateQuaternion(const float* d, const float* q, float* out) {
  const float x = q[0], y = q[1], z = q[2], w = q[3];
  const float dx = d[0], dy = d[1], dz = d[2];
  const float x1 = x + (y * dz - z * dy + w * dx) * 0.5f;
  const float y1 = y + (z * dx - x * dz + w * dy) * 0.5f;
  const float z1 = z + (x * dy - y * dx + w * dz) * 0.5f;
  const float w1 = w - (dx * x + dy * y + dz * z) * 0.5f;
  float n = 1.0f / std::sqrt(x1 * x1 + y1 * y1 + z1 * z1 + w1 * w1);
  if (w1 < 0.0f) n = -n;
  out[0] = x1 * n;
  out[1] = y1 * n;
  out[2] = z1 * n;
  out[3] = w1 * n;
}

}  // namespace LA

void QuaternionToRotation(LA::AlignedMatrix3f& R, const float* q, float* /*scratch*/) {
  RotationOfQuaternion(q, R);
}

void RotationToQuaternion(const LA::AlignedMatrix3f& R, float* q) {
  const float t = R.m[0][0] + R.m[1][1] + R.m[2][2];
  float x, y, z, w;
  if (t > 0.0f) {
    w = std::sqrt(t + 1.0f) * 0.5f;
    const float f = 0.25f / w;
    x = (R.m[1][2] - R.m[2][1]) * f;
    y = (R.m[2][0] - R.m[0][2]) * f;
    z = (R.m[0][1] - R.m[1][0]) * f;
  } else if (R.m[0][0] > R.m[1][1] && R.m[0][0] > R.m[2][2]) {
    x = std::sqrt(2.0f * R.m[0][0] - t + 1.0f) * 0.5f;
    const float f = 0.25f / x;
    y = (R.m[1][0] + R.m[0][1]) * f;
    z = (R.m[2][0] + R.m[0][2]) * f;
    w = (R.m[1][2] - R.m[2][1]) * f;
  } else if (R.m[1][1] > R.m[2][2]) {
    y = std::sqrt(2.0f * R.m[1][1] - t + 1.0f) * 0.5f;
    const float f = 0.25f / y;
    x = (R.m[1][0] + R.m[0][1]) * f;
    z = (R.m[2][1] + R.m[1][2]) * f;
    w = (R.m[2][0] - R.m[0][2]) * f;
  } else {
    z = std::sqrt(2.0f * R.m[2][2] - t + 1.0f) * 0.5f;
    const float f = 0.25f / z;
    x = (R.m[2][0] + R.m[0][2]) * f;
    y = (R.m[2][1] + R.m[1][2]) * f;
    w = (R.m[0][1] - R.m[1][0]) * f;
  }
  const float n = 1.0f / std::sqrt(x * x + y * y + z * z + w * w);
  q[0] = x * n;
  q[1] = y * n;
  q[2] = z * n;
  q[3] = w * n;
}

void ApplyQuaternionOffset(const double* a, const double* b, float* out) {
  double r[4];
  HamiltonProduct(b, a, r);
  for (int k = 0; k < 4; ++k) out[k] = static_cast<float>(r[k]);
}

void RemoveQuaternionOffset(const double* a, const float* b, double* out) {
  const double bd[4] = {b[0], b[1], b[2], b[3]};
  const double ac[4] = {-a[0], -a[1], -a[2], a[3]};
  HamiltonProduct(bd, ac, out);
}

void PoseToCamera(const IMUState& state, const CameraOffset& offset, CameraPose& pose,
                  float* scratch) {
  float q[4];
  ApplyQuaternionOffset(offset.quaternion, state.quaternion, q);
  QuaternionToRotation(pose, q, scratch);
  const float p[3] = {static_cast<float>(state.position[0]), static_cast<float>(state.position[1]),
                      static_cast<float>(state.position[2])};
  for (int i = 0; i < 3; ++i) {
    const double rp = Dot3(pose.m[i], p);
    pose.m[i][3] = static_cast<float>(offset.position[i] - rp);
  }
}

void CameraToPose(IMUState& state, const CameraOffset& offset, const CameraPose& pose,
                  float* /*scratch*/) {
  float qc[4];
  RotationToQuaternion(pose, qc);
  RemoveQuaternionOffset(offset.quaternion, qc, state.quaternion);
  float d[3];
  for (int i = 0; i < 3; ++i)
    d[i] = static_cast<float>(offset.position[i] - static_cast<double>(pose.m[i][3]));
  for (int j = 0; j < 3; ++j) {
    const float p = (pose.m[1][j] * d[1] + pose.m[0][j] * d[0]) + pose.m[2][j] * d[2];
    state.position[j] = p;
  }
}

void PoseToCameraF(const float* offset, const float* position, const float* quaternion,
                   CameraPose& pose, float* scratch) {
  float q[4];
  float tmp[4];
  LA::MultiplyQuaternions(offset, quaternion, q, tmp);
  LA::QuaternionToRotationMatrix(q, pose);
  for (int i = 0; i < 3; ++i) pose.m[i][3] = offset[4 + i] - Dot3(pose.m[i], position);
  for (int k = 0; k < 4; ++k) scratch[k] = q[k];
  for (int i = 0; i < 3; ++i) scratch[4 + i] = pose.m[i][3];
}

void ComposePose(const CameraPose& first, const CameraPose& second, CameraPose& out,
                 float* scratch) {
  // Built in a local so that out may alias either input.
  LA::AlignedMatrix3f R;
  LA::MultiplyAB(second, first, R, scratch);
  float t[3];
  for (int i = 0; i < 3; ++i) {
    const float t1[3] = {first.m[0][3], first.m[1][3], first.m[2][3]};
    t[i] = Dot3(second.m[i], t1) + second.m[i][3];
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out.m[i][j] = R.m[i][j];
    out.m[i][3] = t[i];
  }
}

void InvertSimilarityTransform(const float* transformation, float* out, float* /*scratch*/) {
  // transformation: rows [R | t] (12 floats) then the scale vector (s, s, s, 1).
  const float* T = transformation;
  float Rt[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) Rt[i][j] = T[j * 4 + i];
  const float t[3] = {T[3], T[7], T[11]};
  float tNew[3];
  for (int i = 0; i < 3; ++i) tNew[i] = -T[12 + i] * Dot3(Rt[i], t);
  const float inv = 1.0f / T[12];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i * 4 + j] = Rt[i][j];
    out[i * 4 + 3] = tNew[i];
  }
  out[12] = inv;
  out[13] = inv;
  out[14] = inv;
  out[15] = 1.0f;
}

void AxisAngleToRotation(LA::AlignedMatrix3f& R, const float* axis, float angle) {
  const float x = axis[0], y = axis[1], z = axis[2];
  const float c = std::cos(angle);
  const float sMagnitude = std::sqrt(1.0f - c * c);
  const float s = angle < 3.1415927f ? sMagnitude : -sMagnitude;
  const float v = 1.0f - c;
  R.m[0][0] = c + v * x * x;
  R.m[0][1] = x * y * v - z * s;
  R.m[0][2] = x * z * v + y * s;
  R.m[1][0] = x * y * v + z * s;
  R.m[1][1] = c + v * y * y;
  R.m[1][2] = y * z * v - x * s;
  R.m[2][0] = x * z * v - y * s;
  R.m[2][1] = y * z * v + x * s;
  R.m[2][2] = c + v * z * z;
}

void RotationVectorToRotation(LA::AlignedMatrix3f& R, float wx, float wy, float wz,
                              float* /*scratch*/) {
  const float th2 = (wy * wy + wx * wx) + wz * wz;
  if (th2 > 1e-10f) {
    const float th = std::sqrt(th2);
    const float A = std::sin(th) / th;
    const float B = (1.0f - std::cos(th)) / th2;
    // B wx^2, B wy^2, B wz^2, B wx wy, B wx wz, B wy wz, A wx, A wy, A wz.
    float s[9];
    s[0] = B * wx * wx;
    s[1] = B * wy * wy;
    s[2] = B * wz * wz;
    s[3] = B * wx * wy;
    s[4] = B * wx * wz;
    s[5] = B * wy * wz;
    s[6] = A * wx;
    s[7] = A * wy;
    s[8] = A * wz;
    R.m[0][0] = 1.0f - s[1] - s[2];
    R.m[0][1] = s[3] - s[8];
    R.m[0][2] = s[7] + s[4];
    R.m[1][0] = s[8] + s[3];
    R.m[1][1] = 1.0f - s[0] - s[2];
    R.m[1][2] = s[5] - s[6];
    R.m[2][0] = s[4] - s[7];
    R.m[2][1] = s[6] + s[5];
    R.m[2][2] = 1.0f - s[0] - s[1];
  } else {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) R.m[i][j] = i == j ? 1.0f : 0.0f;
  }
}

void ComputeRelativePose(const CameraPose& P0, const CameraPose& P1, CameraPose& out) {
  CameraPose R;
  // R1 R0^T: rows of R1 dotted with rows of R0; the fourth floats stay free.
  LA::MultiplyABT(P1, P0, R);
  for (int i = 0; i < 3; ++i) {
    R.m[i][3] =
        P1.m[i][3] - (R.m[i][0] * P0.m[0][3] + R.m[i][1] * P0.m[1][3] + R.m[i][2] * P0.m[2][3]);
  }
  out = R;
}

void CameraCentre(const CameraPose& pose, float centre[3]) {
  const auto& m = pose.m;
  for (int i = 0; i < 3; ++i)
    centre[i] = -(m[0][i] * m[0][3] + m[1][i] * m[1][3] + m[2][i] * m[2][3]);
}

void SetCameraCentre(CameraPose& pose, const float centre[3]) {
  auto& m = pose.m;
  for (int i = 0; i < 3; ++i)
    m[i][3] = -(m[i][0] * centre[0] + m[i][1] * centre[1] + m[i][2] * centre[2]);
}
