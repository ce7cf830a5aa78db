#pragma once
// The calibration file: camera intrinsics, given as the three rows of K or as
// a horizontal field of view in degrees, optionally followed by the 3x4
// camera-to-body transform [R | t] or by a line with the translation's x and y.
#include <string>

#include "la/Pose.h"

// Reads the file for an image of width x height. False without a message and
// nothing written when the file cannot be opened; false with "Invalid
// calibration file" and nothing written when it holds no usable intrinsics
// (no number, a field of view outside (0, 180) degrees, fx or fy not positive
// and finite) or a broken transform. `extrinsic` is the quaternion (x, y, z, w)
// and translation of the camera-to-body transform; `rotation` is row-major
// M^T R with M the default quaternion's transposed rotation, or DBL_MAX in its
// first entry when the file gives no rotation.
bool LoadCalibration(const std::string& fileName, u16 width, u16 height, Intrinsic& intrinsic,
                     double extrinsic[7], double rotation[9]);
// P = A^T B for row-major 3x3 matrices; P must alias neither input.
void Multiply3x3d(const double* A, const double* B, double* P);
