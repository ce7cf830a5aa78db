#pragma once
// Rotation of the camera between two consecutive frames from their small
// images alone: the previous frame's small image is the reference, the
// current one is warped onto it by K R K^-1 and R is refined by robust
// Gauss-Newton over a pure 3-D rotation with a brightness offset.
#include <cvd/image.h>

#include <cfloat>

#include "features/GaussianBlur.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"

// A frame's small image: grey values / 255 minus their mean, blurred, and
// per interior pixel (one-pixel border excluded, row-major) a record of 9
// floats: J0, J1, J2, J0^2, J0 J1, J0 J2, J1^2, J1 J2, J2^2.
struct SmallImage {
  CVD::Image<float> image;
  float mean = 0.0f;  // the mean grey value / 255 that was removed
  AlignedArray<float> gradients;
  CVD::Image<u8> halfSampled;  // the byte image it was made from
};

// Per interior pixel of one small-image size and camera, how the pixel
// moves under a small rotation dw applied as R exp([dw]x): minus the
// derivative of its position, u row then v row, three floats each stored
// four-wide. A gradient record's J is gx u + gy v.
struct MotionJacobianTable {
  int width = -1, height = -1;
  float fx = 0.0f, fy = 0.0f, cx = 0.0f, cy = 0.0f;
  AlignedArray<float> rows;
};

// Buffers of EstimateImageRotation, reused from frame to frame, and how the
// last estimate ended: exit code 1 converged, 0 iterations exhausted, 2
// singular system, 3 too little overlap; error is e1, the RMS residual in
// grey levels of the last iteration (FLT_MAX when there was none).
struct RotationScratch {
  CVD::Image<float> warped;
  AlignedArray<float> difference;
  AlignedArray<float> residuals;
  AlignedArray<float> weights;
  AlignedArray<u32> pixels;  // interior index of each kept residual
  int exitCode = 0;
  float error = FLT_MAX;
};

// Half-samples the level-3 image (each side halved, truncated) into the
// small image and normalises it.
void MakeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& level3, const Intrinsic& k,
                    MotionJacobianTable& table, GaussianScratch& scratch);
void MakeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& level3, const Intrinsic& k,
                    MotionJacobianTable& table);

// Builds the small image from bytes, its mean and gradient records; rebuilds
// the Jacobian table when the size or the camera changed. The blur works in
// scratch; the forms without it make their own.
void NormalizeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& image, const Intrinsic& k,
                         MotionJacobianTable& table, GaussianScratch& scratch);
void NormalizeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& image, const Intrinsic& k,
                         MotionJacobianTable& table);

// R such that K R K^-1 takes pixels of the previous small image to the
// current one; the first element FLT_MAX when the estimate is rejected.
void EstimateImageRotation(const SmallImage& previous, const SmallImage& current,
                           const Intrinsic& k, LA::AlignedMatrix3f& rotation,
                           RotationScratch& scratch);

// Rotation rows of a rotation vector, exp([w]x)^T in the project's
// transposed convention (the same R(q) as QuaternionToRotation).
void So3Exp(const float w[3], LA::AlignedMatrix3f& R);

// Solves the symmetric A x = b in place (x into b) by LDL^T; false on a
// pivot below FLT_EPSILON.
bool SolveLinear4x4(LA::AlignedMatrix4f& A, LA::AlignedVector4f& b);

// out[i] = |a_i - b_i|^2 for four 2-D points (x, y pairs).
void SquaredShift4(const float a[8], const float b[8], float out[4]);

// out(x, y) = bilinear sample of image at H (x, y, 1) after the division, or
// fill where the sample is outside or the point is behind the horizon. out
// takes the given size.
void WarpImageHomography(const LA::AlignedMatrix3f& H, const CVD::BasicImage<float>& image,
                         CVD::Image<float>& out, int width, int height, float fill);

// Bilinear value at (u, v); false outside (u or v negative, not finite, or
// the right or lower neighbour missing).
bool SampleFloatBilinear(const CVD::BasicImage<float>& image, float u, float v, float& out);
