#pragma once
// The calibration file: camera intrinsics, given as the three rows of K or as
// a horizontal field of view in degrees, optionally followed by the 3x4
// camera-to-body transform [R | t] or by a line with the translation's x and y.
#include <string>

#include "la/Pose.h"

// Reads the file for an image of width x height. False without a message and
// nothing written when the file cannot be opened; false with "Invalid
// calibration file" and nothing written when it holds no usable intrinsics
// (no number, a field of view outside (0, 180) degrees, intrinsics that
// SetUsableIntrinsic refuses) or a broken transform. `extrinsic` is the
// quaternion (x, y, z, w) and translation of the camera-to-body transform;
// `rotation` is row-major M^T R with M the default quaternion's transposed
// rotation, or DBL_MAX in its first entry when the file gives no rotation.
bool LoadCalibration(const std::string& fileName, u16 width, u16 height, Intrinsic& intrinsic,
                     double extrinsic[7], double rotation[9]);
// Fills `intrinsic` from fx, fy, cx, cy only when fx and fy are positive and
// every value the record derives from them (reciprocals, fx fy, 1/(fx fy),
// cx/fx, cy/fy) is finite; false, `intrinsic` untouched, otherwise. Every
// reader of intrinsics from a file goes through here.
bool SetUsableIntrinsic(Intrinsic& intrinsic, float fx, float fy, float cx, float cy);
// P = A^T B for row-major 3x3 matrices; P must alias neither input.
void Multiply3x3d(const double* A, const double* B, double* P);
