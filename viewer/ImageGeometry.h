#pragma once
// Small geometry shared by the marker detector, the tracker and the track
// matcher: mapping a point through a 3x3 image map and the pose of one camera
// relative to another.
#include "la/Pose.h"

// out = H (p, 1) with the homogeneous division; when H[2][0] is FLT_MAX the
// map is affine and its third row is not read. H is three rows of four floats.
void ApplyHomography(const float H[3][4], const float p[2], float out[2]);

// out maps camera-0 coordinates to camera-1 coordinates: R = R1 R0^T,
// t = t1 - R t0 (out = P1 P0^-1 for world-to-camera poses).
void ComputeRelativePose(const CameraPose& P0, const CameraPose& P1, CameraPose& out);
