#pragma once
// Accumulation and column scaling of the 6x6 pose normal equations built from
// the 2x6 projection Jacobian of one 3-D/2-D match. Shared by the camera data,
// the tracker's per-frame pose step and the essential-matrix data.
#include "estimation/Camera.h"
#include "la/LinearAlgebra.h"

// Projects X = (X, Y, Z, 1) through [R | t] (three rows of four): writes
// the residual (u - x / z, v - y / z) and the twelve-float Jacobian of the
// projection for the step R' = exp([w]x) R, t' = t + d; returns the depth z.
float ComputeProjectionJacobian(const LA::AlignedMatrix3f& C, const float* X, float u, float v,
                                float* residual, float* J);
// Adds J^T J of one match to A's upper triangle (rows 0 and 1 in full). J is
// twelve floats: x-row 0..3; x-row 4, 5 then y-row 4, 5; y-row 0..3.
void AccumulateProjectionNormalEquation(const float* J, LA::AlignedCompactMatrix6f& A);
// A_ij *= s_i s_j for all 36 entries; places 6 and 7 of s must repeat 4 and 5.
void ScaleNormalEquation(const LA::AlignedVector6f& s, LA::AlignedCompactMatrix6f& A);
// Fills A's lower triangle from its upper one.
void CopyUpperToLower(LA::AlignedCompactMatrix6f& A);

// Gauss-Newton normal equations of a pose over n matches (rotation vector
// applied on the left of R, translation increment added to t), four matches
// at a time. Returns the summed squared reprojection error at the pose;
// infinite, with A and b unspecified, when a point is not in front.
float ComputePoseNormalEquation(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n,
                                const Camera& pose, LA::AlignedCompactMatrix6f& A,
                                LA::AlignedVector6f& b);
// Up to ten Gauss-Newton steps of the pose on the reprojection error, each
// kept only when it lowers the error.
void PolishPose(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n, Camera& pose);
