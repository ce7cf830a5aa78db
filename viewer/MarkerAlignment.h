#pragma once
// Kernels of the marker detector's pose alignment: projection with its pose
// Jacobian, the border frame of two projected corners with its Jacobian,
// bilinear image samples, and the pose increment. A pose increment is
// (w, tau): to first order a camera-space point X moves to X - w x X + tau.
#include <cvd/image.h>

#include "la/LinearAlgebra.h"
#include "la/Pose.h"

// Pixel of the camera-space point X (fx x / z + cx, fy y / z + cy) and its
// 2 x 6 Jacobian with respect to the pose increment (du in J[0], dv in J[1]).
void ProjectWithPoseJacobian(const float X[3], const Intrinsic& K, float p[2], float J[2][6]);

// Border frame of two projected corners a, b with principal point c: the unit
// direction d (from b to a, negated when a, b turn clockwise about c) and the
// normal m = (d_y, -d_x), which points into the sheet. False for a == b.
bool ComputeEdgeFrame(const float a[2], const float b[2], const float c[2], float d[2], float m[2]);
// The same with the 2 x 6 Jacobians of d and m from those of a and b.
bool ComputeEdgeFrameWithJacobian(const float a[2], const float b[2], const float c[2],
                                  const float Ja[2][6], const float Jb[2][6], float d[2],
                                  float m[2], float Jd[2][6], float Jm[2][6]);

// Bilinear value at (x, y); 0 outside [0, width - 1) x [0, height - 1).
float SampleBilinear(const CVD::BasicImage<float>& image, float x, float y);
// Bilinear value and bilinearly interpolated gradient-image value.
float SampleBilinearWithGradient(const CVD::BasicImage<float>& image,
                                 const CVD::BasicImage<LA::Vector2<float>>& gradients, float x,
                                 float y, float gradient[2]);

// R' = R(update(q(R), w)), t' = t + t x w + tau; delta = (w, tau).
void ApplyPoseIncrement(const float delta[6], CameraPose& pose);
