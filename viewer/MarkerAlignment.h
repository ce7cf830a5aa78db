#pragma once
// Kernels of the marker detector's pose alignment: projection with its pose
// Jacobian, the border frame of two projected corners with its Jacobian,
// bilinear image samples, and the pose increment. A pose increment is
// (w, tau): to first order a camera-space point X moves to X - w x X + tau.
#include <cvd/image.h>

#include <cmath>

#include "la/LinearAlgebra.h"
#include "la/Pose.h"

// Border frame of two projected corners a, b with principal point c: the unit
// direction d (from b to a, negated when a, b turn clockwise about c) and the
// normal m = (d_y, -d_x), which points into the sheet. False for a == b.
bool ComputeEdgeFrame(const float a[2], const float b[2], const float c[2], float d[2], float m[2]);
// The same with the 2 x 6 Jacobians of d and m from those of a and b.
bool ComputeEdgeFrameWithJacobian(const float a[2], const float b[2], const float c[2],
                                  const float Ja[2][6], const float Jb[2][6], float d[2],
                                  float m[2], float Jd[2][6], float Jm[2][6]);

// R' = R(update(q(R), w)), t' = t + t x w + tau; delta = (w, tau).
void ApplyPoseIncrement(const float delta[6], CameraPose& pose);

// Inline: called for every border sample and template record.

// Camera-space point X = R P + t of the model point P.
inline void TransformModelPoint(const CameraPose& pose, const float P[3], float X[3]) {
  for (int i = 0; i < 3; ++i)
    X[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
}

// Pixel of the camera-space point X: (fx x / z + cx, fy y / z + cy).
inline void ProjectCameraPoint(const float X[3], const Intrinsic& K, float p[2]) {
  p[0] = K.fx[0] * X[0] / X[2] + K.cx[0];
  p[1] = K.fy[0] * X[1] / X[2] + K.cy[0];
}

// Pixel of the camera-space point X (fx x / z + cx, fy y / z + cy) and its
// 2 x 6 Jacobian with respect to the pose increment (du in J[0], dv in J[1]).
inline void ProjectWithPoseJacobian(const float X[3], const Intrinsic& K, float p[2],
                                    float J[2][6]) {
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

// Bilinear value at (x, y); 0 outside [0, width - 1) x [0, height - 1).
inline float SampleBilinear(const CVD::BasicImage<float>& image, float x, float y) {
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

// Bilinear value and bilinearly interpolated gradient-image value.
inline float SampleBilinearWithGradient(const CVD::BasicImage<float>& image,
                                        const CVD::BasicImage<LA::Vector2<float>>& gradients,
                                        float x, float y, float gradient[2]) {
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
