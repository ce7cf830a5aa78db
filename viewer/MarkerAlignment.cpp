#include "viewer/MarkerAlignment.h"

#include <cmath>

namespace {

// Direction sign: +1 unless a, b turn clockwise about c.
float EdgeSign(const float a[2], const float b[2], const float c[2]) {
  const float turn = (b[1] - c[1]) * (a[0] - c[0]) - (a[1] - c[1]) * (b[0] - c[0]);
  return turn < 0.0f ? -1.0f : 1.0f;
}

}  // namespace

bool ComputeEdgeFrame(const float a[2], const float b[2], const float c[2], float d[2],
                      float m[2]) {
  const float vx = a[0] - b[0], vy = a[1] - b[1];
  const float length = std::sqrt(vx * vx + vy * vy);
  if (!(length > 0.0f) || !std::isfinite(length)) return false;
  const float s = EdgeSign(a, b, c) / length;
  d[0] = vx * s;
  d[1] = vy * s;
  m[0] = d[1];
  m[1] = -d[0];
  return true;
}

bool ComputeEdgeFrameWithJacobian(const float a[2], const float b[2], const float c[2],
                                  const float Ja[2][6], const float Jb[2][6], float d[2],
                                  float m[2], float Jd[2][6], float Jm[2][6]) {
  if (!ComputeEdgeFrame(a, b, c, d, m)) return false;
  const float vx = a[0] - b[0], vy = a[1] - b[1];
  const float il = 1.0f / std::sqrt(vx * vx + vy * vy);
  const float s = EdgeSign(a, b, c);
  // d = s v / |v|: dd = s (I - u u^T) dv / |v| with u = v / |v|.
  const float ux = vx * il, uy = vy * il;
  const float P00 = (1.0f - ux * ux) * il * s, P01 = -ux * uy * il * s,
              P11 = (1.0f - uy * uy) * il * s;
  for (int k = 0; k < 6; ++k) {
    const float dvx = Ja[0][k] - Jb[0][k], dvy = Ja[1][k] - Jb[1][k];
    Jd[0][k] = P00 * dvx + P01 * dvy;
    Jd[1][k] = P01 * dvx + P11 * dvy;
    Jm[0][k] = Jd[1][k];
    Jm[1][k] = -Jd[0][k];
  }
  return true;
}

void ApplyPoseIncrement(const float delta[6], CameraPose& pose) {
  alignas(16) float q[4], q2[4];
  RotationToQuaternion(pose, q);
  LA::UpdateQuaternion(delta, q, q2);
  LA::QuaternionToRotationMatrix(q2, pose);
  const float tx = pose.m[0][3], ty = pose.m[1][3], tz = pose.m[2][3];
  const float wx = delta[0], wy = delta[1], wz = delta[2];
  pose.m[0][3] = tx + ty * wz - tz * wy + delta[3];
  pose.m[1][3] = ty + tz * wx - tx * wz + delta[4];
  pose.m[2][3] = tz + tx * wy - ty * wx + delta[5];
}
