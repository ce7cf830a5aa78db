// Rotation, frustum and trackball geometry of the 3-D view; no GL here, so
// all of it works (and is tested) without a window.
#include <cfloat>
#include <cmath>

#include "la/Pose.h"
#include "tracker/TrackerDisplay.h"

namespace {

// Squared length under which a cross product counts as no axis.
constexpr float kParallelEpsilon = FLT_EPSILON;

void CopyRotation(const LA::AlignedMatrix3f& from, float R[3][3]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R[r][c] = from.m[r][c];
}

void SetIdentity(float R[3][3]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R[r][c] = r == c ? 1.0f : 0.0f;
}

float Clamp1(float x) {
  return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
}

}  // namespace

void RotationBetweenVectors(const float a[3], const float b[3], float R[3][3]) {
  float axis[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
  const float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  const float s2 = axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2];
  LA::AlignedMatrix3f M;
  if (s2 < kParallelEpsilon * kParallelEpsilon) {
    if (dot >= 0.0f) {
      SetIdentity(R);
      return;
    }
    // Opposite: a half turn about any axis perpendicular to a; the one
    // through the coordinate axis least aligned with a is well conditioned.
    const float ax = std::fabs(a[0]), ay = std::fabs(a[1]), az = std::fabs(a[2]);
    float e[3] = {0.0f, 0.0f, 0.0f};
    e[ax <= ay && ax <= az ? 0 : (ay <= az ? 1 : 2)] = 1.0f;
    axis[0] = a[1] * e[2] - a[2] * e[1];
    axis[1] = a[2] * e[0] - a[0] * e[2];
    axis[2] = a[0] * e[1] - a[1] * e[0];
    const float n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    for (float& x : axis) x /= n;
    // R = 2 u u^T - I, the half turn about u.
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) R[r][c] = 2.0f * axis[r] * axis[c] - (r == c ? 1.0f : 0.0f);
    return;
  }
  const float n = std::sqrt(s2);
  for (float& x : axis) x /= n;
  AxisAngleToRotation(M, axis, std::acos(Clamp1(dot)));
  CopyRotation(M, R);
}

void InvertScaledPose(const float pose[3][4], const float scale[3], float inverse[3][4],
                      float inverseScale[3]) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) inverse[r][c] = pose[c][r];
    inverse[r][3] = -(pose[0][r] * pose[0][3] + pose[1][r] * pose[1][3] + pose[2][r] * pose[2][3]);
    // A zero scale has no reciprocal; it stays 0 rather than turning into inf.
    inverseScale[r] = scale[r] != 0.0f ? 1.0f / scale[r] : 0.0f;
  }
}

void QuaternionToRotation3f(const double q[4], float R[3][3]) {
  // The same R(q) as the float helpers, computed in double.
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  R[0][0] = static_cast<float>(1.0 - 2.0 * (y * y + z * z));
  R[0][1] = static_cast<float>(2.0 * (x * y + z * w));
  R[0][2] = static_cast<float>(2.0 * (x * z - y * w));
  R[1][0] = static_cast<float>(2.0 * (x * y - z * w));
  R[1][1] = static_cast<float>(1.0 - 2.0 * (x * x + z * z));
  R[1][2] = static_cast<float>(2.0 * (y * z + x * w));
  R[2][0] = static_cast<float>(2.0 * (x * z + y * w));
  R[2][1] = static_cast<float>(2.0 * (y * z - x * w));
  R[2][2] = static_cast<float>(1.0 - 2.0 * (x * x + y * y));
}

void DrawRectangleOutline(float cx, float cy, float w, float h, float vertices[8][2]) {
  const float x0 = cx - w, x1 = cx + w, y0 = cy - h, y1 = cy + h;
  const float corners[5][2] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}};
  for (int e = 0; e < 4; ++e) {
    vertices[2 * e][0] = corners[e][0];
    vertices[2 * e][1] = corners[e][1];
    vertices[2 * e + 1][0] = corners[e + 1][0];
    vertices[2 * e + 1][1] = corners[e + 1][1];
  }
}

void SetFrustumCorners(const float frustumSize[4], float corners[4][3]) {
  // Before the view was centred the size is 0: the corners collapse onto the axis.
  const float iz = frustumSize[2] != 0.0f ? 1.0f / frustumSize[2] : 0.0f;
  const float x = frustumSize[0] * iz, y = frustumSize[1] * iz;
  const float xy[4][2] = {{-x, -y}, {x, -y}, {x, y}, {-x, y}};
  for (int k = 0; k < 4; ++k) {
    corners[k][0] = xy[k][0];
    corners[k][1] = xy[k][1];
    corners[k][2] = 1.0f;
  }
}

void ComputeFrustum(const CameraPose& pose, const float frustumSize[4], float points[5][3],
                    float axes[3][3]) {
  CameraCentre(pose, points[0]);
  float corners[4][3];
  SetFrustumCorners(frustumSize, corners);
  const float z = frustumSize[2];
  // A camera point x goes to the world as C + R^T x.
  for (int k = 0; k < 4; ++k)
    for (int r = 0; r < 3; ++r)
      points[k + 1][r] =
          points[0][r] + z * (pose.m[0][r] * corners[k][0] + pose.m[1][r] * corners[k][1] +
                              pose.m[2][r] * corners[k][2]);
  if (axes == nullptr) return;
  for (int a = 0; a < 3; ++a)
    for (int r = 0; r < 3; ++r) axes[a][r] = points[0][r] + z * pose.m[a][r];
}

void PlaneRotation(const float n[3], float R[3][3]) {
  // n x (0, 0, 1) turns n onto the z axis by acos(n_z).
  float axis[3] = {n[1], -n[0], 0.0f};
  const float s2 = axis[0] * axis[0] + axis[1] * axis[1];
  if (s2 >= kParallelEpsilon) {
    const float s = std::sqrt(s2);
    axis[0] /= s;
    axis[1] /= s;
    LA::AlignedMatrix3f M;
    AxisAngleToRotation(M, axis, std::acos(Clamp1(n[2])));
    CopyRotation(M, R);
    return;
  }
  SetIdentity(R);
  // n along -z: a half turn about x, a proper rotation (not a mirror in z).
  if (n[2] <= 0.0f) {
    R[1][1] = -1.0f;
    R[2][2] = -1.0f;
  }
}

void Arcball::Reset(const float c[3], float r) {
  for (int k = 0; k < 3; ++k) centre[k] = c[k];
  radius = r;
  start[0] = 0.0f;
  start[1] = 0.0f;
  start[2] = -1.0f;
  SetIdentity(startRotation);
}

void Arcball::Project(const float point[3], float onSphere[3]) const {
  // The ray through the point meets the plane of the centre; the sphere's
  // near half faces the camera (negative z), and beyond r / sqrt(2) the
  // hyperbola z = r^2 / (2 d) carries on smoothly.
  const float scale = point[2] != 0.0f ? centre[2] / point[2] : 1.0f;
  const float x = point[0] * scale - centre[0], y = point[1] * scale - centre[1];
  const float d2 = x * x + y * y, r2 = radius * radius;
  float z;
  if (d2 <= 0.5f * r2)
    z = -std::sqrt(r2 - d2);
  else
    z = -0.5f * r2 / std::sqrt(d2);
  const float n = std::sqrt(d2 + z * z);
  if (n == 0.0f) {
    onSphere[0] = 0.0f;
    onSphere[1] = 0.0f;
    onSphere[2] = -1.0f;
    return;
  }
  onSphere[0] = x / n;
  onSphere[1] = y / n;
  onSphere[2] = z / n;
}

void Arcball::Begin(const float point[3], const float rotation[3][3]) {
  Project(point, start);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) startRotation[r][c] = rotation[r][c];
}

void Arcball::Drag(const float point[3], float rotation[3][3]) const {
  float current[3], D[3][3];
  Project(point, current);
  RotationBetweenVectors(start, current, D);
  // The drag turns what the camera sees about the centre: D after the start rotation.
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      rotation[r][c] = D[r][0] * startRotation[0][c] + D[r][1] * startRotation[1][c] +
                       D[r][2] * startRotation[2][c];
}
