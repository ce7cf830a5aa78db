#include "viewer/MarkerAlignment.h"

#include <cmath>

void ProjectWithPoseJacobian(const float X[3], const Intrinsic& K, float p[2], float J[2][6]) {
  const float fx = K.fx[0], fy = K.fy[0];
  const float iz = 1.0f / X[2];
  const float x = X[0] * iz, y = X[1] * iz;
  p[0] = fx * x + K.cx[0];
  p[1] = fy * y + K.cy[0];
  J[0][0] = fx * x * y;
  J[0][1] = -fx * (1.0f + x * x);
  J[0][2] = fx * y;
  J[0][3] = fx * iz;
  J[0][4] = 0.0f;
  J[0][5] = -fx * x * iz;
  J[1][0] = fy * (1.0f + y * y);
  J[1][1] = -fy * x * y;
  J[1][2] = -fy * x;
  J[1][3] = 0.0f;
  J[1][4] = fy * iz;
  J[1][5] = -fy * y * iz;
}

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

float SampleBilinear(const CVD::BasicImage<float>& image, float x, float y) {
  const int w = image.size().x, h = image.size().y;
  if (!(x >= 0.0f && y >= 0.0f && x < w - 1 && y < h - 1)) return 0.0f;
  const int ix = static_cast<int>(x), iy = static_cast<int>(y);
  const float ax = x - ix, ay = y - iy;
  const float* r0 = image[iy] + ix;
  const float* r1 = image[iy + 1] + ix;
  const float top = r0[0] + (r0[1] - r0[0]) * ax;
  const float bottom = r1[0] + (r1[1] - r1[0]) * ax;
  return top + (bottom - top) * ay;
}

float SampleBilinearWithGradient(const CVD::BasicImage<float>& image,
                                 const CVD::BasicImage<LA::Vector2<float>>& gradients, float x,
                                 float y, float gradient[2]) {
  const int w = image.size().x, h = image.size().y;
  if (!(x >= 0.0f && y >= 0.0f && x < w - 1 && y < h - 1)) {
    gradient[0] = gradient[1] = 0.0f;
    return 0.0f;
  }
  const int ix = static_cast<int>(x), iy = static_cast<int>(y);
  const float ax = x - ix, ay = y - iy;
  const float w00 = (1.0f - ax) * (1.0f - ay), w01 = ax * (1.0f - ay), w10 = (1.0f - ax) * ay,
              w11 = ax * ay;
  const LA::Vector2<float>* g0 = gradients[iy] + ix;
  const LA::Vector2<float>* g1 = gradients[iy + 1] + ix;
  gradient[0] = w00 * g0[0].x + w01 * g0[1].x + w10 * g1[0].x + w11 * g1[1].x;
  gradient[1] = w00 * g0[0].y + w01 * g0[1].y + w10 * g1[0].y + w11 * g1[1].y;
  const float* r0 = image[iy] + ix;
  const float* r1 = image[iy + 1] + ix;
  return w00 * r0[0] + w01 * r0[1] + w10 * r1[0] + w11 * r1[1];
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
